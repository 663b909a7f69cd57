// Two kalimo-master processes on one PostgreSQL database (started here, in a
// temporary folder), the second on 127.0.0.2: logins per second with 500
// lobbies on each, private-text latency across masters, presence replies,
// a room listing of 200 rooms, "0007 " to "00071", and how long a killed
// master's nicks stay taken. Run on demand: bench_service [--lobbies N]

#include "bench/support/benchsupport.h"
#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/textcodec.h"
#include "tests/support/postgres.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace kalimo;
using bench::waitUntil;
using namespace Qt::StringLiterals;

namespace {

class Master final
{
public:
    bool start(const QString& dir, const QString& address, quint16 pgPort, int checkMs)
    {
        const QString path = dir + u"/m.ini"_s;
        const QByteArray ini =
            u"[Network]\nAddress=%1\nMaxConnections=100000\n[Service]\nMaxUsers=100000\n"
            "PrivateTextsPerMinute=100000\n"
            "[Brakes]\nConnectionsPerAddress=100000\nRegistrationsPerAddress=100000\n"
            "RegistrationsPerConnection=100000\nRoomCreationsPerAddress=100000\n"
            "RoomHostMemoryMiB=100000\n"
            "[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n"
            "[Rooms]\nFirstUdpPort=%2\nLastUdpPort=%3\nBindAddress=127.0.0.1\n"
            "CreationsPerMinute=10000\nLiveRoomsPerUser=10000\n"
            "[Database]\nDriver=postgresql\nPort=%4\nName=kalimo\nUser=kalimo\n"_s.arg(address)
                .arg(address.endsWith(u'1') ? 31000 : 33000)
                .arg(address.endsWith(u'1') ? 32999 : 34999)
                .arg(pgPort)
                .toUtf8();
        m_address = address;
        return bench::writeFile(path, ini) &&
               m_server.start(u"kalimo-master"_s,
                              {u"--config"_s, path, u"--data"_s, dir + u"/data"_s, u"--port"_s,
                               u"0"_s, u"--check-interval-ms"_s, QString::number(checkMs)});
    }
    void killHard() { m_server.killHard(); }
    qint64 pid() const { return m_server.pid(); }
    quint16 port() const { return m_server.port(); }
    const QString& address() const { return m_address; }

private:
    bench::ServerProcess m_server;
    QString m_address;
};

// One lobby: answers the checks, hands every other message to `onMessage`.
class Lobby final : public QObject
{
public:
    explicit Lobby(QString nick) : m_nick(std::move(nick))
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            const QByteArray complete = m_reassembler.feed(m_socket.readAll());
            for (const QStringList& parts : splitMessages(decodeText(complete))) {
                const QStringList fields = splitFields(parts.value(1));
                if (parts.value(0) == u"0005") {
                    send(u"0014"_s, {fields.value(0)});
                    continue;
                }
                if (onMessage)
                    onMessage(parts.value(0), fields);
            }
        });
    }
    // Requests written before the connection is up leave once it is.
    void connectTo(const Master& m) { m_socket.connectToHost(m.address(), m.port()); }
    bool connectAndWait(const Master& m)
    {
        connectTo(m);
        return waitUntil([this] { return connected(); }, 30000);
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QString& code, const QStringList& params)
    {
        m_socket.write(encodeText(masterRequest(code, m_nick, params)));
    }
    // Sends and waits for the next message; its code and fields.
    QStringList ask(const QString& code, const QStringList& params, int timeoutMs = 30000)
    {
        QStringList got;
        onMessage = [&](const QString& c, const QStringList& f) { got = QStringList{c} + f; };
        send(code, params);
        waitUntil([&] { return !got.isEmpty(); }, timeoutMs);
        onMessage = nullptr;
        return got;
    }
    std::function<void(const QString&, const QStringList&)> onMessage;
    QString m_nick;
    bool accepted = false;

private:
    QTcpSocket m_socket;
    StreamReassembler m_reassembler;
};

