#pragma once

#include <functional>

class QObject;

namespace kalimo {

// Runs `azione` on the event loop of `contesto`'s thread when the process is
// asked to stop (SIGTERM: how the lobby closes an older voice client; SIGINT).
// The signal handler itself only writes one byte to a socket pair. Once per
// process; false when it cannot be set up.
bool suRichiestaDiChiusura(QObject* contesto, std::function<void()> azione);

} // namespace kalimo
