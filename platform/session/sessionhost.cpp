#include "platform/session/sessionhost.h"

#include "platform/session/enetpump.h"
#include "platform/session/enetsend.h"
#include "platform/session/wire.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>
#include <QTimer>

#include <limits>

namespace kalimo::session {

namespace {

// One spare ENet slot is kept to refuse through, within ENet's peer limit.
constexpr int kMostPlayers = ENET_PROTOCOL_MAXIMUM_PEER_ID - 1;

} // namespace

SessionHost::SessionHost(QObject* parent) : QObject(parent)
{
    m_cookieKey.resize(32);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_cookieKey.data()),
                                          m_cookieKey.size() / 4);
    m_clock.start();
}

SessionHost::~SessionHost()
{
    Close();
}

void SessionHost::setMaxPlayers(int maxPlayers)
{
    const int ceiling = m_pump ? m_capacity : kMostPlayers;
    m_maxPlayers = qBound(1, maxPlayers, ceiling);
}

bool SessionHost::Listen(const QString& address, quint16 port, const QUuid& appGuid, int maxPlayers)
{
    if (m_pump) {
        m_error = QStringLiteral("The room session is already open.");
        return false;
    }
    if (maxPlayers < 1 || maxPlayers > kMostPlayers) {
        m_error = QStringLiteral("A room holds from 1 to %1 players.").arg(kMostPlayers);
        return false;
    }
    ENetAddress bind{};
    bind.host = ENET_HOST_ANY;
    bind.port = port;
    if (!address.isEmpty() && !enetAddressFromIp(address, port, &bind)) {
        m_error = QStringLiteral("%1 is not an IPv4 address.").arg(address);
        return false;
    }
    // Members, the attempts strangers may hold open, and one spare slot to
    // refuse through, within ENet's limit.
    const size_t peers = static_cast<size_t>(
        qMin(maxPlayers + qMax(0, m_admission.halfOpenTotal) + 1, kMostPlayers + 1));
    if (!m_keys.valid())
        m_keys = HostKeys::generate();
    if (!m_keys.valid()) {
        m_error = QStringLiteral("The room's key could not be made.");
        return false;
    }
    m_pump = EnetPump::create(
        &bind, peers, m_timings.pumpMs, [this](const ENetEvent& e) { onEvent(e); },
        [this](const EnetPump::Datagram& d) { answerEnumeration(d.from, d.bytes); }, &m_error);
    if (!m_pump)
        return false;
    m_pump->setConnectGate(
        [this](const ENetAddress& from, enet_uint32 data) { return admitConnect(from, data); });
    m_sweeper = new QTimer(this);
    connect(m_sweeper, &QTimer::timeout, this, &SessionHost::sweep);
    m_sweeper->start(qBound(10, m_timings.helloMs / 8, 250));
    m_enumTotal = Bucket{double(m_admission.enumPerSecondTotal), m_clock.elapsed()};
    m_app = appGuid;
    m_capacity = maxPlayers;
    m_maxPlayers = maxPlayers;
    m_error.clear();
    return true;
}

quint16 SessionHost::port() const
{
    return m_pump ? m_pump->boundPort() : 0;
}

QString SessionHost::playerName(qint32 id) const
{
    return m_players.value(id).name;
}

quint32 SessionHost::cookieFor(quint32 host, qint64 period) const
{
    char bytes[12];
    qToBigEndian(host, bytes);
    qToBigEndian(period, bytes + 4);
    const QByteArray mac = QMessageAuthenticationCode::hash(
        QByteArray::fromRawData(bytes, sizeof bytes), m_cookieKey, QCryptographicHash::Sha256);
    return qFromBigEndian<quint32>(mac.constData());
}

