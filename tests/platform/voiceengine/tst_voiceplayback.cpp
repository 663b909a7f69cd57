#include "audiocheck.h"

#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/signalsource.h"
#include "platform/voiceengine/transmitgate.h"
#include "platform/voiceengine/voiceconfig.h"

#include <QDataStream>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <numeric>

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

class TestVoicePlayback : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void twoSpeakersMixAndClip();
    void lostFramesAreConcealed();
    void reorderingAndWrap();
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
    const QList<QByteArray> frames = encodeTone(300, 0.8, 25);
    const QVector<qint16> one = decodeAll(frames);
    PlaybackMixer mixer;
    for (int i = 0; i < frames.size(); ++i) {
        QVERIFY(mixer.put(10, quint16(i), frames[i]));
        QVERIFY(mixer.put(20, quint16(1000 + i), frames[i]));
    }
    QCOMPARE(mixer.speakerCount(), 2);
    const QVector<qint16> mix = renderMs(mixer, 500);
    QCOMPARE(mixer.stats().decoded, 50);
    int clipped = 0;
    for (qsizetype i = 0; i < mix.size(); ++i) {
        // Exact: each speaker has its own decoder fed the same frames.
        const int sum = 2 * int(one[i]);
        if (mix[i] != std::clamp(sum, -32768, 32767))
            QFAIL(qPrintable(
                QStringLiteral("sample %1: %2 for a sum of %3").arg(i).arg(mix[i]).arg(sum)));
        clipped += (sum > 32767 || sum < -32768) ? 1 : 0;
    }
    QVERIFY2(clipped > 1000, "the test did not drive the mix into clipping");
}

void TestVoicePlayback::lostFramesAreConcealed()
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

void TestVoicePlayback::reorderingAndWrap()
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

void TestVoicePlayback::garbageNeverCrashes()
{
    const QList<QByteArray> good = encodeTone(440, 0.4, 50);
    PlaybackMixer mixer;
    QRandomGenerator random(1234);
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
    QVERIFY(mixer.hasSpeaker(5) && !mixer.hasSpeaker(6));
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

void TestVoicePlayback::gateDecisions()
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
    // Blocks the gate was open for, and the end of the last one, in ms.
    const auto run = [&](SignalSource& src, int ms) {
        std::pair<int, int> open{0, 0};
        for (int t = 0; t < ms; t += 10) {
            src.generate(block.data(), int(block.size()));
            if (gate.update(block.constData(), int(block.size()), TransmitGate::Mode(mode), -1,
                            threshold))
                open = {open.first + 1, t + 10};
        }
        return open;
    };
    const auto quiet = run(room, 500);
    if (TransmitGate::Mode(mode) != TransmitGate::Mode::Open)
        QCOMPARE(quiet.first, 0);
    const auto talking = run(talk, talkMs);
    const auto after = run(room, 1000);
    QCOMPARE(talking.first > 0, closesAfterMs != 0);
    if (closesAfterMs == 0) {
        QCOMPARE(after.first, 0);
    } else if (closesAfterMs < 0) {
        QCOMPARE(after.first, 100);
    } else {
        // Open through the hangover, shut right after it.
        QVERIFY2(std::abs(after.second - closesAfterMs) <= 10,
                 qPrintable(QString::number(after.second)));
        QVERIFY(!gate.isOpen());
    }
}

void TestVoicePlayback::volumeMapping()
{
    const QList<std::pair<int, float>> gains = {{0, 1.0f},   {50, 1.0f},  {100, 4.0f},
                                                {25, 0.25f}, {250, 4.0f}, {-7, 1.0f}};
    for (const auto& [volume, gain] : gains)
        QCOMPARE(gainForVolume(volume), gain);
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
    QRandomGenerator random(99);
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

QTEST_GUILESS_MAIN(TestVoicePlayback)
#include "tst_voiceplayback.moc"
