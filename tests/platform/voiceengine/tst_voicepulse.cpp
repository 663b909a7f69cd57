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
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>
#include <sys/prctl.h>

using namespace kalimo;
using namespace kalimo::test;

namespace {

const QString kPlaySink = QStringLiteral("kalimo_play");
const QString kMicSink = QStringLiteral("kalimo_mic");
// Qt lists no monitor sources, so the microphone is a plain source over the
// mic sink's monitor.
const QString kMicSource = QStringLiteral("kalimo_in");
const QString kFormat[] = {QStringLiteral("--rate=48000"), QStringLiteral("--channels=1"),
                           QStringLiteral("--format=s16le"), QStringLiteral("--latency-msec=20")};
constexpr double kAmplitude = 0.4;
constexpr int kOnsetLevel = int(0.05 * 32767);
constexpr int kJudgedMs = 1000;
// Large device buffers: this checks what arrives, not how soon, and a busy
// machine must not starve the devices.
constexpr int kCaptureBufferMs = 100;
constexpr int kPlaybackBufferMs = 200;
// Generous: only a stuck server or stream would take this long.
constexpr int kDeadlineMs = 30000;

QStringList streamArgs(QStringList args)
{
    for (const QString& a : kFormat)
        args.append(a);
    return args;
}

// The server lives in its own folder; the environment pointing at it must
// be set before Qt Multimedia first looks for a server.
class PrivatePulse final
{
public:
    explicit PrivatePulse(const QString& root) : m_root(root) {}
    ~PrivatePulse() { stop(); }

    static QString socketPath(const QString& root) { return root + QStringLiteral("/run/native"); }
    QString socketPath() const { return socketPath(m_root); }

    static void exportEnvironment(const QString& root)
    {
        QDir(root).mkpath(QStringLiteral("run"));
        QDir(root).mkpath(QStringLiteral("home/.config/pulse"));
        QFile client(root + QStringLiteral("/client.conf"));
        if (client.open(QIODevice::WriteOnly))
            client.write("autospawn = no\n");
        qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/home/.config")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/run")));
        qputenv("PULSE_RUNTIME_PATH", QFile::encodeName(root + QStringLiteral("/run")));
        qputenv("PULSE_STATE_PATH", QFile::encodeName(root + QStringLiteral("/home")));
        qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(client.fileName()));
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socketPath(root)));
    }

    // Empty when the server runs with both sinks; otherwise why not.
    QString start()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (daemon.isEmpty())
            return QStringLiteral("pulseaudio is not installed");
        if (QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty())
            return QStringLiteral("pulseaudio-utils (pactl, parec, pacat) is not installed");
        QFile script(m_root + QStringLiteral("/server.pa"));
        if (!script.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write the server script");
        const QString sink = QStringLiteral("load-module module-null-sink sink_name=%1 rate=48000 "
                                            "channels=1 format=s16le norewinds=1\n");
        script.write(QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 "
                                    "socket=%1\n")
                         .arg(socketPath())
                         .toUtf8());
        script.write(sink.arg(kPlaySink).toUtf8());
        script.write(sink.arg(kMicSink).toUtf8());
        script.write(
            QStringLiteral("load-module module-remap-source source_name=%1 master=%2.monitor "
                           "rate=48000 channels=1 format=s16le\n")
                .arg(kMicSource, kMicSink)
                .toUtf8());
        script.close();

        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        // Root is refused a per-user server unless the warning is the only
        // objection, which holds for pulseaudio 16; the server must not
        // outlive a crashed test.
        m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_daemon.start(daemon,
                       {QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                        QStringLiteral("-n"), QStringLiteral("--use-pid-file=no"),
                        QStringLiteral("--disallow-module-loading=no"),
                        QStringLiteral("--log-target=stderr"), QStringLiteral("-F"),
                        script.fileName()});
        if (!m_daemon.waitForStarted())
            return QStringLiteral("pulseaudio did not start: ") + m_daemon.errorString();

        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kDeadlineMs) {
            if (m_daemon.state() == QProcess::NotRunning)
                return QStringLiteral("pulseaudio refused to run: ") +
                       QString::fromLocal8Bit(m_daemon.readAll()).trimmed();
            QProcess ask;
            ask.start(QStringLiteral("pactl"),
                      {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")});
            if (ask.waitForFinished() && ask.exitCode() == 0) {
                const QString sinks = QString::fromUtf8(ask.readAllStandardOutput());
                if (sinks.contains(kPlaySink) && sinks.contains(kMicSink))
                    return {};
            }
            QTest::qWait(100);
        }
        return QStringLiteral("pulseaudio never answered: ") +
               QString::fromLocal8Bit(m_daemon.readAll()).trimmed();
    }

    void stop()
    {
        if (m_daemon.state() == QProcess::NotRunning)
            return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished();
        }
    }

