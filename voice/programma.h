#pragma once

class QApplication;

namespace kalimo::voce {

// The whole voice client: the real services (or the test hooks the
// environment asks for), Sub Main, the event loop. Returns the exit code.
int eseguiVoce(QApplication& app);

} // namespace kalimo::voce
