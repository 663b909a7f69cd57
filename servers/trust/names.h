#pragma once

#include <QString>
#include <QStringView>

namespace kalimo::trust {

// Characters that do not show, or change how the rest shows: controls and
// Unicode format characters (zero-width spaces and joiners, direction
// overrides and isolates, tags). A name holding one could pass for another.
bool hasHiddenCharacters(QStringView text);

// What a name looks like, letter case aside: two names with the same
// skeleton (ICU's confusable mapping) pass for each other, as "admin" and
// "аdmin" with a Cyrillic а. Empty when ICU cannot tell.
QString confusableSkeleton(const QString& name);

} // namespace kalimo::trust
