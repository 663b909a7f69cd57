#include "audiocheck.h"

#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/audiosetupprobe.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace kalimo;
using namespace kalimo::test;

namespace {

VoiceClientConfig talking(int flags = 0, int period = 100, int recordVolume = 0)
{
    VoiceClientConfig c;
    c.flags = flags;
    c.notificationPeriod = period;
    c.recordVolume = recordVolume;
    return c;
}

// One engine on a synthetic backend with a saved device choice.
struct Rig
{
    explicit Rig(VoiceEngine::Options options = {}, bool saveChoice = true)
        : settings(AudioSettings::atFile(dir.filePath(QStringLiteral("audio.ini"))))
    {
        if (saveChoice)
            settings.save({SyntheticAudioBackend::defaultInputId(), "in",
                           SyntheticAudioBackend::defaultOutputId(), "out"});
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

bool near(int value, int low, int high)
{
    if (value >= low && value <= high)
        return true;
    qWarning("%d is outside %d..%d", value, low, high);
    return false;
}

} // namespace

class TestVoiceEngine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void setupRequiredAndSettings();
    void devicesAndOpenFailures();
    void mutedSendsNothing();
    void talkingSendsToneFrames_data();
    void talkingSendsToneFrames();
    void dtxThinsSilence();
    void voiceActivationHangover();
    void levelEvents_data();
    void levelEvents();
    void volumes();
    void endToEndTenMsSender();
    void deviceFailureDisconnects();
    void queuedAcrossThreads();
    void setupProbe();
};

void TestVoiceEngine::setupRequiredAndSettings()
{
    Rig rig({}, false);
    QSignalSpy results(rig.engine.get(), &VoiceEngine::ConnectResult);
    const VoiceResult r = rig.engine->Connect(talking());
    QCOMPARE(r.error, VoiceError::SetupRequired);
    QVERIFY(!r.detail.isEmpty());
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).value<VoiceResult>().error, VoiceError::SetupRequired);
    QVERIFY(!rig.engine->isConnected() && !rig.backend.captureOpen());

    // An incomplete choice is refused and changes nothing.
    QCOMPARE(rig.settings.save({QByteArray(), QString(), "synthetic-out", QString()}).error,
             VoiceError::InvalidArgument);
    QVERIFY(!rig.settings.load());
    const AudioDeviceChoice choice{"synthetic-in", "Microfono «USB»", "synthetic-out", "Cuffie"};
    QVERIFY(rig.settings.save(choice).ok());
    QCOMPARE(*rig.settings.load(), choice);
    QVERIFY(rig.engine->Connect(talking()).ok());
    QCOMPARE(rig.engine->Connect(talking()).error, VoiceError::AlreadyConnected);
    // Only "everyone" can be talked to.
    QVERIFY(rig.engine->SetTransmitTargets({0}).ok());
    for (const QList<quint32>& targets : {QList<quint32>{}, {5}, {0, 5}})
        QCOMPARE(rig.engine->SetTransmitTargets(targets).error, VoiceError::InvalidArgument);
    rig.engine->Disconnect();
    QVERIFY(!rig.backend.captureOpen() && !rig.backend.playbackOpen());

    // A chosen device that disappeared sends the user back to the set-up; no
    // devices at all is not something the set-up can fix.
    rig.backend.setInputDevices({{"usb-mic", "USB", true}});
    QCOMPARE(rig.engine->Connect(talking()).error, VoiceError::SetupRequired);
    rig.backend.setInputDevices({});
    QCOMPARE(rig.engine->Connect(talking()).error, VoiceError::NoAudioSystem);
    QVERIFY(rig.settings.clear().ok());
    QVERIFY(!rig.settings.load());
}

