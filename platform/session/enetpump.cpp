#include "platform/session/enetpump.h"

#include "platform/session/wire.h"

#include <QSocketNotifier>
#include <QtEndian>
#include <QTimer>

#include <cstddef>

#include <mutex>

namespace kalimo::session {

namespace {

// ENet keeps no pointer back to us, so the intercept hook finds its pump
// through the one being serviced on this thread.
thread_local EnetPump* tServicing = nullptr;

// A flood must not keep one turn of the event loop busy for ever.
constexpr int kMaxEventsPerTurn = 2000;
// The most datagrams one enumeration flood can leave queued per ENet call.
constexpr std::size_t kMaxInterceptedPerCall = 512;

bool initialiseEnet()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = enet_initialize() == 0; });
    return ok;
}

} // namespace

EnetPump* EnetPump::create(const ENetAddress* bindTo, size_t peerCount, int pumpMs,
                           EventHandler onEvent, DatagramHandler onDatagram, QString* error)
{
    if (!initialiseEnet()) {
        *error = QStringLiteral("The network library did not start.");
        return nullptr;
    }
    ENetHost* host = enet_host_create(bindTo, peerCount, wire::kChannelCount, 0, 0);
    if (!host) {
        *error =
            QStringLiteral("The UDP port %1 could not be opened.").arg(bindTo ? bindTo->port : 0);
        return nullptr;
    }
    host->maximumPacketSize = wire::kMaxPayload + 64;
    host->maximumWaitingData = 4 * 1024 * 1024;
    host->intercept = &EnetPump::intercept;
    return new EnetPump(host, pumpMs, std::move(onEvent), std::move(onDatagram));
}

EnetPump::EnetPump(ENetHost* host, int pumpMs, EventHandler onEvent, DatagramHandler onDatagram)
    : m_host(host), m_onEvent(std::move(onEvent)), m_onDatagram(std::move(onDatagram))
{
    m_notifier =
        new QSocketNotifier(static_cast<qintptr>(host->socket), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EnetPump::service);
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(qMax(1, pumpMs));
    connect(m_timer, &QTimer::timeout, this, &EnetPump::service);
}

void EnetPump::tickWhileBusy()
{
    // ENet needs its clock only for peers (resends, pings, time-outs): an
    // idle room wakes on its socket alone, so a process carries many.
    bool busy = false;
    for (size_t i = 0; m_host && i < m_host->peerCount && !busy; ++i)
        busy = m_host->peers[i].state != ENET_PEER_STATE_DISCONNECTED;
    if (busy && !m_timer->isActive())
        m_timer->start();
    else if (!busy && m_timer->isActive())
        m_timer->stop();
}

EnetPump::~EnetPump()
{
    destroyHost();
}

quint16 EnetPump::boundPort() const
{
    if (!m_host)
        return 0;
    ENetAddress a{};
    if (enet_socket_get_address(m_host->socket, &a) == 0)
        return a.port;
    return m_host->address.port;
}

void EnetPump::destroyHost()
{
    if (!m_host)
        return;
    m_notifier->setEnabled(false);
    m_timer->stop();
    enet_host_destroy(m_host);
    m_host = nullptr;
    m_intercepted.clear();
}

void EnetPump::dispose()
{
    destroyHost();
    // Inside service() the stack still uses this object.
    if (m_depth > 0)
        deleteLater();
    else
        delete this;
}

int EnetPump::intercept(ENetHost* host, ENetEvent*)
{
    EnetPump* pump = tServicing;
    if (!pump || pump->m_host != host)
        return 0;
    const QByteArrayView data(host->receivedData, static_cast<qsizetype>(host->receivedDataLength));
    if (!wire::looksLikeEnumeration(data)) {
        if (!pump->m_gate)
            return 0;
        const std::optional<enet_uint32> connect = connectDataOf(data);
        return connect && !pump->m_gate(host->receivedAddress, *connect) ? 1 : 0;
    }
    if (pump->m_intercepted.size() < kMaxInterceptedPerCall)
        pump->m_intercepted.push_back(Datagram{host->receivedAddress, data.toByteArray()});
    return 1;
}

void EnetPump::service()
{
    if (!m_host)
        return;
    ++m_depth;
    for (int i = 0; i < kMaxEventsPerTurn && m_host; ++i) {
        ENetEvent event{};
        EnetPump* const outer = tServicing;
        tServicing = this;
        const int r = enet_host_service(m_host, &event, 0);
        tServicing = outer;

        std::vector<Datagram> datagrams;
        datagrams.swap(m_intercepted);
        for (const Datagram& d : datagrams) {
            if (!m_host)
                break;
            m_onDatagram(d);
        }
        if (r <= 0 || !m_host) {
            // ENet owns nothing it handed us unless it was a packet.
            if (r > 0 && event.type == ENET_EVENT_TYPE_RECEIVE)
                enet_packet_destroy(event.packet);
            break;
        }
        m_onEvent(event);
        if (event.type == ENET_EVENT_TYPE_RECEIVE)
            enet_packet_destroy(event.packet);
    }
    --m_depth;
    tickWhileBusy();
}

bool EnetPump::sendDatagram(const ENetAddress& to, QByteArrayView bytes)
{
    if (!m_host)
        return false;
    ENetBuffer buffer;
    buffer.data = const_cast<char*>(bytes.data());
    buffer.dataLength = static_cast<size_t>(bytes.size());
    return enet_socket_send(m_host->socket, &to, &buffer, 1) == static_cast<int>(bytes.size());
}

void EnetPump::flush()
{
    if (!m_host)
        return;
    enet_host_flush(m_host);
    tickWhileBusy();
}

std::optional<enet_uint32> connectDataOf(QByteArrayView d)
{
    if (d.size() < qsizetype(sizeof(enet_uint16)))
        return std::nullopt;
    const auto field = qFromBigEndian<enet_uint16>(d.data());
    const int peerId =
        field & ~(ENET_PROTOCOL_HEADER_FLAG_MASK | ENET_PROTOCOL_HEADER_SESSION_MASK);
    // Only datagrams for no peer yet can open a connect, and ENet reads
    // nothing after a first command that is not one.
    if (peerId != ENET_PROTOCOL_MAXIMUM_PEER_ID || (field & ENET_PROTOCOL_HEADER_FLAG_COMPRESSED))
        return std::nullopt;
    const qsizetype at = (field & ENET_PROTOCOL_HEADER_FLAG_SENT_TIME) ? 4 : 2;
    if (d.size() < at + qsizetype(sizeof(ENetProtocolConnect)) ||
        (quint8(d[at]) & ENET_PROTOCOL_COMMAND_MASK) != ENET_PROTOCOL_COMMAND_CONNECT)
        return std::nullopt;
    return qFromBigEndian<enet_uint32>(d.data() + at + offsetof(ENetProtocolConnect, data));
}

bool enetAddressFromIp(const QString& ip, quint16 port, ENetAddress* out)
{
    ENetAddress a{};
    if (enet_address_set_host_ip(&a, ip.toLatin1().constData()) != 0)
        return false;
    a.port = port;
    *out = a;
    return true;
}

bool sameAddress(const ENetAddress& a, const ENetAddress& b)
{
    return a.host == b.host && a.port == b.port;
}

} // namespace kalimo::session
