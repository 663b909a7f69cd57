#include "audiocheck.h"

#include "platform/session/voiceimpairment.h"
#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QMultiMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>

using namespace kalimo;
using namespace kalimo::test;

namespace {

quint32 seedFromEnvironment()
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
    const double r = rms(v, from, n);
    return std::sqrt(toneShare(v, from, n, hz)) * r;
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

// Two members whose frames reach each other directly, one way through a
// seeded bad network held in virtual time.
struct Room
{
    Room(bool echoCancel, VoiceEngine::Options options = {},
         session::VoiceImpairment::Settings network = {})
        : a(options, 0, true, echoCancel), b(options, 0, true, echoCancel), impairment(network)
    {
        QObject::connect(a.engine.get(), &VoiceEngine::FrameEncoded, a.engine.get(),
                         [this](const QByteArray& f, quint16 seq) {
                             ++sentByA;
                             if (const auto delay = impairment.next())
                                 inFlight.insert(now + *delay, {seq, f});
                         });
        QObject::connect(
            b.engine.get(), &VoiceEngine::FrameEncoded, b.engine.get(),
            [this](const QByteArray& f, quint16 seq) { a.engine->FrameReceived(2, seq, f); });
    }
    bool connect(int flagsA, int flagsB)
    {
        VoiceClientConfig c;
        c.flags = flagsA;
        if (!a.engine->Connect(c).ok())
            return false;
        c.flags = flagsB;
        return b.engine->Connect(c).ok();
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
    int sentByA = 0;
};

} // namespace

class TestVoiceQuality : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void echoIsCancelledDuringDoubleTalk();
    void preRollKeepsTheOnset();
    void lossAndJitter_data();
    void lossAndJitter();
    void copiesRideInThePadding();
    void jitterBufferGrowsAndShrinks();
    void memberLevels_data();
    void memberLevels();
    void memberLevelsAreKept();
};

void TestVoiceQuality::echoIsCancelledDuringDoubleTalk()
{
    // A talks all along, his pitch wandering; B's speaker leaks into B's
    // microphone at -6 dB, 40 ms late. From 4 s on B talks too, at a pitch
    // of his own.
    QVector<double> echoLevel, bLevel;
    for (bool cancel : {false, true}) {
        Room room(cancel);
        room.a.backend.setCaptureSource(SignalSource::talker(150, 0.3, 260, 90, 0, 5));
        room.b.backend.setCaptureSource(SignalSource::talker(233, 0.3, 300, 120, 4000));
        room.b.backend.setEchoPath(0.5, 40);
        QVERIFY(room.connect(0, 0));
        QCOMPARE(room.b.engine->isEchoCancelling(), cancel);
        room.run(7000);
        const QVector<qint16>& atA = room.a.backend.played();
        const qsizetype at2s = samplesForMs(2000) - room.a.backend.playbackOpenedAt();
        echoLevel.append(rms(atA, at2s, samplesForMs(2000)));
        bLevel.append(levelAt(atA, at2s + samplesForMs(2500), samplesForMs(2000), 233));
    }
    QVector<qint16> own(samplesForMs(2000));
    SignalSource::talker(150, 0.3, 260, 90, 0, 5).generate(own.data(), int(own.size()));
    const double ownLevel = rms(own, 0, own.size());
    // Without the canceller the test really drives an echo back to A.
    QVERIFY2(db(echoLevel[0] / ownLevel) > -12,
             qPrintable(QString::number(db(echoLevel[0] / ownLevel))));
    // The adaptive filter alone leaves about -21 dB of a wandering pitch.
    QVERIFY2(db(echoLevel[1] / ownLevel) < -25,
             qPrintable(QString::number(db(echoLevel[1] / ownLevel))));
    QVERIFY2(std::abs(db(bLevel[1] / bLevel[0])) < 6,
             qPrintable(QString::number(db(bLevel[1] / bLevel[0]))));
}

void TestVoiceQuality::preRollKeepsTheOnset()
{
    // A quiet room, then a 300 ms tone: voice activation opens a little
    // into it, and the audio from before the opening goes first.
    Room room(false);
    room.a.backend.setCaptureSource(SignalSource::sequence({{SignalSource::noise(0.002, 5), 1000},
                                                            {SignalSource::tone(440, 0.4), 300},
                                                            {SignalSource::noise(0.002, 6), 700}}));
    QList<quint16> seqs;
    connect(room.a.engine.get(), &VoiceEngine::FrameEncoded, this,
            [&](const QByteArray&, quint16 seq) { seqs.append(seq); });
    QSignalSpy starts(room.a.engine.get(), &VoiceEngine::RecordStart);
    QSignalSpy stops(room.a.engine.get(), &VoiceEngine::RecordStop);
    QVERIFY(room.connect(VoiceClientConfig::AutoVoiceActivated, VoiceClientConfig::RecordMuted));
    room.run(2000);
    // Open once, shut a 400 ms hangover after the tone, and frames only in
    // between: the tone, the hangover and the 60 ms before the opening.
    QCOMPARE(starts.size(), 1);
    QCOMPARE(stops.size(), 1);
    QVERIFY2(seqs.size() >= 65 && seqs.size() <= 80, qPrintable(QString::number(seqs.size())));

    QVERIFY(!seqs.isEmpty());
    for (qsizetype i = 1; i < seqs.size(); ++i)
        QCOMPARE(seqs[i], quint16(seqs[0] + i));
    // 10 ms frame periods from the start: the first frame sent is from
    // before the tone.
    QVERIFY2(seqs[0] <= 100 - 4, qPrintable(QString::number(seqs[0])));
    const QVector<qint16>& heard = room.b.backend.played();
    const qsizetype onset = firstAbove(heard, 2000);
    QVERIFY(onset > 0);
    const double steady = rms(heard, onset + samplesForMs(150), samplesForMs(100));
    QVERIFY(steady > 0.2 * 32767);
    // The first 40 ms are there, at the level of the rest, and at pitch.
    QVERIFY(rms(heard, onset, samplesForMs(40)) > 0.6 * steady);
    QVERIFY(toneShare(heard, onset, samplesForMs(40), 440) > 0.7);
    // As long as the tone was.
    qsizetype loud = 0;
    for (qsizetype at = onset; at + samplesForMs(10) <= heard.size(); at += samplesForMs(10))
        loud += rms(heard, at, samplesForMs(10)) > 0.5 * steady ? 1 : 0;
    QVERIFY2(loud >= 29, qPrintable(QString::number(loud)));
}

