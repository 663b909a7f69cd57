// The attacks of the security review, each against the real servers on
// loopback, with the figure it was measured by. Run on demand:
// bench_attacks [connect-flood] [reflection] [log-flood] [presence-flood]
//               [registrations] [guesses] [idle] [rooms] [nicks] [listing]
// (no argument: all). Needs the kalimo-master and kalimo-roomhost programs
// beside it; sends only to 127.0.0.0/8.

#include "bench/support/benchsupport.h"
#include "platform/session/sessionclient.h"
#include "platform/session/sessiontypes.h"
#include "platform/session/wire.h"
#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/textcodec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace kalimo;
using bench::pause;
using bench::residentKiB;
using bench::waitUntil;
using namespace Qt::StringLiterals;

namespace {

void print(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// A program of ours beside this one.
class Server final
{
public:
    bool startMaster(const QString& dir, const QByteArray& ini)
    {
        const QString path = dir + u"/m.ini"_s;
        return bench::writeFile(path, "[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n" + ini) &&
               m_server.start(u"kalimo-master"_s, {u"--config"_s, path, u"--data"_s,
                                                   dir + u"/data"_s, u"--port"_s, u"0"_s});
    }
    bool startRoom(const QByteArray& data)
    {
        return m_server.start(u"kalimo-roomhost"_s, {}, data);
    }
    quint16 port() const { return m_server.port(); }
    qint64 pid() const { return m_server.pid(); }
    qint64 logBytes() { return m_server.logBytes(); }

private:
    bench::ServerProcess m_server;
};

// A lobby's master connection, from a loopback address of its choosing.
class Lobby final
{
public:
    explicit Lobby(quint16 port, const QString& from = u"127.0.0.1"_s)
    {
        m_socket.bind(QHostAddress(from), 0);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(5000);
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            for (const QStringList& parts :
                 splitMessages(decodeText(m_reassembler.feed(m_socket.readAll()))))
                m_replies.append(QStringList{parts.value(0)} + splitFields(parts.value(1)));
        });
    }
    bool open() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(QStringView code, const QStringList& params)
    {
        m_socket.write(encodeText(masterRequest(code, u"x"_s, params)));
    }
    void sendRaw(const QByteArray& bytes) { m_socket.write(bytes); }
    QStringList ask(QStringView code, const QStringList& params, int timeoutMs = 20000)
    {
        m_replies.clear();
        send(code, params);
        waitUntil([&] { return !m_replies.isEmpty() || !open(); }, timeoutMs);
        return m_replies.isEmpty() ? QStringList{u"none"_s} : m_replies.takeFirst();
    }
    QList<QStringList>& replies() { return m_replies; }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    StreamReassembler m_reassembler{1 << 20};
    QList<QStringList> m_replies;
};

QString registerAs(quint16 port, const QString& nick, const QString& from = u"127.0.0.1"_s)
{
    Lobby l(port, from);
    return l.ask(u"0010", {nick, u"kalimo"_s, u"secret"_s, u"bench@example.org"_s, u"-1"_s})
        .value(0);
}

// ENet's connect datagram, as one with a forged source would send it.
QByteArray forgedConnect(quint32 n)
{
    QByteArray d(52, '\0');
    qToBigEndian<quint16>(0x8FFF, d.data());
    d[4] = char(0x82);
    d[5] = char(0xFF);
    qToBigEndian<quint32>(1392, d.data() + 12);
    qToBigEndian<quint32>(n, d.data() + 44);
    qToBigEndian<quint32>(0x4B4C4D31, d.data() + 48);
    return d;
}

std::vector<std::unique_ptr<QUdpSocket>> forgers(int count, int subnet)
{
    std::vector<std::unique_ptr<QUdpSocket>> all;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<QUdpSocket>();
        if (s->bind(QHostAddress(u"127.%1.%2.%3"_s.arg(subnet).arg(1 + i / 250).arg(1 + i % 250)),
                    0))
            all.push_back(std::move(s));
    }
    return all;
}