bool SessionHost::enumAllowed(quint32 host)
{
    const qint64 now = m_clock.elapsed();
    auto take = [now](Bucket& b, double burst, double perSecond) {
        b.tokens = qMin(burst, b.tokens + double(now - b.last) * perSecond / 1000.0);
        b.last = now;
        if (b.tokens < 1.0)
            return false;
        b.tokens -= 1.0;
        return true;
    };
    if (!take(m_enumTotal, m_admission.enumPerSecondTotal, m_admission.enumPerSecondTotal))
        return false;
    if (m_enumBuckets.size() > 4096) {
        // Forged sources by the thousand: forget those that are full again.
        const double burst = m_admission.enumBurstPerSource;
        const double rate = m_admission.enumPerSecondPerSource;
        m_enumBuckets.removeIf([&](const auto& it) {
            return it.value().tokens + double(now - it.value().last) * rate / 1000.0 >= burst;
        });
        if (m_enumBuckets.size() > 65536)
            m_enumBuckets.clear();
    }
    auto it = m_enumBuckets.find(host);
    if (it == m_enumBuckets.end())
        it = m_enumBuckets.insert(host, Bucket{double(m_admission.enumBurstPerSource), now});
    return take(*it, m_admission.enumBurstPerSource, m_admission.enumPerSecondPerSource);
}

void SessionHost::answerEnumeration(const ENetAddress& from, QByteArrayView query)
{
    const auto app = wire::parseEnumQuery(query);
    if (!app || *app != m_app)
        return;
    if (!enumAllowed(from.host)) {
        ++m_unansweredQueries;
        return;
    }
    wire::EnumAnswer answer;
    answer.application = m_app;
    answer.roomName = m_roomName;
    answer.players = static_cast<quint32>(m_players.size());
    answer.maxPlayers = static_cast<quint32>(m_maxPlayers);
    answer.hostKey = m_keys.publicKey;
    answer.ciphers = SessionSeal::localCiphers();
    answer.cookie = cookieFor(from.host, m_clock.elapsed() / qMax(1, m_admission.cookiePeriodMs));
    // Never more bytes back than came in.
    const QByteArray bytes = wire::enumAnswer(answer, query.size());
    if (bytes.isEmpty()) {
        ++m_unansweredQueries;
        return;
    }
    m_pump->sendDatagram(from, bytes);
}

int SessionHost::halfOpen() const
{
    ENetHost* host = m_pump ? m_pump->host() : nullptr;
    int n = 0;
    for (size_t i = 0; host && i < host->peerCount; ++i) {
        ENetPeer* p = &host->peers[i];
        if (p->state == ENET_PEER_STATE_DISCONNECTED)
            continue;
        const auto it = m_peers.find(p);
        n += it == m_peers.end() || it->second.playerId == 0 ? 1 : 0;
    }
    return n;
}

bool SessionHost::admitConnect(const ENetAddress& from, enet_uint32 data)
{
    const qint64 period = m_clock.elapsed() / qMax(1, m_admission.cookiePeriodMs);
    // Only an address that received our enumeration answer knows its cookie;
    // a forged one costs us neither a slot nor a reply.
    if (data != cookieFor(from.host, period) && data != cookieFor(from.host, period - 1)) {
        ++m_droppedConnects;
        return false;
    }
    ENetHost* host = m_pump->host();
    int fromThere = 0;
    int total = 0;
    for (size_t i = 0; i < host->peerCount; ++i) {
        ENetPeer* p = &host->peers[i];
        if (p->state == ENET_PEER_STATE_DISCONNECTED)
            continue;
        const auto it = m_peers.find(p);
        if (it != m_peers.end() && it->second.playerId != 0)
            continue;
        // A repeated connect of an attempt under way: ENet knows it already.
        if (p->address.host == from.host && p->address.port == from.port &&
            p->state != ENET_PEER_STATE_CONNECTED)
            return true;
        ++total;
        fromThere += p->address.host == from.host ? 1 : 0;
    }
    if (fromThere >= m_admission.halfOpenPerSource || total >= m_admission.halfOpenTotal) {
        ++m_droppedConnects;
        return false;
    }
    return true;
}

void SessionHost::forget(ENetPeer* peer)
{
    m_attempts.erase(peer);
    m_peers.erase(peer);
}

void SessionHost::sweep()
{
    if (!m_pump)
        return;
    ENetHost* host = m_pump->host();
    const qint64 now = m_clock.elapsed();
    for (size_t i = 0; i < host->peerCount; ++i) {
        ENetPeer* p = &host->peers[i];
        const auto known = m_peers.find(p);
        const bool member = known != m_peers.end() && known->second.playerId != 0;
        if (p->state == ENET_PEER_STATE_DISCONNECTED || member) {
            m_attempts.erase(p);
            continue;
        }
        auto [it, fresh] = m_attempts.try_emplace(p, Attempt{p->connectID, now});
        if (!fresh && it->second.connectId != p->connectID)
            it->second = Attempt{p->connectID, now};
        if (now - it->second.since < m_timings.helloMs)
            continue;
        // Half open too long: handshake unfinished, hello missing, or a
        // refusal never acknowledged. The slot is freed at once.
        if (p->state == ENET_PEER_STATE_CONNECTED && known != m_peers.end() &&
            !known->second.refused)
            enet_peer_disconnect_now(p, static_cast<enet_uint32>(toInt(SessionResult::BadHello)));
        else
            enet_peer_reset(p);
        forget(p);
    }
    m_pump->flush();
}

