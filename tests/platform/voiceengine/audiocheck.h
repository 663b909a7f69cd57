#pragma once

#include "platform/voiceengine/audiobackend.h"
#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/opuscodec.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/signalsource.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>
#include <QVector>

#include <cmath>
#include <memory>
#include <numbers>

namespace kalimo::test {

// Share (0..1) of the energy of v[from, from + n) at `hz`, by the Goertzel filter.
inline double toneShare(const QVector<qint16>& v, qsizetype from, qsizetype n, double hz)
{
    const double c = 2.0 * std::cos(2.0 * std::numbers::pi * hz / kSampleRate);
    double s1 = 0, s2 = 0, energy = 0;
    n = std::min(n, v.size() - from);
    for (qsizetype i = from; i < from + n; ++i) {
        const double s0 = v[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += double(v[i]) * v[i];
    }
    return energy > 0 ? 2.0 * (s1 * s1 + s2 * s2 - c * s1 * s2) / double(n) / energy : 0.0;
}

// The lowest tone share over consecutive 100 ms windows (0 when none fits):
// the level may change (a denoiser learning a steady tone), the pitch may not.
inline double minToneShare(const QVector<qint16>& v, qsizetype from, qsizetype n, double hz)
{
    const qsizetype w = samplesForMs(100), end = std::min(from + n, v.size());
    double lowest = from + w <= end ? 1.0 : 0.0;
    for (qsizetype at = from; at + w <= end; at += w)
        lowest = std::min(lowest, toneShare(v, at, w, hz));
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
    for (qsizetype i = from; i < std::min(from + n, v.size()); ++i)
        best = std::max(best, run = v[i] == 0 ? run + 1 : 0);
    return best;
}

// First index from `from` on whose magnitude reaches `level`, or -1.
inline qsizetype firstAbove(const QVector<qint16>& v, int level, qsizetype from = 0)
{
    const auto at = std::find_if(v.begin() + std::min(from, v.size()), v.end(),
                                 [level](qint16 s) { return std::abs(int(s)) >= level; });
    return at == v.end() ? -1 : at - v.begin();
}

// `count` Opus frames of a tone, as a sender expecting `loss` % would make them.
inline QList<QByteArray> encodeTone(double hz, double amplitude, int count, int frameMs = 20,
                                    int loss = 10)
{
    VoiceResult r;
    auto enc = OpusFrameEncoder::create(frameMs, 32000, r);
    enc->setExpectedLoss(loss);
    SignalSource tone = SignalSource::tone(hz, amplitude);
    QVector<qint16> pcm(samplesForMs(frameMs));
    QList<QByteArray> frames(count);
    for (QByteArray& packet : frames) {
        tone.generate(pcm.data(), int(pcm.size()));
        enc->encode(pcm.constData(), packet);
    }
    return frames;
}

// Renders `ms` of the mix in 10 ms blocks, as the playback push does.
inline QVector<qint16> renderMs(PlaybackMixer& mixer, int ms)
{
    QVector<qint16> out(samplesForMs(ms));
    for (qsizetype at = 0; at + samplesForMs(10) <= out.size(); at += samplesForMs(10))
        mixer.render(out.data() + at, samplesForMs(10));
    return out;
}

// Decodes frames in order with a fresh decoder.
inline QVector<qint16> decodeAll(const QList<QByteArray>& frames)
{
    VoiceResult r;
    auto dec = OpusFrameDecoder::create(r);
    QVector<qint16> out, buf(kMaxPacketSamples);
    for (const QByteArray& f : frames) {
        const int n = dec->decode(f.constData(), int(f.size()), buf.data());
        out.append(buf.mid(0, std::max(n, 0)));
    }
    return out;
}

// One engine on a synthetic backend with a saved device choice.
struct Rig
{
    explicit Rig(VoiceEngine::Options options = {}, double captureHz = 0, bool saveChoice = true,
                 bool echoCancel = true)
        : settings(AudioSettings::atFile(dir.filePath(QStringLiteral("audio.ini"))))
    {
        if (captureHz > 0)
            backend.setCaptureSource(SignalSource::tone(captureHz, 0.5));
        AudioDeviceChoice choice{SyntheticAudioBackend::defaultInputId(), "in",
                                 SyntheticAudioBackend::defaultOutputId(), "out"};
        choice.echoCancel = echoCancel;
        if (saveChoice)
            settings.save(choice);
        engine = std::make_unique<VoiceEngine>(backend, settings, options);
        QObject::connect(engine.get(), &VoiceEngine::FrameEncoded, engine.get(),
                         [this](const QByteArray& f, quint16 seq) {
                             frames.append(f);
                             seqs.append(seq);
                         });
    }

    QTemporaryDir dir;
    SyntheticAudioBackend backend;
    AudioSettings settings;
    std::unique_ptr<VoiceEngine> engine;
    QList<QByteArray> frames;
    QList<quint16> seqs;
};

} // namespace kalimo::test