// Milliseconds a real member takes to join; -1 when refused or not in 20 s.
qint64 joinTime(quint16 port, const QString& nick, int* result = nullptr)
{
    session::SessionClient c;
    int outcome = -1;
    QObject::connect(&c, &session::SessionClient::ConnectComplete, [&](int r) { outcome = r; });
    QElapsedTimer t;
    t.start();
    c.EnumHosts(u"127.0.0.1"_s, port, session::roomApplicationGuid());
    c.Connect(nick, {});
    waitUntil([&] { return outcome >= 0; }, 20000);
    if (result)
        *result = outcome;
    return outcome == 0 ? t.elapsed() : -1;
}

void connectFlood()
{
    print(u"== forged connects against a 20-member room"_s);
    Server room;
    if (!room.startRoom("name=Bench\nmax_users=20\nbind=127.0.0.1\npermanent=true\n"))
        return print(u"room host did not start"_s);
    auto sources = forgers(26, 10);
    for (quint32 i = 0; i < sources.size(); ++i)
        sources[i]->writeDatagram(forgedConnect(i), QHostAddress::LocalHost, room.port());
    int result = -1;
    const qint64 afterBurst = joinTime(room.port(), u"dopo26"_s, &result);
    print(u"26 forged connects, then a member joins in %1 ms (result %2)"_s.arg(afterBurst)
              .arg(result));

    // 1,000 a second from 500 sources, for 5 s; a member joins in the middle.
    auto flood = forgers(500, 11);
    quint32 n = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        for (int i = 0; i < 10; ++i, ++n)
            flood[n % flood.size()]->writeDatagram(forgedConnect(n), QHostAddress::LocalHost,
                                                   room.port());
    });
    tick.start(10);
    pause(2000);
    const qint64 during = joinTime(room.port(), u"durante"_s, &result);
    pause(3000);
    tick.stop();
    qint64 reflected = 0;
    for (auto* group : {&sources, &flood})
        for (auto& s : *group)
            while (s->hasPendingDatagrams())
                reflected += s->receiveDatagram().data().size();
    print(u"%1 forged connects at 1,000/s: a member joins in %2 ms (result %3); %4 bytes sent "
          u"back to forged sources"_s.arg(n)
              .arg(during)
              .arg(result)
              .arg(reflected));
}

void reflection()
{
    print(u"== enumeration and connect reflection"_s);
    Server room;
    if (!room.startRoom(
            ("name=" + QString(64, QChar(0x20AC)).toUtf8() + "\nmax_users=20\nbind=127.0.0.1\n")))
        return print(u"room host did not start"_s);
    QUdpSocket s;
    s.bind(QHostAddress(u"127.0.20.1"_s), 0);
    const QByteArray padded = session::wire::enumQuery(session::roomApplicationGuid());
    for (const QByteArray& q : {padded.left(24), padded}) {
        s.writeDatagram(q, QHostAddress::LocalHost, room.port());
        pause(300);
        qint64 back = 0;
        while (s.hasPendingDatagrams())
            back = qMax<qint64>(back, s.receiveDatagram().data().size());
        print(u"query of %1 bytes: answer of %2 bytes (%3x)"_s.arg(q.size()).arg(back).arg(
            double(back) / double(q.size()), 0, 'f', 2));
    }
    int answered = 0;
    for (int i = 0; i < 200; ++i)
        s.writeDatagram(padded, QHostAddress::LocalHost, room.port());
    pause(1000);
    while (s.hasPendingDatagrams())
        answered += s.receiveDatagram().isValid() ? 1 : 0;
    print(u"200 queries at once from one source: %1 answered"_s.arg(answered));

    QUdpSocket forged;
    forged.bind(QHostAddress(u"127.0.20.2"_s), 0);
    forged.writeDatagram(forgedConnect(7), QHostAddress::LocalHost, room.port());
    pause(15000);
    qint64 bytes = 0;
    while (forged.hasPendingDatagrams())
        bytes += forged.receiveDatagram().data().size();
    print(u"one unacknowledged connect of 52 bytes: %1 bytes back over 15 s"_s.arg(bytes));
}

