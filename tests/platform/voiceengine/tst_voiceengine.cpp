#include "audiocheck.h"

#include "platform/session/voiceimpairment.h"
#include "platform/voiceengine/audiosetupprobe.h"
#include "platform/voiceengine/echocanceller.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "tests/support/seme.h"

#include <QMultiMap>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <numeric>

using namespace kalimo;
using namespace kalimo::test;

namespace {

VoiceClientConfig talking(int flags = 0, int period = 100, int recordVolume = 0)
{
    return {.flags = flags, .recordVolume = recordVolume, .notificationPeriod = period};
}

bool near(double value, double low, double high)
{
    if (value >= low && value <= high)
        return true;
    qWarning("%g is outside %g..%g", value, low, high);
    return false;
}

// The quality checks hold for this seed and seeds 1 to 13 (KALIMO_TEST_SEED).
quint32 fixedSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("KALIMO_TEST_SEED").toUInt(&ok);
    return ok ? seed : 20261207;
}

double db(double ratio)
{
    return 20.0 * std::log10(std::max(ratio, 1e-9));
}

// Level of v[from, from + n) at `hz` alone.
double levelAt(const QVector<qint16>& v, qsizetype from, qsizetype n, double hz)
{
    return std::sqrt(toneShare(v, from, n, hz)) * rms(v, from, n);
}

// Energy at the harmonics of `f0` in v[from, from + n), 20 ms at a time:
// bands about 50 Hz wide, so a shift in time does not count as a loss.
double bandEnergy(const QVector<qint16>& v, qsizetype from, qsizetype n, double f0)
{
    double sum = 0;
    for (qsizetype at = from; at + samplesForMs(20) <= from + n; at += samplesForMs(20))
        for (int h = 1; h <= 6; ++h)
            sum += std::pow(levelAt(v, at, samplesForMs(20), f0 * h), 2);
    return sum;
}

// Two members whose frames reach each other directly, A's to B through a
// seeded bad network held in virtual time.
struct Room
{
    Room(bool echoCancel, VoiceEngine::Options options = {},
         session::VoiceImpairment::Settings network = {})
        : a(options, 0, true, echoCancel), b(options, 0, true, echoCancel), impairment(network)
    {
        QObject::connect(a.engine.get(), &VoiceEngine::FrameEncoded, a.engine.get(),
                         [this](const QByteArray& f, quint16 seq) {
                             if (const auto delay = impairment.next())
                                 inFlight.insert(now + *delay, {seq, f});
                         });
        QObject::connect(
            b.engine.get(), &VoiceEngine::FrameEncoded, b.engine.get(),
            [this](const QByteArray& f, quint16 seq) { a.engine->FrameReceived(2, seq, f); });
    }
    bool connect(int flagsA, int flagsB)
    {
        return a.engine->Connect(talking(flagsA)).ok() && b.engine->Connect(talking(flagsB)).ok();
    }
    void run(int ms)
    {
        for (int t = 0; t < ms; t += 10) {
            a.backend.advance(10);
            now += 10;
            while (!inFlight.isEmpty() && inFlight.firstKey() <= now) {
                const auto [seq, frame] = inFlight.take(inFlight.firstKey());
                b.engine->FrameReceived(1, seq, frame);
            }
            b.backend.advance(10);
        }
    }
    Rig a, b;
    session::VoiceImpairment impairment;
    QMultiMap<qint64, std::pair<quint16, QByteArray>> inFlight;
    qint64 now = 0;
};

} // namespace

class TestVoiceEngine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void settingsAndDevices();
    void connectRefused_data();
    void connectRefused();
    void mutedSendsNothingAndAFailedDeviceDisconnects();
    void talkingSendsToneFrames_data();
    void talkingSendsToneFrames();
    void levelEvents_data();
    void levelEvents();
    void volumes();
    void queuedAcrossThreads();
    void lostReorderedAndSilentFrames();
    void garbageNeverCrashes();
    void gateDecisions_data();
    void gateDecisions();
    void echoIsCancelledDuringDoubleTalk_data();
    void echoIsCancelledDuringDoubleTalk();
    void cancellerInThePathOnlyWhileTheSpeakerPlays_data();
    void cancellerInThePathOnlyWhileTheSpeakerPlays();
    void preRollKeepsTheOnset();
    void lossAndJitter_data();
    void lossAndJitter();
    void copiesRideInThePadding();
    void jitterBufferGrowsAndShrinks();
    void playbackQueueFollowsUnderruns_data();
    void playbackQueueFollowsUnderruns();
    void memberLevels_data();
    void memberLevels();
};

