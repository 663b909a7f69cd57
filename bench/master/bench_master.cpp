// Logins per second and reply latency of kalimo-master with 1, 10 and 100
// concurrent lobbies on loopback, and its memory with 1,000 idle lobbies.
// Run on demand: bench_master [--min-cost | --mem-kib N] [--rounds N]

#include "bench/support/benchsupport.h"
#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/textcodec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <vector>

using namespace kalimo;
using bench::waitUntil;
using namespace Qt::StringLiterals;

namespace {

// kalimo-master with the bench's brakes off.
class Master final
{
public:
    bool start(const QString& dir, bool minCost, const QByteArray& cost = {})
    {
        QByteArray ini = "[Service]\nMaxUsers=100000\n[Network]\nMaxConnections=100000\n"
                         "[Brakes]\nConnectionsPerAddress=100000\nRegistrationsPerAddress=100000\n"
                         "RegistrationsPerConnection=100000\n";
        if (minCost)
            ini += "[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n";
        else if (!cost.isEmpty())
            ini += "[Accounts]\nHashMemLimitKiB=" + cost + "\n";
        const QString path = dir + u"/m.ini"_s;
        return bench::writeFile(path, ini) &&
               m_server.start(u"kalimo-master"_s, {u"--config"_s, path, u"--data"_s,
                                                   dir + u"/data"_s, u"--port"_s, u"0"_s});
    }
    quint16 port() const { return m_server.port(); }
    long rssKiB() const { return long(bench::residentKiB(m_server.pid())); }

private:
    bench::ServerProcess m_server;
};

// One lobby: a connection, one request at a time, its latency measured.
class Lobby final : public QObject
{
public:
    explicit Lobby(QString nick) : m_nick(std::move(nick))
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            const QByteArray complete = m_reassembler.feed(m_socket.readAll());
            for (const QStringList& parts : splitMessages(decodeText(complete))) {
                if (parts.value(0) == u"0005") {
                    send(u"0014"_s, {splitFields(parts.value(1)).value(0)});
                    continue;
                }
                const qint64 ns = m_timer.nsecsElapsed();
                m_waiting = false;
                if (m_onReply)
                    m_onReply(parts.value(0), ns);
            }
        });
    }
    void connectTo(quint16 port) { m_socket.connectToHost(u"127.0.0.1"_s, port); }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void close() { m_socket.abort(); }
    void send(const QString& code, const QStringList& params)
    {
        if (!connected())
            return;
        m_waiting = true;
        m_timer.start();
        m_socket.write(encodeText(masterRequest(code, m_nick, params)));
    }
    bool waiting() const { return m_waiting; }
    QTcpSocket& socket() { return m_socket; }
    std::function<void(const QString&, qint64)> m_onReply;
    QString m_nick;

private:
    QTcpSocket m_socket;
    StreamReassembler m_reassembler;
    QElapsedTimer m_timer;
    bool m_waiting = false;
};

struct Stats
{
    std::vector<qint64> ns;
    int failures = 0;
    double seconds = 0;
    void print(const char* what, int lobbies) const
    {
        std::vector<qint64> s = ns;
        std::sort(s.begin(), s.end());
        const auto at = [&](double q) {
            return s.empty() ? 0.0 : double(s[size_t(q * double(s.size() - 1))]) / 1e6;
        };
        std::printf("%-7s lobbies %4d: %6zu done, %3d failed, %9.1f /s, median %8.3f ms, "
                    "p99 %8.3f ms\n",
                    what, lobbies, s.size(), failures, double(s.size()) / seconds, at(0.5),
                    at(0.99));
        std::fflush(stdout);
    }
};

bool registerAll(quint16 port, const QStringList& nicks)
{
    int left = int(nicks.size());
    bool ok = true;
    std::vector<std::unique_ptr<Lobby>> lobbies;
    for (const QString& nick : nicks) {
        auto l = std::make_unique<Lobby>(nick);
        l->m_onReply = [&](const QString& code, qint64) {
            ok = ok && (code == u"00001" || code == u"00002");
            --left;
        };
        l->connectTo(port);
        lobbies.push_back(std::move(l));
    }
    // A few at a time: each registration costs one hash.
    for (size_t i = 0; i < lobbies.size(); ++i) {
        Lobby& l = *lobbies[i];
        if (!waitUntil([&] { return l.connected(); }, 30000))
            return false;
        l.send(u"0010"_s, {l.m_nick, u"kalimo"_s, u"pw1"_s, u"bench@example.org"_s, u"-1"_s});
        if (i % 16 == 15 && !waitUntil([&] { return left <= int(lobbies.size() - i - 1); }, 600000))
            return false;
    }
    return waitUntil([&] { return left == 0; }, 600000) && ok;
}

