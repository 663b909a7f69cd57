#pragma once

#include <QString>

#include <optional>

namespace kalimo {

// A decimal number as the protocols write it, blanks around allowed.
std::optional<int> parseInt(QStringView text);
// The same, within the range of a 16-bit signed integer.
std::optional<qint16> parseInt16(QStringView text);

// Flag words: "FALSO" or "FALSE" in any letter case (blanks around ignored)
// read as false, any other text, the empty one too, as true.
bool parseFlagWord(QStringView text);
// The words we write: "True" and "False".
QString flagWord(bool value);

} // namespace kalimo
