// The master's request handling, as a lobby reaches it on loopback. Input byte 0 odd: the bytes
// come from "anna", logged in once on a connection kept across inputs (a login costs the master
// more than most requests); even: from a connection of their own that never logged in. The rest
// is written as it is. Room hosts cannot start here (no such program).
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"
#include "servers/master/accountservice.h"
#include "servers/master/masterserver.h"
#include "tests/fuzz/fuzzinput.h"

#include <QLoggingCategory>
#include <QTcpSocket>
#include <QThread>

#include <sodium.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace kalimo;

namespace {

master::MasterServer* server = nullptr;
master::AccountService* accounts = nullptr;
QTcpSocket* anna = nullptr;
pid_t lavoratore = 0; // the account thread
quint64 inputs = 0;

// Whether the account thread sleeps in poll, through with the work before: it frees a piece of
// work's captures after handing its answer over. Read without allocating: the engine counts.
bool inAttesa()
{
    char percorso[64], riga[32] = {};
    std::snprintf(percorso, sizeof percorso, "/proc/self/task/%d/syscall", int(lavoratore));
    const int fd = ::open(percorso, O_RDONLY);
    const bool letto = fd >= 0 && ::read(fd, riga, sizeof riga - 1) > 0;
    ::close(fd);
    return !letto || std::atol(riga) == SYS_poll || std::atol(riga) == SYS_ppoll;
}

bool connected(const QTcpSocket* s)
{
    return s && s->state() == QAbstractSocket::ConnectedState;
}

// Writes `bytes` as "anna" and waits until the master answered with `mark`, or the connection
// ended.
bool exchange(const QByteArray& bytes, const QByteArray& mark)
{
    anna->write(bytes);
    QByteArray got;
    return fuzz::waitFor([&] {
        got += anna->readAll();
        return !connected(anna) || got.contains(mark);
    });
}

QByteArray request(QStringView code, const QStringList& params)
{
    return encodeText(masterRequest(code, u"anna", params));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startCore(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.*=false"));
    // The database in memory: its writes are synced, and a disk would set the pace.
    const QDir dir(fuzz::scratch());
    master::MasterConfig c;
    c.port = 0;
    c.hashOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    c.hashMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    c.roomHostProgram = dir.filePath(QStringLiteral("none"));
    c.roomFirstUdpPort = c.roomLastUdpPort = 1;
    // Fuzzed wrong logins would otherwise slow the harness's own login of "anna" to seconds.
    c.loginFreeFailuresPerNick = c.loginFreeFailuresPerAddress = 1000000000;
    // Each input of "anna" ends with a text of the harness's own.
    c.privateTextsPerWindow = 1000000000;
    // Never destroyed: at exit its account thread would outlive the database registry.
    server = new master::MasterServer(c, dir.filePath(QStringLiteral("data")));
    accounts = server->findChild<master::AccountService*>();
    if (!accounts || !server->listen())
        std::abort();
    accounts->shared<bool>([](master::ServiceTables&) {
        lavoratore = pid_t(syscall(SYS_gettid));
        return true;
    });
    accounts->registerNew(QStringLiteral("anna"), QStringLiteral("Segreto1"),
                          QStringLiteral("a@example.org"), [](master::RegistrationOutcome) {});
    fuzz::require(fuzz::waitFor([] { return accounts->pending() == 0; }));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes = fuzz::bytesOf(data + 1, size - 1);
    if (data[0] & 1) {
        if (!connected(anna)) {
            delete anna;
            anna = new QTcpSocket;
            anna->connectToHost(server->address(), server->port());
            // Her earlier connection goes first: the nick is free again once the master forgot it.
            fuzz::require(
                anna->waitForConnected(5000) &&
                fuzz::waitFor([] { return server->loggedInCount() == 0; }) &&
                exchange(request(u"0001", {QStringLiteral("anna"), QStringLiteral("kalimo"),
                                           QStringLiteral("Segreto1")}),
                         encodeText(master::login::Accepted)) &&
                connected(anna));
        }
        // Ended by a text to a nick nobody has, new each time: its echo says the master is
        // through with the bytes before it, whatever they asked.
        const QStringList testo{u'~' + QString::number(++inputs), QStringLiteral(".")};
        (void)exchange(bytes + SEP1_BYTE + request(u"0013", testo),
                       encodeText(hostMessage(master::notification::OwnText, testo)));
    } else {
        // Anna's connection, if any, is the only one before and after.
        const int before = connected(anna) ? 1 : 0;
        QTcpSocket s;
        s.connectToHost(server->address(), server->port());
        // Accepted (or refused) within this input, so its end sees the master forget it.
        if (s.waitForConnected(5000) &&
            fuzz::waitFor([&] { return server->connectionCount() > before || !connected(&s); })) {
            s.write(bytes);
            (void)fuzz::waitFor([&] { return !connected(&s) || s.bytesToWrite() == 0; });
        }
        // Closed after the bytes, so the master reads them all.
        s.disconnectFromHost();
        (void)fuzz::waitFor([&] { return server->connectionCount() <= before; });
    }
    // The account work the input asked for is answered and let go of within it: its allocations
    // then meet their frees here, and the engine keeps checking for leaks.
    (void)fuzz::waitFor([] { return accounts->pending() == 0; });
    while (!inAttesa())
        QThread::yieldCurrentThread();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
