// Voice engine costs and latency; prints figures, judges nothing.
#include "platform/voiceengine/capturepipeline.h"
#include "platform/voiceengine/opuscodec.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/signalsource.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

using namespace kalimo;

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void report(const char* what, double cpu, int frames, double audioSeconds)
{
    std::printf("%-44s %8.1f us/frame   real-time factor %.4f\n", what, cpu / frames * 1e6,
                cpu / audioSeconds);
}

QList<QByteArray> encodeSpeech(int frames, quint32 seed)
{
    VoiceResult r;
    auto enc = OpusFrameEncoder::create(20, 32000, r);
    SignalSource src = SignalSource::sequence(
        {{SignalSource::speechBursts(0.3 + 0.01 * (seed % 10), 180 + int(seed % 7) * 10, 120),
          600000}});
    std::vector<qint16> pcm(size_t(samplesForMs(20)));
    QList<QByteArray> out;
    for (int i = 0; i < frames; ++i) {
        src.generate(pcm.data(), int(pcm.size()));
        QByteArray p;
        enc->encode(pcm.data(), p);
        out.append(p);
    }
    return out;
}

void captureCost()
{
    const int seconds = 60;
    const int frames = seconds * 50;
    VoiceResult r;
    SignalSource src = SignalSource::speechBursts(0.3, 200, 120);
    std::vector<qint16> pcm(size_t(samplesForMs(20)));
    // As the engine runs it, 10 ms frames by default, with and without the
    // echo canceller (fed with a far end that is speaking too).
    for (int frameMs : {20, 10}) {
        for (bool echo : {false, true}) {
            int sent = 0;
            CapturePipeline::Events events;
            events.frame = [&](const QByteArray&, quint16) { ++sent; };
            CapturePipeline::Options o;
            o.frameMs = frameMs;
            o.echoCancel = echo;
            auto pipeline = CapturePipeline::create(o, events, r);
            VoiceClientConfig c;
            c.flags = VoiceClientConfig::AutoVoiceActivated | VoiceClientConfig::AutoRecordVolume;
            pipeline->setConfig(c);
            SignalSource far = SignalSource::speechBursts(0.2, 170, 90);
            std::vector<qint16> farPcm(pcm.size());
            const double t0 = cpuSeconds();
            for (int i = 0; i < frames; ++i) {
                far.generate(farPcm.data(), int(farPcm.size()));
                pipeline->played(farPcm.data(), int(farPcm.size()));
                src.generate(pcm.data(), int(pcm.size()));
                pipeline->push(pcm.data(), int(pcm.size()));
            }
            char label[96];
            std::snprintf(label, sizeof label, "capture%s (%d ms frames)",
                          echo ? " + echo cancellation" : ": denoise+AGC+gate+encode", frameMs);
            report(label, cpuSeconds() - t0, frames, seconds);
            std::printf("%-44s %d frames sent\n", "", sent);
        }
    }

    auto enc = OpusFrameEncoder::create(20, 32000, r);
    const double t1 = cpuSeconds();
    for (int i = 0; i < frames; ++i) {
        src.generate(pcm.data(), int(pcm.size()));
        QByteArray p;
        enc->encode(pcm.data(), p);
    }
    report("encode only (Opus VOIP 32 kbit/s, 20 ms)", cpuSeconds() - t1, frames, seconds);
}

void playbackCost(int speakers)
{
    const int seconds = 60;
    const int frames = seconds * 50;
    std::vector<QList<QByteArray>> streams;
    for (int s = 0; s < speakers; ++s)
        streams.push_back(encodeSpeech(frames, quint32(s + 1)));
    PlaybackMixer mixer;
    std::vector<qint16> out(size_t(samplesForMs(10)));
    const double t0 = cpuSeconds();
    for (int i = 0; i < frames; ++i) {
        for (int s = 0; s < speakers; ++s)
            mixer.put(quint32(s + 1), quint16(i), streams[size_t(s)][i]);
        mixer.render(out.data(), int(out.size()));
        mixer.render(out.data(), int(out.size()));
    }
    char label[80];
    std::snprintf(label, sizeof label, "playback: jitter+decode+mix, %d speaker%s", speakers,
                  speakers == 1 ? "" : "s");
    report(label, cpuSeconds() - t0, frames, seconds);
}