void TestVoiceEngine::devicesAndOpenFailures()
{
    // The saved devices and explicit buffers, never the system's defaults.
    Rig rig;
    rig.backend.setInputDevices({{"default-in", "Default", true}, {"headset-in", "H", false}});
    rig.backend.setOutputDevices({{"default-out", "Default", true}, {"headset-out", "H", false}});
    QVERIFY(rig.settings.save({"headset-in", QString(), "headset-out", QString()}).ok());
    QVERIFY(rig.engine->Connect(talking()).ok());
    QCOMPARE(rig.backend.captureDevice(), QByteArray("headset-in"));
    QCOMPARE(rig.backend.playbackDevice(), QByteArray("headset-out"));
    QCOMPARE(rig.backend.captureBufferMs(), 20);
    QCOMPARE(rig.backend.playbackBufferMs(), 40);

    Rig busy;
    busy.backend.setOpenFailure(SyntheticAudioBackend::defaultInputId(),
                                VoiceResult::failure(VoiceError::DeviceOpenFailed, "busy"));
    const VoiceResult r = busy.engine->Connect(talking());
    QCOMPARE(r.error, VoiceError::DeviceOpenFailed);
    QCOMPARE(r.detail, "busy");
    QCOMPARE(r.code(), 4);
    // Nothing half-open is left behind, and time passing does nothing.
    QVERIFY(!busy.engine->isConnected() && !busy.backend.playbackOpen());
    busy.backend.advance(100);
    QVERIFY(busy.frames.isEmpty());

    Rig bad({.frameMs = 15});
    QCOMPARE(bad.engine->Connect(talking()).error, VoiceError::InvalidArgument);
    QVERIFY(!bad.backend.captureOpen());
}

void TestVoiceEngine::mutedSendsNothing()
{
    Rig rig;
    rig.backend.setCaptureSource(SignalSource::tone(440, 0.5));
    QSignalSpy starts(rig.engine.get(), &VoiceEngine::RecordStart);
    QSignalSpy stops(rig.engine.get(), &VoiceEngine::RecordStop);
    QSignalSpy levels(rig.engine.get(), &VoiceEngine::InputLevel);
    QVERIFY(rig.engine->Connect(talking(VoiceClientConfig::RecordMuted)).ok());
    rig.backend.advance(1000);
    QVERIFY(rig.frames.isEmpty());
    QCOMPARE(starts.size(), 0);
    QVERIFY(!rig.engine->isTransmitting());
    // Levels keep coming (the meter keeps time) but show nothing.
    QCOMPARE(levels.size(), 10);
    for (const auto& l : levels)
        QCOMPARE(l.at(0).toInt(), 0);

    // Unmute, then mute again: frames only in between.
    rig.engine->SetClientConfig(talking(0));
    rig.backend.advance(200);
    QCOMPARE(starts.size(), 1);
    const qsizetype sent = rig.frames.size();
    QVERIFY(sent >= 9);
    rig.engine->SetClientConfig(talking(VoiceClientConfig::RecordMuted));
    QCOMPARE(stops.size(), 1);
    rig.backend.advance(500);
    QCOMPARE(rig.frames.size(), sent);
}

void TestVoiceEngine::talkingSendsToneFrames_data()
{
    QTest::addColumn<int>("frameMs");
    QTest::newRow("20 ms") << 20;
    QTest::newRow("10 ms") << 10;
}

void TestVoiceEngine::talkingSendsToneFrames()
{
    QFETCH(int, frameMs);
    Rig rig({.frameMs = frameMs});
    rig.backend.setCaptureSource(SignalSource::tone(440, 0.5));
    QSignalSpy starts(rig.engine.get(), &VoiceEngine::RecordStart);
    QVERIFY(rig.engine->Connect(talking(0)).ok());
    rig.backend.advance(1000);

    QCOMPARE(starts.size(), 1);
    QCOMPARE(rig.frames.size(), 1000 / frameMs);
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < rig.frames.size(); ++i) {
        QCOMPARE(rig.seqs[i], quint16(rig.seqs[0] + i));
        QCOMPARE(opusPacketSamples(rig.frames[i].constData(), int(rig.frames[i].size())),
                 samplesForMs(frameMs));
        bytes += rig.frames[i].size();
    }
    // Within the voice bit-rate band (plus a little for the packet headers).
    QVERIFY(near(int(bytes * 8), 16000, 44000));

    const QVector<qint16> pcm = decodeAll(rig.frames);
    QCOMPARE(pcm.size(), qsizetype(samplesForMs(1000)));
    // Skip the codec's first 100 ms; a steady tone is what the denoiser
    // learns as noise, so its level is judged before that happens.
    const qsizetype from = samplesForMs(100);
    QVERIFY2(minToneShare(pcm, from, pcm.size() - from, 440) > 0.8, "not the 440 Hz tone");
    QVERIFY(toneShare(pcm, from, samplesForMs(200), 660) < 0.05);
    QVERIFY(rms(pcm, from, samplesForMs(200)) > 0.25 * 32767);
}