void TestVoiceEngine::settingsAndDevices()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("voice.ini"));
    AudioSettings settings = AudioSettings::atFile(file);
    // An incomplete choice is refused and changes nothing.
    QCOMPARE(settings.save({QByteArray(), QString(), "synthetic-out", QString()}).error,
             VoiceError::InvalidArgument);
    QVERIFY(!settings.load());
    AudioDeviceChoice choice{"headset-in", "Microfono «USB»", "headset-out", "Cuffie"};
    choice.echoCancel = false;
    QVERIFY(settings.save(choice).ok());
    const QString odd = QStringLiteral("a/b\\c=d é");
    QVERIFY(settings.saveMemberLevel(odd, {40, true}).ok());
    QVERIFY(settings.saveMemberLevel(QStringLiteral("Luigi"), {300, false}).ok());
    // What a restart reads back; levels beyond 200 % are clamped.
    const AudioSettings again = AudioSettings::atFile(file);
    QCOMPARE(*again.load(), choice);
    QCOMPARE(again.memberLevel(odd), (AudioSettings::MemberLevel{40, true}));
    QCOMPARE(again.memberLevel(QStringLiteral("Luigi")).percent, 200);
    QCOMPARE(again.memberLevel(QStringLiteral("a")), AudioSettings::MemberLevel{});

    // The saved devices and explicit buffers, never the system's defaults.
    Rig rig;
    rig.backend.setInputDevices({{"default-in", "Default", true}, {"headset-in", "H", false}});
    rig.backend.setOutputDevices({{"default-out", "Default", true}, {"headset-out", "H", false}});
    QVERIFY(rig.settings.save(choice).ok());
    QVERIFY(rig.engine->Connect(talking()).ok());
    QCOMPARE(rig.backend.captureDevice() + rig.backend.playbackDevice(), "headset-inheadset-out");
    QVERIFY(!rig.engine->isEchoCancelling());
    // Only "everyone" can be talked to.
    QVERIFY(rig.engine->SetTransmitTargets({0}).ok());
    for (const QList<quint32>& targets : {QList<quint32>{}, {5}, {0, 5}})
        QCOMPARE(rig.engine->SetTransmitTargets(targets).error, VoiceError::InvalidArgument);
    rig.engine->Disconnect();
    QVERIFY(!rig.backend.captureOpen() && !rig.backend.playbackOpen());
    QVERIFY(rig.settings.clear().ok());
    QVERIFY(!rig.settings.load());

    // No audio server to talk to: every path ends in a clear result, at once.
    QtAudioBackend qt;
    QVERIFY(qt.inputDevices().isEmpty() && qt.outputDevices().isEmpty());
    bool called = false;
    auto capture = qt.openCapture(
        "mic", 20, [&](const qint16*, int) { called = true; }, nullptr);
    auto playback = qt.openPlayback(
        "speakers", 40, [&] { called = true; }, nullptr);
    QVERIFY(!capture.stream && !playback.stream && !capture.result.detail.isEmpty());
    QCOMPARE(QList({capture.result.error, playback.result.error}),
             QList({VoiceError::NoAudioSystem, VoiceError::NoAudioSystem}));
    QCoreApplication::processEvents();
    QVERIFY(!called);

    // The set-up window's probe: a test sound on the chosen output.
    SyntheticAudioBackend backend;
    AudioSetupProbe probe(backend);
    QSignalSpy finished(&probe, &AudioSetupProbe::TestSoundFinished);
    QCOMPARE(probe.startInputLevel("no-such-mic").error, VoiceError::DeviceNotFound);
    // A 500 ms test sound, at once, then silence; the device closes.
    QVERIFY(probe.playTestSound(SyntheticAudioBackend::defaultOutputId(), 500, 880).ok());
    for (int i = 0; i < 100 && finished.isEmpty(); ++i) {
        backend.advance(10);
        QCoreApplication::processEvents();
    }
    QVERIFY(finished.size() == 1 && !probe.testSoundPlaying() && !backend.playbackOpen());
    const QVector<qint16>& played = backend.played();
    const qsizetype onset = firstAbove(played, 1000);
    QVERIFY(near(double(onset), 0, samplesForMs(20) - 1));
    QVERIFY(minToneShare(played, onset, samplesForMs(450), 880) > 0.9);
    QVERIFY(firstAbove(played, 50, onset + samplesForMs(510)) < 0);
    backend.setOpenFailure(SyntheticAudioBackend::defaultOutputId(),
                           VoiceResult::failure(VoiceError::DeviceOpenFailed, "x"));
    QCOMPARE(probe.playTestSound(SyntheticAudioBackend::defaultOutputId()).error,
             VoiceError::DeviceOpenFailed);
}

