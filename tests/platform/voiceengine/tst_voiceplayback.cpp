#include "audiocheck.h"

#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/signalsource.h"
#include "platform/voiceengine/transmitgate.h"
#include "platform/voiceengine/voiceconfig.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>

#include <algorithm>

using namespace kalimo;
using namespace kalimo::test;

namespace {

// Renders `ms` of the mix in 10 ms blocks, as the playback push does.
QVector<qint16> renderMs(PlaybackMixer& mixer, int ms)
{
    QVector<qint16> out(samplesForMs(ms));
    const int block = samplesForMs(10);
    for (qsizetype at = 0; at + block <= out.size(); at += block)
        mixer.render(out.data() + at, block);
    return out;
}

QVector<qint16> playInOrder(const QList<QByteArray>& frames, quint16 firstSeq = 0)
{
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i)
        mixer.put(1, quint16(firstSeq + i), frames[i]);
    return renderMs(mixer, 20 * int(frames.size()));
}

QByteArray wavHeader(quint16 format, quint16 channels, quint32 rate, quint16 bits,
                     quint32 dataBytes)
{
    QByteArray h("RIFF");
    const auto u32 = [&](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        h.append(b, 4);
    };
    const auto u16 = [&](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        h.append(b, 2);
    };
    u32(36 + dataBytes);
    h.append("WAVEfmt ");
    u32(16);
    u16(format);
    u16(channels);
    u32(rate);
    u32(rate * channels * bits / 8);
    u16(quint16(channels * bits / 8));
    u16(bits);
    h.append("data");
    u32(dataBytes);
    return h;
}

} // namespace

class TestVoicePlayback : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void twoSpeakersMixAndClip();
    void lostFramesAreConcealed();
    void reorderedFramesPutBack();
    void sequenceWrapsWithoutAGap();
    void garbageNeverCrashes();
    void silentSpeakersAreDropped();
    void gateDecisions_data();
    void gateDecisions();
    void volumeMapping();
    void wavFiles();
};

void TestVoicePlayback::twoSpeakersMixAndClip()
{
    // Two loud in-phase tones: their sum is far beyond full scale.
    const QList<QByteArray> a = encodeTone(300, 0.8, 25);
    const QList<QByteArray> b = encodeTone(300, 0.8, 25);
    const QVector<qint16> da = decodeAll(a);
    const QVector<qint16> db = decodeAll(b);

    PlaybackMixer mixer;
    for (int i = 0; i < a.size(); ++i) {
        QVERIFY(mixer.put(10, quint16(i), a[i]));
        QVERIFY(mixer.put(20, quint16(1000 + i), b[i]));
    }
    QCOMPARE(mixer.speakerCount(), 2);
    const QVector<qint16> mix = renderMs(mixer, 500);
    QCOMPARE(mixer.stats().decoded, 50);

    int clipped = 0;
    for (qsizetype i = 0; i < mix.size(); ++i) {
        const int sum = int(da[i]) + int(db[i]);
        const int expected = std::clamp(sum, -32768, 32767);
        // Exact: each speaker has its own decoder fed the same frames.
        if (mix[i] != expected)
            QFAIL(qPrintable(
                QStringLiteral("sample %1: %2, expected %3").arg(i).arg(mix[i]).arg(expected)));
        clipped += (sum > 32767 || sum < -32768) ? 1 : 0;
    }
    QVERIFY2(clipped > 1000, "the test did not drive the mix into clipping");
}

