#include "masterclient.h"

#include "protocol/framing.h"
#include "protocol/textcodec.h"

#include <QRandomGenerator>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using namespace kalimo;

MasterClient::MasterClient(QObject* parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &MasterClient::onReadyRead);
}

bool MasterClient::connectTo(quint16 port, int timeoutMs)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                           timeoutMs);
}

void MasterClient::request(QStringView code, const QStringList& params, const QString& nick)
{
    sendRaw(encodeText(masterRequest(code, nick, params)));
}

void MasterClient::sendRaw(const QByteArray& bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

void MasterClient::onReadyRead()
{
    const QByteArray complete = m_reassembler.feed(m_socket.readAll());
    for (const QStringList& parts : splitMessages(decodeText(complete))) {
        Message m;
        m.code = parts.value(0);
        m.fields = splitFields(parts.value(1));
        if (m.code == u"0005") {
            ++m_checksSeen;
            m_tokens.append(parts.value(1));
            if (m_answerChecks)
                request(u"0014", {parts.value(1)});
            continue;
        }
        m_queue.append(m);
    }
}

std::optional<MasterClient::Message> MasterClient::next(int timeoutMs)
{
    (void)QTest::qWaitFor(
        [this] {
            return !m_queue.isEmpty() || m_socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    if (m_queue.isEmpty())
        return std::nullopt;
    return m_queue.takeFirst();
}

QString MasterClient::nextCode(int timeoutMs)
{
    const std::optional<Message> m = next(timeoutMs);
    return m ? m->code : QStringLiteral("none");
}

QString MasterClient::replyTo(QStringView code, const QStringList& params)
{
    request(code, params);
    return nextCode();
}

bool MasterClient::waitClosed(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                           timeoutMs);
}

QString registerAccount(MasterClient& c, const QString& nick, const QString& password,
                        const QString& key, const QString& flag, const QString& email)
{
    c.request(u"0010", {nick, key, password, email, flag}, nick);
    return c.nextCode();
}

QString login(MasterClient& c, const QString& nick, const QString& password, const QString& key)
{
    c.request(u"0001", {nick, key, password}, nick);
    return c.nextCode();
}

quint16 freePortRun(int length)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const quint16 base = quint16(20000 + QRandomGenerator::global()->bounded(9000));
        bool free = true;
        for (int i = 0; i < length && free; ++i) {
            QUdpSocket probe;
            free = probe.bind(QHostAddress::LocalHost, quint16(base + i));
        }
        if (free)
            return base;
    }
    return 0;
}

bool processGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) != 0;
}