void TestVoiceEngine::connectRefused_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("error");
    QTest::newRow("nothing chosen yet") << "unsaved" << int(VoiceError::SetupRequired);
    // The set-up can fix a device that disappeared, not a machine without any.
    QTest::newRow("chosen input gone") << "gone" << int(VoiceError::SetupRequired);
    QTest::newRow("no devices at all") << "none" << int(VoiceError::NoAudioSystem);
    QTest::newRow("input busy") << "busy" << int(VoiceError::DeviceOpenFailed);
    QTest::newRow("15 ms frames") << "frames" << int(VoiceError::InvalidArgument);
    QTest::newRow("already connected") << "twice" << int(VoiceError::AlreadyConnected);
}

void TestVoiceEngine::connectRefused()
{
    QFETCH(QString, setup);
    QFETCH(int, error);
    Rig rig({.frameMs = setup == "frames" ? 15 : 10}, 440, setup != "unsaved");
    if (setup == "gone")
        rig.backend.setInputDevices({{"usb-mic", "USB", true}});
    if (setup == "none")
        rig.backend.setInputDevices({});
    if (setup == "busy")
        rig.backend.setOpenFailure(SyntheticAudioBackend::defaultInputId(),
                                   VoiceResult::failure(VoiceError::DeviceOpenFailed, "busy"));
    if (setup == "twice")
        QVERIFY(rig.engine->Connect(talking()).ok());
    QSignalSpy results(rig.engine.get(), &VoiceEngine::ConnectResult);
    const VoiceResult r = rig.engine->Connect(talking());
    QCOMPARE(int(r.error), error);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).value<VoiceResult>().error, r.error);
    // Nothing half-open is left behind, and time passing does nothing.
    const bool connected = setup == "twice";
    QCOMPARE(rig.engine->isConnected(), connected);
    QCOMPARE(rig.backend.captureOpen() || rig.backend.playbackOpen(), connected);
    rig.frames.clear();
    rig.backend.advance(100);
    QCOMPARE(rig.frames.isEmpty(), !connected);
}

void TestVoiceEngine::mutedSendsNothingAndAFailedDeviceDisconnects()
{
    Rig rig({}, 440);
    QSignalSpy starts(rig.engine.get(), &VoiceEngine::RecordStart);
    QSignalSpy stops(rig.engine.get(), &VoiceEngine::RecordStop);
    QSignalSpy failures(rig.engine.get(), &VoiceEngine::DeviceError);
    QStringList transcript;
    const int muted = VoiceClientConfig::RecordMuted;
    QVERIFY(rig.engine->Connect(talking(muted)).ok());
    // Muted, nothing; unmuted, frames; muted again, none; unmuted.
    for (const auto& [flags, ms] : {std::pair{muted, 1000}, {0, 200}, {muted, 500}, {0, 100}}) {
        rig.engine->SetClientConfig(talking(flags));
        rig.backend.advance(ms);
        transcript << QString::asprintf("%d frames %d %d", int(rig.frames.size()),
                                        int(starts.size()), int(stops.size()));
        rig.frames.clear();
    }
    QCOMPARE(transcript.join(", "), "0 frames 0 0, 20 frames 1 0, 0 frames 1 1, 10 frames 2 1");
    // Both devices fail while talking: one error, the first, and the talk ends.
    rig.backend.failCapture(VoiceResult::failure(VoiceError::DeviceFailed, "unplugged"));
    rig.backend.failPlayback(VoiceResult::failure(VoiceError::DeviceFailed, "gone too"));
    QCoreApplication::processEvents();
    QVERIFY(failures.size() == 1 && stops.size() == 2 && !rig.engine->isConnected());
    QCOMPARE(failures.at(0).at(0).value<VoiceResult>().detail, "unplugged");
    // Nothing left open, and it connects again.
    QVERIFY(!rig.backend.captureOpen() && rig.engine->Connect(talking(0)).ok());
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
    QVERIFY(rig.engine->Connect(talking(0)).ok());
    rig.backend.advance(1000);
    QCOMPARE(rig.frames.size(), 1000 / frameMs);
    for (qsizetype i = 0; i < rig.frames.size(); ++i) {
        QCOMPARE(rig.seqs[i], quint16(rig.seqs[0] + i));
        QCOMPARE(opusPacketSamples(rig.frames[i].constData(), int(rig.frames[i].size())),
                 samplesForMs(frameMs));
    }
    const QVector<qint16> pcm = decodeAll(rig.frames);
    // Skip the codec's first 100 ms; a steady tone is what the denoiser
    // learns as noise within a few tenths of a second, so its level is
    // judged before that happens.
    const qsizetype from = samplesForMs(100);
    QVERIFY2(minToneShare(pcm, from, pcm.size() - from, 440) > 0.8, "not the 440 Hz tone");
    QVERIFY(rms(pcm, from, samplesForMs(50)) > 0.25 * 32767);

    // Silence: DTX sends only an occasional refresh, and sequence numbers
    // still count every period.
    Rig quiet({.frameMs = frameMs});
    QVERIFY(quiet.engine->Connect(talking(0)).ok());
    quiet.backend.advance(2000);
    QVERIFY(near(double(quiet.frames.size()), 2, 24));
    QVERIFY(quint16(quiet.seqs.last() - quiet.seqs.first()) > quiet.seqs.size());
}