// Capture of one engine to playback of another, frames delayed by a random
// network delay of up to `jitterMs`.
void latency(int jitterMs, int frameMs)
{
    QTemporaryDir dir;
    AudioSettings settings = AudioSettings::atFile(dir.filePath(QStringLiteral("a.ini")));
    settings.save({SyntheticAudioBackend::defaultInputId(), QString(),
                   SyntheticAudioBackend::defaultOutputId(), QString()});
    SyntheticAudioBackend talkerAudio, listenerAudio;
    VoiceEngine::Options options;
    options.frameMs = frameMs;
    options.captureBufferMs = frameMs;
    VoiceEngine talker(talkerAudio, settings, options), listener(listenerAudio, settings);
    // Bursts of a tone: each burst's onset is a mark to find at the far end.
    const int periodMs = 1000;
    talkerAudio.setCaptureSource(SignalSource::speechBursts(0.5, 400, periodMs - 400));
    std::multimap<qint64, std::pair<quint16, QByteArray>> inFlight;
    QRandomGenerator random(5);
    QObject::connect(&talker, &VoiceEngine::FrameEncoded, &listener,
                     [&](const QByteArray& f, quint16 seq) {
                         const qint64 due = talkerAudio.nowSamples() +
                                            samplesForMs(int(random.bounded(jitterMs + 1)));
                         inFlight.emplace(due, std::make_pair(seq, f));
                     });
    VoiceClientConfig c;
    c.flags = 0;
    talker.Connect(c);
    c.flags = VoiceClientConfig::RecordMuted;
    listener.Connect(c);
    const int seconds = 30;
    for (int t = 0; t < seconds * 1000; t += 10) {
        talkerAudio.advance(10);
        while (!inFlight.empty() && inFlight.begin()->first <= talkerAudio.nowSamples()) {
            listener.FrameReceived(1, inFlight.begin()->second.first,
                                   inFlight.begin()->second.second);
            inFlight.erase(inFlight.begin());
        }
        listenerAudio.advance(10);
    }
    // Where a burst crosses the mark level in the captured signal itself.
    QVector<qint16> burst(samplesForMs(periodMs));
    SignalSource::speechBursts(0.5, 400, periodMs - 400).generate(burst.data(), int(burst.size()));
    qsizetype mark = 0;
    while (mark < burst.size() && std::abs(int(burst[mark])) <= 1500)
        ++mark;
    const double markMs = double(mark) * 1000.0 / kSampleRate;
    // Both clocks started together; find each burst's onset in the output.
    const QVector<qint16>& heard = listenerAudio.played();
    double sum = 0;
    int found = 0;
    for (int b = 5; b < seconds - 1; ++b) {
        const qsizetype start = samplesForMs(b * periodMs);
        for (qsizetype i = start; i < start + samplesForMs(periodMs - 100) && i < heard.size();
             ++i) {
            if (std::abs(int(heard[i])) > 1500) {
                sum += double(i - start) * 1000.0 / kSampleRate - markMs;
                ++found;
                break;
            }
        }
    }
    std::printf("latency capture->playback, %2d ms frames, jitter 0..%3d ms: %6.1f ms (%d bursts, "
                "%d underruns)\n",
                frameMs, jitterMs, found ? sum / found : -1.0, found, listenerAudio.underruns());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    captureCost();
    playbackCost(1);
    playbackCost(10);
    latency(0, 20);
    latency(0, 10);
    latency(40, 20);
    latency(100, 20);
    return 0;
}