// A process's resident memory: all of it (`file` status, field VmRSS:), or its proportional
// share, where pages of libraries the processes share count once in all (smaps_rollup, Pss:).
long residentKiB(qint64 pid, const char* field = "VmRSS:", const char* file = "status")
{
    QFile f(u"/proc/%1/%2"_s.arg(pid).arg(QLatin1StringView(file)));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}
long rssKiB(qint64 pid)
{
    return residentKiB(pid);
}
long pssKiB(qint64 pid)
{
    return residentKiB(pid, "Pss:", "smaps_rollup");
}

// The resident memory of a process's children (whole, proportional), and how many there are.
struct Children
{
    long rss = 0;
    long pss = 0;
    int count = 0;
};
Children childrenKiB(qint64 pid)
{
    QFile f(u"/proc/%1/task/%1/children"_s.arg(pid));
    Children c;
    if (!f.open(QIODevice::ReadOnly))
        return c;
    for (const QByteArray& child : f.readAll().split(' ')) {
        if (child.trimmed().isEmpty())
            continue;
        c.rss += rssKiB(child.trimmed().toLongLong());
        c.pss += pssKiB(child.trimmed().toLongLong());
        ++c.count;
    }
    return c;
}

void printStats(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms.empty() ? 0.0 : ms[size_t(q * double(ms.size() - 1))];
    };
    std::printf("%-34s %5zu samples, median %7.3f ms, p99 %7.3f ms, max %7.3f ms\n", what,
                ms.size(), at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back());
    std::fflush(stdout);
}

// Every lobby sends `code` at once; the time until all have answered.
QMap<QString, int> g_codes; // replies of the last round, by code
const Master* g_a = nullptr;
const Master* g_b = nullptr;