void TestVoiceEngine::levelEvents_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("expected");
    QTest::newRow("100 ms") << 100 << 10;
    QTest::newRow("off") << 0 << 0;
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
    QVERIFY(near(out.size(), expected, expected + 1));
    // Turning the period off mid-session stops the events.
    rig.engine->SetClientConfig(talking(0, 0));
    in.clear();
    out.clear();
    rig.backend.advance(500);
    QCOMPARE(in.size() + out.size(), 0);
}

void TestVoiceEngine::volumes()
{
    // Playback volume: 0 and 50 mean unity, 25 a quarter, 100 four times;
    // out of range, as the nearest end.
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
    for (const auto& [volume, gain] :
         {std::pair{50, 1.0}, {25, 0.25}, {100, 4.0}, {250, 4.0}, {-7, 1.0}})
        QVERIFY2(near(playedRms(volume) / unity / gain, 0.975, 1.025),
                 qPrintable(QString::number(volume)));

    // Automatic record volume lifts a quiet speaker, unless a manual volume
    // turns it off.
    const auto sentRms = [](int flags, int volume) {
        Rig rig;
        rig.backend.setCaptureSource(SignalSource::speechBursts(0.02, 250, 100));
        rig.engine->Connect(talking(flags, 100, volume));
        rig.backend.advance(6000);
        const QVector<qint16> pcm = decodeAll(rig.frames);
        return rms(pcm, pcm.size() - samplesForMs(2000), samplesForMs(2000));
    };
    const int agc = VoiceClientConfig::AutoRecordVolume;
    const double plain = sentRms(0, 0), automatic = sentRms(agc, 0), manualWins = sentRms(agc, 50);
    QVERIFY2(plain > 50 && automatic > 3 * plain && std::abs(manualWins / plain - 1.0) < 0.2,
             qPrintable(QStringLiteral("%1, %2, %3").arg(plain).arg(automatic).arg(manualWins)));
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
    // The engine is destroyed on its own thread, before it stops.
    rig->engine.release()->deleteLater();
}

void TestVoiceEngine::lostReorderedAndSilentFrames()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 50);
    PlaybackMixer reference;
    for (int i = 0; i < 40; ++i)
        reference.put(1, quint16(i), frames[i]);
    const QVector<qint16> inOrder = renderMs(reference, 800);
    // Pairs swapped from frame 10 on, and one frame arriving four late;
    // then the same with sequence numbers that wrap after 20 frames.
    QList<int> order(40);
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

    // One lone loss and one double loss: 20 and 31 are rebuilt from their
    // successor's FEC; 30 has no successor at hand, so it is concealed.
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i) {
        if (i != 20 && i != 30 && i != 31)
            mixer.put(1, quint16(i), frames[i]);
    }
    const QVector<qint16> out = renderMs(mixer, 1000);
    const PlaybackMixer::Stats& stats = mixer.stats();
    QCOMPARE(QList<qint64>({stats.decoded, stats.recovered, stats.concealed}),
             QList<qint64>({47, 2, 1}));
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

    // Speakers who fall silent are dropped.
    PlaybackMixer quiet({.speakerTimeoutMs = 300});
    for (int i = 0; i < 10; ++i)
        quiet.put(5, quint16(i), frames[i]);
    quiet.put(6, 0, frames[0]);
    renderMs(quiet, 200);
    QCOMPARE(quiet.speakerCount(), 2);
    // Speaker 5 keeps sending, speaker 6 has fallen silent.
    quiet.put(5, 20, frames[0]);
    renderMs(quiet, 200);
    QVERIFY(quiet.hasSpeaker(5) && !quiet.hasSpeaker(6));
    renderMs(quiet, 400);
    QCOMPARE(quiet.speakerCount(), 0);
    // A returning speaker starts afresh.
    QVERIFY(quiet.put(6, 9, frames[1]) && quiet.speakerCount() == 1);
}

