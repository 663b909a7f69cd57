// Real audio through the private PulseAudio server of scripts/private-pulse.sh, which runs this
// test and makes its devices; PulseAudio's own tools stand at the far ends.
#include "audiocheck.h"

#include "platform/voiceengine/qtaudiobackend.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::test;

namespace {

// Qt lists no monitor sources: the microphone is a plain source over the
// mic sink's monitor.
const QString kPlay = "kalimo_play", kMic = "kalimo_mic", kIn = "kalimo_in";
constexpr double kAmplitude = 0.4;

// Empty when half a second of 20 ms windows from the onset on hold the pitch and the loudest is
// near the sent level (the sender's denoiser learns a steady tone as noise and lowers it later).
QString judgeTone(const QVector<qint16>& pcm, double hz)
{
    const qsizetype onset = firstAbove(pcm, int(0.05 * 32767)), window = samplesForMs(20);
    int clean = 0, windows = 0;
    double loudest = 0;
    for (qsizetype at = onset; onset >= 0 && at + window <= pcm.size(); at += window, ++windows) {
        clean += toneShare(pcm, at, window, hz) >= 0.9 ? 1 : 0;
        loudest = std::max(loudest, rms(pcm, at, window));
    }
    const double level = loudest / (kAmplitude * 32767 / std::sqrt(2.0));
    return clean < 30 || level < 0.5 || level > 1.5
               ? QString::asprintf("%d of %d windows hold %g Hz; loudest at %g of the sent level",
                                   clean, windows, hz, level)
               : QString();
}

// Gaps the ear heard: runs of exact zeros, 0.2 to 50 ms, between loud sound and loud sound (a
// decoder fading out or in makes zeros only quietly); less than 5 ms apart, one gap.
int gapsHeard(const QVector<qint16>& pcm)
{
    int gaps = 0;
    for (qsizetype i = 0, loud = -1, end = 0, last = -pcm.size(); i < pcm.size();
         i = std::max(i + 1, end)) {
        loud = std::abs(int(pcm[i])) >= 1000 ? i : loud;
        for (end = i; end < pcm.size() && pcm[end] == 0;)
            ++end;
        if (end - i < 8 || end - i > samplesForMs(50) || loud < 0 || i - loud > samplesForMs(35))
            continue;
        const qsizetype resumed = firstAbove(pcm, 1000, end);
        if (resumed < 0 || resumed - end > samplesForMs(2))
            continue;
        gaps += i - last >= samplesForMs(5);
        last = end;
    }
    return gaps;
}

} // namespace

class TestVoicePulse : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void toneCrossesTheServer_data();
    void toneCrossesTheServer();
    void deviceDueWhileTheBackendGoes();
    // A stopped device left alive when Qt frees PulseAudio's loop after main() aborts: the
    // backend takes its stopped devices with it, even where no timer runs again.
    void cleanup() { QCOMPARE(QtAudioBackend::liveDevices(), 0); }
};

void TestVoicePulse::toneCrossesTheServer_data()
{
    QTest::addColumn<bool>("playback");
    QTest::addColumn<int>("frameMs");
    QTest::addColumn<int>("bufferMs"); // the playback device's; 0 = the engine's own sizes
    QTest::newRow("playback, 20 ms frames") << true << 20 << 0;
    QTest::newRow("playback, 10 ms frames") << true << 10 << 0;
    // PulseAudio asks for a quarter of it at a time: 15 ms queued runs dry every 20 ms, counted.
    QTest::newRow("playback, small queue in a large buffer") << true << 20 << 200;
    QTest::newRow("capture") << false << 10 << 0;
}

