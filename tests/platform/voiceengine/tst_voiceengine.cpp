#include "audiocheck.h"

#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/audiosetupprobe.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"
#include "tests/support/seme.h"

#include <QDataStream>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>
#include <numeric>

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

bool near(int value, int low, int high)
{
    if (value >= low && value <= high)
        return true;
    qWarning("%d is outside %d..%d", value, low, high);
    return false;
}

QByteArray junk(QRandomGenerator& random, int maxBytes)
{
    QByteArray bytes(int(random.bounded(1, maxBytes)), Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// A 16-bit PCM WAV file; `dataBytes` is what the header claims.
QByteArray wav(quint16 channels, quint32 rate, quint32 dataBytes, const QByteArray& data)
{
    QByteArray file;
    QDataStream s(&file, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("RIFF", 4);
    s << quint32(36 + dataBytes);
    s.writeRawData("WAVEfmt ", 8);
    s << quint32(16) << quint16(1) << channels << rate << quint32(rate * channels * 2)
      << quint16(channels * 2) << quint16(16);
    s.writeRawData("data", 4);
    s << dataBytes;
    return file + data;
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
    void levelEvents_data();
    void levelEvents();
    void volumes();
    void deviceFailureDisconnects();
    void queuedAcrossThreads();
    void setupProbe();
    void noAudioServer();
    void lostFramesAreConcealed();
    void reorderingAndWrap();
    void garbageNeverCrashes();
    void silentSpeakersAreDropped();
    void gateDecisions_data();
    void gateDecisions();
    void wavFiles();
};

void TestVoiceEngine::setupRequiredAndSettings()
{
    Rig rig({}, 0, false);
    QCOMPARE(rig.engine->Connect(talking()).error, VoiceError::SetupRequired);
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
    QCOMPARE(rig.backend.captureBufferMs(), 10);
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
    Rig rig({}, 440);
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
    Rig rig({.frameMs = frameMs}, 440);
    Rig listener;
    QSignalSpy starts(rig.engine.get(), &VoiceEngine::RecordStart);
    connect(rig.engine.get(), &VoiceEngine::FrameEncoded, listener.engine.get(),
            [&](const QByteArray& f, quint16 seq) { listener.engine->FrameReceived(42, seq, f); });
    QVERIFY(rig.engine->Connect(talking(0)).ok());
    QVERIFY(listener.engine->Connect(talking(VoiceClientConfig::RecordMuted)).ok());
    for (int t = 0; t < 1000; t += 10) {
        rig.backend.advance(10);
        listener.backend.advance(10);
    }

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

    // The listener plays it soon (capture buffer, frame, playback buffer)
    // and without a gap (a lone sample may fall on zero; a dropout is 480).
    QCOMPARE(listener.engine->speakerCount(), 1);
    const QVector<qint16>& heard = listener.backend.played();
    const qsizetype onset = firstAbove(heard, 3000);
    QVERIFY(near(int(onset), 0, samplesForMs(150)));
    QVERIFY(minToneShare(heard, onset + samplesForMs(50), samplesForMs(700), 440) > 0.8);
    QVERIFY(longestZeroRun(heard, onset, samplesForMs(700)) < 10);
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

void TestVoiceEngine::levelEvents_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("expected");
    QTest::newRow("100 ms") << 100 << 10;
    QTest::newRow("50 ms") << 50 << 20;
    QTest::newRow("off") << 0 << 0;
    QTest::newRow("below off") << -100 << 0;
    QTest::newRow("1 ms, the shortest is 10") << 1 << 100;
}

void TestVoiceEngine::levelEvents()
{
    QFETCH(int, period);
    QFETCH(int, expected);
    Rig rig({}, 440);
    QSignalSpy in(rig.engine.get(), &VoiceEngine::InputLevel);
    QSignalSpy out(rig.engine.get(), &VoiceEngine::OutputLevel);
    QVERIFY(rig.engine->Connect(talking(0, period)).ok());
    // Something to hear: a peer's tone frames.
    const QList<QByteArray> frames = encodeTone(440, 0.5, 50);
    for (int i = 0; i < frames.size(); ++i)
        rig.engine->FrameReceived(7, quint16(i), frames[i]);
    rig.backend.advance(1000);

    QCOMPARE(in.size(), expected);
    // Playback starts with one block queued.
    QVERIFY(near(int(out.size()), expected, expected + 1));
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
    // Playback volume: 0 and 50 mean unity, 25 a quarter, 100 four times.
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
    // Out of range: as the nearest end.
    for (const auto& [volume, gain] :
         {std::pair{50, 1.0}, {25, 0.25}, {100, 4.0}, {250, 4.0}, {-7, 1.0}})
        QVERIFY2(std::abs(playedRms(volume) / unity / gain - 1.0) < 0.025,
                 qPrintable(QString::number(volume)));

    // A manual record volume scales what the meter shows and what is sent.
    Rig manual({}, 440);
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

void TestVoiceEngine::deviceFailureDisconnects()
{
    Rig rig({}, 440);
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
    auto rig = std::make_unique<Rig>(VoiceEngine::Options{}, 440);
    const auto stop = qScopeGuard([&] {
        media.quit();
        media.wait();
    });
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
    QTRY_COMPARE(frames.size(), 20);
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

void TestVoiceEngine::lostFramesAreConcealed()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i) {
        if (i != 20 && i != 30 && i != 31) // one lone loss, one double loss
            mixer.put(1, quint16(i), frames[i]);
    }
    const QVector<qint16> out = renderMs(mixer, 1000);
    // 20 and 31 are rebuilt from their successor's FEC; 30 has no
    // successor at hand, so it is concealed.
    QCOMPARE(mixer.stats().recovered, 2);
    QCOMPARE(mixer.stats().concealed, 1);
    QCOMPARE(mixer.stats().decoded, 47);
    // No hole: the gaps are filled with the continuing tone.
    QVERIFY(longestZeroRun(out, samplesForMs(100), samplesForMs(850)) < 10);
    QVERIFY(minToneShare(out, samplesForMs(350), samplesForMs(400), 440) > 0.6);
    QVERIFY(rms(out, samplesForMs(600), samplesForMs(40)) >
            0.3 * rms(out, samplesForMs(500), samplesForMs(40)));
    // After the speaker stops, concealment fades to silence rather than
    // inventing sound for ever.
    const QVector<qint16> after = renderMs(mixer, 300);
    QCOMPARE(longestZeroRun(after, samplesForMs(150), samplesForMs(150)),
             qsizetype(samplesForMs(150)));
}

void TestVoiceEngine::reorderingAndWrap()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 40);
    PlaybackMixer reference;
    for (int i = 0; i < frames.size(); ++i)
        reference.put(1, quint16(i), frames[i]);
    const QVector<qint16> inOrder = renderMs(reference, 800);
    // Pairs swapped from frame 10 on, and one frame arriving four late;
    // then the same with sequence numbers that wrap after 20 frames.
    QList<int> order(frames.size());
    std::iota(order.begin(), order.end(), 0);
    for (int i = 10; i + 1 < 30; i += 2)
        std::swap(order[i], order[i + 1]);
    order.move(order.indexOf(33), order.indexOf(37));
    for (quint16 first : {quint16(0), quint16(65516)}) {
        PlaybackMixer mixer;
        for (int i : order)
            mixer.put(1, quint16(first + i), frames[i]);
        QCOMPARE(renderMs(mixer, 800), inOrder);
        QCOMPARE(mixer.stats().concealed + mixer.stats().recovered, 0);
    }
}

void TestVoiceEngine::garbageNeverCrashes()
{
    const QList<QByteArray> good = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    QRandomGenerator random = test::generatoreProva(1);
    int refused = 0;
    const auto put = [&](quint32 speaker, quint16 seq, const QByteArray& f) {
        refused += mixer.put(speaker, seq, f) ? 0 : 1;
    };
    put(9, 0, QByteArray());
    put(9, 1, QByteArray(100000, '\xff'));
    put(9, 2, QByteArray(kMaxPacketBytes + 1, '\x08'));
    QCOMPARE(refused, 3);
    QCOMPARE(mixer.speakerCount(), 0);
    QVector<qint16> block(samplesForMs(20));
    for (int i = 0; i < good.size(); ++i) {
        put(1, quint16(i), good[i]);
        for (int k = 0; k < 10; ++k)
            put(quint32(random.bounded(2, 6)), quint16(random.generate()), junk(random, 1600));
        // Damaged copies of real frames, for the same and another speaker.
        put(7, quint16(i), good[i].left(int(random.bounded(1, int(good[i].size())))));
        QByteArray flipped = good[i];
        flipped[int(random.bounded(int(flipped.size())))] ^= char(0x5a);
        put(8, quint16(i), flipped);
        mixer.render(block.data(), int(block.size()));
    }
    QCOMPARE(mixer.stats().refused, refused);
    QCOMPARE(renderMs(mixer, 200).size(), qsizetype(samplesForMs(200)));

    // The genuine speaker alone still comes through as its tone.
    PlaybackMixer clean;
    for (int i = 0; i < good.size(); ++i) {
        clean.put(1, quint16(i), good[i]);
        clean.put(2, quint16(random.generate()), junk(random, 400));
        clean.remove(2);
    }
    QVERIFY(minToneShare(renderMs(clean, 1000), samplesForMs(100), samplesForMs(800), 440) > 0.8);
}

void TestVoiceEngine::silentSpeakersAreDropped()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 10);
    PlaybackMixer mixer({.speakerTimeoutMs = 300});
    for (int i = 0; i < frames.size(); ++i)
        mixer.put(5, quint16(i), frames[i]);
    mixer.put(6, 0, frames[0]);
    renderMs(mixer, 200);
    QCOMPARE(mixer.speakerCount(), 2);
    // Speaker 5 keeps sending, speaker 6 has fallen silent.
    mixer.put(5, 20, frames[0]);
    renderMs(mixer, 200);
    QVERIFY(mixer.hasSpeaker(5) && !mixer.hasSpeaker(6));
    renderMs(mixer, 400);
    QCOMPARE(mixer.speakerCount(), 0);
    // A returning speaker starts afresh.
    QVERIFY(mixer.put(6, 9, frames[1]));
    QCOMPARE(mixer.speakerCount(), 1);
    mixer.remove(6);
    QCOMPARE(mixer.speakerCount(), 0);
}