void logFlood()
{
    print(u"== 4 connections sending two-byte malformed messages for 29 s"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"anna"_s, u"127.0.30.1"_s);
    const qint64 before = master.logBytes();
    std::vector<std::unique_ptr<Lobby>> attackers;
    const QByteArray junk = QByteArray("\x1d\x1d").repeated(32 * 1024);
    QElapsedTimer t;
    t.start();
    int reconnects = 0;
    while (t.elapsed() < 29000) {
        attackers.erase(std::remove_if(attackers.begin(), attackers.end(),
                                       [](const auto& l) { return !l->open(); }),
                        attackers.end());
        while (attackers.size() < 4) {
            attackers.push_back(std::make_unique<Lobby>(master.port()));
            ++reconnects;
        }
        for (auto& l : attackers)
            if (l->socket().bytesToWrite() < 1 << 20)
                l->sendRaw(junk);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QElapsedTimer login;
    login.start();
    Lobby real(master.port(), u"127.0.30.2"_s);
    const QString code = real.ask(u"0001", {u"anna"_s, u"kalimo"_s, u"secret"_s}).value(0);
    print(u"log written: %1 bytes in 29 s (%2 connections opened); then a login: %3 in %4 ms"_s
              .arg(master.logBytes() - before)
              .arg(reconnects)
              .arg(code)
              .arg(login.elapsed()));
}

void presenceFlood()
{
    print(u"== a logged-in user sends 10^6 presence requests"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"anna"_s, u"127.0.40.1"_s);
    registerAs(master.port(), u"bruno"_s, u"127.0.40.2"_s);
    Lobby attacker(master.port(), u"127.0.40.3"_s);
    attacker.ask(u"0001", {u"anna"_s, u"kalimo"_s, u"secret"_s});
    const QByteArray one = encodeText(masterRequest(u"0012", u"anna"_s, {u"nessuno"_s}));
    attacker.sendRaw(one.repeated(1000000));
    qint64 peak = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        peak = qMax(peak, residentKiB(master.pid()));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QElapsedTimer login;
    login.start();
    Lobby real(master.port(), u"127.0.40.4"_s);
    const QString code = real.ask(u"0001", {u"bruno"_s, u"kalimo"_s, u"secret"_s}).value(0);
    print(u"master resident memory: peak %1 MB, after %2 MB; attacker %3; a login: %4 in %5 ms"_s
              .arg(peak / 1024)
              .arg(residentKiB(master.pid()) / 1024)
              .arg(attacker.open() ? u"still connected"_s : u"disconnected"_s)
              .arg(code)
              .arg(login.elapsed()));
}

void registrations()
{
    print(u"== registrations from one connection for 10 s"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    Lobby l(master.port());
    int created = 0, sent = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && l.open()) {
        const QStringList r = l.ask(u"0010", {u"user%1"_s.arg(sent++), u"kalimo"_s, u"secret"_s,
                                              u"bench@example.org"_s, u"-1"_s});
        created += r.value(0) == u"00001" ? 1 : 0;
    }
    print(u"%1 sent, %2 accounts created (%3 a minute)"_s.arg(sent).arg(created).arg(created * 6));
}

void guesses()
{
    print(u"== password guesses for one nick, the right one at place 300"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"victim"_s, u"127.0.50.1"_s);
    {
        // The owner has logged in from home before.
        Lobby home(master.port(), u"127.0.50.2"_s);
        home.ask(u"0001", {u"victim"_s, u"kalimo"_s, u"secret"_s});
    }
    auto l = std::make_unique<Lobby>(master.port());
    QElapsedTimer t;
    t.start();
    int tries = 0;
    bool found = false;
    for (; tries < 300 && t.elapsed() < 30000; ++tries) {
        if (!l->open())
            l = std::make_unique<Lobby>(master.port());
        const QString guess = tries == 299 ? u"secret"_s : u"guess%1"_s.arg(tries);
        found = l->ask(u"0001", {u"victim"_s, u"kalimo"_s, guess}).value(0) == u"00001";
    }
    print(u"%1 guesses in %2 ms (%3 a second); right password accepted: %4"_s.arg(tries)
              .arg(t.elapsed())
              .arg(tries * 1000.0 / double(qMax<qint64>(1, t.elapsed())), 0, 'f', 0)
              .arg(found ? u"yes"_s : u"no (refused unchecked during the delays)"_s));
    QElapsedTimer owner;
    owner.start();
    Lobby fromHome(master.port(), u"127.0.50.2"_s);
    const QString code = fromHome.ask(u"0001", {u"victim"_s, u"kalimo"_s, u"secret"_s}).value(0);
    print(u"meanwhile the owner from home: %1"_s.arg(code));
}

void idle()
{
    print(u"== 4,096 idle connections from one address"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"anna"_s, u"127.0.60.1"_s);
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 4096; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, master.port());
        idle.push_back(std::move(s));
    }
    pause(3000);
    int open = 0;
    for (auto& s : idle)
        open += s->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    Lobby real(master.port(), u"127.0.60.2"_s);
    const QString code = real.ask(u"0001", {u"anna"_s, u"kalimo"_s, u"secret"_s}).value(0);
    print(u"%1 of 4096 still open; a login from another address: %2"_s.arg(open).arg(code));
}

