// The whole voice path: mouth-to-ear latency from one engine's capture
// through a room session host on loopback to another engine's playback, and
// how many voice frames a session host relays on one core. Prints figures;
// nothing passes or fails. Arguments pick the parts: latency, pulse (the
// latency on the null devices of scripts/private-pulse.sh), underrun
// [SECONDS [QUEUE_MS]] (a long steady run on those devices), host; none
// means latency and host. echo=0 runs both engines without the canceller.

#include "platform/session/sessionclient.h"
#include "platform/session/sessionhost.h"
#include "platform/voiceengine/opuscodec.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <pthread.h>
#include <vector>

using namespace kalimo;
using namespace kalimo::session;

namespace {

constexpr int kBurstPeriodMs = 500;
constexpr int kBurstMs = 40;
constexpr double kBurstHz = 1000;
constexpr int kMarkLevel = 3000;
// Set from the command line (buffer=MS, queue=MS): the listener's playback
// device buffer and what it keeps queued; 0 = the engine's defaults.
int gBufferMs = 0;
int gQueueMs = 0;
int gCaptureMs = 0;
int gTrimMs = 0; // calm before the listener's queue or device comes down a step; 0 = default
bool gEchoCancel = true; // echo=0 turns the canceller off
// One clock for the probes and the listener's arrivals.
QElapsedTimer gWall;

// "12.40 s": gWall ns `at` in seconds after `since`, with `ms` in brackets when not negative.
QString secondsAfter(qint64 at, qint64 since, qint64 ms = -1)
{
    const QString s = QStringLiteral("%1 s").arg(double(at - since) / 1e9, 0, 'f', 2);
    return ms < 0 ? s : s + QStringLiteral(" (%1 ms)").arg(ms);
}

QString listOrNone(const QStringList& items)
{
    return items.isEmpty() ? QStringLiteral("none") : items.join(QStringLiteral(", "));
}

// A 1 kHz burst every half second: each onset is a mark to find at the far end.
SignalSource bursts()
{
    auto at = std::make_shared<qint64>(0);
    return SignalSource([at](qint16* out, int count) {
        const qint64 period = samplesForMs(kBurstPeriodMs);
        for (int i = 0; i < count; ++i, ++*at) {
            const qint64 p = *at % period;
            out[i] = p < samplesForMs(kBurstMs)
                         ? qint16(16000 * std::sin(2 * std::numbers::pi * kBurstHz * double(p) /
                                                   kSampleRate))
                         : qint16(0);
        }
    });
}

// The first sample at the mark level from `from` on, or -1.
qsizetype firstLoud(const QVector<qint16>& v, qsizetype from)
{
    for (qsizetype i = std::max<qsizetype>(0, from); i < v.size(); ++i)
        if (std::abs(int(v[i])) >= kMarkLevel)
            return i;
    return -1;
}

// Samples from a burst's start to where it first reaches the mark level.
qsizetype markOffset()
{
    std::vector<qint16> one(size_t(samplesForMs(kBurstMs)));
    bursts().generate(one.data(), int(one.size()));
    for (size_t i = 0; i < one.size(); ++i)
        if (std::abs(int(one[i])) >= kMarkLevel)
            return qsizetype(i);
    return 0;
}

void report(const char* what, std::vector<double> ms)
{
    if (ms.empty()) {
        std::printf("%-52s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    std::printf("%-52s median %6.1f ms  min %6.1f  p90 %6.1f  max %6.1f  (%zu)\n", what, at(0.5),
                ms.front(), at(0.9), ms.back(), ms.size());
}

// Runs the event loop until `done` holds or `ms` pass; false on time-out.
// A real loop that sleeps between events, as the programs run: spinning
// on processEvents kept a core busy and starved PulseAudio beside it.
template <class Pred> bool runUntil(Pred done, int ms)
{
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() > ms)
            loop.quit();
    });
    check.start(5);
    if (!done())
        loop.exec();
    return done();
}

// A forwarding room: every frame goes to every member but its speaker.
std::unique_ptr<SessionHost> openRoom(int members)
{
    auto host = std::make_unique<SessionHost>();
    if (!host->Listen(QStringLiteral("127.0.0.1"), 0, roomApplicationGuid(), members))
        return nullptr;
    SessionHost* h = host.get();
    QObject::connect(
        h, &SessionHost::VoiceReceived, h,
        [h](qint32 id, quint16 seq, const QByteArray& f) { h->SendVoiceTo(0, id, seq, f); });
    return host;
}

// Joins `count` clients to the room at `port`, on the calling thread.
std::vector<std::unique_ptr<SessionClient>> join(quint16 port, int count, const QString& prefix)
{
    std::vector<std::unique_ptr<SessionClient>> clients;
    int joined = 0;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<SessionClient>();
        SessionClient* raw = c.get();
        QObject::connect(raw, &SessionClient::EnumHostsResponse, raw,
                         [raw, i, prefix] { raw->Connect(prefix + QString::number(i), {}); });
        QObject::connect(raw, &SessionClient::ConnectComplete, raw, [&joined](int r) {
            if (r == 0)
                ++joined;
        });
        raw->EnumHosts(QStringLiteral("127.0.0.1"), port, roomApplicationGuid());
        clients.push_back(std::move(c));
    }
    if (!runUntil([&] { return joined == count; }, 30000)) {
        std::printf("only %d of %d clients joined\n", joined, count);
        clients.clear();
    }
    return clients;
}