// Playback: a talker on synthetic devices, paced by the real clock, sends a tone to a listener
// whose Qt playback goes to the play sink; parec hears its monitor. Capture: pacat plays a tone
// into the mic sink; the engine captures that sink's monitor, and its frames decode to it.
void TestVoicePulse::toneCrossesTheServer()
{
    QFETCH(bool, playback);
    QFETCH(int, frameMs);
    QFETCH(int, bufferMs);
    VoiceEngine::Options options{.frameMs = frameMs, .captureBufferMs = playback ? 5 : 100};
    if (bufferMs > 0)
        options = {.frameMs = frameMs, .playbackBufferMs = bufferMs, .playbackQueueMs = 15};
    Rig talker(options, 440);
    QtAudioBackend realAudio;
    const AudioSettings real = AudioSettings::atFile(talker.dir.filePath("real.ini"));
    QVERIFY(real.save({kIn.toUtf8(), kIn, kPlay.toUtf8(), kPlay}).ok());
    VoiceEngine engine(realAudio, real, options);
    connect(&engine, &VoiceEngine::FrameEncoded, &engine,
            [&](const QByteArray& f, quint16) { talker.frames.append(f); });
    connect(talker.engine.get(), &VoiceEngine::FrameEncoded, &engine,
            [&](const QByteArray& f, quint16 seq) { engine.FrameReceived(1, seq, f); });

    const double hz = playback ? 440 : 660;
    // Declared first: the tool's destructor may still deliver output into it.
    QByteArray heard;
    QProcess tool;
    connect(&tool, &QProcess::readyReadStandardOutput, &tool,
            [&] { heard += tool.readAllStandardOutput(); });
    tool.start(playback ? "parec" : "pacat",
               {"-d", playback ? kPlay + ".monitor" : kMic, playback ? "--record" : "--playback",
                "--raw", "--rate=48000", "--channels=1", "--format=s16le", "--latency-msec=20"});
    QVERIFY(tool.waitForStarted());
    VoiceClientConfig config;
    config.flags = playback ? VoiceClientConfig::RecordMuted : 0;
    QVERIFY(engine.Connect(config).ok());
    QElapsedTimer clock;
    clock.start();
    qint64 advanced = 0;
    QTimer pace;
    if (playback) {
        config.flags = 0;
        QVERIFY(talker.engine->Connect(config).ok());
        connect(&pace, &QTimer::timeout, &pace, [&] {
            const qint64 due = clock.elapsed() / 10 * 10;
            talker.backend.advance(int(due - advanced));
            advanced = due;
        });
        pace.start(5);
    } else {
        QVector<qint16> tone(samplesForMs(4000));
        SignalSource::tone(hz, kAmplitude).generate(tone.data(), int(tone.size()));
        tool.write(reinterpret_cast<const char*>(tone.constData()), tone.size() * 2);
        tool.closeWriteChannel();
    }
    const auto pcm = [&] {
        const auto* at = reinterpret_cast<const qint16*>(heard.constData());
        return QVector<qint16>(at, at + heard.size() / 2);
    };
    const bool judging = bufferMs == 0; // a device that keeps running dry bends the tone
    const auto judged = [&] {
        return judging ? judgeTone(playback ? pcm() : decodeAll(talker.frames), hz) : QString();
    };
    // A real event loop: QTest::qWait sleeps 10 ms between events, which starves playback.
    QEventLoop loop;
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if ((!playback || heard.size() / 2 >= samplesForMs(4000)) && judged().isEmpty())
            loop.quit();
    });
    check.start(250);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY2(judged().isEmpty(), qPrintable(judged()));
    if (playback) {
        // The ear's gaps are underruns the engine counted, or its reopens (some slack).
        const int gaps = gapsHeard(pcm()), underruns = engine.playbackUnderruns();
        const int reopens = (engine.playbackBufferMs() - options.playbackBufferMs) / 5;
        const QString seen = QString::asprintf("%d gaps heard, %d underruns counted, %d reopens",
                                               gaps, underruns, reopens);
        QVERIFY2(4 * (underruns + reopens + 2) >= 3 * gaps && (judging || underruns > 0),
                 qPrintable(seen));
    }
    tool.kill();
    tool.waitForFinished();
}

// Qt's PulseAudio sink runs the event loop in its destructor: a stopped device whose delay ran
// out unnoticed (no event loop since) came due there and was deleted a second time.
void TestVoicePulse::deviceDueWhileTheBackendGoes()
{
    auto backend = std::make_unique<QtAudioBackend>();
    for (const QString& device : {kPlay, kPlay}) {
        auto opened = backend->openPlayback(device.toUtf8(), 20, [] {}, {});
        QVERIFY2(opened.result.ok(), qPrintable(opened.result.detail));
    }
    QThread::msleep(1100);
    backend.reset();
}

QTEST_GUILESS_MAIN(TestVoicePulse)
#include "tst_voicepulse.moc"