void TestVoicePlayback::lostFramesAreConcealed()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i) {
        if (i == 20 || i == 30 || i == 31) // one lone loss, one double loss
            continue;
        mixer.put(1, quint16(i), frames[i]);
    }
    const QVector<qint16> out = renderMs(mixer, 1000);
    // 20 and 31 are rebuilt from their successor's FEC; 30 has no
    // successor at hand, so it is concealed.
    QCOMPARE(mixer.stats().recovered, 2);
    QCOMPARE(mixer.stats().concealed, 1);
    QCOMPARE(mixer.stats().decoded, 47);
    // No hole: the gaps are filled with the continuing tone.
    const qsizetype from = samplesForMs(100);
    QVERIFY(longestZeroRun(out, from, samplesForMs(850)) < 10);
    QVERIFY(minToneShare(out, samplesForMs(350), samplesForMs(400), 440) > 0.6);
    QVERIFY(rms(out, samplesForMs(600), samplesForMs(40)) >
            0.3 * rms(out, samplesForMs(500), samplesForMs(40)));

    // After the speaker stops, concealment fades to silence rather than
    // inventing sound for ever.
    const QVector<qint16> after = renderMs(mixer, 300);
    QCOMPARE(longestZeroRun(after, samplesForMs(150), samplesForMs(150)),
             qsizetype(samplesForMs(150)));
}

void TestVoicePlayback::reorderedFramesPutBack()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 40);
    PlaybackMixer mixer;
    // Pairs swapped from frame 10 on, and one frame arriving four late.
    QList<int> order;
    for (int i = 0; i < frames.size(); ++i)
        order.append(i);
    for (int i = 10; i + 1 < 30; i += 2)
        std::swap(order[i], order[i + 1]);
    order.move(order.indexOf(33), order.indexOf(37));
    for (int i : order)
        mixer.put(1, quint16(i), frames[i]);

    const QVector<qint16> out = renderMs(mixer, 800);
    QCOMPARE(mixer.stats().concealed, 0);
    QCOMPARE(mixer.stats().recovered, 0);
    QCOMPARE(out, playInOrder(frames));
}

void TestVoicePlayback::sequenceWrapsWithoutAGap()
{
    const QList<QByteArray> frames = encodeTone(440, 0.4, 40);
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i)
        mixer.put(1, quint16(65516 + i), frames[i]); // wraps after 20 frames
    const QVector<qint16> out = renderMs(mixer, 800);
    QCOMPARE(mixer.stats().decoded, 40);
    QCOMPARE(mixer.stats().concealed, 0);
    QCOMPARE(out, playInOrder(frames));
}

void TestVoicePlayback::garbageNeverCrashes()
{
    const QList<QByteArray> good = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    QRandomGenerator random(1234);
    int refused = 0;
    const auto put = [&](quint32 speaker, quint16 seq, const QByteArray& f) {
        if (!mixer.put(speaker, seq, f))
            ++refused;
    };
    put(9, 0, QByteArray());
    put(9, 1, QByteArray(100000, '\xff'));
    put(9, 2, QByteArray(kMaxPacketBytes + 1, '\x08'));
    QCOMPARE(refused, 3);
    QCOMPARE(mixer.speakerCount(), 0);

    for (int i = 0; i < good.size(); ++i) {
        put(1, quint16(i), good[i]);
        for (int k = 0; k < 10; ++k) {
            QByteArray junk(int(random.bounded(1, 1600)), Qt::Uninitialized);
            for (char& c : junk)
                c = char(random.bounded(256));
            put(quint32(random.bounded(2, 6)), quint16(random.generate()), junk);
        }
        // Damaged copies of real frames, for the same and another speaker.
        QByteArray torn = good[i].left(int(random.bounded(1, int(good[i].size()))));
        put(7, quint16(i), torn);
        QByteArray flipped = good[i];
        flipped[int(random.bounded(int(flipped.size())))] ^= char(0x5a);
        put(8, quint16(i), flipped);
        QVector<qint16> block(samplesForMs(20));
        mixer.render(block.data(), int(block.size()));
    }
    QCOMPARE(mixer.stats().refused, refused);
    // A valid frame seq far from the last still plays; mixing ran every step.
    const QVector<qint16> more = renderMs(mixer, 200);
    QCOMPARE(more.size(), qsizetype(samplesForMs(200)));

    // The genuine speaker alone still comes through as its tone.
    PlaybackMixer clean;
    for (int i = 0; i < good.size(); ++i) {
        clean.put(1, quint16(i), good[i]);
        QByteArray junk(int(random.bounded(1, 400)), Qt::Uninitialized);
        for (char& c : junk)
            c = char(random.bounded(256));
        clean.put(2, quint16(random.generate()), junk);
        clean.remove(2);
    }
    QVERIFY(minToneShare(renderMs(clean, 1000), samplesForMs(100), samplesForMs(800), 440) > 0.8);
}