void TestVoiceEngine::gateDecisions_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("threshold");
    QTest::addColumn<double>("loud"); // amplitude of the "talk" part
    QTest::addColumn<int>("talkMs");
    QTest::addColumn<int>("closesAfterMs"); // after the talk: 0 never opened, -1 never closes

    const int va = int(TransmitGate::Mode::VoiceActivated);
    QTest::newRow("speech opens, hangover") << va << -1 << 0.3 << 500 << 400;
    QTest::newRow("a 10 ms click does not open") << va << -1 << 0.5 << 10 << 0;
    QTest::newRow("as loud as the room does not open") << va << -1 << 0.001 << 500 << 0;
    QTest::newRow("threshold 20, peak 30 opens") << va << 20 << 0.3 << 500 << 400;
    QTest::newRow("threshold 40, peak 30 stays shut") << va << 40 << 0.3 << 500 << 0;
    QTest::newRow("open mode ignores silence")
        << int(TransmitGate::Mode::Open) << -1 << 0.0 << 500 << -1;
    QTest::newRow("closed mode ignores speech")
        << int(TransmitGate::Mode::Closed) << -1 << 0.5 << 500 << 0;
}

void TestVoiceEngine::gateDecisions()
{
    QFETCH(int, mode);
    QFETCH(int, threshold);
    QFETCH(double, loud);
    QFETCH(int, talkMs);
    QFETCH(int, closesAfterMs);
    TransmitGate gate; // 400 ms hangover, 10 ms blocks
    SignalSource room = SignalSource::noise(0.001, 3);
    SignalSource talk = SignalSource::tone(300, loud);
    QVector<qint16> block(samplesForMs(10));
    // The gate per 10 ms block: half a second of room, the talk, a second of room.
    QList<bool> open;
    for (const auto& [source, ms] : {std::pair{&room, 500}, {&talk, talkMs}, {&room, 1000}}) {
        for (int t = 0; t < ms; t += 10) {
            source->generate(block.data(), int(block.size()));
            open.append(gate.update(block.constData(), int(block.size()), TransmitGate::Mode(mode),
                                    -1, threshold));
        }
    }
    const qsizetype talkEnd = 50 + talkMs / 10, last = open.lastIndexOf(true);
    if (closesAfterMs < 0) {
        QCOMPARE(open.count(true), open.size());
    } else if (closesAfterMs == 0) {
        QCOMPARE(last, -1);
    } else {
        // Shut through the quiet room, open on the talk and through the
        // hangover, shut right after it.
        QCOMPARE(open.indexOf(true) >= 50 && open.indexOf(true) < talkEnd, true);
        QVERIFY(near(int(last + 1 - talkEnd) * 10, closesAfterMs - 10, closesAfterMs + 10));
        QVERIFY(!gate.isOpen());
    }
}

