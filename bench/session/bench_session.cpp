// Voice through a forwarding room host on loopback: round-trip latency of
// single frames, and delivery of 20 ms frames from ten simultaneous
// speakers. The host runs in this process; the speakers run in a child
// process (this program with "speakers"), so that the host's figures are its
// own and the speakers' work never shares a process, a heap or a lock with
// it. Prints figures; nothing passes or fails.
//
//   bench_session                  round trip, relay, one seal
//   bench_session relay [FRAMES [TICK_MS [HOST_CPU SPEAKERS_CPU]]]
//                                  the relay alone (compare.sh); the two
//                                  sides pinned to the processors given

#include "platform/session/seal.h"
#include "platform/session/sessionclient.h"
#include "platform/session/sessionhost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtEndian>
#include <QTimer>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

using namespace kalimo::session;

namespace {

QElapsedTimer gClock;

constexpr int kFrameBytes = 100; // a 20 ms Opus frame at 40 kbit/s
constexpr int kSpeakers = 10;

QByteArray stampedFrame()
{
    QByteArray f(kFrameBytes, 'v');
    qToBigEndian<qint64>(gClock.nsecsElapsed(), f.data());
    return f;
}

double ageMs(const QByteArray& frame)
{
    return (gClock.nsecsElapsed() - qFromBigEndian<qint64>(frame.constData())) / 1e6;
}

void report(const char* what, std::vector<double> ms)
{
    if (ms.empty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    std::printf("%s: %zu samples, median %.3f ms, p99 %.3f ms, max %.3f ms\n", what, ms.size(),
                at(0.5), at(0.99), ms.back());
}

// What the calling thread has used so far.
struct Usage
{
    qint64 cpuNs = 0;
    long sleeps = 0;      // gave the processor up: nothing left to do
    long preemptions = 0; // had it taken away
};

Usage threadUsage()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    rusage r{};
    getrusage(RUSAGE_THREAD, &r);
    return {qint64(t.tv_sec) * 1000000000 + t.tv_nsec, r.ru_nvcsw, r.ru_nivcsw};
}

// How many speakers send how many frames, one every tickMs; tickMs 0: one
// speaker whose every frame the host echoes.
struct Run
{
    int speakers = kSpeakers;
    int frames = 500;
    int tickMs = 20;
    int speakersCpu = -1; // -1: wherever the scheduler puts them

    bool echo() const { return tickMs == 0; }
};

// The clients, in the child process.
class Speakers final : public QObject
{
public:
    Speakers(quint16 port, Run run) : m_port(port), m_run(run) {}

    void start()
    {
        for (int i = 0; i < m_run.speakers; ++i) {
            auto* c = new SessionClient(this);
            connect(c, &SessionClient::EnumHostsResponse, c,
                    [c, i] { c->Connect(QStringLiteral("speaker%1").arg(i), {}); });
            connect(c, &SessionClient::ConnectComplete, this, [this](int r) {
                if (r != 0) {
                    std::printf("connect refused: %d\n", r);
                    QCoreApplication::exit(1);
                } else if (++m_connected == m_run.speakers) {
                    go();
                }
            });
            connect(c, &SessionClient::VoiceReceived, this,
                    [this, c](qint32, quint16, const QByteArray& f) { heard(c, f); });
            c->EnumHosts(QStringLiteral("127.0.0.1"), m_port, roomApplicationGuid());
            m_clients.push_back(c);
        }
    }

private:
    void go()
    {
        m_start = gClock.nsecsElapsed();
        // Unsequenced frames may be lost: never wait for ever.
        QTimer::singleShot(60000 + m_run.frames * m_run.tickMs, this, [this] { finish(); });
        if (m_run.echo()) {
            send(m_clients.front());
            return;
        }
        auto* tick = new QTimer(this);
        tick->setTimerType(Qt::PreciseTimer);
        connect(tick, &QTimer::timeout, this, [this, tick] {
            for (SessionClient* c : m_clients)
                send(c);
            if (++m_round == m_run.frames) {
                tick->stop();
                // Let the last frames arrive, then stop.
                QTimer::singleShot(500, this, [this] { finish(); });
            }
        });
        tick->start(m_run.tickMs);
    }

