#pragma once

#include <QString>

namespace kalimo {

// An installed Kalimo keeps its helper programs and shipped files in folders
// known relative to the folder of its programs, so a copy under any prefix
// (or a staging folder) works as well as one under /usr.

// Where the helper programs (voice) of an installed copy lie.
QString cartellaAiutanti(const QString& cartellaProgrammi);

// The shipped files (default Masters.txt, help texts) of an installed copy;
// empty when `cartellaProgrammi` is not part of an installed copy (a build
// tree or a portable folder).
QString cartellaDatiInstallati(const QString& cartellaProgrammi);

} // namespace kalimo