void TestVoicePlayback::silentSpeakersAreDropped()
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
    QVERIFY(mixer.hasSpeaker(5));
    QVERIFY(!mixer.hasSpeaker(6));
    renderMs(mixer, 400);
    QCOMPARE(mixer.speakerCount(), 0);
    // A returning speaker starts afresh.
    QVERIFY(mixer.put(6, 9, frames[1]));
    QCOMPARE(mixer.speakerCount(), 1);
    mixer.remove(6);
    QCOMPARE(mixer.speakerCount(), 0);
}

void TestVoicePlayback::gateDecisions_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("threshold");
    QTest::addColumn<double>("loud"); // amplitude of the "talk" part
    QTest::addColumn<int>("talkMs");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("closesAfterMs"); // after the talk ends; -1 = never within 1 s

    const int va = int(TransmitGate::Mode::VoiceActivated);
    QTest::newRow("speech opens, hangover") << va << -1 << 0.3 << 500 << true << 400;
    QTest::newRow("a 10 ms click does not open") << va << -1 << 0.5 << 10 << false << 0;
    QTest::newRow("as loud as the room does not open") << va << -1 << 0.001 << 500 << false << 0;
    QTest::newRow("threshold 20, peak 30 opens") << va << 20 << 0.3 << 500 << true << 400;
    QTest::newRow("threshold 40, peak 30 stays shut") << va << 40 << 0.3 << 500 << false << 0;
    QTest::newRow("open mode ignores silence")
        << int(TransmitGate::Mode::Open) << -1 << 0.0 << 500 << true << -1;
    QTest::newRow("closed mode ignores speech")
        << int(TransmitGate::Mode::Closed) << -1 << 0.5 << 500 << false << 0;
}

void TestVoicePlayback::gateDecisions()
{
    QFETCH(int, mode);
    QFETCH(int, threshold);
    QFETCH(double, loud);
    QFETCH(int, talkMs);
    QFETCH(bool, opens);
    QFETCH(int, closesAfterMs);

    TransmitGate gate; // 400 ms hangover, 10 ms blocks
    SignalSource room = SignalSource::noise(0.001, 3);
    SignalSource talk = SignalSource::tone(300, loud);
    QVector<qint16> block(samplesForMs(10));
    const auto run = [&](SignalSource& src, int ms, int& openBlocks, int& lastOpen) {
        for (int t = 0; t < ms; t += 10) {
            src.generate(block.data(), int(block.size()));
            if (gate.update(block.constData(), int(block.size()), TransmitGate::Mode(mode), -1,
                            threshold)) {
                ++openBlocks;
                lastOpen = t;
            }
        }
    };
    int openQuiet = 0, lastQuiet = -1, openTalk = 0, lastTalk = -1, openAfter = 0, lastAfter = -1;
    run(room, 500, openQuiet, lastQuiet);
    if (TransmitGate::Mode(mode) != TransmitGate::Mode::Open)
        QCOMPARE(openQuiet, 0);
    run(talk, talkMs, openTalk, lastTalk);
    run(room, 1000, openAfter, lastAfter);
    QCOMPARE(openTalk > 0, opens);
    if (!opens) {
        QCOMPARE(openAfter, 0);
    } else if (closesAfterMs < 0) {
        QCOMPARE(openAfter, 100);
    } else {
        // Open through the hangover, shut right after it.
        QVERIFY2(std::abs(lastAfter + 10 - closesAfterMs) <= 10,
                 qPrintable(QString::number(lastAfter)));
        QVERIFY(!gate.isOpen());
    }
}