void SessionHost::onEvent(const ENetEvent& event)
{
    switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
        return onConnect(event.peer);
    case ENET_EVENT_TYPE_RECEIVE:
        return onReceive(event.peer, event.channelID, event.packet->data,
                         static_cast<qsizetype>(event.packet->dataLength));
    case ENET_EVENT_TYPE_DISCONNECT:
        return onDisconnect(event.peer);
    case ENET_EVENT_TYPE_NONE:
        return;
    }
}

void SessionHost::onConnect(ENetPeer* peer)
{
    configurePeer(peer, m_timings.deadPeerMs);
    m_peers[peer] = Peer{peer->connectID, 0, false, std::nullopt};
    m_pump->flush();
    // A peer that never says hello is swept within the hello time.
}

void SessionHost::onReceive(ENetPeer* peer, quint8 channel, unsigned char* sealed, qsizetype size)
{
    const auto it = m_peers.find(peer);
    if (it == m_peers.end() || it->second.refused)
        return;
    Peer& state = it->second;
    if (state.playerId == 0) {
        // Nothing but the hello counts before the hello.
        if (channel == wire::kChannelControl)
            onHello(peer, QByteArrayView(sealed, size));
        return;
    }
    // Opened inside ENet's packet: a relayed frame costs no copy more.
    QByteArrayView data;
    const SessionSeal::Verdict verdict = state.seal->openInPlace(channel, sealed, size, &data);
    if (verdict != SessionSeal::Verdict::Opened) {
        ++(verdict == SessionSeal::Verdict::Forged ? m_drops.forged : m_drops.replayed);
        return;
    }
    const qint32 playerId = state.playerId;
    if (channel == wire::kChannelControl) {
        if (!data.isEmpty())
            Q_EMIT Receive(playerId, data.toByteArray());
    } else if (channel == wire::kChannelVoice) {
        if (const auto voice = wire::parseClientVoice(data))
            Q_EMIT VoiceReceived(playerId, voice->seq, voice->frame);
    } else if (channel == wire::kChannelReport) {
        onLossReport(playerId, data);
    }
}

void SessionHost::onLossReport(qint32 listener, QByteArrayView data)
{
    // Straight to the speaker it is about, signed with the listener.
    const auto report = wire::parseLossReport(data);
    if (report && report->player != listener && m_players.contains(report->player))
        sendOn(report->player, 0, wire::kChannelReport,
               wire::lossReport({listener, report->lossPercent}), ENET_PACKET_FLAG_RELIABLE);
}

void SessionHost::onDisconnect(ENetPeer* peer)
{
    const auto it = m_peers.find(peer);
    if (it == m_peers.end())
        return;
    const qint32 id = it->second.playerId;
    m_peers.erase(it);
    m_attempts.erase(peer);
    if (id != 0) {
        m_players.remove(id);
        Q_EMIT DestroyPlayer(id);
    }
}

