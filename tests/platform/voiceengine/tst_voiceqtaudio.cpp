#include "platform/voiceengine/qtaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kalimo;

// The Qt Multimedia devices with no audio server to talk to: every path
// must end in a clear result, at once.
class TestVoiceQtAudio : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void noAudioServer();
};

void TestVoiceQtAudio::noAudioServer()
{
    QtAudioBackend backend;
    QVERIFY(backend.inputDevices().isEmpty());
    QVERIFY(backend.outputDevices().isEmpty());
    bool called = false;
    auto capture = backend.openCapture(
        "anything", 20, [&](const qint16*, int) { called = true; }, nullptr);
    QVERIFY(!capture.stream);
    QCOMPARE(capture.result.error, VoiceError::NoAudioSystem);
    QVERIFY(!capture.result.detail.isEmpty());
    auto playback = backend.openPlayback(
        "anything", 40, [&] { called = true; }, nullptr);
    QVERIFY(!playback.stream);
    QCOMPARE(playback.result.error, VoiceError::NoAudioSystem);

    QTemporaryDir dir;
    AudioSettings settings = AudioSettings::atFile(dir.filePath(QStringLiteral("audio.ini")));
    QVERIFY(
        settings.save({"mic", QStringLiteral("Mic"), "speakers", QStringLiteral("Speakers")}).ok());
    VoiceEngine engine(backend, settings);
    QSignalSpy results(&engine, &VoiceEngine::ConnectResult);
    VoiceClientConfig config;
    QCOMPARE(engine.Connect(config).error, VoiceError::NoAudioSystem);
    QCOMPARE(results.size(), 1);
    QVERIFY(!engine.isConnected());
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

int main(int argc, char** argv)
{
    // A server address that cannot exist, so a running audio server on the
    // machine does not change the outcome.
    QTemporaryDir dir;
    qputenv("PULSE_SERVER", "unix:" + dir.filePath(QStringLiteral("no-server")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestVoiceQtAudio test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_voiceqtaudio.moc"