AudioSettings saved(QTemporaryDir& dir, const QByteArray& in, const QByteArray& out)
{
    static int n = 0;
    AudioSettings s = AudioSettings::atFile(dir.filePath(QStringLiteral("a%1.ini").arg(++n)));
    AudioDeviceChoice choice{in, QString::fromUtf8(in), out, QString::fromUtf8(out)};
    choice.echoCancel = gEchoCancel;
    s.save(choice);
    return s;
}

// The engines' defaults, but for what the command line or the part asks.
VoiceEngine::Options engineOptions(int frameMs, int queueMs, int bufferMs)
{
    VoiceEngine::Options options;
    options.frameMs = frameMs;
    options.playbackQueueMs = queueMs;
    if (bufferMs > 0)
        options.playbackBufferMs = bufferMs;
    if (gCaptureMs > 0)
        options.captureBufferMs = gCaptureMs;
    if (gTrimMs > 0)
        options.queueTrimMs = gTrimMs;
    return options;
}

// Talker A and listener B in one room on loopback, A's frames forwarded to
// B. With `clientNumbers` the session client numbers the frames itself, so
// the listener cannot tell a silent period from none.
struct Conversation
{
    QTemporaryDir dir;
    std::unique_ptr<SessionHost> host = openRoom(4);
    std::vector<std::unique_ptr<SessionClient>> clients;
    std::unique_ptr<VoiceEngine> talker, listener;
    quint32 speaker = 0;               // the talker, as the listener knows him
    std::vector<qint64> spurtArrivals; // gWall ns of each talk spurt's first frame at B
    qint64 lastArrival = 0;

    // Empty when both engines run.
    QString start(AudioBackend& audioA, AudioBackend& audioB, const QByteArray& in,
                  const QByteArray& out, int frameMs, bool clientNumbers = false, int queueMs = 0,
                  int bufferMs = 0)
    {
        if (!host)
            return QStringLiteral("cannot open a room");
        clients = join(host->port(), 2, QStringLiteral("member"));
        if (clients.empty())
            return QStringLiteral("cannot join the room");
        const VoiceEngine::Options options = engineOptions(frameMs, queueMs, bufferMs);
        talker = std::make_unique<VoiceEngine>(audioA, saved(dir, in, out), options);
        listener = std::make_unique<VoiceEngine>(audioB, saved(dir, in, out), options);
        SessionClient* a = clients[0].get();
        QObject::connect(talker.get(), &VoiceEngine::FrameEncoded, a,
                         [a, clientNumbers](const QByteArray& f, quint16 seq) {
                             if (clientNumbers)
                                 a->SendVoice(f);
                             else
                                 a->SendVoice(f, seq);
                         });
        VoiceEngine* b = listener.get();
        QObject::connect(clients[1].get(), &SessionClient::VoiceReceived, b,
                         [this, b](qint32 id, quint16 seq, const QByteArray& f) {
                             speaker = quint32(id);
                             const qint64 now = gWall.nsecsElapsed();
                             if (now - lastArrival > 100000000)
                                 spurtArrivals.push_back(now);
                             lastArrival = now;
                             b->FrameReceived(quint32(id), seq, f);
                         });
        // The talker first: in one thread, his devices opening would hold
        // up the listener's running playback, as two processes would not.
        VoiceClientConfig config;
        config.flags = 0;
        VoiceResult r = talker->Connect(config);
        config.flags = VoiceClientConfig::RecordMuted;
        if (r.ok())
            r = listener->Connect(config);
        return r.detail;
    }
};

// One member as the voice program runs him: his session client, audio back
// end and engine on a media thread of their own, so that neither engine
// waits for the other's work or devices.
class MediaThread final
{
public:
    MediaThread()
    {
        m_context->moveToThread(&m_thread);
        m_thread.start();
    }
    ~MediaThread()
    {
        run([this] {
            engine.reset();
            client.reset();
            audio.reset();
        });
        m_thread.quit();
        m_thread.wait();
    }
    template <class F> void run(F f)
    {
        QMetaObject::invokeMethod(m_context.get(), f, Qt::BlockingQueuedConnection);
    }
    // On the thread: the member's own audio back end and engine.
    VoiceEngine* openEngine(const AudioSettings& settings, const VoiceEngine::Options& options)
    {
        audio = std::make_unique<QtAudioBackend>();
        engine = std::make_unique<VoiceEngine>(*audio, settings, options);
        return engine.get();
    }

    std::unique_ptr<QtAudioBackend> audio;
    std::unique_ptr<SessionClient> client;
    std::unique_ptr<VoiceEngine> engine;

private:
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
    QThread m_thread;
};

// Talker A and listener B on PulseAudio, each on his media thread, in one
// room of a host on the calling thread.
struct PulseConversation
{
    QTemporaryDir dir;
    std::unique_ptr<SessionHost> host = openRoom(4);
    std::atomic<int> joined{0};
    std::atomic<quint32> speaker{0}; // the talker, as the listener knows him
    std::mutex arrivalsLock;
    std::vector<qint64> spurtArrivals; // gWall ns of each talk spurt's first frame at B
    std::vector<std::pair<quint16, qint64>> frameArrivals; // every frame's, by number
    qint64 lastArrival = 0;                                // B's thread only
    qint64 listenerOpenedAt = 0;                           // gWall ns
    // gWall ns of each underrun the listener counted, with its device's size then.
    std::vector<std::pair<qint64, int>> underrunsAt;
    std::vector<std::pair<qint64, int>> resizedAt; // each reopen, with the new size
    // Last, so that they stop before the room and the counters go.
    MediaThread talker, listener;

