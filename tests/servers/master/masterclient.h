#pragma once

#include "protocol/reassembler.h"
#include "servers/master/masterconfig.h"
#include "tests/support/wire.h"

#include <QRegularExpression>
#include <QSslSocket>
#include <QStringList>
#include <QTest>

#include <memory>

constexpr int kWait = 20000;

// A lobby's end of the master link: each arriving message queued as its code and fields.
class MasterClient final : public QObject
{
    Q_OBJECT
public:
    MasterClient();
    // A client connected to the master at `port` (unconnected on failure).
    static std::unique_ptr<MasterClient> to(quint16 port,
                                            const QHostAddress& address = QHostAddress::LocalHost);
    void request(QStringView code, const QStringList& params = {},
                 const QString& nick = QStringLiteral("tester"));
    void sendRaw(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }

    // The next message; empty when none comes or the connection closes first.
    QStringList next(int timeoutMs = kWait);
    QString nextCode(int timeoutMs = kWait) { return next(timeoutMs).value(0, "none"); }
    QStringList ask(QStringView code, const QStringList& params = {})
    {
        request(code, params);
        return next();
    }
    QString replyTo(QStringView code, const QStringList& params = {})
    {
        return ask(code, params).value(0, "none");
    }
    // Each request as {code, params...} in turn; each reply's fields, ' ' between them.
    QStringList replies(const QList<QStringList>& requests, const QString& nick = "tester")
    {
        QStringList got;
        for (const QStringList& r : requests) {
            request(r.value(0), r.mid(1), nick);
            got.append(next().join(u' '));
        }
        return got;
    }
    // The same, only the reply codes.
    QString replyCodes(const QList<QStringList>& requests, const QString& nick = "tester")
    {
        return replies(requests, nick).replaceInStrings(QRegularExpression(" .*"), "").join(' ');
    }

    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return !isConnected(); }, kWait);
    }
    bool isConnected() const
    {
        return m_socket.state() == QAbstractSocket::ConnectedState &&
               (m_socket.mode() == QSslSocket::UnencryptedMode || m_socket.isEncrypted());
    }
    int queued() const { return int(m_queue.size()); }

    // Answers every "0005" at once with "0014 ", or only records it.
    void setAnswerChecks(bool answer) { m_answerChecks = answer; }
    QStringList checkTokens() const { return m_tokens; }
    QSslSocket& socket() { return m_socket; }

private:
    QSslSocket m_socket;
    kalimo::StreamReassembler m_reassembler;
    QList<QStringList> m_queue;
    bool m_answerChecks = false;
    QStringList m_tokens;
};

using kalimo::test::wireBytes;
// Requests for replyCodes.
inline QStringList loginAs(const QString& nick, const QString& password = "secret")
{
    return {"0001", nick, "kalimo", password};
}
inline QStringList signUp(const QString& nick, const QString& password = "secret")
{
    return {"0010", nick, "kalimo", password, "someone@example.org", "-1"};
}
inline QStringList newRoom(const QString& name, const QString& password = {})
{
    return {"0007", name, "5", "2", password};
}
// Every record of one room list (its fields after the code), the way the lobby fetches it.
QList<QStringList> listRooms(MasterClient& c, int list);
// The first of `length` consecutive UDP ports free now (0: none); the master skips taken ones.
quint16 freePortRun(int length);
// Any free port, the cheapest hash, checks when asked, room hosts linked with "segreto".
kalimo::master::MasterConfig testConfig(int udpPorts);
