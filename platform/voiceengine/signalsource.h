#pragma once

#include "voiceresult.h"

#include <QList>
#include <QString>
#include <QVector>

#include <functional>

namespace kalimo {

// A generated or recorded capture signal, 48 kHz mono 16-bit, produced on
// demand. Copies share nothing.
class SignalSource final
{
public:
    using Generator = std::function<void(qint16* out, int count)>;

    SignalSource(); // silence
    explicit SignalSource(Generator generator);

    static SignalSource silence();
    // amplitude is a share of full scale, 0..1.
    static SignalSource tone(double hz, double amplitude);
    static SignalSource noise(double amplitude, quint32 seed = 1);
    // Syllables: a voiced sound (150 Hz and harmonics under a smooth envelope)
    // `onMs` long, then `offMs` of quiet, over and over.
    static SignalSource speechBursts(double amplitude, int onMs, int offMs);
    // A talker of a pitch of his own: harmonics of `f0` under a smooth
    // envelope, starting after `startMs`; with no pause, one steady vowel.
    // With a seed the pitch wanders from syllable to syllable, as a
    // speaker's does, so an echo canceller meets ever new frequencies.
    static SignalSource talker(double f0, double amplitude, int onMs, int offMs, int startMs = 0,
                               quint32 wander = 0);
    // Each part for its duration in ms, then silence.
    static SignalSource sequence(QList<QPair<SignalSource, int>> parts);

    void generate(qint16* out, int count);

private:
    Generator m_generator;
};

} // namespace kalimo
