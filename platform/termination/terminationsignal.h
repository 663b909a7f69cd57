#pragma once

#include <functional>

class QObject;

namespace kalimo {

// Runs `handler` on the event loop of `context`'s thread when the process
// gets SIGTERM or SIGINT, with the signal's number. The signal handler itself
// only writes one byte to a socket pair. Once per process; false when it
// cannot be set up.
bool onTerminationSignal(QObject* context, std::function<void(int signal)> handler);

} // namespace kalimo
