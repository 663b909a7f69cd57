// Real audio through a private PulseAudio server with null sinks: the Qt
// backend plays decoded voice into one sink and captures another sink's
// monitor, and PulseAudio's own tools stand at the far ends.
#include "audiocheck.h"

#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

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
// Only a stuck server or stream takes this long.
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
public:
    explicit TestVoicePulse(const QString& root) : m_root(root) {}
    ~TestVoicePulse() override { cleanupTestCase(); }

    // Must run before Qt Multimedia first looks for a server.
    static void exportEnvironment(const QString& root)
    {
        QDir(root).mkpath("run");
        QDir(root).mkpath("home/.config");
        QFile client(root + "/client.conf");
        if (client.open(QIODevice::WriteOnly))
            client.write("autospawn = no\n");
        qputenv("HOME", QFile::encodeName(root + "/home"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + "/home/.config"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + "/run"));
        qputenv("PULSE_RUNTIME_PATH", QFile::encodeName(root + "/run"));
        qputenv("PULSE_STATE_PATH", QFile::encodeName(root + "/home"));
        qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(client.fileName()));
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(root + "/run/native"));
    }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void playbackReachesTheSink_data();
    void playbackReachesTheSink();
    void captureBecomesFrames();

private:
    QString startServer();
    AudioSettings settingsFor(const QByteArray& input, const QByteArray& output);

    QString m_root;
    QProcess m_daemon;
    QTemporaryDir m_dir;
};

// Empty when the server runs with every device; otherwise why not.
QString TestVoicePulse::startServer()
{
    const QString daemon = QStandardPaths::findExecutable("pulseaudio");
    if (daemon.isEmpty())
        return "pulseaudio is not installed";
    if (QStandardPaths::findExecutable("pactl").isEmpty())
        return "pulseaudio-utils (pactl, parec, pacat) is not installed";
    QFile script(m_root + "/server.pa");
    if (!script.open(QIODevice::WriteOnly))
        return "cannot write the server script";
    const QString sink = "load-module module-null-sink sink_name=%1 rate=48000 channels=1 "
                         "format=s16le norewinds=1\n";
    script.write(("load-module module-native-protocol-unix auth-anonymous=1 socket=" + m_root +
                  "/run/native\n" + sink.arg(kPlay) + sink.arg(kMic) +
                  QString("load-module module-remap-source source_name=%1 master=%2.monitor "
                          "rate=48000 channels=1 format=s16le\n")
                      .arg(kIn, kMic))
                     .toUtf8());
    script.close();

    m_daemon.setProcessChannelMode(QProcess::MergedChannels);
    // Never outlive a crashed test.
    m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // As root, pulseaudio 16 only warns about a per-user server.
    m_daemon.start(daemon, {"--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                            "--log-target=stderr", "-F", script.fileName()});
    if (!m_daemon.waitForStarted())
        return "pulseaudio did not start: " + m_daemon.errorString();
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kDeadlineMs) {
        if (m_daemon.state() == QProcess::NotRunning)
            return "pulseaudio refused to run: " + QString::fromLocal8Bit(m_daemon.readAll());
        QProcess ask;
        ask.start("pactl", {"list", "short", "sources"});
        if (ask.waitForFinished() && ask.readAllStandardOutput().contains(kIn.toUtf8()))
            return {};
        QTest::qWait(100);
    }
    return "pulseaudio never answered: " + QString::fromLocal8Bit(m_daemon.readAll());
}

void TestVoicePulse::initTestCase()
{
    const QString why = startServer();
    if (!why.isEmpty())
        QSKIP(qPrintable("no private PulseAudio server: " + why));
    QtAudioBackend backend;
    QStringList ids;
    for (const AudioDevice& d : backend.outputDevices() + backend.inputDevices())
        ids.append(QString::fromUtf8(d.id));
    QVERIFY2(ids.contains(kPlay) && ids.contains(kIn), qPrintable(ids.join(' ')));
}

void TestVoicePulse::cleanupTestCase()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
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

int main(int argc, char** argv)
{
    QTemporaryDir root(QDir::tempPath() + "/kalimo-pulse-XXXXXX");
    if (!root.isValid())
        return 1;
    TestVoicePulse::exportEnvironment(root.path());
    QCoreApplication app(argc, argv);
    TestVoicePulse test(root.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_voicepulse.moc"
