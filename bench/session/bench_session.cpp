// Voice through a forwarding room host on loopback: round-trip latency of
// single frames, and delivery of 20 ms frames from ten simultaneous
// speakers. The host runs on the main thread, the clients on a media thread
// of their own, as in the programs. Prints figures; nothing passes or fails.

#include "platform/session/seal.h"
#include "platform/session/sessionclient.h"
#include "platform/session/sessionhost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QtEndian>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace kalimo::session;

namespace {

QElapsedTimer gClock; // started before any thread, read-only afterwards

// CPU time of the calling thread: the host's share, whatever else runs.
qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

constexpr int kFrameBytes = 100; // a 20 ms Opus frame at 40 kbit/s

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

// The clients, created and run on the media thread.
class Speakers final : public QObject
{
public:
    Speakers(quint16 port, int count, int frames, bool echo)
        : m_port(port), m_count(count), m_frames(frames), m_echo(echo)
    {
    }

    void start()
    {
        for (int i = 0; i < m_count; ++i) {
            auto* c = new SessionClient(this);
            connect(c, &SessionClient::EnumHostsResponse, c,
                    [c, i] { c->Connect(QStringLiteral("speaker%1").arg(i), {}); });
            connect(c, &SessionClient::ConnectComplete, this, [this](int r) {
                if (r != 0)
                    std::printf("connect refused: %d\n", r);
                else if (++m_connected == m_count)
                    go();
            });
            connect(c, &SessionClient::VoiceReceived, this,
                    [this, c](qint32, quint16, const QByteArray& f) { heard(c, f); });
            c->EnumHosts(QStringLiteral("127.0.0.1"), m_port, roomApplicationGuid());
            m_clients.push_back(c);
        }
    }

    std::vector<double> latencies;
    int sent = 0;
    int received = 0;
    qint64 elapsedNs = 0;

private:
    void go()
    {
        m_start = gClock.nsecsElapsed();
        // Unsequenced frames may be lost: never wait for ever.
        QTimer::singleShot(60000, this, [this] { finish(); });
        if (m_echo) {
            m_clients.front()->SendVoice(stampedFrame());
            ++sent;
            return;
        }
        auto* tick = new QTimer(this);
        tick->setTimerType(Qt::PreciseTimer);
        connect(tick, &QTimer::timeout, this, [this, tick] {
            for (SessionClient* c : m_clients) {
                c->SendVoice(stampedFrame());
                ++sent;
            }
            if (++m_round == m_frames) {
                tick->stop();
                // Let the last frames arrive, then stop.
                QTimer::singleShot(500, this, [this] { finish(); });
            }
        });
        tick->start(20);
    }

    void heard(SessionClient* c, const QByteArray& f)
    {
        latencies.push_back(ageMs(f));
        ++received;
        if (!m_echo)
            return;
        if (sent == m_frames) {
            finish();
            return;
        }
        c->SendVoice(stampedFrame());
        ++sent;
    }

    void finish()
    {
        if (elapsedNs != 0)
            return;
        elapsedNs = gClock.nsecsElapsed() - m_start;
        for (SessionClient* c : m_clients)
            c->Close();
        thread()->quit();
    }

    quint16 m_port;
    int m_count;
    int m_frames;
    bool m_echo;
    int m_connected = 0;
    int m_round = 0;
    qint64 m_start = 0;
    std::vector<SessionClient*> m_clients;
};

void run(SessionHost& host, int speakers, int frames, bool echo)
{
    QThread media;
    auto* s = new Speakers(host.port(), speakers, frames, echo);
    s->moveToThread(&media);
    QObject::connect(&media, &QThread::started, s, [s] { s->start(); });
    QObject::connect(&media, &QThread::finished, qApp, &QCoreApplication::quit);
    media.start();
    const qint64 cpuBefore = threadCpuNs();
    QCoreApplication::exec();
    const qint64 hostCpuNs = threadCpuNs() - cpuBefore;
    media.wait();
    if (echo) {
        report("round trip, 1 speaker echoed by the host", s->latencies);
    } else {
        const int expected = s->sent * (speakers - 1);
        std::printf("%d speakers, %d frames of 20 ms each: %d sent, %d of %d forwarded frames "
                    "arrived (%.2f %% lost), %.0f frames/s delivered\n",
                    speakers, frames, s->sent, s->received, expected,
                    100.0 * (expected - s->received) / std::max(1, expected),
                    s->received / (s->elapsedNs / 1e9));
        report("one way through the host", s->latencies);
        // Each frame in is opened once and sealed again for each listener.
        std::printf("host thread: %.2f s CPU, %.2f us per relayed frame\n", hostCpuNs / 1e9,
                    hostCpuNs / 1e3 / std::max(1, s->received));
    }
    delete s;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    gClock.start();
    SessionHost host;
    if (!host.Listen(QStringLiteral("127.0.0.1"), 0, roomApplicationGuid(), 16)) {
        std::printf("listen failed: %s\n", qPrintable(host.errorString()));
        return 1;
    }
    // "relay [FRAMES]": the ten speakers only, for runs side by side.
    const bool relayOnly = argc > 1 && qstrcmp(argv[1], "relay") == 0;
    const int frameArg = relayOnly ? 2 : 1;
    bool echo = !relayOnly;
    QObject::connect(&host, &SessionHost::VoiceReceived, &host,
                     [&](qint32 id, quint16 seq, const QByteArray& f) {
                         host.SendVoiceTo(echo ? id : 0, id, seq, f);
                     });
    if (echo)
        run(host, 1, 2000, true);
    echo = false;
    const int frames = argc > frameArg ? std::max(1, atoi(argv[frameArg])) : 500;
    run(host, 10, frames, false);
    if (relayOnly)
        return 0;

    // The sealing alone, as the host does it for each listener of a frame.
    const HostKeys hostKeys = HostKeys::generate(), member = HostKeys::generate();
    for (const quint8 cipher : {SessionSeal::ChaCha20, SessionSeal::Aes256Gcm}) {
        auto seal = SessionSeal::host(hostKeys, member.publicKey, cipher);
        if (!seal)
            continue;
        QByteArray out(kFrameBytes + 6 + SessionSeal::kOverhead, Qt::Uninitialized);
        const QByteArray frame(kFrameBytes + 6, 'v');
        constexpr int kSeals = 200000;
        const qint64 start = threadCpuNs();
        for (int i = 0; i < kSeals; ++i)
            seal->sealInto(1, frame, reinterpret_cast<unsigned char*>(out.data()));
        std::printf("sealing a %d-byte voice datagram (%s): %.3f us\n", kFrameBytes + 6,
                    cipher == SessionSeal::Aes256Gcm ? "AES-256-GCM" : "ChaCha20-Poly1305",
                    (threadCpuNs() - start) / 1e3 / kSeals);
    }
    return 0;
}