void TestVoiceEngine::dtxThinsSilence()
{
    Rig rig;
    QVERIFY(rig.engine->Connect(talking(0)).ok());
    rig.backend.advance(2000);
    // 100 frame periods; DTX sends only an occasional refresh, and sequence
    // numbers still count every period.
    QVERIFY(near(int(rig.frames.size()), 2, 24));
    QVERIFY(quint16(rig.seqs.last() - rig.seqs.first()) > rig.seqs.size());
}

void TestVoiceEngine::voiceActivationHangover()
{
    Rig rig({.hangoverMs = 400});
    // Quiet room, three seconds of speech with pauses shorter than the
    // hangover, quiet again.
    rig.backend.setCaptureSource(
        SignalSource::sequence({{SignalSource::noise(0.002, 7), 1000},
                                {SignalSource::speechBursts(0.4, 200, 150), 3000},
                                {SignalSource::noise(0.002, 8), 2000}}));
    QList<qint64> startsAt, stopsAt; // in ms
    const auto now = [&] { return rig.backend.nowSamples() * 1000 / kSampleRate; };
    connect(rig.engine.get(), &VoiceEngine::RecordStart, this, [&] { startsAt.append(now()); });
    connect(rig.engine.get(), &VoiceEngine::RecordStop, this, [&] { stopsAt.append(now()); });
    QVERIFY(rig.engine
                ->Connect(talking(VoiceClientConfig::AutoVoiceActivated |
                                  VoiceClientConfig::AutoRecordVolume))
                .ok());
    rig.backend.advance(1000);
    QVERIFY(startsAt.isEmpty() && rig.frames.isEmpty());
    rig.backend.advance(5000);

    QCOMPARE(startsAt.size(), 1);
    QCOMPARE(stopsAt.size(), 1);
    QVERIFY(near(int(startsAt[0]), 1000, 1150));
    // The last syllable ends by 4000 ms (its tail is quiet): closing comes
    // a hangover later, not before.
    QVERIFY(near(int(stopsAt[0]), 3900 + 300, 4000 + 400 + 150));
    // Frames flowed for the whole time the gate was open, and only then.
    QVERIFY(near(int(rig.frames.size()), int(stopsAt[0] - startsAt[0]) / 20 - 3,
                 int(stopsAt[0] - startsAt[0]) / 20 + 3));
}

void TestVoiceEngine::levelEvents_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("expected");
    QTest::newRow("100 ms") << 100 << 10;
    QTest::newRow("50 ms") << 50 << 20;
    QTest::newRow("off") << 0 << 0;
}

void TestVoiceEngine::levelEvents()
{
    QFETCH(int, period);
    QFETCH(int, expected);
    Rig rig;
    rig.backend.setCaptureSource(SignalSource::tone(440, 0.5));
    QSignalSpy in(rig.engine.get(), &VoiceEngine::InputLevel);
    QSignalSpy out(rig.engine.get(), &VoiceEngine::OutputLevel);
    QVERIFY(rig.engine->Connect(talking(0, period)).ok());
    // Something to hear: a peer's tone frames.
    const QList<QByteArray> frames = encodeTone(440, 0.5, 50);
    for (int i = 0; i < frames.size(); ++i)
        rig.engine->FrameReceived(7, quint16(i), frames[i]);
    rig.backend.advance(1000);

    QCOMPARE(in.size(), expected);
    QCOMPARE(out.size(), expected);
    for (const auto& level : in)
        QVERIFY(near(level.at(0).toInt(), 40, 60));
    if (expected > 0)
        QVERIFY(near(out.at(out.size() / 2).at(0).toInt(), 35, 65));
    // Turning the period off mid-session stops the events.
    rig.engine->SetClientConfig(talking(0, 0));
    in.clear();
    out.clear();
    rig.backend.advance(500);
    QCOMPARE(in.size() + out.size(), 0);
}

