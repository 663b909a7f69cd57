// Real audio through the private PulseAudio server of
// scripts/private-pulse.sh, which runs this test: the Qt backend plays
// decoded voice into one null sink and captures another sink's monitor,
// and PulseAudio's own tools stand at the far ends.
#include "audiocheck.h"

#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::test;

namespace {

// Qt lists no monitor sources: the microphone is a plain source over the
// mic sink's monitor.
const QString kPlay = "kalimo_play", kMic = "kalimo_mic", kIn = "kalimo_in";
constexpr double kAmplitude = 0.4;
constexpr int kOnsetLevel = int(0.05 * 32767);
// Windows of 20 ms that must hold the pitch: over half a second of clean tone.
constexpr int kCleanWindows = 30;
// Roomy device buffers: this checks what arrives, not how soon, and a busy
// machine must not starve the devices.
constexpr int kCaptureBufferMs = 100;
constexpr int kPlaybackBufferMs = 200;
// Only a stuck stream takes this long.
constexpr int kDeadlineMs = 30000;

QStringList rawStream(const QStringList& args)
{
    return args + QStringList{"--raw", "--rate=48000", "--channels=1", "--format=s16le",
                              "--latency-msec=20"};
}

QVector<qint16> pcmOf(const QByteArray& raw)
{
    QVector<qint16> pcm(raw.size() / 2);
    if (!pcm.isEmpty())
        std::memcpy(pcm.data(), raw.constData(), size_t(pcm.size()) * 2);
    return pcm;
}

// Judges what was heard from the tone's onset on, in 20 ms windows: enough of them must hold the
// pitch, however many a busy machine bent with a late frame or an overrun on the way, and the
// loudest must be near the sent level (the sender's denoiser learns a steady tone as noise and
// lowers it later). Empty when it holds; a broken path never gets there.
QString judgeTone(const QVector<qint16>& pcm, double hz)
{
    const qsizetype onset = firstAbove(pcm, kOnsetLevel);
    const qsizetype window = samplesForMs(20);
    int clean = 0, windows = 0;
    double loudest = 0;
    for (qsizetype at = onset; onset >= 0 && at + window <= pcm.size(); at += window, ++windows) {
        clean += toneShare(pcm, at, window, hz) >= 0.9 ? 1 : 0;
        loudest = std::max(loudest, rms(pcm, at, window));
    }
    const double level = loudest / (kAmplitude * 32767 / std::sqrt(2.0));
    if (clean < kCleanWindows || level < 0.5 || level > 1.5)
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
    void playbackReachesTheSink_data();
    void playbackReachesTheSink();
    void captureBecomesFrames();

private:
    AudioSettings settingsFor(const QByteArray& input, const QByteArray& output);

    QTemporaryDir m_dir;
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

AudioSettings TestVoicePulse::settingsFor(const QByteArray& input, const QByteArray& output)
{
    static int count = 0;
    AudioSettings s = AudioSettings::atFile(m_dir.filePath(QString("a%1.ini").arg(++count)));
    s.save({input, QString::fromUtf8(input), output, QString::fromUtf8(output)});
    return s;
}

void TestVoicePulse::playbackReachesTheSink_data()
{
    QTest::addColumn<int>("frameMs");
    QTest::newRow("20 ms frames") << 20;
    QTest::newRow("10 ms frames") << 10;
}

// A talker on synthetic devices, paced by the real clock, sends a tone to a
// listener whose Qt playback goes to the play sink; parec hears its monitor.
void TestVoicePulse::playbackReachesTheSink()
{
    QFETCH(int, frameMs);
    const VoiceEngine::Options options{.frameMs = frameMs,
                                       .captureBufferMs = kCaptureBufferMs,
                                       .playbackBufferMs = kPlaybackBufferMs};
    SyntheticAudioBackend talkerAudio;
    talkerAudio.setCaptureSource(SignalSource::tone(440, kAmplitude));
    VoiceEngine talker(talkerAudio,
                       settingsFor(SyntheticAudioBackend::defaultInputId(),
                                   SyntheticAudioBackend::defaultOutputId()),
                       options);
    QtAudioBackend realAudio;
    VoiceEngine listener(realAudio, settingsFor(kIn.toUtf8(), kPlay.toUtf8()), options);
    connect(&talker, &VoiceEngine::FrameEncoded, &listener,
            [&](const QByteArray& f, quint16 seq) { listener.FrameReceived(1, seq, f); });

    QProcess parec;
    QByteArray heard;
    connect(&parec, &QProcess::readyReadStandardOutput, &parec,
            [&] { heard += parec.readAllStandardOutput(); });
    parec.start("parec", rawStream({"-d", kPlay + ".monitor"}));
    QVERIFY(parec.waitForStarted());

    QVERIFY(listener.Connect(VoiceClientConfig{}).ok()); // muted
    VoiceClientConfig talking;
    talking.flags = 0;
    QVERIFY(talker.Connect(talking).ok());
    QElapsedTimer clock;
    clock.start();
    qint64 advanced = 0;
    QTimer pace;
    connect(&pace, &QTimer::timeout, &pace, [&] {
        const int tick = SyntheticAudioBackend::kTickMs;
        const qint64 due = clock.elapsed() / tick * tick;
        talkerAudio.advance(int(due - advanced));
        advanced = due;
    });
    pace.start(5);

    QTRY_VERIFY2_WITH_TIMEOUT(judgeTone(pcmOf(heard), 440).isEmpty(),
                              qPrintable(judgeTone(pcmOf(heard), 440)), kDeadlineMs);
    parec.kill();
    parec.waitForFinished();
}

// pacat plays a tone into the mic sink; the engine captures that sink's
// monitor through Qt, and its frames decode to the same tone.
void TestVoicePulse::captureBecomesFrames()
{
    const VoiceEngine::Options options{.captureBufferMs = kCaptureBufferMs,
                                       .playbackBufferMs = kPlaybackBufferMs};
    QtAudioBackend realAudio;
    VoiceEngine engine(realAudio, settingsFor(kIn.toUtf8(), kPlay.toUtf8()), options);
    QList<QByteArray> frames;
    connect(&engine, &VoiceEngine::FrameEncoded, &engine,
            [&](const QByteArray& f, quint16) { frames.append(f); });
    VoiceClientConfig talking;
    talking.flags = 0;
    QVERIFY(engine.Connect(talking).ok());

    QVector<qint16> tone(samplesForMs(4000));
    SignalSource::tone(660, kAmplitude).generate(tone.data(), int(tone.size()));
    QProcess pacat;
    pacat.start("pacat", rawStream({"--playback", "-d", kMic}));
    QVERIFY(pacat.waitForStarted());
    pacat.write(reinterpret_cast<const char*>(tone.constData()), tone.size() * 2);
    pacat.closeWriteChannel();

    QTRY_VERIFY2_WITH_TIMEOUT(judgeTone(decodeAll(frames), 660).isEmpty(),
                              qPrintable(judgeTone(decodeAll(frames), 660)), kDeadlineMs);
    pacat.kill();
    pacat.waitForFinished();
}

QTEST_GUILESS_MAIN(TestVoicePulse)
#include "tst_voicepulse.moc"