void TestVoiceQuality::lossAndJitter_data()
{
    QTest::addColumn<int>("loss");
    QTest::addColumn<double>("kept");
    QTest::newRow("5 %") << 5 << 0.95;
    QTest::newRow("15 %") << 15 << 0.85;
}

void TestVoiceQuality::lossAndJitter()
{
    QFETCH(int, loss);
    QFETCH(double, kept);
    const quint32 seed = seedFromEnvironment();
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
    QVERIFY2(band >= kept,
             qPrintable(QStringLiteral("%1 of the energy, seed %2").arg(band).arg(seed)));
    qsizetype longestGap = 0, gap = 0;
    for (qsizetype at = from; at + samplesForMs(5) <= from + n; at += samplesForMs(5)) {
        gap = rms(lossy, at, samplesForMs(5)) < 0.1 * rms(clean, at, samplesForMs(5)) ? gap + 5 : 0;
        longestGap = std::max(longestGap, gap);
    }
    QVERIFY2(longestGap <= 60,
             qPrintable(QStringLiteral("%1 ms, seed %2").arg(longestGap).arg(seed)));
}

void TestVoiceQuality::copiesRideInThePadding()
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

void TestVoiceQuality::jitterBufferGrowsAndShrinks()
{
    // One frame every 10 ms; for a while each is held back 0..40 ms.
    const QList<QByteArray> frames = encodeTone(440, 0.3, 3000, 10);
    PlaybackMixer mixer;
    session::VoiceImpairment steady({0, 0, 1}), jittery({0, 40, seedFromEnvironment()});
    QMultiMap<int, int> arrivals; // ms -> frame
    for (int i = 0; i < frames.size(); ++i) {
        const bool rough = i >= 500 && i < 1300;
        arrivals.insert(i * 10 + *(rough ? jittery : steady).next(), i);
    }
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
    QVERIFY2(delays[4] <= 15, qPrintable(QString::number(delays[4])));
    QVERIFY2(delays[12] >= 25, qPrintable(QString::number(delays[12])));
    QVERIFY2(delays[29] <= 15, qPrintable(QString::number(delays[29])));
    // And playback never ran dry meanwhile, however long.
    Room room(false, {}, {0, 20, seedFromEnvironment()});
    room.a.backend.setCaptureSource(SignalSource::tone(440, 0.3));
    room.connect(0, VoiceClientConfig::RecordMuted);
    room.run(120000);
    QCOMPARE(room.b.backend.underruns(), 0);
}

void TestVoiceQuality::memberLevels_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("muted");
    QTest::newRow("silent at 0 %") << 0 << false;
    QTest::newRow("muted") << 100 << true;
    QTest::newRow("muted at 200 %") << 200 << true;
    QTest::newRow("unchanged at 100 %") << 100 << false;
    QTest::newRow("doubled at 200 %") << 200 << false;
    QTest::newRow("halved at 50 %") << 50 << false;
}

void TestVoiceQuality::memberLevels()
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

void TestVoiceQuality::memberLevelsAreKept()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("voice.ini"));
    const QString odd = QStringLiteral("a/b\\c=d é");
    {
        AudioSettings settings = AudioSettings::atFile(file);
        QVERIFY(settings.saveMemberLevel(QStringLiteral("Mario"), {150, false}).ok());
        QVERIFY(settings.saveMemberLevel(odd, {40, true}).ok());
        QVERIFY(settings.saveMemberLevel(QStringLiteral("Luigi"), {300, false}).ok());
        AudioDeviceChoice choice{"in", "In", "out", "Out"};
        choice.echoCancel = false;
        QVERIFY(settings.save(choice).ok());
    }
    const AudioSettings again = AudioSettings::atFile(file);
    QCOMPARE(again.memberLevel(QStringLiteral("Mario")), (AudioSettings::MemberLevel{150, false}));
    QCOMPARE(again.memberLevel(odd), (AudioSettings::MemberLevel{40, true}));
    QCOMPARE(again.memberLevel(QStringLiteral("Luigi")).percent, 200);
    QCOMPARE(again.memberLevel(QStringLiteral("a")), AudioSettings::MemberLevel{});
    QCOMPARE(again.load()->echoCancel, false);
}

QTEST_GUILESS_MAIN(TestVoiceQuality)
#include "tst_voicequality.moc"