void TestVoiceEngine::volumes()
{
    // Playback volume: 50 and 0 mean unity, 25 a quarter, 100 four times.
    const QList<QByteArray> heard = encodeTone(440, 0.2, 50);
    const auto playedRms = [&](int volume) {
        Rig rig;
        VoiceClientConfig c = talking(VoiceClientConfig::RecordMuted);
        c.playbackVolume = volume;
        rig.engine->Connect(c);
        for (int i = 0; i < heard.size(); ++i)
            rig.engine->FrameReceived(3, quint16(i), heard[i]);
        rig.backend.advance(1000);
        return rms(rig.backend.played(), samplesForMs(200), samplesForMs(600));
    };
    const double unity = playedRms(0);
    QVERIFY(unity > 0.1 * 32767);
    QVERIFY(std::abs(playedRms(50) / unity - 1.0) < 0.02);
    QVERIFY(std::abs(playedRms(25) / unity - 0.25) < 0.02);
    QVERIFY(std::abs(playedRms(100) / unity - 4.0) < 0.1);

    // A manual record volume scales what the meter shows and what is sent.
    Rig manual;
    manual.backend.setCaptureSource(SignalSource::tone(440, 0.5));
    QSignalSpy levels(manual.engine.get(), &VoiceEngine::InputLevel);
    QVERIFY(manual.engine->Connect(talking(0, 100, 25)).ok());
    manual.backend.advance(300);
    QCOMPARE(levels.size(), 3);
    for (const auto& l : levels)
        QVERIFY(near(l.at(0).toInt(), 11, 13));

    // Automatic record volume lifts a quiet speaker; a manual volume turns
    // it off even with the automatic flag set.
    const auto sentRms = [](int flags, int volume) {
        Rig rig;
        rig.backend.setCaptureSource(SignalSource::speechBursts(0.02, 250, 100));
        rig.engine->Connect(talking(flags, 100, volume));
        rig.backend.advance(6000);
        const QVector<qint16> pcm = decodeAll(rig.frames);
        return rms(pcm, pcm.size() - samplesForMs(2000), samplesForMs(2000));
    };
    const double plain = sentRms(0, 0);
    const double automatic = sentRms(VoiceClientConfig::AutoRecordVolume, 0);
    const double manualWins = sentRms(VoiceClientConfig::AutoRecordVolume, 50);
    QVERIFY2(plain > 50 && automatic > 3 * plain && std::abs(manualWins / plain - 1.0) < 0.2,
             qPrintable(QStringLiteral("%1, %2, %3").arg(plain).arg(automatic).arg(manualWins)));
}

void TestVoiceEngine::endToEndTenMsSender()
{
    Rig sender({.frameMs = 10});
    Rig listener;
    sender.backend.setCaptureSource(SignalSource::tone(523.25, 0.4));
    connect(sender.engine.get(), &VoiceEngine::FrameEncoded, listener.engine.get(),
            [&](const QByteArray& f, quint16 seq) { listener.engine->FrameReceived(42, seq, f); });
    QVERIFY(sender.engine->Connect(talking(0)).ok());
    QVERIFY(listener.engine->Connect(talking(VoiceClientConfig::RecordMuted)).ok());
    for (int t = 0; t < 1000; t += 10) {
        sender.backend.advance(10);
        listener.backend.advance(10);
    }
    QCOMPARE(listener.engine->speakerCount(), 1);
    const QVector<qint16>& heard = listener.backend.played();
    // Capture buffer, frame and playback buffer: well under 150 ms.
    const qsizetype onset = firstAbove(heard, 3000);
    QVERIFY(near(int(onset), 0, samplesForMs(150)));
    QVERIFY(minToneShare(heard, onset + samplesForMs(50), samplesForMs(700), 523.25) > 0.8);
    QCOMPARE(longestZeroRun(heard, onset, samplesForMs(700)), 0);
}

void TestVoiceEngine::deviceFailureDisconnects()
{
    Rig rig;
    rig.backend.setCaptureSource(SignalSource::tone(440, 0.5));
    QSignalSpy failures(rig.engine.get(), &VoiceEngine::DeviceError);
    QSignalSpy stops(rig.engine.get(), &VoiceEngine::RecordStop);
    QVERIFY(rig.engine->Connect(talking(0)).ok());
    rig.backend.advance(100);
    QVERIFY(rig.engine->isTransmitting());
    rig.backend.failCapture(VoiceResult::failure(VoiceError::DeviceFailed, "unplugged"));
    rig.backend.failPlayback(VoiceResult::failure(VoiceError::DeviceFailed, "gone too"));
    QCoreApplication::processEvents();
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.at(0).at(0).value<VoiceResult>().detail, "unplugged");
    QCOMPARE(stops.size(), 1);
    QVERIFY(!rig.engine->isConnected() && !rig.backend.captureOpen());
    QVERIFY(rig.engine->Connect(talking(0)).ok()); // and it connects again
}