void TestVoiceEngine::garbageNeverCrashes()
{
    const QList<QByteArray> good = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    QRandomGenerator random = test::generatoreProva(1);
    int refused = 0;
    const auto junk = [&](int maxBytes) {
        QByteArray bytes(int(random.bounded(1, maxBytes)), Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        return bytes;
    };
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
            put(quint32(random.bounded(2, 6)), quint16(random.generate()), junk(1600));
        // Damaged copies of real frames, for the same and another speaker.
        put(7, quint16(i), good[i].left(int(random.bounded(1, int(good[i].size())))));
        QByteArray flipped = good[i];
        flipped[int(random.bounded(int(flipped.size())))] ^= char(0x5a);
        put(8, quint16(i), flipped);
        mixer.render(block.data(), int(block.size()));
    }
    QCOMPARE(mixer.stats().refused, refused);
    QCOMPARE(renderMs(mixer, 200).size(), qsizetype(samplesForMs(200)));
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
        QVERIFY(open.indexOf(true) >= 50 && open.indexOf(true) < talkEnd);
        QVERIFY(near(double(last + 1 - talkEnd) * 10, closesAfterMs - 10, closesAfterMs + 10));
        QVERIFY(!gate.isOpen());
    }
}

void TestVoiceEngine::echoIsCancelledDuringDoubleTalk_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<double>("echoDb"); // what A gets back, at most
    QTest::newRow("a near speaker") << 40 << -40.0;
    // Beyond the adaptive filter's own length: the delay estimator finds it.
    QTest::newRow("a far speaker") << 200 << -20.0;
}

void TestVoiceEngine::echoIsCancelledDuringDoubleTalk()
{
    // A talks all along, his pitch wandering; B's speaker leaks into B's
    // microphone at -6 dB. From 4 s on B talks too, at a pitch of his own.
    QFETCH(int, delayMs);
    QFETCH(double, echoDb);
    QVector<double> echoLevel, bLevel;
    for (bool cancel : {false, true}) {
        Room room(cancel);
        room.a.backend.setCaptureSource(SignalSource::talker(150, 0.3, 260, 90, 0, 5));
        room.b.backend.setCaptureSource(SignalSource::talker(233, 0.3, 300, 120, 4000));
        room.b.backend.setEchoPath(0.5, delayMs);
        QVERIFY(room.connect(0, 0) && room.b.engine->isEchoCancelling() == cancel);
        room.run(7000);
        const QVector<qint16>& atA = room.a.backend.played();
        const qsizetype at2s = samplesForMs(2000) - room.a.backend.playbackOpenedAt();
        echoLevel.append(rms(atA, at2s, samplesForMs(2000)));
        bLevel.append(levelAt(atA, at2s + samplesForMs(2500), samplesForMs(2000), 233));
    }
    QVector<qint16> own(samplesForMs(2000));
    SignalSource::talker(150, 0.3, 260, 90, 0, 5).generate(own.data(), int(own.size()));
    const double ownLevel = rms(own, 0, own.size());
    // Without the canceller the test really drives an echo back to A; with
    // it the echo is gone, and B's own voice keeps its level.
    QVERIFY(near(db(echoLevel[0] / ownLevel), -12, 0));
    QVERIFY(near(db(echoLevel[1] / ownLevel), -200, echoDb));
    QVERIFY(near(db(bLevel[1] / bLevel[0]), -6, 6));
}

void TestVoiceEngine::cancellerInThePathOnlyWhileTheSpeakerPlays_data()
{
    QTest::addColumn<int>("sendingUntilMs"); // from 2 s, when the speaker goes quiet
    QTest::addColumn<QList<int>>("changes"); // ms where it came in, went out...
    // The speaker plays from 1 s to 2 s, 20 ms queued: its echo may last
    // until 2.52 s, in the block that ends there.
    QTest::newRow("leaves after the echo") << 0 << QList<int>{1000, 2510};
    QTest::newRow("not while sending") << 3000 << QList<int>{1000, 3000};
}