void TestVoiceEngine::wavFiles()
{
    const QByteArray pcm("\x01\x00\xfe\xff\x2c\x01\x00\x80", 8); // 1, -2, 300, -32768
    QVector<qint16> samples;
    QVERIFY(SignalSource::parseWav(wav(1, 48000, 8, pcm), samples).ok());
    QCOMPARE(samples, (QVector<qint16>{1, -2, 300, -32768}));
    // Played once, then silence.
    QVector<qint16> out(6);
    SignalSource::samples(samples).generate(out.data(), 6);
    QCOMPARE(out, (QVector<qint16>{1, -2, 300, -32768, 0, 0}));
    for (const QByteArray& bad : {wav(2, 48000, 8, pcm), wav(1, 44100, 8, pcm),
                                  wav(1, 48000, 800, pcm), QByteArray("RIFF")})
        QCOMPARE(SignalSource::parseWav(bad, samples).error, VoiceError::InvalidArgument);
    QRandomGenerator random = test::generatoreProva(2);
    const QByteArray ok = wav(1, 48000, 8, pcm);
    for (int i = 0; i < 200; ++i) {
        QByteArray torn = ok.left(int(random.bounded(int(ok.size()))));
        if (!torn.isEmpty())
            torn[int(random.bounded(int(torn.size())))] = char(random.bounded(256));
        SignalSource::parseWav(torn, samples); // must only fail cleanly
    }

    QTemporaryDir dir;
    QFile raw(dir.filePath("voice.raw"));
    QVERIFY(raw.open(QIODevice::WriteOnly) && raw.write(pcm) == 8);
    raw.close();
    QVERIFY(SignalSource::readFile(raw.fileName(), samples).ok());
    QCOMPARE(samples.size(), 4);
    QCOMPARE(SignalSource::readFile(dir.filePath("missing.wav"), samples).error,
             VoiceError::InvalidArgument);
}