void TestVoiceEngine::queuedAcrossThreads()
{
    QThread media;
    media.start();
    auto rig = std::make_unique<Rig>();
    const auto stop = qScopeGuard([&] {
        media.quit();
        media.wait();
    });
    rig->backend.setCaptureSource(SignalSource::tone(440, 0.5));
    rig->engine->moveToThread(&media);

    // What the window side sees, through queued connections.
    QList<VoiceResult> results;
    QList<QByteArray> frames;
    QSignalSpy starts(rig->engine.get(), &VoiceEngine::RecordStart);
    connect(rig->engine.get(), &VoiceEngine::ConnectResult, this,
            [&](const VoiceResult& r) { results.append(r); });
    connect(rig->engine.get(), &VoiceEngine::FrameEncoded, this,
            [&](const QByteArray& f, quint16) { frames.append(f); });
    QVERIFY(QMetaObject::invokeMethod(rig->engine.get(), "Connect", Qt::QueuedConnection,
                                      Q_ARG(kalimo::VoiceClientConfig, talking(0))));
    QTRY_COMPARE(results.size(), 1);
    QVERIFY2(results.first().ok(), qPrintable(results.first().detail));
    QMetaObject::invokeMethod(
        rig->engine.get(), [&] { rig->backend.advance(200); }, Qt::BlockingQueuedConnection);
    QTRY_COMPARE(frames.size(), 10);
    QCOMPARE(starts.size(), 1);
    QVERIFY(frames.first().size() > 2);
    // The engine is destroyed on its own thread, before it stops.
    rig->engine.release()->deleteLater();
}

void TestVoiceEngine::setupProbe()
{
    SyntheticAudioBackend backend;
    AudioSetupProbe probe(backend);
    QCOMPARE(probe.inputDevices().size(), 1);
    backend.setCaptureSource(SignalSource::tone(440, 0.25));
    QSignalSpy levels(&probe, &AudioSetupProbe::InputLevel);
    QVERIFY(probe.startInputLevel(SyntheticAudioBackend::defaultInputId(), 100).ok());
    backend.advance(500);
    QCOMPARE(levels.size(), 5);
    QVERIFY(near(levels.last().at(0).toInt(), 22, 27));
    probe.stopInputLevel();
    backend.advance(200);
    QCOMPARE(levels.size(), 5);
    QCOMPARE(probe.startInputLevel("no-such-mic").error, VoiceError::DeviceNotFound);

    QSignalSpy finished(&probe, &AudioSetupProbe::TestSoundFinished);
    QVERIFY(probe.playTestSound(SyntheticAudioBackend::defaultOutputId(), 500, 880).ok());
    for (int i = 0; i < 100 && finished.isEmpty(); ++i) {
        backend.advance(10);
        QCoreApplication::processEvents();
    }
    QCOMPARE(finished.size(), 1);
    QVERIFY(!probe.testSoundPlaying() && !backend.playbackOpen());
    const QVector<qint16>& played = backend.played();
    const qsizetype onset = firstAbove(played, 1000);
    QVERIFY(near(int(onset), 0, samplesForMs(20) - 1));
    QVERIFY(minToneShare(played, onset, samplesForMs(450), 880) > 0.9);
    // It stops: nothing after the tone but silence.
    QVERIFY(firstAbove(played, 50, onset + samplesForMs(510)) < 0);

    backend.setOpenFailure(SyntheticAudioBackend::defaultOutputId(),
                           VoiceResult::failure(VoiceError::DeviceOpenFailed, "x"));
    QCOMPARE(probe.playTestSound(SyntheticAudioBackend::defaultOutputId()).error,
             VoiceError::DeviceOpenFailed);
}

QTEST_GUILESS_MAIN(TestVoiceEngine)
#include "tst_voiceengine.moc"