    // Empty when both engines run.
    QString start(const QByteArray& in, const QByteArray& out, int frameMs, int queueMs,
                  int bufferMs)
    {
        if (!host)
            return QStringLiteral("cannot open a room");
        const quint16 port = host->port();
        int n = 0;
        for (MediaThread* m : {&talker, &listener}) {
            m->run([this, m, port, n = n++] {
                m->client = std::make_unique<SessionClient>();
                SessionClient* raw = m->client.get();
                QObject::connect(raw, &SessionClient::EnumHostsResponse, raw, [raw, n] {
                    raw->Connect(QStringLiteral("member") + QString::number(n), {});
                });
                QObject::connect(raw, &SessionClient::ConnectComplete, raw, [this](int r) {
                    if (r == 0)
                        ++joined;
                });
                raw->EnumHosts(QStringLiteral("127.0.0.1"), port, roomApplicationGuid());
            });
        }
        if (!runUntil([this] { return joined == 2; }, 30000))
            return QStringLiteral("cannot join the room");
        const VoiceEngine::Options options = engineOptions(frameMs, queueMs, bufferMs);
        const AudioSettings a = saved(dir, in, out), b = saved(dir, in, out);
        QString failed;
        // The talker first, as in the programs a member who joins later.
        talker.run([&] {
            VoiceEngine* e = talker.openEngine(a, options);
            SessionClient* c = talker.client.get();
            QObject::connect(e, &VoiceEngine::FrameEncoded, c,
                             [c](const QByteArray& f, quint16 seq) { c->SendVoice(f, seq); });
            VoiceClientConfig config;
            config.flags = 0;
            failed = e->Connect(config).detail;
        });
        if (!failed.isEmpty())
            return failed;
        listener.run([&] {
            VoiceEngine* e = listener.openEngine(b, options);
            QObject::connect(listener.client.get(), &SessionClient::VoiceReceived, e,
                             [this, e](qint32 id, quint16 seq, const QByteArray& f) {
                                 speaker = quint32(id);
                                 const qint64 now = gWall.nsecsElapsed();
                                 {
                                     const std::lock_guard lock(arrivalsLock);
                                     if (now - lastArrival > 100000000)
                                         spurtArrivals.push_back(now);
                                     frameArrivals.push_back({seq, now});
                                 }
                                 lastArrival = now;
                                 e->FrameReceived(quint32(id), seq, f);
                             });
            VoiceClientConfig config;
            config.flags = VoiceClientConfig::RecordMuted;
            listenerOpenedAt = gWall.nsecsElapsed();
            failed = e->Connect(config).detail;
            // When the listener runs dry says why: a start that settles, or a steady shortfall.
            auto* watch = new QTimer(e);
            QObject::connect(
                watch, &QTimer::timeout, e,
                [this, e, seen = 0, size = e->playbackBufferMs()]() mutable {
                    const std::lock_guard lock(arrivalsLock);
                    if (e->playbackBufferMs() != size) {
                        size = e->playbackBufferMs();
                        resizedAt.push_back({gWall.nsecsElapsed(), size});
                    }
                    if (e->playbackUnderruns() == seen)
                        return;
                    seen = e->playbackUnderruns();
                    underrunsAt.push_back({gWall.nsecsElapsed(), e->playbackBufferMs()});
                });
            watch->start(10);
        });
        return failed;
    }

    struct Listener
    {
        bool connected = false;
        int bufferDelayMs = 0, queueMs = 0, underruns = 0, lateFeeds = 0;
    };
    Listener listenerNow()
    {
        Listener l;
        listener.run([&] {
            const VoiceEngine* e = listener.engine.get();
            if (!e)
                return;
            l.connected = e->isConnected();
            l.bufferDelayMs = e->mixer() ? e->mixer()->bufferDelayMs(speaker) : 0;
            l.queueMs = e->playbackQueueMs();
            l.underruns = e->playbackUnderruns();
            l.lateFeeds = e->playbackLateFeeds();
        });
        return l;
    }
    // How late each frame reached the listener against the steadiest
    // pace its numbers allow (the quickest frame's), in ms.
    std::vector<double> lateness(int frameMs)
    {
        const std::lock_guard lock(arrivalsLock);
        std::vector<double> late;
        if (frameArrivals.empty())
            return late;
        const auto [seq0, at0] = frameArrivals.front();
        qint64 quickest = 0;
        for (const auto& [seq, at] : frameArrivals) {
            const qint64 due = at0 + qint64(quint16(seq - seq0)) * frameMs * 1000000;
            late.push_back(double(at - due) / 1e6);
            quickest = std::min(quickest, at - due);
        }
        for (double& l : late)
            l -= double(quickest) / 1e6;
        return late;
    }
    // "0.31 s (20 ms), ...": after the listener opened, with the device's size.
    QString underrunTimes() { return times(underrunsAt); }
    QString resizeTimes() { return times(resizedAt); }
    QString times(const std::vector<std::pair<qint64, int>>& events)
    {
        const std::lock_guard lock(arrivalsLock);
        QStringList out;
        for (const auto& [at, bufferMs] : events)
            out.append(secondsAfter(at, listenerOpenedAt, bufferMs));
        return listOrNone(out);
    }
    // "12.40 s (45 ms), ...": where the next frame reached the listener at least `minMs` after the
    // one before, after the listener opened. Stalls on the way, which no playback buffer rides out
    // once longer than the concealment.
    QString arrivalStalls(int minMs)
    {
        const std::lock_guard lock(arrivalsLock);
        QStringList out;
        for (size_t i = 1; i < frameArrivals.size(); ++i) {
            const qint64 waited = frameArrivals[i].second - frameArrivals[i - 1].second;
            if (waited >= qint64(minMs) * 1000000)
                out.append(
                    secondsAfter(frameArrivals[i].second, listenerOpenedAt, waited / 1000000));
        }
        return listOrNone(out);
    }
    std::vector<qint64> arrivals()
    {
        const std::lock_guard lock(arrivalsLock);
        return spurtArrivals;
    }
};

