// The master's request handling, as a lobby reaches it: one connection per input on loopback.
// Input byte 0 odd: the connection logs in as "anna" first, so requests of a logged-in user are
// reached too. The rest is written as it is. Room hosts cannot start here (no such program).
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "servers/master/accountservice.h"
#include "servers/master/masterserver.h"
#include "tests/fuzz/fuzzinput.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTcpSocket>

#include <sodium.h>

using namespace kalimo;

namespace {

master::MasterServer* server = nullptr;
master::AccountService* accounts = nullptr;

QByteArray request(QStringView code, const QStringList& params)
{
    return encodeText(masterRequest(code, u"anna", params));
}

// Writes `bytes` and waits until they are sent, or with `waitReply` until the master answers
// with a whole message; false when the connection failed.
bool exchange(QTcpSocket& s, const QByteArray& bytes, bool waitReply)
{
    s.write(bytes);
    bool replied = false;
    return fuzz::waitFor([&] {
               replied = replied || s.readAll().contains(char(29));
               return s.state() != QAbstractSocket::ConnectedState ||
                      (waitReply ? replied : s.bytesToWrite() == 0);
           }) &&
           s.state() == QAbstractSocket::ConnectedState;
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
    // Never destroyed: at exit its account thread would outlive the database registry.
    server = new master::MasterServer(c, dir.filePath(QStringLiteral("data")));
    accounts = server->findChild<master::AccountService*>();
    if (!accounts || !server->listen())
        std::abort();
    QTcpSocket r;
    r.connectToHost(server->address(), server->port());
    if (!r.waitForConnected(5000) ||
        !exchange(r,
                  request(u"0010", {QStringLiteral("anna"), QStringLiteral("kalimo"),
                                    QStringLiteral("Segreto1"), QStringLiteral("a@example.org"),
                                    QStringLiteral("-1")}),
                  true))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    QTcpSocket s;
    s.connectToHost(server->address(), server->port());
    // Accepted (or refused) within this input, so its end sees the master forget it.
    if (!s.waitForConnected(5000) || !fuzz::waitFor([&] {
            return server->connectionCount() > 0 || s.state() != QAbstractSocket::ConnectedState;
        }))
        return 0;
    if (data[0] & 1 && !exchange(s,
                                 request(u"0001", {QStringLiteral("anna"), QStringLiteral("kalimo"),
                                                   QStringLiteral("Segreto1")}),
                                 true))
        return 0;
    (void)exchange(s, fuzz::bytesOf(data + 1, size - 1), false);
    // Closed after the bytes, so the master reads them all. Before the next input it forgets the
    // connection and its account work is answered: an input's allocations then meet their frees
    // within it, and the engine keeps checking for leaks.
    s.disconnectFromHost();
    (void)fuzz::waitFor([] { return server->connectionCount() == 0 && accounts->pending() == 0; });
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