void rooms()
{
    print(u"== throwaway accounts creating 100 rooms"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), "[Service]\nMaxUsers=1000\n"))
        return print(u"master did not start"_s);
    std::vector<std::unique_ptr<Lobby>> lobbies;
    for (int i = 0; i < 34; ++i) {
        registerAs(master.port(), u"throw%1"_s.arg(i), u"127.0.70.%1"_s.arg(1 + i));
        lobbies.push_back(std::make_unique<Lobby>(master.port()));
        lobbies.back()->ask(u"0001", {u"throw%1"_s.arg(i), u"kalimo"_s, u"secret"_s});
    }
    QElapsedTimer t;
    t.start();
    int created = 0;
    for (int i = 0; i < 100; ++i) {
        const QStringList r = lobbies[size_t(i % 34)]->ask(
            u"0007"_s, {u"Stanza %1"_s.arg(i), u"5"_s, u"2"_s, QString()});
        created += r.value(0) == u"00071" ? 1 : 0;
    }
    qint64 hosts = 0, kib = 0;
    QProcess ps;
    ps.start(u"pgrep"_s, {u"-P"_s, QString::number(master.pid())});
    ps.waitForFinished(5000);
    for (const QByteArray& pid : ps.readAllStandardOutput().split('\n')) {
        if (pid.isEmpty())
            continue;
        ++hosts;
        kib += qMax<qint64>(0, residentKiB(pid.toLongLong()));
    }
    print(u"%1 of 100 rooms created from one address in %2 ms; %3 room host processes, %4 MB"_s
              .arg(created)
              .arg(t.elapsed())
              .arg(hosts)
              .arg(kib / 1024));
}

void nicks()
{
    print(u"== look-alike nicks"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"victim"_s, u"127.0.80.1"_s);
    registerAs(master.port(), u"admin"_s, u"127.0.80.2"_s);
    int i = 3;
    for (const QString& nick : {u"vict\u200bim"_s, u"\u202emitciv"_s, u"\u0430dmin"_s})
        print(u"registering %1: %2"_s.arg(
            QString::fromLatin1(nick.toUtf8().toPercentEncoding()),
            registerAs(master.port(), nick, u"127.0.80.%1"_s.arg(i++))));
}

void listing()
{
    print(u"== the room listing's password field"_s);
    QTemporaryDir dir;
    Server master;
    if (!master.startMaster(dir.path(), {}))
        return print(u"master did not start"_s);
    registerAs(master.port(), u"anna"_s, u"127.0.90.1"_s);
    registerAs(master.port(), u"bruno"_s, u"127.0.90.2"_s);
    Lobby anna(master.port());
    anna.ask(u"0001", {u"anna"_s, u"kalimo"_s, u"secret"_s});
    anna.ask(u"0007", {u"Segreta"_s, u"5"_s, u"2"_s, u"parola"_s});
    Lobby bruno(master.port());
    bruno.ask(u"0001", {u"bruno"_s, u"kalimo"_s, u"secret"_s});
    const QStringList record = bruno.ask(u"0004", {u"2"_s, u"1"_s});
    print(u"record seen by another user: field 3 = \"%1\""_s.arg(record.value(4)));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    const std::pair<const char*, void (*)()> all[] = {{"connect-flood", connectFlood},
                                                      {"reflection", reflection},
                                                      {"log-flood", logFlood},
                                                      {"presence-flood", presenceFlood},
                                                      {"registrations", registrations},
                                                      {"guesses", guesses},
                                                      {"idle", idle},
                                                      {"rooms", rooms},
                                                      {"nicks", nicks},
                                                      {"listing", listing}};
    for (const auto& [name, run] : all) {
        if (wanted.isEmpty() || wanted.contains(QLatin1StringView(name)))
            run();
    }
    return 0;
}