private:
    QString m_root;
    QProcess m_daemon;
};

// A PulseAudio tool reading or writing raw 48 kHz mono samples.
struct Tool
{
    QProcess process;
    QVector<qint16> samples;
    QByteArray partial;

    void record(const QString& source)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            partial.append(process.readAllStandardOutput());
            const qsizetype n = partial.size() / 2;
            const qsizetype at = samples.size();
            samples.resize(at + n);
            std::memcpy(samples.data() + at, partial.constData(), size_t(n) * 2);
            partial.remove(0, n * 2);
        });
        process.start(QStringLiteral("parec"),
                      streamArgs({QStringLiteral("--raw"), QStringLiteral("-d"), source}));
    }

    void play(const QString& sink, const QVector<qint16>& pcm)
    {
        process.start(QStringLiteral("pacat"),
                      streamArgs({QStringLiteral("--playback"), QStringLiteral("--raw"),
                                  QStringLiteral("-d"), sink}));
        process.write(reinterpret_cast<const char*>(pcm.constData()), pcm.size() * 2);
        process.closeWriteChannel();
    }

    ~Tool()
    {
        process.kill();
        process.waitForFinished();
    }
};

QVector<qint16> toneSamples(double hz, int ms)
{
    QVector<qint16> pcm(samplesForMs(ms));
    SignalSource::tone(hz, kAmplitude).generate(pcm.data(), int(pcm.size()));
    return pcm;
}

// Judges a second of `pcm` from the tone's onset on, in 20 ms windows. The
// pitch must hold in most windows: on a busy machine a late frame or a
// device overrun bends a few. The loudest window must be near the sent
// level: the sender's denoiser learns a steady tone as noise and lowers it
// later on. Empty when it holds.
QString judgeTone(const QVector<qint16>& pcm, double hz)
{
    const qsizetype onset = firstAbove(pcm, kOnsetLevel);
    const qsizetype window = samplesForMs(20);
    const int windows = kJudgedMs / 20;
    if (onset < 0 || pcm.size() < onset + windows * window)
        return QStringLiteral("too little tone arrived (%1 samples, onset at %2)")
            .arg(pcm.size())
            .arg(onset);
    int clean = 0;
    double loudest = 0;
    for (int w = 0; w < windows; ++w) {
        clean += toneShare(pcm, onset + w * window, window, hz) >= 0.9 ? 1 : 0;
        loudest = std::max(loudest, rms(pcm, onset + w * window, window));
    }
    const double level = loudest / (kAmplitude * 32767 / std::sqrt(2.0));
    if (clean * 10 < windows * 6 || level < 0.5 || level > 1.5)
        return QStringLiteral("%1 of %2 windows hold %3 Hz, loudest level %4 of the sent one")
            .arg(clean)
            .arg(windows)
            .arg(hz)
            .arg(level);
    return {};
}

qsizetype toneLength(const QVector<qint16>& pcm)
{
    const qsizetype onset = firstAbove(pcm, kOnsetLevel);
    return onset < 0 ? 0 : pcm.size() - onset;
}

} // namespace

class TestVoicePulse : public QObject
{
    Q_OBJECT
public:
    explicit TestVoicePulse(PrivatePulse& server) : m_server(server) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void playbackReachesTheSink_data();
    void playbackReachesTheSink();
    void captureBecomesFrames();

private:
    AudioSettings settingsFor(const QByteArray& input, const QByteArray& output);

    PrivatePulse& m_server;
    QTemporaryDir m_dir;
};

