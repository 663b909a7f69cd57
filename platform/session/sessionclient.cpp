#include "platform/session/sessionclient.h"

#include "platform/session/enetpump.h"
#include "platform/session/enetsend.h"
#include "platform/session/wire.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>

namespace kalimo::session {

namespace {

QString firstIpv4(const QList<QHostAddress>& addresses)
{
    for (const QHostAddress& a : addresses) {
        bool isV4 = false;
        a.toIPv4Address(&isV4);
        if (isV4)
            return QHostAddress(a.toIPv4Address()).toString();
    }
    return {};
}

// A disconnect reason from the host, if it is one we know.
SessionResult knownReason(enet_uint32 data, SessionResult otherwise)
{
    if (data >= static_cast<enet_uint32>(SessionResult::RoomFull) &&
        data <= static_cast<enet_uint32>(SessionResult::BadTicket) &&
        data != static_cast<enet_uint32>(SessionResult::NoAnswer))
        return static_cast<SessionResult>(data);
    return otherwise;
}

} // namespace

SessionClient::SessionClient(QObject* parent)
    : QObject(parent), m_enumTimer(this), m_connectTimer(this)
{
    connect(&m_enumTimer, &QTimer::timeout, this, &SessionClient::sendEnumQuery);
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { finishConnect(SessionResult::NoAnswer); });
}

SessionClient::~SessionClient()
{
    Close();
}

bool SessionClient::ensurePump()
{
    if (m_pump)
        return true;
    m_pump = EnetPump::create(
        nullptr, 1, m_timings.pumpMs, [this](const ENetEvent& e) { onEvent(e); },
        [this](const EnetPump::Datagram& d) {
            ENetAddress host{};
            if (!m_enumTimer.isActive() || !enetAddressFromIp(m_hostIp, m_port, &host) ||
                !sameAddress(d.from, host))
                return;
            const auto answer = wire::parseEnumAnswer(d.bytes);
            if (!answer || answer->application != m_app)
                return;
            m_enumTimer.stop();
            m_cookie = answer->cookie;
            m_haveCookie = true;
            m_cookieAge.start();
            m_answeredKey = answer->hostKey;
            m_hostCiphers = answer->ciphers;
            if (m_awaitCookie) {
                m_awaitCookie = false;
                connectWithCookie();
                return;
            }
            Q_EMIT EnumHostsResponse(answer->roomName, static_cast<int>(answer->players),
                                     static_cast<int>(answer->maxPlayers));
        },
        &m_error);
    // The pump's own words are English, for the room host's log; ours reach the user.
    if (!m_pump)
        m_error = tr("Il collegamento di rete della stanza non si avvia.");
    return m_pump != nullptr;
}

void SessionClient::EnumHosts(const QString& host, quint16 port, const QUuid& appGuid)
{
    if (m_state != State::Idle)
        return;
    m_app = appGuid;
    m_port = port;
    m_hostIp.clear();
    m_lookupFailed = false;
    // A cookie answers for the host that gave it: the next host needs its own.
    m_haveCookie = false;
    m_error.clear();
    m_enumTimer.stop();
    const quint64 generation = m_generation;
    if (!ensurePump()) {
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                Q_EMIT EnumHostsFailed(m_error);
        });
        return;
    }
    QHostAddress literal;
    if (literal.setAddress(host)) {
        resolved(generation, firstIpv4({literal}));
        return;
    }
    m_resolving = true;
    QHostInfo::lookupHost(host, this, [this, generation, host](const QHostInfo& info) {
        if (generation != m_generation)
            return;
        m_resolving = false;
        const QString ip =
            info.error() == QHostInfo::NoError ? firstIpv4(info.addresses()) : QString();
        if (ip.isEmpty())
            m_error = tr("L'indirizzo della stanza %1 non è stato trovato.").arg(host);
        resolved(generation, ip);
    });
}

void SessionClient::resolved(quint64 generation, const QString& ip)
{
    if (ip.isEmpty()) {
        m_lookupFailed = true;
        if (m_error.isEmpty())
            m_error = tr("L'indirizzo della stanza non è un indirizzo IPv4.");
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                Q_EMIT EnumHostsFailed(m_error);
        });
        if (m_connectWanted) {
            m_connectWanted = false;
            failLater(SessionResult::NoAnswer);
        }
        return;
    }
    m_hostIp = ip;
    if (m_connectWanted) {
        startConnect();
        return;
    }
    m_enumTimer.start(qMax(1, m_timings.enumRetryMs));
    sendEnumQuery();
}

void SessionClient::StopEnumHosts()
{
    m_enumTimer.stop();
}

