#pragma once

#include "platform/voiceengine/audiobackend.h"
#include "platform/voiceengine/opuscodec.h"
#include "platform/voiceengine/signalsource.h"

#include <QByteArray>
#include <QList>
#include <QVector>

#include <cmath>
#include <numbers>

namespace kalimo::test {

// Share (0..1) of the signal's energy at `hz`, by the Goertzel filter.
inline double toneShare(const qint16* s, qsizetype n, double hz)
{
    if (n <= 0)
        return 0.0;
    const double w = 2.0 * std::numbers::pi * hz / kSampleRate;
    const double c = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double x = s[i];
        const double s0 = x + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return energy > 0 ? (2.0 * power / double(n)) / energy : 0.0;
}

inline double toneShare(const QVector<qint16>& v, qsizetype from, qsizetype n, double hz)
{
    return toneShare(v.constData() + from, std::min(n, v.size() - from), hz);
}

// The lowest tone share over consecutive 100 ms windows: the level may
// change (a denoiser learning a steady tone), the pitch may not.
inline double minToneShare(const QVector<qint16>& v, qsizetype from, qsizetype n, double hz)
{
    const qsizetype w = samplesForMs(100);
    double lowest = 1.0;
    for (qsizetype at = from; at + w <= std::min(from + n, v.size()); at += w)
        lowest = std::min(lowest, toneShare(v.constData() + at, w, hz));
    return lowest;
}

inline double rms(const QVector<qint16>& v, qsizetype from, qsizetype n)
{
    double sum = 0;
    n = std::min(n, v.size() - from);
    for (qsizetype i = from; i < from + n; ++i)
        sum += double(v[i]) * v[i];
    return n > 0 ? std::sqrt(sum / double(n)) : 0.0;
}

// Longest run of exact zeros in [from, from + n).
inline qsizetype longestZeroRun(const QVector<qint16>& v, qsizetype from, qsizetype n)
{
    qsizetype best = 0, run = 0;
    for (qsizetype i = from; i < std::min(from + n, v.size()); ++i) {
        run = v[i] == 0 ? run + 1 : 0;
        best = std::max(best, run);
    }
    return best;
}

// First index whose magnitude reaches `level`, or -1.
inline qsizetype firstAbove(const QVector<qint16>& v, int level, qsizetype from = 0)
{
    for (qsizetype i = from; i < v.size(); ++i)
        if (std::abs(int(v[i])) >= level)
            return i;
    return -1;
}

// `count` Opus frames of a tone, as a sender would make them.
inline QList<QByteArray> encodeTone(double hz, double amplitude, int count, int frameMs = 20)
{
    VoiceResult r;
    auto enc = OpusFrameEncoder::create(frameMs, 32000, r);
    SignalSource tone = SignalSource::tone(hz, amplitude);
    QVector<qint16> pcm(samplesForMs(frameMs));
    QList<QByteArray> frames;
    for (int i = 0; i < count; ++i) {
        tone.generate(pcm.data(), int(pcm.size()));
        QByteArray packet;
        enc->encode(pcm.constData(), packet);
        frames.append(packet);
    }
    return frames;
}

// Decodes frames in order with a fresh decoder.
inline QVector<qint16> decodeAll(const QList<QByteArray>& frames)
{
    VoiceResult r;
    auto dec = OpusFrameDecoder::create(r);
    QVector<qint16> out;
    QVector<qint16> buf(kMaxPacketSamples);
    for (const QByteArray& f : frames) {
        const int n = dec->decode(f.constData(), int(f.size()), buf.data());
        if (n > 0)
            out.append(buf.mid(0, n));
    }
    return out;
}

} // namespace kalimo::test