double allAtOnce(std::vector<std::unique_ptr<Lobby>>& lobbies, const QString& code,
                 const std::function<QStringList(Lobby&)>& params, int* accepted)
{
    int left = int(lobbies.size());
    *accepted = 0;
    g_codes.clear();
    QElapsedTimer t;
    t.start();
    // All connect first (quickly: a master closes a connection that has
    // not logged in after two checks), then all ask at once.
    for (auto& l : lobbies)
        l->connectTo(l->m_nick.startsWith(u'a') ? *g_a : *g_b);
    if (!waitUntil(
            [&] {
                return std::all_of(lobbies.begin(), lobbies.end(),
                                   [](const auto& l) { return l->connected(); });
            },
            30000))
        std::fprintf(stderr, "not every lobby connected\n");
    t.restart();
    for (auto& l : lobbies) {
        l->onMessage = [&, lobby = l.get()](const QString& c, const QStringList&) {
            *accepted += c == u"00001" ? 1 : 0;
            lobby->accepted = c == u"00001";
            ++g_codes[c];
            --left;
            lobby->onMessage = nullptr;
        };
        l->send(code, params(*l));
    }
    waitUntil([&] { return left == 0; }, 600000);
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int perMaster =
        args.contains(u"--lobbies"_s) ? args.value(args.indexOf(u"--lobbies"_s) + 1).toInt() : 500;
    TestPostgres postgres;
    if (!postgres.start() || !postgres.createDatabase(u"kalimo"_s)) {
        std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(postgres.error()));
        return 1;
    }
    QTemporaryDir dirA, dirB;
    constexpr int kCheckMs = 1000;
    auto a = std::make_unique<Master>();
    auto b = std::make_unique<Master>();
    g_a = a.get();
    g_b = b.get();
    if (!a->start(dirA.path(), u"127.0.0.1"_s, postgres.port(), kCheckMs) ||
        !b->start(dirB.path(), u"127.0.0.2"_s, postgres.port(), kCheckMs))
        return 1;
    std::printf("two masters on one PostgreSQL 15 (fsync off), %d lobbies on each, checks every "
                "%d ms\n",
                perMaster, kCheckMs);

    // A master closes a connection that has not logged in after two checks:
    // every lobby asks the moment it connects.
    std::vector<std::unique_ptr<Lobby>> onA, onB;
    for (int i = 0; i < perMaster; ++i) {
        onA.push_back(std::make_unique<Lobby>(u"a%1"_s.arg(i, 3, 10, QChar(u'0'))));
        onB.push_back(std::make_unique<Lobby>(u"b%1"_s.arg(i, 3, 10, QChar(u'0'))));
    }
    int accepted = 0;
    auto registration = [](Lobby& l) {
        return QStringList{l.m_nick, u"kalimo"_s, u"pw1"_s, u"bench@example.org"_s, u"-1"_s};
    };
    auto credentials = [](Lobby& l) { return QStringList{l.m_nick, u"kalimo"_s, u"pw1"_s}; };
    int acceptedOnB = 0;
    double s = allAtOnce(onA, u"0010"_s, registration, &accepted);
    s += allAtOnce(onB, u"0010"_s, registration, &acceptedOnB);
    accepted += acceptedOnB;
    for (auto it = g_codes.cbegin(); it != g_codes.cend(); ++it)
        std::printf("    registration reply on B %s: %d\n", qPrintable(it.key()), it.value());
    std::printf("%-34s %5d of %d accepted in %.3f s\n", "registrations", accepted, 2 * perMaster,
                s);
    // A registration connection is not a login connection.
    for (auto* side : {&onA, &onB})
        for (auto& l : *side)
            l = std::make_unique<Lobby>(l->m_nick);
    std::vector<std::unique_ptr<Lobby>> everyone;
    for (auto* side : {&onA, &onB})
        for (auto& l : *side)
            everyone.push_back(std::move(l));
    s = allAtOnce(everyone, u"0001"_s, credentials, &accepted);
    std::printf("%-34s %5d of %zu accepted in %.3f s: %.0f logins/s (minimum hash cost)\n",
                "logins, both masters at once", accepted, everyone.size(), s, double(accepted) / s);
    for (auto it = g_codes.cbegin(); it != g_codes.cend(); ++it)
        std::printf("    login reply %s: %d\n", qPrintable(it.key()), it.value());
    std::fflush(stdout);

    // Private texts from a lobby on A to one on B, one at a time.
    // A lobby logged in on A, and one on B.
    const auto firstIn = [&](size_t from) {
        for (size_t i = from; i < everyone.size(); ++i) {
            if (everyone[i]->accepted)
                return i;
        }
        return from;
    };
    Lobby& sender = *everyone[firstIn(0)];
    Lobby& receiver = *everyone[firstIn(size_t(perMaster))];
    std::vector<double> ms;
    for (int i = 0; i < 1000; ++i) {
        bool arrived = false;
        receiver.onMessage = [&](const QString& c, const QStringList&) {
            arrived = arrived || c == u"0002";
        };
        sender.onMessage = nullptr;
        QElapsedTimer t;
        t.start();
        sender.send(u"0013"_s, {receiver.m_nick, u"testo %1"_s.arg(i)});
        if (!waitUntil([&] { return arrived; }, 10000))
            break;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    printStats("private text A -> B", ms);

    ms.clear();
    for (int i = 0; i < 1000; ++i) {
        const Lobby& other = *everyone[size_t(perMaster + i % perMaster)];
        if (!other.accepted)
            continue;
        QElapsedTimer t;
        t.start();
        const QStringList r = sender.ask(u"0012"_s, {other.m_nick});
        if (r.value(0) != u"10012")
            break;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    printStats("presence of a user on B, from A", ms);

    // 200 rooms of master B in the shared directory (rows, not room hosts:
    // this measures the listing), listed through A the way a lobby does.
    QStringList values;
    for (int i = 0; i < 200; ++i)
        values << u"('sala %1', 'Sala %1', (SELECT id FROM masters WHERE address = "
                  "'127.0.0.2'), 1, %2, '', '127.0.0.2', %3, 20, 5, 1, %1)"_s.arg(i)
                      .arg(i % 7)
                      .arg(40000 + i);
    if (!postgres.exec(u"kalimo"_s, u"INSERT INTO rooms (name_key, name, master, kind, members, "
                                    "password, address, port, max_users, max_speakers, live, "
                                    "created) VALUES "_s +
                                        values.join(u',')))
        std::fprintf(stderr, "rooms: %s\n", qPrintable(postgres.error()));
    ms.clear();
    int listed = 0;
    for (int round = 0; round < 20; ++round) {
        QElapsedTimer t;
        t.start();
        listed = 0;
        sender.ask(u"0002"_s, {});
        for (int list = 1; list <= 2; ++list) {
            const QStringList count = sender.ask(u"0003"_s, {QString::number(list)});
            for (int j = 1; count.value(0) == u"00004" && j <= count.value(1).toInt(); ++j)
                listed +=
                    sender.ask(u"0004"_s, {QString::number(list), QString::number(j)}).value(0) ==
                    u"00006";
        }
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::printf("room listing: %d rooms per listing\n", listed);
    printStats("whole room listing (0002..0004)", ms);

    // "0007 " to "00071" for 1,000 rooms, then the memory they hold idle.
    ms.clear();
    const long masterBefore = rssKiB(a->pid());
    for (int i = 0; i < 1000; ++i) {
        QElapsedTimer t;
        t.start();
        const QStringList r = sender.ask(u"0007"_s, {u"Nuova %1"_s.arg(i), u"5"_s, u"2"_s, u""_s});
        if (r.value(0) != u"00071") {
            std::fprintf(stderr, "creation %d: %s\n", i, qPrintable(r.join(u' ')));
            break;
        }
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    printStats("room creation 0007 -> 00071", ms);
    const Children hosts = childrenKiB(a->pid());
    const long hostsKiB = hosts.rss;
    const long masterKiB = rssKiB(a->pid());
    std::printf("%zu idle rooms: %d room host processes %.1f MB, master %.1f MB (%.1f MB before), "
                "%.1f MB in all, %.1f KB a room\n",
                ms.size(), hosts.count, double(hostsKiB) / 1024, double(masterKiB) / 1024,
                double(masterBefore) / 1024, double(hostsKiB + masterKiB) / 1024,
                ms.empty() ? 0.0 : double(hostsKiB + masterKiB - masterBefore) / double(ms.size()));
    std::printf("    proportional (shared library pages counted once): room hosts %.1f MB, "
                "master %.1f MB, %.1f MB in all\n",
                double(hosts.pss) / 1024, double(pssKiB(a->pid())) / 1024,
                double(hosts.pss + pssKiB(a->pid())) / 1024);
    std::fflush(stdout);

    // A master killed outright: how long until its nicks log in elsewhere.
    everyone.clear();
    // One of A's users (some registrations may have failed) logs in again.
    QString nick;
    std::unique_ptr<Lobby> held;
    for (int i = 0; i < perMaster && nick.isEmpty(); ++i) {
        held = std::make_unique<Lobby>(u"a%1"_s.arg(i, 3, 10, QChar(u'0')));
        if (held->connectAndWait(*a) &&
            held->ask(u"0001"_s, {held->m_nick, u"kalimo"_s, u"pw1"_s}).value(0) == u"00001")
            nick = held->m_nick;
    }
    if (nick.isEmpty())
        return 1;
    QElapsedTimer t;
    t.start();
    a->killHard();
    QString code;
    while (t.elapsed() < 60000) {
        Lobby again(nick);
        if (!again.connectAndWait(*b))
            return 1;
        code = again.ask(u"0001"_s, {nick, u"kalimo"_s, u"pw1"_s}).value(0);
        if (code == u"00001")
            break;
        waitUntil([] { return false; }, 20);
    }
    std::printf("%-34s %.0f ms (%.2f check intervals), last answer %s\n",
                "killed master's nick free after", double(t.elapsed()),
                double(t.elapsed()) / kCheckMs, qPrintable(code));
    return 0;
}
