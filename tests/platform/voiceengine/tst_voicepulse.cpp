// Real audio through the private PulseAudio server of
// scripts/private-pulse.sh, which runs this test: the Qt backend plays
// decoded voice into one null sink and captures another sink's monitor,
// and PulseAudio's own tools stand at the far ends.
#include "audiocheck.h"

#include "platform/voiceengine/qtaudiobackend.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::test;

namespace {

// Qt lists no monitor sources: the microphone is a plain source over the
// mic sink's monitor.
const QString kPlay = "kalimo_play", kMic = "kalimo_mic", kIn = "kalimo_in";
constexpr double kAmplitude = 0.4;

// Judges what was heard from the tone's onset on, in 20 ms windows: over half a second of them
// must hold the pitch, however many a busy machine bent on the way, and the loudest must be near
// the sent level (the sender's denoiser learns a steady tone as noise and lowers it later).
// Empty when it holds; a broken path never gets there.
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
    if (clean < 30 || level < 0.5 || level > 1.5)
        return QString("%1 of %2 windows hold %3 Hz; loudest at %4 of the sent level")
            .arg(clean)
            .arg(windows)
            .arg(hz)
            .arg(level);
    return {};
}

} // namespace

class TestVoicePulse : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void toneCrossesTheServer_data();
    void toneCrossesTheServer();
    // Stopped Qt devices are deleted a second later (see retire()); let that happen, so the
    // leak check at exit sees nothing of ours.
    void cleanup() { QTest::qWait(1100); }
};

void TestVoicePulse::initTestCase()
{
    QtAudioBackend backend;
    QStringList ids;
    for (const AudioDevice& d : backend.outputDevices() + backend.inputDevices())
        ids.append(QString::fromUtf8(d.id));
    if (!ids.contains(kPlay) || !ids.contains(kIn))
        QSKIP("no kalimo_play and kalimo_in devices: run under scripts/private-pulse.sh");
}

void TestVoicePulse::toneCrossesTheServer_data()
{
    QTest::addColumn<bool>("playback");
    QTest::addColumn<int>("frameMs");
    QTest::newRow("playback, 20 ms frames") << true << 20;
    QTest::newRow("playback, 10 ms frames") << true << 10;
    QTest::newRow("capture") << false << 10;
}

// Playback: a talker on synthetic devices, paced by the real clock, sends a
// tone to a listener whose Qt playback goes to the play sink; parec hears
// its monitor. Capture: pacat plays a tone into the mic sink; the engine
// captures that sink's monitor through Qt, and its frames decode to it.
void TestVoicePulse::toneCrossesTheServer()
{
    QFETCH(bool, playback);
    QFETCH(int, frameMs);
    // Roomy device buffers, and a queue that keeps them well fed: this checks what arrives, not
    // how soon. A small queue in a large buffer runs dry unnoticed on a quiet machine.
    const VoiceEngine::Options options{.frameMs = frameMs,
                                       .captureBufferMs = 100,
                                       .playbackBufferMs = 200,
                                       .playbackQueueMs = 100};
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
    const auto judged = [&] {
        QVector<qint16> pcm(heard.size() / 2);
        if (!pcm.isEmpty()) // an empty vector's data() is null, which memcpy may not take
            std::memcpy(pcm.data(), heard.constData(), size_t(pcm.size()) * 2);
        return judgeTone(playback ? pcm : decodeAll(talker.frames), hz);
    };
    // Only a stuck stream takes this long.
    QTRY_VERIFY2_WITH_TIMEOUT(judged().isEmpty(), qPrintable(judged()), 30000);
    tool.kill();
    tool.waitForFinished();
}

QTEST_GUILESS_MAIN(TestVoicePulse)
#include "tst_voicepulse.moc"