void TestVoiceEngine::cancellerInThePathOnlyWhileTheSpeakerPlays()
{
    QFETCH(int, sendingUntilMs);
    QFETCH(QList<int>, changes);
    VoiceResult r;
    auto echo = EchoCanceller::create(r);
    QVERIFY(echo);
    echo->setOutputLatency(samplesForMs(20));
    const int block = samplesForMs(10);
    SignalSource mic = SignalSource::talker(233, 0.3, 300, 120), far = SignalSource::tone(440, 0.3);
    QVector<qint16> in(block), out(block), played(block);
    QList<int> seen;
    bool inPath = false;
    for (int ms = 0; ms < 4000; ms += 10) {
        if (ms >= 1000 && ms < 2000)
            far.generate(played.data(), block);
        else
            played.fill(0);
        echo->playback(played.constData(), block);
        mic.generate(in.data(), block);
        echo->process(in.constData(), out.data(), ms < 2000 || ms >= sendingUntilMs);
        if (echo->inPath() != inPath)
            seen.append(ms);
        inPath = echo->inPath();
        // Out of the path the microphone goes out untouched, without delay.
        if (!inPath)
            QCOMPARE(out, in);
    }
    QCOMPARE(seen, changes);
}

void TestVoiceEngine::preRollKeepsTheOnset()
{
    // A quiet room, then a 300 ms tone: voice activation opens a little
    // into it, and the audio from before the opening goes first.
    Room room(false);
    room.a.backend.setCaptureSource(SignalSource::sequence({{SignalSource::noise(0.002, 5), 1000},
                                                            {SignalSource::tone(440, 0.4), 300},
                                                            {SignalSource::noise(0.002, 6), 700}}));
    QSignalSpy starts(room.a.engine.get(), &VoiceEngine::RecordStart);
    QSignalSpy stops(room.a.engine.get(), &VoiceEngine::RecordStop);
    QVERIFY(room.connect(VoiceClientConfig::AutoVoiceActivated, VoiceClientConfig::RecordMuted));
    room.run(2000);
    // Open once, shut a 400 ms hangover after the tone, and frames only in
    // between: the tone, the hangover and the 60 ms before the opening,
    // numbered in 10 ms periods from the start, the first from before the tone.
    const QList<quint16>& seqs = room.a.seqs;
    QCOMPARE(starts.size() + 10 * stops.size(), 11);
    QVERIFY(near(seqs.size(), 65, 80));
    for (qsizetype i = 1; i < seqs.size(); ++i)
        QCOMPARE(seqs[i], quint16(seqs[0] + i));
    QVERIFY(near(seqs[0], 0, 96));
    const QVector<qint16>& heard = room.b.backend.played();
    const qsizetype onset = firstAbove(heard, 2000);
    QVERIFY(onset > 0);
    const double steady = rms(heard, onset + samplesForMs(150), samplesForMs(100));
    QVERIFY(steady > 0.2 * 32767);
    // The first 40 ms are there, at the level of the rest, and at pitch.
    QVERIFY(rms(heard, onset, samplesForMs(40)) > 0.6 * steady);
    QVERIFY(toneShare(heard, onset, samplesForMs(40), 440) > 0.7);
}

void TestVoiceEngine::lossAndJitter_data()
{
    QTest::addColumn<int>("loss");
    QTest::addColumn<double>("kept");
    QTest::newRow("5 %") << 5 << 0.95;
    QTest::newRow("15 %") << 15 << 0.85;
}

