#pragma once

#include "platform/session/sessiontypes.h"
#include "platform/voiceengine/audiosettings.h"
#include "voice/canalemedia.h"
#include "voice/module1.h"

#include <QProcessEnvironment>

#include <memory>

namespace kalimo::voce {

// Hooks for end-to-end tests, each off unless its variable is set:
//   KALIMO_AUDIO=synthetic       in-memory audio devices, driven in real time;
//     KALIMO_AUDIO_TONE=<Hz>     what the microphone hears: tone bursts (default 440, 0 = quiet)
//     KALIMO_AUDIO_RECORD=<file> what is played, a line per 100 ms: "<epoch ms> <rms> <Hz>"
//   KALIMO_AUDIO_SETTINGS=<ini>  where the audio device choice is kept
//   KALIMO_TEST_TRACE=<file>     a line per box shown, grid redraw and label change
//   KALIMO_TEST_ANSWERS=yes,no   answers to the boxes in turn (then the first button);
//                                with this or a trace, boxes never wait for a user
//   KALIMO_TEST_CONTROL=1        lines on standard input act through the real controls:
//     talk, mute, press [right], release, ctrl-down, ctrl-up, invite <nick>, close, close-window,
//     chat-public <text>, chat-private <nick> <text>
//   (with a trace, every room chat line shown: "chat|<target or _ALL_>|<line>")
//   KALIMO_TEST_INTERVALS=enum=<ms>,pause=<ms>,deadpeer=<ms>
class AgganciProva final
{
public:
    explicit AgganciProva(const QProcessEnvironment& ambiente);
    ~AgganciProva();
    AgganciProva(const AgganciProva&) = delete;
    AgganciProva& operator=(const AgganciProva&) = delete;

    // Puts the hooks that are on in place of what main() would use.
    void applica(ServiziVoce& servizi, IntervalliVoce& intervalli, session::SessionTimings& tempi,
                 FabbricaAudio& fabbrica, AudioSettings& impostazioni);

    struct Stato;

private:
    std::unique_ptr<Stato> m_stato;
};

} // namespace kalimo::voce