    void send(SessionClient* c)
    {
        c->SendVoice(stampedFrame());
        ++m_sent;
    }

    void heard(SessionClient* c, const QByteArray& f)
    {
        m_latencies.push_back(ageMs(f));
        if (!m_run.echo())
            return;
        if (m_sent == m_run.frames)
            finish();
        else
            send(c);
    }

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        const qint64 elapsedNs = gClock.nsecsElapsed() - m_start;
        for (SessionClient* c : m_clients)
            c->Close();
        if (m_run.echo()) {
            report("round trip, 1 speaker echoed by the host", m_latencies);
        } else {
            const int expected = m_sent * (m_run.speakers - 1);
            const int received = int(m_latencies.size());
            std::printf("%d speakers, %d frames of %d ms each: %d sent, %d of %d forwarded frames "
                        "arrived (%.2f %% lost), %.0f frames/s delivered\n",
                        m_run.speakers, m_run.frames, m_run.tickMs, m_sent, received, expected,
                        100.0 * (expected - received) / std::max(1, expected),
                        received / (elapsedNs / 1e9));
            report("one way through the host", m_latencies);
        }
        std::fflush(stdout);
        // Let the disconnects go out before the process ends.
        QTimer::singleShot(100, qApp, &QCoreApplication::quit);
    }

    quint16 m_port;
    const Run m_run;
    int m_connected = 0;
    int m_round = 0;
    int m_sent = 0;
    bool m_finished = false;
    qint64 m_start = 0;
    std::vector<double> m_latencies;
    std::vector<SessionClient*> m_clients;
};

// Where the host and the speakers run changes what a datagram costs the host
// (waking a reader on another processor costs more), so runs that must
// compare can pin both.
bool pinTo(int cpu)
{
    if (cpu < 0)
        return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) == 0)
        return true;
    std::printf("cannot run on processor %d\n", cpu);
    return false;
}

int speakersMain(const QStringList& args)
{
    if (args.size() != 5) {
        std::printf("usage: bench_session speakers PORT COUNT FRAMES TICK_MS CPU\n");
        return 2;
    }
    const Run run{args[1].toInt(), args[2].toInt(), args[3].toInt(), args[4].toInt()};
    if (!pinTo(run.speakersCpu))
        return 1;
    Speakers s(quint16(args[0].toUInt()), run);
    s.start();
    return QCoreApplication::exec();
}

// The host's side of one run: relays (or echoes) what the speakers send and
// measures its own thread from the first frame in to the last one out.
class Relay final
{
public:
    Relay(SessionHost& host, Run run) : m_host(host), m_run(run) {}

    bool run()
    {
        const auto c = QObject::connect(
            &m_host, &SessionHost::VoiceReceived, &m_host,
            [this](qint32 id, quint16 seq, const QByteArray& f) { relay(id, seq, f); });
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QObject::connect(&child, &QProcess::finished, qApp, &QCoreApplication::quit);
        QObject::connect(&child, &QProcess::errorOccurred, qApp, &QCoreApplication::quit);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("speakers"), QString::number(m_host.port()),
                     QString::number(m_run.speakers), QString::number(m_run.frames),
                     QString::number(m_run.tickMs), QString::number(m_run.speakersCpu)});
        QCoreApplication::exec();
        QObject::disconnect(c);
        if (child.state() != QProcess::NotRunning) {
            child.kill();
            child.waitForFinished();
        }
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || !m_first) {
            std::printf("the speakers failed: %s\n", qPrintable(child.errorString()));
            return false;
        }
        if (!m_run.echo())
            print();
        return true;
    }