void SessionClient::sendEnumQuery()
{
    ENetAddress host{};
    if (!m_pump || !enetAddressFromIp(m_hostIp, m_port, &host)) {
        m_enumTimer.stop();
        return;
    }
    // A lost query is simply sent again at the next tick.
    m_pump->sendDatagram(host, wire::enumQuery(m_app));
}

void SessionClient::Connect(const QString& playerName, const QString& password,
                            const QByteArray& hostKey)
{
    if (m_state != State::Idle)
        return; // one outcome is already on its way, or we are in
    m_state = State::Connecting;
    m_playerName = playerName;
    m_password = password;
    m_pinnedKey = hostKey;
    m_enumTimer.stop();
    m_connectTimer.start(qMax(1, m_timings.connectMs));
    if (!wire::acceptablePlayerName(playerName) ||
        password.toUtf8().size() > wire::kMaxPasswordBytes) {
        failLater(SessionResult::BadHello);
        return;
    }
    if (m_app.isNull() || m_lookupFailed) {
        failLater(SessionResult::NoAnswer);
        return;
    }
    if (m_hostIp.isEmpty()) {
        // The name is still being looked up; connect once it is known.
        m_connectWanted = m_resolving;
        if (!m_connectWanted)
            failLater(SessionResult::NoAnswer);
        return;
    }
    startConnect();
}

void SessionClient::startConnect()
{
    m_connectWanted = false;
    if (!ensurePump()) {
        failLater(SessionResult::NoAnswer);
        return;
    }
    // The host takes connects only with the cookie of a recent answer, well
    // inside its validity.
    constexpr qint64 kFreshCookieMs = 15000;
    if (!m_haveCookie || m_cookieAge.elapsed() > kFreshCookieMs) {
        m_awaitCookie = true;
        m_enumTimer.start(qMax(1, m_timings.enumRetryMs));
        sendEnumQuery();
        return;
    }
    connectWithCookie();
}

void SessionClient::connectWithCookie()
{
    ENetAddress host{};
    if (!m_pump || !enetAddressFromIp(m_hostIp, m_port, &host)) {
        failLater(SessionResult::NoAnswer);
        return;
    }
    m_peer = enet_host_connect(m_pump->host(), &host, wire::kChannelCount, m_cookie);
    if (!m_peer) {
        failLater(SessionResult::NoAnswer);
        return;
    }
    m_pump->flush();
}

void SessionClient::sendHello()
{
    // A fresh key pair for every session: keys never outlive it.
    const HostKeys mine = HostKeys::generate();
    const quint8 cipher = SessionSeal::choose(m_hostCiphers);
    m_seal = SessionSeal::member(hostKey(), mine.publicKey, mine.secretKey, cipher);
    if (!m_seal) {
        finishConnect(SessionResult::BadHello);
        return;
    }
    m_state = State::Hello;
    const QByteArray hello = wire::hello({m_app, m_playerName, m_password, m_ticket});
    sendToPeer(
        m_peer, wire::kChannelControl,
        wire::sealedHello({cipher, mine.publicKey, m_seal->seal(wire::kChannelControl, hello)}),
        ENET_PACKET_FLAG_RELIABLE);
    m_pump->flush();
}

void SessionClient::failLater(SessionResult result)
{
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation, result] {
        if (generation == m_generation && m_state != State::Idle && m_state != State::Connected)
            finishConnect(result);
    });
}

void SessionClient::finishConnect(SessionResult result)
{
    m_connectTimer.stop();
    if (m_awaitCookie) {
        m_awaitCookie = false;
        m_enumTimer.stop();
    }
    if (result != SessionResult::Accepted) {
        if (m_peer && m_pump) {
            enet_peer_disconnect_now(m_peer, 0);
            m_pump->flush();
        }
        m_peer = nullptr;
        m_state = State::Idle;
        m_playerId = 0;
    } else {
        m_state = State::Connected;
    }
    Q_EMIT ConnectComplete(toInt(result));
}

void SessionClient::onEvent(const ENetEvent& event)
{
    if (!m_peer || event.peer != m_peer)
        return;
    switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT: {
        if (m_state != State::Connecting)
            return;
        configurePeer(m_peer, m_timings.deadPeerMs);
        sendHello();
        return;
    }
    case ENET_EVENT_TYPE_RECEIVE:
        onReceive(
            event.channelID,
            QByteArrayView(event.packet->data, static_cast<qsizetype>(event.packet->dataLength)));
        return;
    case ENET_EVENT_TYPE_DISCONNECT: {
        // ENet has already let the peer go.
        m_peer = nullptr;
        if (m_state == State::Connected) {
            m_state = State::Idle;
            m_playerId = 0;
            Q_EMIT TerminateSession(toInt(knownReason(event.data, SessionResult::ConnectionLost)));
        } else if (m_state != State::Idle) {
            finishConnect(knownReason(event.data, SessionResult::NoAnswer));
        }
        return;
    }
    case ENET_EVENT_TYPE_NONE:
        return;
    }
}