void TestVoiceEngine::lossAndJitter()
{
    QFETCH(int, loss);
    QFETCH(double, kept);
    const quint32 seed = fixedSeed();
    auto play = [&](int lossPercent) {
        Room room(false, {}, {lossPercent, 20, seed});
        // A steady vowel: a pure tone is the one sound after whose loss
        // Opus's speech coder needs several frames to find its level again.
        room.a.backend.setCaptureSource(SignalSource::talker(150, 0.3, 1000, 0));
        // The listener's reports size the talker's redundancy.
        connect(room.b.engine.get(), &VoiceEngine::ReceptionReport, room.a.engine.get(),
                [&room](quint32, int percent) { room.a.engine->SetExpectedLoss(percent); });
        room.connect(0, VoiceClientConfig::RecordMuted);
        room.run(12000);
        return QVector<qint16>(room.b.backend.played());
    };
    const QVector<qint16> clean = play(0);
    const QVector<qint16> lossy = play(loss);
    // Judged after the reports have come in.
    const qsizetype from = samplesForMs(4000), n = samplesForMs(7000);
    const double band = bandEnergy(lossy, from, n, 150) / bandEnergy(clean, from, n, 150);
    qsizetype longestGap = 0, gap = 0;
    for (qsizetype at = from; at + samplesForMs(5) <= from + n; at += samplesForMs(5)) {
        gap = rms(lossy, at, samplesForMs(5)) < 0.1 * rms(clean, at, samplesForMs(5)) ? gap + 5 : 0;
        longestGap = std::max(longestGap, gap);
    }
    QVERIFY2(band >= kept && longestGap <= 60,
             qPrintable(QString::asprintf("%g of the energy, longest gap %lld ms, seed %u", band,
                                          qint64(longestGap), seed)));
}

void TestVoiceEngine::copiesRideInThePadding()
{
    const QList<QByteArray> frames = encodeTone(440, 0.3, 3, 10, 0);
    QByteArray packet = frames[2];
    QVERIFY(attachSpares(packet, {frames[1], {}}));
    QCOMPARE(sparesOf(packet.constData(), int(packet.size())), (QList<QByteArray>{frames[1], {}}));
    // A listener that does not look for them plays the same audio.
    QCOMPARE(decodeAll({frames[0], frames[1], packet}), decodeAll(frames));
    QVERIFY(sparesOf(frames[2].constData(), int(frames[2].size())).isEmpty());
    for (int size = 0; size < packet.size(); ++size)
        QVERIFY(sparesOf(packet.constData(), size).isEmpty());
    QByteArray unmarked = packet;
    unmarked.back() = 0;
    QVERIFY(sparesOf(unmarked.constData(), int(unmarked.size())).isEmpty());
    QVERIFY(!attachSpares(packet, {QByteArray(256, 'x')}));
}

void TestVoiceEngine::jitterBufferGrowsAndShrinks()
{
    // One frame every 10 ms; for a while each is held back 0..40 ms.
    const QList<QByteArray> frames = encodeTone(440, 0.3, 3000, 10);
    PlaybackMixer mixer;
    session::VoiceImpairment steady({0, 0, 1}), jittery({0, 40, fixedSeed()});
    QMultiMap<int, int> arrivals; // ms -> frame
    for (int i = 0; i < frames.size(); ++i)
        arrivals.insert(i * 10 + *(i >= 500 && i < 1300 ? jittery : steady).next(), i);
    QList<int> delays;
    QVector<qint16> out(samplesForMs(10));
    for (int t = 0; t < 30000; t += 10) {
        while (!arrivals.isEmpty() && arrivals.firstKey() <= t) {
            const int i = arrivals.take(arrivals.firstKey());
            mixer.put(7, quint16(i), frames[i]);
        }
        mixer.render(out.data(), int(out.size()));
        if (t % 1000 == 990)
            delays.append(mixer.bufferDelayMs(7));
    }
    // Starts at about a frame, grows under jitter, comes back down after.
    QVERIFY(near(delays[4], 0, 15) && near(delays[12], 25, 1000) && near(delays[29], 0, 15));
    // And playback never ran dry meanwhile, however long.
    Room room(false, {}, {0, 20, fixedSeed()});
    room.a.backend.setCaptureSource(SignalSource::tone(440, 0.3));
    room.connect(0, VoiceClientConfig::RecordMuted);
    room.run(120000);
    QCOMPARE(room.b.backend.underruns(), 0);
}

using Steps = QList<std::pair<int, int>>;