// Each lobby connects, logs in, leaves, and starts again with its next nick.
Stats logins(quint16 port, int lobbies, int perLobby)
{
    Stats st;
    constexpr int kNicksPerLobby = 3;
    int active = lobbies;
    QElapsedTimer wall;
    wall.start();
    std::vector<std::unique_ptr<Lobby>> all;
    std::vector<int> round(size_t(lobbies), 0);
    std::function<void(int)> next = [&](int i) {
        if (round[size_t(i)] == perLobby) {
            --active;
            return;
        }
        const QString nick = u"b%1n%2"_s.arg(i).arg(round[size_t(i)] % kNicksPerLobby);
        auto l = std::make_unique<Lobby>(nick);
        Lobby* raw = l.get();
        raw->m_onReply = [&, i, raw](const QString& code, qint64 ns) {
            if (code == u"00001")
                st.ns.push_back(ns);
            else
                ++st.failures;
            raw->close();
            ++round[size_t(i)];
            QMetaObject::invokeMethod(
                raw, [&next, i] { next(i); }, Qt::QueuedConnection);
        };
        QObject::connect(&l->socket(), &QTcpSocket::connected, raw, [raw] {
            raw->send(u"0001"_s, {raw->m_nick, u"kalimo"_s, u"pw1"_s});
        });
        raw->connectTo(port);
        all.push_back(std::move(l));
    };
    for (int i = 0; i < lobbies; ++i)
        next(i);
    waitUntil([&] { return active == 0; }, 1800000);
    st.seconds = double(wall.nsecsElapsed()) / 1e9;
    return st;
}

} // namespace

namespace {

// One lobby per nick, all logged in at once; `loggedIn` counts acceptances.
std::vector<std::unique_ptr<Lobby>> loginAll(quint16 port, const QStringList& nicks, int& loggedIn)
{
    std::vector<std::unique_ptr<Lobby>> all;
    for (const QString& nick : nicks) {
        auto l = std::make_unique<Lobby>(nick);
        Lobby* raw = l.get();
        raw->m_onReply = [&loggedIn](const QString& code, qint64) { loggedIn += code == u"00001"; };
        QObject::connect(&raw->socket(), &QTcpSocket::connected, raw, [raw] {
            raw->send(u"0001"_s, {raw->m_nick, u"kalimo"_s, u"pw1"_s});
        });
        raw->connectTo(port);
        all.push_back(std::move(l));
    }
    waitUntil([&] { return loggedIn == int(nicks.size()); }, 600000);
    return all;
}

// Logged-in lobbies asking "0011 " one after another, as fast as answered.
Stats requests(quint16 port, int lobbies, int perLobby)
{
    Stats st;
    QStringList nicks;
    for (int i = 0; i < lobbies; ++i)
        nicks << u"b%1n0"_s.arg(i);
    int loggedIn = 0;
    std::vector<std::unique_ptr<Lobby>> all = loginAll(port, nicks, loggedIn);
    if (loggedIn != lobbies) {
        st.failures = lobbies - loggedIn;
        return st;
    }
    int active = lobbies;
    std::vector<int> done(size_t(lobbies), 0);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < lobbies; ++i) {
        Lobby* raw = all[size_t(i)].get();
        raw->m_onReply = [&, i, raw](const QString& code, qint64 ns) {
            if (code == u"00012")
                st.ns.push_back(ns);
            else
                ++st.failures;
            if (++done[size_t(i)] == perLobby)
                --active;
            else
                raw->send(u"0011"_s, {});
        };
        raw->send(u"0011"_s, {});
    }
    waitUntil([&] { return active == 0; }, 600000);
    st.seconds = double(wall.nsecsElapsed()) / 1e9;
    for (auto& l : all)
        l->close();
    return st;
}

void idleMemory(quint16 port, const Master& master, int count)
{
    QStringList nicks;
    for (int i = 0; i < count; ++i)
        nicks << u"idle%1"_s.arg(i);
    if (!registerAll(port, nicks)) {
        std::printf("memory: registration failed\n");
        return;
    }
    const long before = master.rssKiB();
    int loggedIn = 0;
    const std::vector<std::unique_ptr<Lobby>> all = loginAll(port, nicks, loggedIn);
    const long after = master.rssKiB();
    std::printf("memory: RSS %ld KiB before, %ld KiB with %d idle logged-in lobbies "
                "(%.1f KiB each)\n",
                before, after, loggedIn, double(after - before) / std::max(1, loggedIn));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool minCost = args.contains(u"--min-cost"_s);
    const int rounds = std::max(1, args.value(args.indexOf(u"--rounds"_s) + 1).toInt());
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    QTemporaryDir dir;
    Master master;
    const QByteArray costKiB = args.value(args.indexOf(u"--mem-kib"_s) + 1).toLatin1();
    if (!master.start(dir.path(), minCost,
                      args.contains(u"--mem-kib"_s) ? costKiB : QByteArray())) {
        std::fprintf(stderr, "bench_master: kalimo-master did not start\n");
        return 1;
    }
    std::printf("kalimo-master on port %d, argon2id cost: %s\n", master.port(),
                minCost ? "minimum"
                : args.contains(u"--mem-kib"_s)
                    ? qPrintable(u"2 passes, %1 KiB"_s.arg(QString::fromLatin1(costKiB)))
                    : "default (2 passes, 19 MiB)");
    QStringList nicks;
    for (int i = 0; i < 100; ++i)
        for (int k = 0; k < 3; ++k)
            nicks << u"b%1n%2"_s.arg(i).arg(k);
    if (!registerAll(master.port(), nicks)) {
        std::fprintf(stderr, "bench_master: registration failed\n");
        return 1;
    }
    for (int lobbies : {1, 10, 100})
        logins(master.port(), lobbies, std::max(rounds * 20 / lobbies, 2) * rounds)
            .print("login", lobbies);
    for (int lobbies : {1, 10, 100})
        requests(master.port(), lobbies, rounds * 2000 / lobbies).print("0011", lobbies);

    QTemporaryDir idleDir;
    Master idle;
    if (!idle.start(idleDir.path(), true))
        return 1;
    idleMemory(idle.port(), idle, 1000);
    return 0;
}