void SessionClient::onReceive(int channel, QByteArrayView sealed)
{
    if (!m_seal || (m_state != State::Hello && m_state != State::Connected))
        return;
    QByteArray data;
    const SessionSeal::Verdict verdict = m_seal->open(channel, sealed, &data);
    if (verdict != SessionSeal::Verdict::Opened) {
        if (m_state == State::Hello) {
            // Nobody but the host holding the key can seal a welcome.
            finishConnect(SessionResult::BadHello);
            return;
        }
        ++(verdict == SessionSeal::Verdict::Forged ? m_drops.forged : m_drops.replayed);
        return;
    }
    if (m_state == State::Hello) {
        if (channel != wire::kChannelControl)
            return;
        const auto id = wire::parseWelcome(data);
        if (!id) {
            finishConnect(SessionResult::BadHello);
            return;
        }
        m_playerId = *id;
        finishConnect(SessionResult::Accepted);
        return;
    }
    if (channel == wire::kChannelControl) {
        Q_EMIT Receive(data);
    } else if (channel == wire::kChannelReport) {
        if (const auto report = wire::parseLossReport(data))
            Q_EMIT LossReported(report->player, report->lossPercent);
    } else if (channel == wire::kChannelVoice) {
        const auto voice = wire::parseHostVoice(data);
        if (!voice)
            return;
        if (!m_impairment) {
            Q_EMIT VoiceReceived(voice->from, voice->seq, voice->frame);
            return;
        }
        const std::optional<int> delay = m_impairment->next();
        if (!delay)
            return;
        const qint32 from = voice->from;
        const quint16 seq = voice->seq;
        const QByteArray frame = voice->frame;
        const quint64 generation = m_generation;
        QTimer::singleShot(*delay, this, [this, generation, from, seq, frame] {
            if (generation == m_generation && m_state == State::Connected)
                Q_EMIT VoiceReceived(from, seq, frame);
        });
    }
}

bool SessionClient::SendLossReport(qint32 speakerId, int lossPercent)
{
    if (m_state != State::Connected || speakerId == 0 || speakerId == m_playerId)
        return false;
    return sendSealedToPeer(m_peer, wire::kChannelReport, *m_seal,
                            wire::lossReport({speakerId, lossPercent}), ENET_PACKET_FLAG_RELIABLE);
}

void SessionClient::setVoiceImpairment(const VoiceImpairment::Settings& settings)
{
    if (settings.active())
        m_impairment.emplace(settings);
    else
        m_impairment.reset();
}

bool SessionClient::Send(const QByteArray& payload, bool guaranteed)
{
    if (m_state != State::Connected || payload.isEmpty() || payload.size() > wire::kMaxPayload)
        return false;
    const bool sent = sendSealedToPeer(m_peer, wire::kChannelControl, *m_seal, payload,
                                       guaranteed ? ENET_PACKET_FLAG_RELIABLE : 0);
    m_pump->flush();
    return sent;
}

bool SessionClient::SendVoice(const QByteArray& frame)
{
    const bool sent = SendVoice(frame, m_voiceSeq);
    if (sent)
        ++m_voiceSeq;
    return sent;
}

bool SessionClient::SendVoice(const QByteArray& frame, quint16 seq)
{
    if (m_state != State::Connected || frame.isEmpty() || frame.size() > wire::kMaxVoiceFrame)
        return false;
    const bool sent = sendSealedToPeer(m_peer, wire::kChannelVoice, *m_seal,
                                       wire::clientVoice(seq, frame), ENET_PACKET_FLAG_UNSEQUENCED);
    m_pump->flush();
    return sent;
}

void SessionClient::Close()
{
    ++m_generation;
    m_enumTimer.stop();
    m_connectTimer.stop();
    if (m_pump) {
        if (m_peer)
            enet_peer_disconnect_now(m_peer, 0);
        m_pump->dispose();
    }
    m_pump = nullptr;
    m_peer = nullptr;
    m_state = State::Idle;
    m_playerId = 0;
    m_voiceSeq = 0;
    m_seal.reset();
    m_answeredKey.clear();
    m_pinnedKey.clear();
    m_app = QUuid();
    m_hostIp.clear();
    m_resolving = false;
    m_lookupFailed = false;
    m_connectWanted = false;
    m_haveCookie = false;
    m_awaitCookie = false;
}

} // namespace kalimo::session
