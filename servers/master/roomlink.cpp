#include "servers/master/roomlink.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/requests.h"
#include "protocol/textcodec.h"

#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

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
    bool tls = false;
    bool reading = false;
    bool readAgain = false;
};

namespace {

QHostAddress plainAddress(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

// The connection's two ends on one machine: one of its own addresses, or
// the very address it was reached at (a room host linking from the bind
// address of its rooms).
bool fromThisMachine(const QTcpSocket& socket)
{
    const QHostAddress peer = plainAddress(socket.peerAddress());
    if (peer == plainAddress(socket.localAddress()))
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(),
                       [&](const QHostAddress& a) { return plainAddress(a) == peer; });
}

} // namespace

RoomLink::RoomLink(int identifyTimeoutMs, QObject* parent)
    : QObject(parent), m_identifyTimeoutMs(identifyTimeoutMs)
{
    connect(&m_listener, &QTcpServer::newConnection, this, [this] { accept(m_listener, false); });
    // Handed over once the handshake is done.
    connect(&m_tlsListener, &QTcpServer::pendingConnectionAvailable, this,
            [this] { accept(m_tlsListener, true); });
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

bool RoomLink::listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& tls)
{
    m_tlsListener.setSslConfiguration(tls);
    m_tlsListener.setHandshakeTimeout(m_identifyTimeoutMs);
    return m_tlsListener.listen(address, port);
}

void RoomLink::accept(QTcpServer& listener, bool tls)
{
    while (QTcpSocket* socket = listener.nextPendingConnection()) {
        if (int(m_peers.size()) >= kMaxLinks) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto p = std::make_unique<Peer>();
        p->id = m_nextId++;
        p->socket = socket;
        p->tls = tls;
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
        // Bytes that came with the end of the handshake were announced
        // before this connection was handed over.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(
                this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
    }
}

void RoomLink::readFrom(quint64 id)
{
    auto it = m_peers.find(id);
    if (it == m_peers.end())
        return;
    Peer& p = *it->second;
    // An answer is flushed, and a TLS socket reads while it flushes: what
    // arrives meanwhile waits for the messages that came before it.
    if (p.reading) {
        p.readAgain = true;
        return;
    }
    p.reading = true;
    do {
        p.readAgain = false;
        const QByteArray complete = p.reassembler.feed(p.socket->readAll());
        if (p.reassembler.overflowed())
            return close(id, u"message longer than %1 bytes"_s.arg(kMessageCap));
        for (const roomlink::HostMessage& m : roomlink::decodeHostMessages(decodeText(complete))) {
            if (!handle(p, m))
                return;
        }
    } while (p.readAgain);
    p.reading = false;
}

bool RoomLink::handle(Peer& p, const roomlink::HostMessage& m)
{
    using K = roomlink::HostMessage::Kind;
    switch (m.kind) {
    case K::Identify:
        return identify(p, m.identification);
    case K::BadIdentify: {
        const quint64 id = p.id;
        answer(p, roomlink::Malformed);
        close(id, u"identification with %1 fields"_s.arg(m.fieldCount));
        return false;
    }
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
    id.peer = plainAddress(p.socket->peerAddress()).toString();
    // The secret crossed a network in clear: whatever it is, it is not
    // taken, so a room host set up that way is noticed at once.
    const bool clearFromAfar = !p.tls && !m_plainFromAnywhere && !fromThisMachine(*p.socket);
    const QStringView verdict = clearFromAfar ? roomlink::TlsRequired
                                : m_identify  ? m_identify(p.id, id)
                                              : roomlink::UnknownRoom;
    const quint64 link = p.id;
    if (verdict != roomlink::Accepted) {
        answer(p, verdict);
        close(link, u"identification of \"%1\" refused with %2"_s.arg(
                        stripControlCharacters(id.nome).left(64), verdict));
        return false;
    }
    p.identified = true;
    p.deadline->stop();
    answer(p, verdict);
    // Flushing may have found the link closed.
    return m_peers.count(link) != 0;
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