void TestVoiceEngine::noAudioServer()
{
    // No audio server to talk to: every path ends in a clear result, at once.
    QtAudioBackend backend;
    QVERIFY(backend.inputDevices().isEmpty() && backend.outputDevices().isEmpty());
    bool called = false;
    auto capture = backend.openCapture(
        "mic", 20, [&](const qint16*, int) { called = true; }, nullptr);
    QVERIFY(!capture.stream);
    QCOMPARE(capture.result.error, VoiceError::NoAudioSystem);
    QVERIFY(!capture.result.detail.isEmpty());
    auto playback = backend.openPlayback(
        "speakers", 40, [&] { called = true; }, nullptr);
    QVERIFY(!playback.stream);
    QCOMPARE(playback.result.error, VoiceError::NoAudioSystem);
    QTemporaryDir dir;
    AudioSettings settings = AudioSettings::atFile(dir.filePath("audio.ini"));
    QVERIFY(settings.save({"mic", "Mic", "speakers", "Speakers"}).ok());
    VoiceEngine engine(backend, settings);
    QSignalSpy results(&engine, &VoiceEngine::ConnectResult);
    QCOMPARE(engine.Connect(VoiceClientConfig{}).error, VoiceError::NoAudioSystem);
    QCOMPARE(results.size(), 1);
    QVERIFY(!engine.isConnected());
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

int main(int argc, char** argv)
{
    // An audio server address that cannot exist, so one running on the
    // machine does not change what the Qt backend finds.
    QTemporaryDir dir;
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(dir.filePath("no-server")));
    QCoreApplication app(argc, argv);
    TestVoiceEngine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_voiceengine.moc"