void SessionHost::onHello(ENetPeer* peer, QByteArrayView packet)
{
    const quint32 connectId = peer->connectID;
    // A hello that does not open was sealed for another host's key.
    std::optional<SessionSeal> seal;
    QByteArray data;
    if (const auto outer = wire::parseSealedHello(packet)) {
        seal = SessionSeal::host(m_keys, outer->memberKey, outer->cipher);
        if (seal &&
            seal->open(wire::kChannelControl, outer->sealed, &data) != SessionSeal::Verdict::Opened)
            seal.reset();
    }
    const auto hello = seal ? wire::parseHello(data) : std::nullopt;
    SessionResult verdict =
        !hello || hello->application != m_app ? SessionResult::BadHello : ownVerdict(hello->name);
    if (verdict == SessionResult::Accepted && m_check) {
        const quint64 generation = m_generation;
        verdict = m_check(hello->name, hello->password, hello->ticket);
        if (generation != m_generation)
            return; // the check closed the host
        // Events served inside the check may have filled the room meanwhile.
        if (verdict == SessionResult::Accepted)
            verdict = ownVerdict(hello->name);
    }
    const auto it = m_peers.find(peer);
    if (it == m_peers.end() || it->second.connectId != connectId || it->second.refused ||
        it->second.playerId != 0)
        return;
    const qint32 id = verdict == SessionResult::Accepted ? nextPlayerId() : 0;
    if (verdict == SessionResult::Accepted && id == 0)
        verdict = SessionResult::RoomFull;
    if (verdict != SessionResult::Accepted) {
        refuse(peer, it->second, verdict);
        return;
    }
    it->second.playerId = id;
    it->second.seal = std::move(seal);
    m_players.insert(id, Player{peer, hello->name, &*it->second.seal});
    // The welcome goes first, so it precedes whatever CreatePlayer's
    // handlers send to the newcomer on the same ordered channel.
    sendSealedToPeer(peer, wire::kChannelControl, *it->second.seal, wire::welcome(id),
                     ENET_PACKET_FLAG_RELIABLE);
    m_pump->flush();
    Q_EMIT CreatePlayer(id, hello->name);
}

SessionResult SessionHost::ownVerdict(const QString& name) const
{
    if (m_players.size() >= m_maxPlayers)
        return SessionResult::RoomFull;
    for (const Player& p : m_players) {
        if (p.name == name)
            return SessionResult::NameInUse;
    }
    return SessionResult::Accepted;
}

void SessionHost::refuse(ENetPeer* peer, Peer& state, SessionResult reason)
{
    state.refused = true;
    // A graceful disconnect is acknowledged, so the reason surely arrives;
    // its DISCONNECT event then frees the slot.
    enet_peer_disconnect(peer, static_cast<enet_uint32>(toInt(reason)));
    m_pump->flush();
}

qint32 SessionHost::nextPlayerId()
{
    // 2^31 - 1 joins in one process: ids are not handed out again.
    if (m_lastId == std::numeric_limits<qint32>::max())
        return 0;
    return ++m_lastId;
}

bool SessionHost::SendTo(qint32 id, const QByteArray& payload, bool guaranteed)
{
    if (payload.isEmpty() || payload.size() > wire::kMaxPayload)
        return false;
    return sendOn(id, 0, wire::kChannelControl, payload,
                  guaranteed ? ENET_PACKET_FLAG_RELIABLE : 0);
}

bool SessionHost::SendVoiceTo(qint32 id, qint32 fromId, quint16 seq, const QByteArray& frame)
{
    if (fromId == 0 || frame.isEmpty() || frame.size() > wire::kMaxVoiceFrame)
        return false;
    return sendOn(id, fromId, wire::kChannelVoice, wire::hostVoice(fromId, seq, frame),
                  ENET_PACKET_FLAG_UNSEQUENCED);
}

bool SessionHost::sendOn(qint32 id, qint32 except, int channel, QByteArrayView bytes, quint32 flags)
{
    if (!m_pump)
        return false;
    bool sent = false;
    // Sealed for each member under its own keys: members share none.
    if (id == 0) {
        for (auto it = m_players.cbegin(); it != m_players.cend(); ++it) {
            if (it.key() != except)
                sent = sendSealedToPeer(it->peer, channel, *it->seal, bytes, flags) || sent;
        }
    } else {
        const auto it = m_players.constFind(id);
        if (it == m_players.cend())
            return false;
        sent = sendSealedToPeer(it->peer, channel, *it->seal, bytes, flags);
    }
    m_pump->flush();
    return sent;
}

void SessionHost::Close()
{
    ++m_generation;
    if (m_pump) {
        ENetHost* host = m_pump->host();
        for (size_t i = 0; host && i < host->peerCount; ++i)
            enet_peer_disconnect_now(&host->peers[i], toInt(SessionResult::HostClosed));
        m_pump->dispose();
        m_pump = nullptr;
    }
    m_peers.clear();
    m_attempts.clear();
    m_players.clear();
    m_capacity = 0;
    delete m_sweeper;
    m_sweeper = nullptr;
}

} // namespace kalimo::session
