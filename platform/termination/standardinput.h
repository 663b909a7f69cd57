#pragma once

#include <QByteArray>

#include <functional>

class QObject;

namespace kalimo {

// Reads standard input on the event loop of `context`'s thread without ever
// blocking it: each arrival goes to `received`; its end, a read error or
// `received` returning false go to `ended`, once, and then nothing more is
// read. Watching stops with `context`.
// False when standard input cannot be watched.
bool onStandardInput(QObject* context, std::function<bool(const QByteArray& data)> received,
                     std::function<void()> ended);

} // namespace kalimo
