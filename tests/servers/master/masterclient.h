#pragma once

#include "protocol/reassembler.h"

#include <QList>
#include <QStringList>
#include <QTcpSocket>

#include <optional>

// A lobby's side of the master connection, as far as the tests need it:
// framed requests out, every arriving message queued in order.
class MasterClient final : public QObject
{
    Q_OBJECT
public:
    struct Message
    {
        QString code;
        QStringList fields;
    };

    explicit MasterClient(QObject* parent = nullptr);

    bool connectTo(quint16 port, int timeoutMs = 10000);
    void request(QStringView code, const QStringList& params = {},
                 const QString& nick = QStringLiteral("tester"));
    void sendRaw(const QByteArray& bytes);

    // The next message in arrival order; nothing when none comes or the
    // connection closes first.
    std::optional<Message> next(int timeoutMs = 20000);
    // The code of the next message, or "none".
    QString nextCode(int timeoutMs = 20000);
    // The next reply after skipping check notifications.
    QString replyTo(QStringView code, const QStringList& params = {});

    bool waitClosed(int timeoutMs = 20000);
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void abort() { m_socket.abort(); }
    int queued() const { return int(m_queue.size()); }

    // Answers every "0005" at once with "0014 ", or only counts it.
    void setAnswerChecks(bool answer) { m_answerChecks = answer; }
    int checksSeen() const { return m_checksSeen; }
    QStringList checkTokens() const { return m_tokens; }

    QTcpSocket& socket() { return m_socket; }

private:
    void onReadyRead();

    QTcpSocket m_socket;
    kalimo::StreamReassembler m_reassembler;
    QList<Message> m_queue;
    bool m_answerChecks = false;
    int m_checksSeen = 0;
    QStringList m_tokens;
};

// Shorthands for the exchanges every test goes through.
QString registerAccount(MasterClient& c, const QString& nick, const QString& password,
                        const QString& key = QStringLiteral("kalimo"),
                        const QString& flag = QStringLiteral("-1"),
                        const QString& email = QStringLiteral("someone@example.org"));
QString login(MasterClient& c, const QString& nick, const QString& password,
              const QString& key = QStringLiteral("kalimo"));

// The first of `length` consecutive UDP ports nothing listens on now (0 when
// none was found); the master steps over any that another test takes meanwhile.
quint16 freePortRun(int length);
// The process has ended and been reaped.
bool processGone(qint64 pid);