// Talker A and listener B on synthetic devices paced by the real clock,
// their frames through a session host on loopback. B's device ticks half a
// tick after A's, as two unsynchronised sound cards would on average.
void mouthToEar(int frameMs, int seconds, bool clientNumbers = false)
{
    SyntheticAudioBackend audioA, audioB;
    audioA.setCaptureSource(bursts());
    Conversation talk;
    const QString failed =
        talk.start(audioA, audioB, SyntheticAudioBackend::defaultInputId(),
                   SyntheticAudioBackend::defaultOutputId(), frameMs, clientNumbers);
    if (!failed.isEmpty()) {
        std::printf("%s\n", qPrintable(failed));
        return;
    }
    // For the split: the talker's frames by number, and when each reached
    // the listener on its device's clock.
    QHash<quint16, QByteArray> sent;
    QHash<quint16, qint64> arrived;
    QObject::connect(talk.talker.get(), &VoiceEngine::FrameEncoded, talk.talker.get(),
                     [&](const QByteArray& f, quint16 seq) { sent.insert(seq, f); });
    QObject::connect(
        talk.clients[1].get(), &SessionClient::VoiceReceived, talk.listener.get(),
        [&](qint32, quint16 seq, const QByteArray&) { arrived.insert(seq, audioB.nowSamples()); });

    const int tick = SyntheticAudioBackend::kTickMs;
    QElapsedTimer clock;
    clock.start();
    qint64 nextA = tick, nextB = tick + tick / 2;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    bool busy = false;
    QObject::connect(&pace, &QTimer::timeout, &pace, [&] {
        if (busy)
            return;
        busy = true;
        // Ticks in their order. When a late wake-up finds both devices due,
        // the talker's frame crosses the host before the listener's tick,
        // as it would were the two in processes of their own.
        for (qint64 now = clock.elapsed(); std::min(nextA, nextB) <= now;) {
            if (nextA <= nextB) {
                audioA.advance(tick);
                nextA += tick;
                // Host in, host out, listener in.
                for (int hop = 0; hop < 3 && nextB <= now; ++hop)
                    QCoreApplication::processEvents(QEventLoop::AllEvents);
            } else {
                audioB.advance(tick);
                nextB += tick;
            }
        }
        busy = false;
    });
    pace.start(1);
    runUntil([&] { return clock.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    pace.stop();

    const QVector<qint16>& heard = audioB.played();
    const qsizetype period = samplesForMs(kBurstPeriodMs);
    const qsizetype mark = markOffset();
    // What the talker sent, decoded in order (silence where nothing was
    // sent): index i is the talker's microphone sample i, so the mark's place
    // there is the delay of the capture chain (canceller, denoiser, codec).
    VoiceResult r;
    auto decoder = OpusFrameDecoder::create(r);
    const int frameSamples = samplesForMs(frameMs);
    QVector<qint16> stream, pcm(kMaxPacketSamples);
    for (quint16 seq = 0; sent.contains(seq) || seq * frameSamples < audioA.nowSamples(); ++seq) {
        const QByteArray f = sent.value(seq);
        const int n = f.isEmpty() ? -1 : decoder->decode(f.constData(), int(f.size()), pcm.data());
        if (n > 0)
            stream.append(pcm.mid(0, n));
        else
            stream.append(QVector<qint16>(frameSamples, 0));
    }
    std::vector<double> chain, packing, toEar;
    const auto toMs = [](qint64 samples) { return double(samples) * 1000.0 / kSampleRate; };
    int tried = 0;
    std::vector<double> ms;
    for (qsizetype burst = 4; (burst + 1) * period < audioB.nowSamples(); ++burst, ++tried) {
        const qsizetype from = burst * period - audioB.playbackOpenedAt();
        for (qsizetype i = std::max<qsizetype>(0, from); i < from + period && i < heard.size();
             ++i) {
            if (std::abs(int(heard[i])) >= kMarkLevel) {
                const qsizetype late = i + audioB.playbackOpenedAt() - burst * period - mark;
                ms.push_back(double(late) * 1000.0 / kSampleRate + tick / 2.0);
                const qsizetype at = firstLoud(stream, burst * period);
                if (at < 0)
                    break;
                const quint16 seq = quint16(at / frameSamples);
                const qint64 sentAt = qint64(seq + 1) * frameSamples;
                chain.push_back(toMs(at - burst * period - mark));
                packing.push_back(toMs(sentAt - at));
                // The listener's clock is a tick behind the talker's when the
                // frame arrives; half a tick for unsynchronised devices.
                if (arrived.contains(seq) && !clientNumbers)
                    toEar.push_back(toMs(i + audioB.playbackOpenedAt() - arrived.value(seq)) -
                                    tick / 2.0);
                break;
            }
        }
    }
    char label[96];
    std::snprintf(label, sizeof label, "mouth to ear, synthetic devices, %d ms frames%s:", frameMs,
                  clientNumbers ? ", renumbered" : "");
    report(label, ms);
    std::printf("%-52s %zu of %d bursts heard, %d underruns at the listener\n", "", ms.size(),
                tried, audioB.underruns());
    report("  burst to its mark in the talker's decoded frames:", chain);
    report("  that sample to its frame's end (sent):", packing);
    report("  that frame's arrival to the ear:", toEar);
}

// Gaps the ear hears: runs of exact zeros, 0.2 to 200 ms long, that start
// while someone talks and after which the talk resumes at once, loud. A
// decoder fading out or in also makes short zero runs, but quietly. Runs
// less than 5 ms apart are one gap (a device running dry often plays a
// scrap between two).
struct EarGaps
{
    int count = 0;
    qint64 totalSamples = 0, longestSamples = 0;
    qint64 zeros = 0, sinceLoud = -1;
    qint64 candidate = 0, sinceCandidate = 0; // the last run that may be a gap
    qint64 sinceGap = samplesForMs(1000);     // since the last gap ended
    std::vector<qint64> heardAt;              // gWall ns of each gap's end, as recorded

    void feed(const qint16* s, int n)
    {
        const qint64 fedAt = gWall.nsecsElapsed();
        for (int i = 0; i < n; ++i, ++sinceGap) {
            if (s[i] == 0) {
                ++zeros;
                continue;
            }
            if (zeros > 0) {
                const bool talking = sinceLoud >= 0 && sinceLoud <= samplesForMs(35);
                candidate = zeros >= 8 && zeros <= samplesForMs(200) && talking ? zeros : 0;
                sinceCandidate = 0;
                if (sinceLoud >= 0)
                    sinceLoud += zeros;
                zeros = 0;
            }
            if (sinceLoud >= 0)
                ++sinceLoud;
            ++sinceCandidate;
            // Well below the burst marks: the sender's denoiser turns a steady
            // tone down to about 3000.
            if (std::abs(int(s[i])) < 1000)
                continue;
            sinceLoud = 0;
            if (candidate > 0 && sinceCandidate <= samplesForMs(2)) {
                if (sinceGap - sinceCandidate - candidate >= samplesForMs(5)) {
                    ++count;
                    heardAt.push_back(fedAt - qint64(n - i) * 1000000000 / kSampleRate);
                }
                totalSamples += candidate;
                longestSamples = std::max(longestSamples, candidate);
                sinceGap = sinceCandidate;
            }
            candidate = 0;
        }
    }
    // "12.40 s, ..." after `since` (gWall ns).
    QString times(qint64 since) const
    {
        QStringList out;
        for (qint64 at : heardAt)
            out.append(secondsAfter(at, since));
        return listOrNone(out);
    }
    QString describe() const
    {
        return QStringLiteral("%1 gaps heard (%2 ms in all, longest %3 ms)")
            .arg(count)
            .arg(double(totalSamples) * 1000.0 / kSampleRate, 0, 'f', 1)
            .arg(double(longestSamples) * 1000.0 / kSampleRate, 0, 'f', 1);
    }
};

// The same path on PulseAudio devices: an injector plays bursts into the
// mic sink, A captures it through Qt, B plays to the play sink, and a
// recorder hears that sink. The injector-to-recorder path without the
// engines is measured alone and taken off.
class PulseProbe final
{
public:
    // Returns the delays of bursts from injection to the recorder.
    static std::vector<double> run(QtAudioBackend& backend, const QByteArray& recordFrom,
                                   int seconds, std::vector<qint64>* writtenAt = nullptr,
                                   std::vector<qint64>* heardAt = nullptr, EarGaps* gaps = nullptr,
                                   const std::function<QString()>& startTalk = {},
                                   std::vector<qint64>* micHeardAt = nullptr)
    {
        QElapsedTimer& clock = gWall;
        const qint64 startNs = clock.nsecsElapsed();
        SignalSource source = bursts();
        std::vector<qint64> written; // wall ns of each burst start written
        qint64 writtenSamples = 0;
        std::vector<qint16> block(size_t(samplesForMs(10)));
        PlaybackStream* injector = nullptr;
        auto play = backend.openPlayback(
            "kalimo_mic", 40,
            [&] {
                while (injector && injector->samplesFree() >= int(block.size())) {
                    const qint64 period = samplesForMs(kBurstPeriodMs);
                    if (writtenSamples % period == 0)
                        written.push_back(clock.nsecsElapsed());
                    source.generate(block.data(), int(block.size()));
                    injector->write(block.data(), int(block.size()));
                    writtenSamples += qint64(block.size());
                }
            },
            nullptr);
        if (!play.stream) {
            std::printf("injector: %s\n", qPrintable(play.result.detail));
            return {};
        }
        injector = play.stream.get();
        // Wall ns when each burst's mark was recorded.
        const auto marks = [&clock](std::vector<qint64>& heard) {
            return [&clock, &heard, quietSince = qint64(0)](const qint16* s, int n) mutable {
                const qint64 now = clock.nsecsElapsed();
                for (int i = 0; i < n; ++i) {
                    if (std::abs(int(s[i])) >= kMarkLevel) {
                        if (quietSince > samplesForMs(100))
                            heard.push_back(now - qint64(n - i) * 1000000000 / kSampleRate);
                        quietSince = 0;
                    } else {
                        ++quietSince;
                    }
                }
            };
        };
        std::vector<qint64> heard, micHeard;
        auto rec = backend.openCapture(
            recordFrom, 10,
            [&, mark = marks(heard)](const qint16* s, int n) mutable {
                if (gaps)
                    gaps->feed(s, n);
                mark(s, n);
            },
            nullptr);
        if (!rec.stream) {
            std::printf("recorder: %s\n", qPrintable(rec.result.detail));
            return {};
        }
        // What the talker's microphone hears, recorded beside the ear by a
        // recorder of the same kind: the mouth on the ear's own clock, with
        // no second injector whose queue differs from this one's.
        OpenResult<CaptureStream> micRec;
        if (micHeardAt) {
            micRec = backend.openCapture("kalimo_in", 10, marks(micHeard), nullptr);
            if (!micRec.stream) {
                std::printf("microphone recorder: %s\n", qPrintable(micRec.result.detail));
                return {};
            }
        }
        // Opening a device holds the thread up for a moment: ours come first,
        // so the engines' playback does not run dry for them.
        if (const QString failed = startTalk ? startTalk() : QString(); !failed.isEmpty()) {
            std::printf("%s\n", qPrintable(failed));
            return {};
        }
        runUntil([&] { return clock.nsecsElapsed() - startNs >= seconds * 1000000000LL; },
                 seconds * 1000 + 1000);
        if (writtenAt)
            *writtenAt = written;
        if (heardAt)
            *heardAt = heard;
        if (micHeardAt)
            *micHeardAt = micHeard;
        // Pair each heard mark with the latest burst written before it.
        const double markMs = double(markOffset()) * 1000.0 / kSampleRate;
        std::vector<double> ms;
        for (qint64 h : heard) {
            auto it = std::upper_bound(written.begin(), written.end(), h);
            if (it != written.begin() && it - written.begin() > 2)
                ms.push_back(double(h - *(it - 1)) / 1e6 - markMs);
        }
        return ms;
    }
};

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A steady tone from the injector through both engines for `seconds`:
// the listener's playback must never run dry. Counts what Qt reports and
// the gaps a recorder hears.
void underrunsPulse(int seconds, int queueMs)
{
    QtAudioBackend backend;
    PulseConversation talk;
    SignalSource tone = SignalSource::tone(440, 0.3);
    std::vector<qint16> block(size_t(samplesForMs(10)));
    PlaybackStream* injector = nullptr;
    // Roomy: the mouth's own gaps would reach the ear too, and its delay is
    // not measured here.
    auto play = backend.openPlayback(
        "kalimo_mic", 100,
        [&] {
            while (injector && injector->samplesFree() >= int(block.size())) {
                tone.generate(block.data(), int(block.size()));
                injector->write(block.data(), int(block.size()));
            }
        },
        nullptr);
    injector = play.stream.get();
    // The first seconds settle: the talker's gate opens, the queue finds its level.
    EarGaps gaps;
    qint64 heardSamples = 0;
    auto rec = backend.openCapture(
        "kalimo_out", 10,
        [&](const qint16* s, int n) {
            heardSamples += n;
            if (heardSamples > samplesForMs(3000))
                gaps.feed(s, n);
        },
        nullptr);
    if (!injector || !rec.stream) {
        std::printf("cannot open the injector or the recorder\n");
        return;
    }
    const QString failed = talk.start("kalimo_in", "kalimo_play", 10, queueMs, gBufferMs);
    if (!failed.isEmpty()) {
        std::printf("%s\n", qPrintable(failed));
        return;
    }
    // Each minute: what ran dry so far, and how busy the machine was.
    QTimer minute;
    int minutes = 0;
    QObject::connect(&minute, &QTimer::timeout, &minute, [&] {
        QFile load(QStringLiteral("/proc/loadavg"));
        const QByteArray avg = load.open(QIODevice::ReadOnly) ? load.readLine().left(14) : "?";
        const PulseConversation::Listener l = talk.listenerNow();
        // The injector running dry makes gaps too, which the talker sends on.
        std::printf("  minute %2d: %s; %d underruns counted (%d after a late feed), %d ms "
                    "queued; the injector ran dry %d times; load %s\n",
                    ++minutes, qPrintable(gaps.describe()), l.underruns, l.lateFeeds, l.queueMs,
                    injector->underruns(), avg.constData());
    });
    minute.start(60000);
    // The mouth's own gaps reach the ear too: when it ran dry.
    QStringList injectorDry;
    QTimer watchInjector;
    QObject::connect(&watchInjector, &QTimer::timeout, &watchInjector,
                     [&, seen = injector->underruns()]() mutable {
                         if (injector->underruns() == seen)
                             return;
                         seen = injector->underruns();
                         injectorDry.append(
                             secondsAfter(gWall.nsecsElapsed(), talk.listenerOpenedAt));
                     });
    watchInjector.start(10);
    runUntil([] { return false; }, seconds * 1000);
    const PulseConversation::Listener l = talk.listenerNow();
    std::printf("PulseAudio playback, steady tone, queue %s: %d s, %s at the ear, %d underruns "
                "counted by the listener (%d after its feed was late), %d ms queued at the end\n",
                queueMs > 0 ? qPrintable(QString::number(queueMs) + QStringLiteral(" ms"))
                            : "of the device",
                seconds, qPrintable(gaps.describe()), l.underruns, l.lateFeeds, l.queueMs);
    std::printf("  after the listener opened, gaps heard at: %s\n  and the listener ran dry at: "
                "%s\n  its device was reopened at: %s\n  frames reached it 40 ms or more after the "
                "one before at: %s\n  and the injector ran dry at: %s\n",
                qPrintable(gaps.times(talk.listenerOpenedAt)), qPrintable(talk.underrunTimes()),
                qPrintable(talk.resizeTimes()), qPrintable(talk.arrivalStalls(40)),
                qPrintable(listOrNone(injectorDry)));
}

// Returns the mouth-to-ear figure of this start (NaN when it could not run).
double mouthToEarPulse(int frameMs, int seconds, int* gapsHeard)
{
    QtAudioBackend backend;
    QStringList missing;
    for (const char* id : {"kalimo_in", "kalimo_out"}) {
        bool found = false;
        for (const AudioDevice& d : backend.inputDevices())
            found = found || d.id == id;
        if (!found)
            missing.append(QString::fromLatin1(id));
    }
    if (!missing.isEmpty()) {
        std::printf("PulseAudio devices %s missing: run under scripts/private-pulse.sh\n",
                    qPrintable(missing.join(QStringLiteral(", "))));
        return NAN;
    }
    const std::vector<double> baseline = PulseProbe::run(backend, "kalimo_in", seconds);

    PulseConversation talk;
    std::vector<qint64> written, heard, micHeard;
    EarGaps gaps;
    const std::vector<double> total = PulseProbe::run(
        backend, "kalimo_out", seconds, &written, &heard, &gaps,
        [&] { return talk.start("kalimo_in", "kalimo_play", frameMs, gQueueMs, gBufferMs); },
        &micHeard);
    const PulseConversation::Listener l = talk.listenerNow();
    if (!l.connected)
        return NAN;
    const std::vector<qint64> spurtArrivals = talk.arrivals();
    // Where the time goes: burst written to its first frame at the
    // listener, and that frame to the recorder.
    std::vector<double> toListener, toEar;
    for (qint64 h : heard) {
        auto a = std::upper_bound(spurtArrivals.begin(), spurtArrivals.end(), h);
        if (a == spurtArrivals.begin())
            continue;
        auto w = std::upper_bound(written.begin(), written.end(), *(a - 1));
        if (w - written.begin() <= 2 || h - *(a - 1) > 200000000)
            continue;
        toListener.push_back(double(*(a - 1) - *(w - 1)) / 1e6);
        toEar.push_back(double(h - *(a - 1)) / 1e6);
    }
    // Each mark at the ear against the same burst's mark at the microphone.
    std::vector<double> micToEar;
    for (qint64 h : heard) {
        auto m = std::upper_bound(micHeard.begin(), micHeard.end(), h);
        if (m - micHeard.begin() > 2 && h - *(m - 1) < 200000000)
            micToEar.push_back(double(h - *(m - 1)) / 1e6);
    }
    report("  frames' arrival after the steadiest pace:", talk.lateness(frameMs));
    report("  burst written to its first frame at the listener:", toListener);
    report("  that frame to the recorder:", toEar);
    char label[96];
    std::snprintf(label, sizeof label, "PulseAudio, %d ms frames, injector to recorder:", frameMs);
    report(label, total);
    report("PulseAudio, injector to recorder without engines:", baseline);
    report("PulseAudio, microphone to ear, recorded at once:", micToEar);
    std::printf("%-52s %s\n", "  the listener ran dry at:", qPrintable(talk.underrunTimes()));
    const double ms = median(micToEar);
    std::printf("%-52s %6.1f ms (difference of medians: %.1f); the listener's jitter buffer holds "
                "%d ms, its device %d ms queued; at the ear %s; the engine counted %d underruns "
                "(%d late feeds)\n",
                "PulseAudio mouth to ear:", ms, median(total) - median(baseline), l.bufferDelayMs,
                l.queueMs, qPrintable(gaps.describe()), l.underruns, l.lateFeeds);
    if (gapsHeard)
        *gapsHeard = gaps.count;
    return ms;
}

double threadCpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// `rooms` rooms of `members` each on one host thread, `speakers` of each
// room sending frames of 100 bytes `perTick` at a time every 20 ms; the
// clients run on the main thread.
void hostForwarding(int rooms, int members, int speakers, int perTick, int seconds)
{
    QThread hostThread;
    auto* onHostThread = new QObject;
    onHostThread->moveToThread(&hostThread);
    QObject::connect(&hostThread, &QThread::finished, onHostThread, &QObject::deleteLater);
    hostThread.start();
    std::vector<std::unique_ptr<SessionHost>> hosts;
    clockid_t hostClock{};
    QMetaObject::invokeMethod(
        onHostThread,
        [&] {
            pthread_getcpuclockid(pthread_self(), &hostClock);
            for (int i = 0; i < rooms; ++i)
                hosts.push_back(openRoom(members));
        },
        Qt::BlockingQueuedConnection);
    std::vector<std::vector<std::unique_ptr<SessionClient>>> roomClients;
    qint64 received = 0;
    for (const auto& h : hosts) {
        if (!h) {
            std::printf("cannot open a room\n");
            break;
        }
        roomClients.push_back(join(h->port(), members, QStringLiteral("m")));
        if (roomClients.back().empty())
            break;
        for (const auto& c : roomClients.back())
            QObject::connect(c.get(), &SessionClient::VoiceReceived, c.get(),
                             [&received] { ++received; });
    }
    if (roomClients.size() == size_t(rooms) && !roomClients.back().empty()) {
        const QByteArray frame(100, 'v');
        qint64 sent = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
            for (auto& room : roomClients)
                for (int s = 0; s < speakers; ++s)
                    for (int k = 0; k < perTick; ++k)
                        sent += room[size_t(s)]->SendVoice(frame) ? 1 : 0;
        });
        tick.start(20);
        runUntil([] { return false; }, 1000); // settle
        const qint64 sent0 = sent, received0 = received;
        const double cpu0 = threadCpuSeconds(hostClock);
        QElapsedTimer wall;
        wall.start();
        runUntil([] { return false; }, seconds * 1000);
        const double cpu = threadCpuSeconds(hostClock) - cpu0;
        const double elapsed = double(wall.nsecsElapsed()) / 1e9;
        tick.stop();
        const qint64 in = sent - sent0, out = received - received0;
        const double expected = double(in) * (members - 1);
        std::printf(
            "%3d room%s x %3d members, %d speakers x %d frames/20 ms: %7.0f in/s, "
            "%8.0f relayed/s (%.1f %% of expected), host %.0f %% of a core, %.0f relayed per "
            "host CPU second\n",
            rooms, rooms == 1 ? " " : "s", members, speakers, perTick, in / elapsed, out / elapsed,
            expected > 0 ? 100.0 * double(out) / expected : 0.0, 100.0 * cpu / elapsed,
            cpu > 0 ? out / cpu : 0.0);
    }
    roomClients.clear();
    QMetaObject::invokeMethod(
        onHostThread, [&] { hosts.clear(); }, Qt::BlockingQueuedConnection);
    hostThread.quit();
    hostThread.wait();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    gWall.start();
    QStringList parts = app.arguments().mid(1);
    int starts = 10;
    QList<int> frameLengths{10, 20};
    for (const QString& part : parts) {
        const QStringList kv = part.split(QLatin1Char('='));
        if (kv.size() == 2 && kv[0] == QLatin1String("buffer"))
            gBufferMs = kv[1].toInt();
        else if (kv.size() == 2 && kv[0] == QLatin1String("queue"))
            gQueueMs = kv[1].toInt();
        else if (kv.size() == 2 && kv[0] == QLatin1String("capture"))
            gCaptureMs = kv[1].toInt();
        else if (kv.size() == 2 && kv[0] == QLatin1String("trim"))
            gTrimMs = kv[1].toInt();
        else if (kv.size() == 2 && kv[0] == QLatin1String("echo"))
            gEchoCancel = kv[1] != QLatin1String("0");
        else if (kv.size() == 2 && kv[0] == QLatin1String("starts"))
            starts = std::max(1, kv[1].toInt());
        else if (kv.size() == 2 && kv[0] == QLatin1String("frames"))
            frameLengths = {kv[1].toInt() == 20 ? 20 : 10};
    }
    if (parts.isEmpty())
        parts = {QStringLiteral("latency"), QStringLiteral("host")};
    if (parts.contains(QStringLiteral("latency"))) {
        mouthToEar(20, 20);
        mouthToEar(10, 20);
        mouthToEar(20, 20, true);
    }
    if (parts.contains(QStringLiteral("pulse"))) {
        // Each start on its own: the figure must hold for every one.
        for (int frameMs : frameLengths) {
            std::vector<double> each;
            QStringList gapsPerStart;
            for (int start = 0; start < starts; ++start) {
                int gaps = 0;
                const double ms = mouthToEarPulse(frameMs, 10, &gaps);
                if (!std::isnan(ms))
                    each.push_back(ms);
                gapsPerStart.append(QString::number(gaps));
            }
            char label[96];
            std::snprintf(label, sizeof label,
                          "PulseAudio mouth to ear, %d ms frames, %d starts:", frameMs, starts);
            report(label, each);
            std::printf("%-52s %s\n", "  gaps heard per start:",
                        qPrintable(gapsPerStart.join(QStringLiteral(" "))));
        }
    }
    if (parts.contains(QStringLiteral("underrun"))) {
        const int at = int(parts.indexOf(QStringLiteral("underrun")));
        const int seconds = at + 1 < parts.size() ? parts[at + 1].toInt() : 600;
        const int queueMs = at + 2 < parts.size() ? parts[at + 2].toInt() : 0;
        underrunsPulse(seconds > 0 ? seconds : 600, queueMs);
    }
    if (parts.contains(QStringLiteral("host"))) {
        for (int perTick : {1, 4, 16}) {
            hostForwarding(10, 10, 2, perTick, 10);
            hostForwarding(1, 100, 2, perTick, 10);
        }
    }
    // Qt 6.4's PulseAudio engine now and then aborts in its own teardown
    // after main (pa_mainloop_free's assertion, with nothing of ours left):
    // the figures are out, so leave without it.
    std::fflush(stdout);
    std::_Exit(0);
}