void TestVoiceEngine::playbackQueueFollowsUnderruns_data()
{
    // Steps of (stall ms, ms played); after each, queue/buffer in ms.
    QTest::addColumn<bool>("wholeBuffer");
    QTest::addColumn<int>("bufferMs");
    QTest::addColumn<int>("settleMs");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("transcript");
    QTest::addColumn<int>("underruns");
    // 5 ms more queued each time the device runs dry (at most 20 more; past its buffer, reopened
    // larger), 5 ms less after a second of calm; a trim that proves too eager waits twice as long
    // next. Dry, calm, dry right after the trim, not yet calm long enough, now; then dry five
    // times; then calm: the queue comes down, the device (not its latency here) stays.
    QTest::newRow("queue within the device")
        << false << 25 << 0
        << Steps{{0, 500},  {30, 100}, {0, 1000}, {30, 300}, {0, 1500},  {0, 600}, {30, 100},
                 {30, 100}, {30, 100}, {30, 100}, {30, 100}, {0, 16500}, {0, 4000}}
        << "10/25 15/25 10/25 15/25 15/25 10/25 15/25 20/25 25/25 30/30 30/30 10/30 10/30" << 17;
    // A device kept full, as PulseAudio's: grown for a stall, it comes back after the calm, by the
    // same rule, never below the size it was opened at. Grown again long after the shrink: two
    // seconds next; dry right after that shrink: four.
    QTest::newRow("device kept full")
        << true << 20 << 0 << Steps{{0, 500}, {30, 100}, {0, 1000}, {0, 3000}, {30, 100}, {0, 1500},
                                    {0, 600}, {30, 100}, {30, 100}, {0, 4100}, {0, 4000}, {0, 9000}}
        << "20/20 25/25 20/20 20/20 25/25 25/25 20/20 25/25 30/30 25/25 20/20 20/20" << 8;
    // Dry in its first second, a device is still starting: counted, nothing grows; after it, as
    // above. A reopened device starts its second over.
    QTest::newRow("a device's first second")
        << true << 20 << 1000
        << Steps{{30, 100}, {0, 500}, {30, 100}, {0, 500}, {30, 100}, {30, 100}}
        << "20/20 20/20 20/20 20/20 25/25 25/25" << 8;
}

void TestVoiceEngine::playbackQueueFollowsUnderruns()
{
    QFETCH(bool, wholeBuffer);
    QFETCH(int, bufferMs);
    QFETCH(int, settleMs);
    QFETCH(Steps, steps);
    QFETCH(QString, transcript);
    QFETCH(int, underruns);
    Rig rig({.playbackBufferMs = bufferMs, .queueTrimMs = 1000, .playbackSettleMs = settleMs});
    rig.backend.setWholeBufferQueued(wholeBuffer);
    QVERIFY(rig.engine->Connect(VoiceClientConfig{}).ok());
    QStringList seen;
    for (const auto& [stallMs, ms] : steps) {
        rig.backend.stallFeed(stallMs);
        rig.backend.advance(ms);
        QCoreApplication::processEvents(); // a reopen waits for the event loop
        seen.append(QStringLiteral("%1/%2")
                        .arg(rig.engine->playbackQueueMs())
                        .arg(rig.backend.playbackBufferMs()));
    }
    QCOMPARE(seen.join(' '), transcript);
    QCOMPARE(rig.engine->playbackUnderruns(), underruns); // a reopened device's count adds on
}

void TestVoiceEngine::memberLevels_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("muted");
    QTest::newRow("silent at 0 %") << 0 << false;
    QTest::newRow("muted") << 100 << true;
    QTest::newRow("unchanged at 100 %") << 100 << false;
    QTest::newRow("doubled at 200 %") << 200 << false;
}

void TestVoiceEngine::memberLevels()
{
    QFETCH(int, percent);
    QFETCH(bool, muted);
    const QList<QByteArray> one = encodeTone(300, 0.7, 25), other = encodeTone(500, 0.2, 25);
    const QVector<qint16> a = decodeAll(one), b = decodeAll(other);
    PlaybackMixer mixer;
    mixer.setSpeakerLevel(10, percent, muted);
    for (int i = 0; i < one.size(); ++i) {
        QVERIFY(mixer.put(10, quint16(i), one[i]));
        QVERIFY(mixer.put(20, quint16(i), other[i]));
    }
    const QVector<qint16> mix = renderMs(mixer, 500);
    // A muted member's frames are never decoded.
    QCOMPARE(mixer.stats().muted, muted ? 25 : 0);
    QCOMPARE(mixer.stats().decoded, muted ? 25 : 50);
    const double gain = muted ? 0 : percent / 100.0;
    int clipped = 0;
    for (qsizetype i = 0; i < mix.size(); ++i) {
        const long sum = std::lround(a[i] * gain) + b[i];
        if (mix[i] != std::clamp(sum, -32768L, 32767L))
            QFAIL(qPrintable(QStringLiteral("sample %1: %2 for %3").arg(i).arg(mix[i]).arg(sum)));
        clipped += (sum > 32767 || sum < -32768) ? 1 : 0;
    }
    QCOMPARE(clipped > 0, percent == 200 && !muted);
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