private:
    void relay(qint32 id, quint16 seq, const QByteArray& frame)
    {
        if (!m_first)
            m_first = threadUsage();
        // Each tick brings one frame of every speaker, and the next tick
        // comes long after the last of them is relayed.
        if (m_in % m_run.speakers == 0)
            m_tickStartNs = threadUsage().cpuNs;
        m_host.SendVoiceTo(m_run.echo() ? id : 0, id, seq, frame);
        if (++m_in % m_run.speakers == 0) {
            const qint64 now = threadUsage().cpuNs;
            if (m_tickEndNs != 0) {
                m_relayingNs.push_back(now - m_tickStartNs);
                m_tickNs.push_back(now - m_tickEndNs);
            }
            m_tickEndNs = now;
        }
        if (m_in == m_run.speakers * m_run.frames)
            m_last = threadUsage();
    }

    void print() const
    {
        // A frame lost on its way in: the window ends with the speakers.
        const Usage end = m_last ? *m_last : threadUsage();
        const qint64 relayed = qint64(m_in) * (m_run.speakers - 1);
        const double per = 1.0 / double(std::max<qint64>(1, relayed));
        // The median tick is what most ticks cost, whatever struck a few.
        const auto median = [this](std::vector<qint64> ns) {
            std::sort(ns.begin(), ns.end());
            return ns.empty()
                       ? 0.0
                       : double(ns[ns.size() / 2]) / 1e3 / (m_run.speakers - 1) / m_run.speakers;
        };
        std::printf("host thread: %.3f s CPU for %lld relayed frames%s: %.3f us per relayed "
                    "frame; median tick %.3f us, relaying alone %.3f us per relayed frame; "
                    "%.3f sleeps, %.4f preemptions per relayed frame\n",
                    (end.cpuNs - m_first->cpuNs) / 1e9, relayed,
                    m_last ? "" : " (some lost before the host: measured to the end)",
                    (end.cpuNs - m_first->cpuNs) / 1e3 * per, median(m_tickNs),
                    median(m_relayingNs), double(end.sleeps - m_first->sleeps) * per,
                    double(end.preemptions - m_first->preemptions) * per);
    }

    SessionHost& m_host;
    const Run m_run;
    int m_in = 0;
    // From the first frame of a tick, and from the end of the last tick, to
    // the end of this one: the relaying alone, and everything.
    qint64 m_tickStartNs = 0;
    qint64 m_tickEndNs = 0;
    std::vector<qint64> m_relayingNs;
    std::vector<qint64> m_tickNs;
    std::optional<Usage> m_first;
    std::optional<Usage> m_last;
};

// The sealing alone, as the host does it for each listener of a frame.
void timeSeals()
{
    const HostKeys hostKeys = HostKeys::generate(), member = HostKeys::generate();
    for (const quint8 cipher : {SessionSeal::ChaCha20, SessionSeal::Aes256Gcm}) {
        auto seal = SessionSeal::host(hostKeys, member.publicKey, cipher);
        if (!seal)
            continue;
        QByteArray out(kFrameBytes + 6 + SessionSeal::kOverhead, Qt::Uninitialized);
        const QByteArray frame(kFrameBytes + 6, 'v');
        constexpr int kSeals = 200000;
        const qint64 start = threadUsage().cpuNs;
        for (int i = 0; i < kSeals; ++i)
            seal->sealInto(1, frame, reinterpret_cast<unsigned char*>(out.data()));
        std::printf("sealing a %d-byte voice datagram (%s): %.3f us\n", kFrameBytes + 6,
                    cipher == SessionSeal::Aes256Gcm ? "AES-256-GCM" : "ChaCha20-Poly1305",
                    (threadUsage().cpuNs - start) / 1e3 / kSeals);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    gClock.start();
    QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.front() == QLatin1String("speakers"))
        return speakersMain(args.mid(1));

    SessionHost host;
    if (!host.Listen(QStringLiteral("127.0.0.1"), 0, roomApplicationGuid(), 16)) {
        std::printf("listen failed: %s\n", qPrintable(host.errorString()));
        return 1;
    }
    const bool relayOnly = !args.isEmpty() && args.front() == QLatin1String("relay");
    if (relayOnly)
        args.removeFirst();
    const int frames = args.size() > 0 ? std::max(1, args[0].toInt()) : 500;
    const int tickMs = args.size() > 1 ? std::max(1, args[1].toInt()) : 20;
    const bool pinned = args.size() > 3;
    if (pinned && !pinTo(args[2].toInt()))
        return 1;
    std::fflush(stdout);
    if (!relayOnly && !Relay(host, Run{1, 2000, 0}).run())
        return 1;
    if (!Relay(host, Run{kSpeakers, frames, tickMs, pinned ? args[3].toInt() : -1}).run())
        return 1;
    if (!relayOnly)
        timeSeals();
    return 0;
}
