#pragma once

#include <QtGlobal>

class QProcess;

namespace kalimo {

// The child `process` (not yet started) ends when this process dies, even
// when this one is killed outright.
void endWithParent(QProcess& process);

// Raises the limit of open files to the most allowed; the limit now in force,
// -1 when unknown.
long raiseOpenFileLimit();

// Resident memory of process `pid` in bytes; -1 when the system does not tell.
qint64 residentBytes(qint64 pid);

} // namespace kalimo
