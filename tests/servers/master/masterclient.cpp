#include "masterclient.h"

#include "protocol/framing.h"
#include "protocol/textcodec.h"

#include <QRandomGenerator>
#include <QUdpSocket>

#include <sodium.h>

using namespace kalimo;

MasterClient::MasterClient()
{
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        for (const QStringList& parts :
             splitMessages(decodeText(m_reassembler.feed(m_socket.readAll())))) {
            if (parts.value(0) != u"0005") {
                m_queue.append(QStringList{parts.value(0)} + splitFields(parts.value(1)));
                continue;
            }
            m_tokens.append(parts.value(1));
            if (m_answerChecks)
                request(u"0014", {parts.value(1)});
        }
    });
}

std::unique_ptr<MasterClient> MasterClient::to(quint16 port, const QHostAddress& address)
{
    auto c = std::make_unique<MasterClient>();
    c->m_socket.connectToHost(address, port);
    (void)QTest::qWaitFor([&] { return c->isConnected(); }, 10000);
    return c;
}

void MasterClient::request(QStringView code, const QStringList& params, const QString& nick)
{
    sendRaw(encodeText(masterRequest(code, nick, params)));
}

QStringList MasterClient::next(int timeoutMs)
{
    (void)QTest::qWaitFor([this] { return !m_queue.isEmpty() || !isConnected(); }, timeoutMs);
    return m_queue.isEmpty() ? QStringList() : m_queue.takeFirst();
}

QList<QStringList> listRooms(MasterClient& c, int list)
{
    QList<QStringList> rooms;
    const QStringList count = c.ask(u"0003", {QString::number(list)});
    for (int j = 1; count.value(0) == "00004" && j <= count.value(1).toInt(); ++j) {
        const QStringList r = c.ask(u"0004", {QString::number(list), QString::number(j)});
        if (r.value(0) == "00006")
            rooms.append(r.mid(1));
    }
    return rooms;
}

quint16 freePortRun(int length)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const quint16 base = quint16(20000 + QRandomGenerator::global()->bounded(9000));
        bool free = true;
        for (int i = 0; i < length && free; ++i)
            free = QUdpSocket().bind(QHostAddress::LocalHost, quint16(base + i));
        if (free)
            return base;
    }
    return 0;
}

kalimo::master::MasterConfig testConfig(int udpPorts)
{
    kalimo::master::MasterConfig c;
    c.port = 0;
    c.hashOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    c.hashMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    c.checkIntervalMs = 3600 * 1000;
    c.roomHostProgram = qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-roomhost";
    c.roomBindAddress = "127.0.0.1";
    c.roomFirstUdpPort = freePortRun(udpPorts);
    c.roomLastUdpPort = c.roomFirstUdpPort + udpPorts - 1;
    c.roomHostLinkPassword = "segreto";
    return c;
}
