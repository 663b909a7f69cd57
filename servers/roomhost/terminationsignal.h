#pragma once

#include <functional>

class QObject;

namespace kalimo::roomhost {

// Runs `handler` on the event loop of `context`'s thread when the process
// gets SIGTERM or SIGINT. Once per process; false when it cannot be set up.
bool onTerminationSignal(QObject* context, std::function<void(int signal)> handler);

} // namespace kalimo::roomhost