void TestVoicePlayback::volumeMapping()
{
    QCOMPARE(gainForVolume(0), 1.0f);
    QCOMPARE(gainForVolume(50), 1.0f);
    QCOMPARE(gainForVolume(100), 4.0f);
    QCOMPARE(gainForVolume(25), 0.25f);
    QCOMPARE(gainForVolume(250), 4.0f);
    QCOMPARE(gainForVolume(-7), 1.0f);

    VoiceClientConfig c;
    c.recordVolume = 300;
    c.playbackVolume = -5;
    c.notificationPeriod = -100;
    c.threshold = -40;
    const VoiceClientConfig n = c.normalized();
    QCOMPARE(n.recordVolume, 100);
    QCOMPARE(n.playbackVolume, 0);
    QCOMPARE(n.notificationPeriod, 0);
    QCOMPARE(n.threshold, VoiceClientConfig::ThresholdUnused);
    c.notificationPeriod = 1;
    QCOMPARE(c.normalized().notificationPeriod, 10);

    QCOMPARE(jitterMaxLateRate(0, 0), 4);
    QVERIFY(jitterMaxLateRate(100, 0) < jitterMaxLateRate(0, 0));
    QVERIFY(jitterMaxLateRate(0, 100) > jitterMaxLateRate(0, 0));
}

void TestVoicePlayback::wavFiles()
{
    QVector<qint16> samples;
    QByteArray ok = wavHeader(1, 1, 48000, 16, 8);
    for (qint16 v : {qint16(1), qint16(-2), qint16(300), qint16(-32768)}) {
        char b[2];
        qToLittleEndian(v, b);
        ok.append(b, 2);
    }
    QVERIFY(SignalSource::parseWav(ok, samples).ok());
    QCOMPARE(samples, (QVector<qint16>{1, -2, 300, -32768}));
    // Played once, then silence.
    SignalSource src = SignalSource::samples(samples);
    QVector<qint16> out(6);
    src.generate(out.data(), 6);
    QCOMPARE(out, (QVector<qint16>{1, -2, 300, -32768, 0, 0}));

    QCOMPARE(
        SignalSource::parseWav(wavHeader(1, 2, 48000, 16, 8) + QByteArray(8, 0), samples).error,
        VoiceError::InvalidArgument);
    QCOMPARE(
        SignalSource::parseWav(wavHeader(1, 1, 44100, 16, 8) + QByteArray(8, 0), samples).error,
        VoiceError::InvalidArgument);
    QCOMPARE(
        SignalSource::parseWav(wavHeader(1, 1, 48000, 16, 800) + QByteArray(8, 0), samples).error,
        VoiceError::InvalidArgument);
    QCOMPARE(SignalSource::parseWav("RIFF", samples).error, VoiceError::InvalidArgument);
    QRandomGenerator random(99);
    for (int i = 0; i < 200; ++i) {
        QByteArray junk = ok.left(int(random.bounded(int(ok.size()))));
        if (!junk.isEmpty())
            junk[int(random.bounded(int(junk.size())))] = char(random.bounded(256));
        SignalSource::parseWav(junk, samples); // must only fail cleanly
    }

    QTemporaryDir dir;
    const QString raw = dir.filePath(QStringLiteral("voice.raw"));
    QFile f(raw);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ok.mid(44));
    f.close();
    QVERIFY(SignalSource::readFile(raw, samples).ok());
    QCOMPARE(samples.size(), 4);
    QCOMPARE(SignalSource::readFile(dir.filePath(QStringLiteral("missing.wav")), samples).error,
             VoiceError::InvalidArgument);
}

QTEST_GUILESS_MAIN(TestVoicePlayback)
#include "tst_voiceplayback.moc"