void TestVoicePulse::initTestCase()
{
    const QString why = m_server.start();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no private PulseAudio server: ") + why));
    QtAudioBackend backend;
    QStringList outputs, inputs;
    for (const AudioDevice& d : backend.outputDevices())
        outputs.append(QString::fromUtf8(d.id));
    for (const AudioDevice& d : backend.inputDevices())
        inputs.append(QString::fromUtf8(d.id));
    QVERIFY2(outputs.contains(kPlaySink) && outputs.contains(kMicSink),
             qPrintable(outputs.join(u' ')));
    QVERIFY2(inputs.contains(kMicSource),
             qPrintable(inputs.join(u' ') + QStringLiteral(" / ") + outputs.join(u' ')));
}

void TestVoicePulse::cleanupTestCase()
{
    m_server.stop();
}

AudioSettings TestVoicePulse::settingsFor(const QByteArray& input, const QByteArray& output)
{
    static int count = 0;
    AudioSettings s =
        AudioSettings::atFile(m_dir.filePath(QStringLiteral("audio%1.ini").arg(++count)));
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
    SyntheticAudioBackend talkerAudio;
    talkerAudio.setCaptureSource(SignalSource::tone(440, kAmplitude));
    VoiceEngine::Options options;
    options.frameMs = frameMs;
    options.captureBufferMs = kCaptureBufferMs;
    options.playbackBufferMs = kPlaybackBufferMs;
    VoiceEngine talker(talkerAudio,
                       settingsFor(SyntheticAudioBackend::defaultInputId(),
                                   SyntheticAudioBackend::defaultOutputId()),
                       options);
    QtAudioBackend realAudio;
    VoiceEngine listener(realAudio, settingsFor(kMicSource.toUtf8(), kPlaySink.toUtf8()), options);
    connect(&talker, &VoiceEngine::FrameEncoded, &listener,
            [&](const QByteArray& f, quint16 seq) { listener.FrameReceived(1, seq, f); });

    Tool parec;
    parec.record(kPlaySink + QStringLiteral(".monitor"));
    QVERIFY(parec.process.waitForStarted());

    VoiceClientConfig muted;
    QVERIFY(listener.Connect(muted).ok());
    VoiceClientConfig talking;
    talking.flags = 0;
    QVERIFY(talker.Connect(talking).ok());

    QElapsedTimer clock;
    clock.start();
    qint64 advanced = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, &pace, [&] {
        const qint64 due =
            clock.elapsed() / SyntheticAudioBackend::kTickMs * SyntheticAudioBackend::kTickMs;
        talkerAudio.advance(int(due - advanced));
        advanced = due;
    });
    pace.start(5);

    QTRY_VERIFY_WITH_TIMEOUT(toneLength(parec.samples) >= samplesForMs(kJudgedMs), kDeadlineMs);
    const QString verdict = judgeTone(parec.samples, 440);
    QVERIFY2(verdict.isEmpty(), qPrintable(verdict));
}

// pacat plays a tone into the mic sink; the engine captures that sink's
// monitor through Qt, and its frames decode to the same tone.
void TestVoicePulse::captureBecomesFrames()
{
    QtAudioBackend realAudio;
    VoiceEngine::Options options;
    options.captureBufferMs = kCaptureBufferMs;
    options.playbackBufferMs = kPlaybackBufferMs;
    VoiceEngine engine(realAudio, settingsFor(kMicSource.toUtf8(), kPlaySink.toUtf8()), options);
    QList<QByteArray> frames;
    connect(&engine, &VoiceEngine::FrameEncoded, &engine,
            [&](const QByteArray& f, quint16) { frames.append(f); });
    VoiceClientConfig talking;
    talking.flags = 0;
    QVERIFY(engine.Connect(talking).ok());

    Tool pacat;
    pacat.play(kMicSink, toneSamples(660, 4000));
    QVERIFY(pacat.process.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(toneLength(decodeAll(frames)) >= samplesForMs(kJudgedMs), kDeadlineMs);
    const QString verdict = judgeTone(decodeAll(frames), 660);
    QVERIFY2(verdict.isEmpty(), qPrintable(verdict));
}

int main(int argc, char** argv)
{
    // Qt Multimedia reads the server address once, at first use.
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/kalimo-pulse-XXXXXX"));
    if (!root.isValid())
        return 1;
    PrivatePulse::exportEnvironment(root.path());
    QCoreApplication app(argc, argv);
    PrivatePulse server(root.path());
    TestVoicePulse test(server);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_voicepulse.moc"
