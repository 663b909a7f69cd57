#include "servers/master/roomlink.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/requests.h"
#include "protocol/textcodec.h"

#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>

namespace kalimo::master {

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcLink, "kalimo.master.roomlink")

struct RoomLink::Peer
{
    quint64 id = 0;
    QTcpSocket* socket = nullptr;
    StreamReassembler reassembler{kMessageCap};
    QTimer* deadline = nullptr;
    bool identified = false;
};

RoomLink::RoomLink(int identifyTimeoutMs, QObject* parent)
    : QObject(parent), m_identifyTimeoutMs(identifyTimeoutMs)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &RoomLink::accept);
}

RoomLink::~RoomLink()
{
    for (auto& [id, p] : m_peers) {
        p->socket->disconnect(this);
        p->socket->flush();
        delete p->socket;
    }
}

bool RoomLink::listen(const QHostAddress& address, quint16 port)
{
    return m_listener.listen(address, port);
}

void RoomLink::accept()
{
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        if (int(m_peers.size()) >= kMaxLinks) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto p = std::make_unique<Peer>();
        p->id = m_nextId++;
        p->socket = socket;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const quint64 id = p->id;
        p->deadline = new QTimer(socket);
        p->deadline->setSingleShot(true);
        connect(p->deadline, &QTimer::timeout, this,
                [this, id] { close(id, u"no identification in time"_s); });
        p->deadline->start(m_identifyTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, id] { close(id, u"closed by the room host"_s); });
        m_peers.emplace(id, std::move(p));
    }
}

void RoomLink::readFrom(quint64 id)
{
    auto it = m_peers.find(id);
    if (it == m_peers.end())
        return;
    Peer& p = *it->second;
    const QByteArray complete = p.reassembler.feed(p.socket->readAll());
    if (p.reassembler.overflowed())
        return close(id, u"message longer than %1 bytes"_s.arg(kMessageCap));
    for (const roomlink::HostMessage& m : roomlink::decodeHostMessages(decodeText(complete))) {
        if (!handle(p, m))
            return;
    }
}

bool RoomLink::handle(Peer& p, const roomlink::HostMessage& m)
{
    using K = roomlink::HostMessage::Kind;
    switch (m.kind) {
    case K::Identify:
        return identify(p, m.identification);
    case K::BadIdentify:
        answer(p, roomlink::Malformed);
        close(p.id, u"identification with %1 fields"_s.arg(m.fieldCount));
        return false;
    case K::MemberJoined:
    case K::MemberLeft:
    case K::MemberSpeaks:
    case K::MemberSilent:
        if (p.identified) {
            const quint64 id = p.id;
            Q_EMIT report(id, m);
            return m_peers.count(id) != 0;
        }
        break;
    case K::Unexpected:
        break;
    }
    close(p.id, u"unexpected message \"%1\" (%2 parts)"_s.arg(
                    stripControlCharacters(m.code).left(16), QString::number(m.parts)));
    return false;
}

bool RoomLink::identify(Peer& p, const roomlink::Identification& wire)
{
    Identification id;
    static_cast<roomlink::Identification&>(id) = wire;
    QHostAddress peer = p.socket->peerAddress();
    bool v4 = false;
    if (const quint32 a = peer.toIPv4Address(&v4); v4)
        peer = QHostAddress(a);
    id.peer = peer.toString();
    const QStringView verdict = m_identify ? m_identify(p.id, id) : roomlink::UnknownRoom;
    answer(p, verdict);
    if (verdict != roomlink::Accepted) {
        close(p.id, u"identification of \"%1\" refused with %2"_s.arg(
                        stripControlCharacters(id.nome).left(64), verdict));
        return false;
    }
    p.identified = true;
    p.deadline->stop();
    return true;
}

void RoomLink::answer(Peer& p, QStringView code)
{
    p.socket->write(encodeText(hostMessage(code, {})));
    p.socket->flush();
}

void RoomLink::orderEnd(quint64 link)
{
    const auto it = m_peers.find(link);
    if (it == m_peers.end())
        return;
    it->second->socket->write(encodeText(hostMessage(roomlink::EndRoom, {})));
    it->second->socket->flush();
}

void RoomLink::close(quint64 link, const QString& reason)
{
    const auto it = m_peers.find(link);
    if (it == m_peers.end())
        return;
    std::unique_ptr<Peer> p = std::move(it->second);
    m_peers.erase(it);
    qCInfo(lcLink).noquote() << u"room link %1 closed: %2"_s.arg(link).arg(reason);
    p->socket->disconnect(this);
    // A refusal just written must still leave before the socket goes.
    p->socket->disconnectFromHost();
    p->socket->deleteLater();
    Q_EMIT closed(link);
}

} // namespace kalimo::master
