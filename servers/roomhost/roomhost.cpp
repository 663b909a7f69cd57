#include "servers/roomhost/roomhost.h"

#include "platform/session/wire.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "room/invio_sessione.h"
#include "servers/trust/names.h"
#include "servers/trust/roomticket.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSslConfiguration>

#include <cstdio>

namespace kalimo::roomhost {

using session::SessionResult;

// The room's sends go through the session. A target that is no longer a
// player is dropped, never widened to everybody.
class SessionSender final : public InvioSessione
{
public:
    using Observer = std::function<void(qint32 id, const QString& payload)>;

    SessionSender(session::SessionHost& host, Observer observer)
        : m_host(host), m_observer(std::move(observer))
    {
    }

    bool SendTo(qint32 playerId, const QString& payload) override
    {
        if (playerId != 0 && m_host.playerName(playerId).isEmpty())
            return true;
        if (playerId == 0 && m_host.playerCount() == 0)
            return true;
        m_observer(playerId, payload);
        return m_host.SendTo(playerId, encodeText(payload), true);
    }

private:
    session::SessionHost& m_host;
    Observer m_observer;
};

RoomHost::RoomHost(const RoomHostConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_clock(steadyClock())
{
    m_log = [](const QString& line) {
        std::fprintf(stderr, "kalimo-roomhost: %s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
    };

    m_stanza.ID = 0; // every player
    m_stanza.Nome = config.name;
    m_stanza.MaxUtenti = config.maxUsers;
    m_stanza.MaxUtentiAudio = config.maxSpeakers;
    m_stanza.EstStabile = config.permanent;
    m_stanza.Password = config.password;
    m_stanza.EstStanzaMultipla = config.multiple;
    m_stanza.IPStanza = config.bindAddress;
    m_stanza.IPServer = config.masterHost;
    m_stanza.PortaServer = config.masterPort ? QString::number(config.masterPort) : QString();
    m_stanza.PasswordServer = config.serverPassword;
    m_stanza.ImpostaTerminaEsecuzione([this] { onTermina(); });

    m_sender = std::make_unique<SessionSender>(m_session, [this](qint32 id, const QString& p) {
        // The room answers "0001" to one member only when it refuses the floor.
        if (id != 0 && p.startsWith(inroom::event::TalkRefused))
            log(tr("floor refused to %1").arg(who(id)));
    });

    m_session.setTimings(config.timings);
    m_session.setAdmission(config.admission);
    m_session.setRoomName(config.name);
    m_session.setHelloCheck(
        [this](const QString& name, const QString& password, const QString& ticket) {
            return checkHello(name, password, ticket);
        });
    connect(&m_session, &session::SessionHost::CreatePlayer, this, &RoomHost::onCreatePlayer);
    connect(&m_session, &session::SessionHost::DestroyPlayer, this, &RoomHost::onDestroyPlayer);
    connect(&m_session, &session::SessionHost::Receive, this, &RoomHost::onReceive);
    connect(&m_session, &session::SessionHost::VoiceReceived, this, &RoomHost::onVoice);

    m_firstJoin.setSingleShot(true);
    connect(&m_firstJoin, &QTimer::timeout, this, [this] {
        if (!m_everJoined)
            finish(tr("nobody joined within %1 ms").arg(m_config.firstJoinTimeoutMs));
    });
    m_heldTimer.setInterval(qMax(1, config.flood.retryMs));
    connect(&m_heldTimer, &QTimer::timeout, this, &RoomHost::applyHeldTalk);

    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &RoomHost::connectLink);
    connect(&m_link, &QTcpSocket::connected, this, &RoomHost::onLinkConnected);
    connect(&m_link, &QSslSocket::encrypted, this, &RoomHost::onLinkReady);
    connect(&m_link, &QSslSocket::sslErrors, this, &RoomHost::onCertificateErrors);
    connect(&m_link, &QTcpSocket::disconnected, this, &RoomHost::onLinkClosed);
    connect(&m_link, &QTcpSocket::errorOccurred, this, &RoomHost::onLinkClosed);
    connect(&m_link, &QTcpSocket::readyRead, this, [this] {
        if (!m_stanza.RiceviDalServer(m_link.readAll()))
            log(tr("the master sent an endless message; link closed"));
    });
    connect(&m_stanza, &Stanza::PacchettoDiAttesa, this,
            [this](const QString& code, const QString& params) {
                m_stanza.StatoPacchettoDiAttesa = 0;
                log(tr("master replied %1 %2").arg(code, stripControlCharacters(params)));
                if (code == master::roomlink::TlsRequired)
                    log(tr("the master takes the link's password from another machine only "
                           "inside TLS: set master_tls=true and its room-link TLS port"));
            });
}

RoomHost::~RoomHost()
{
    m_stanza.ImpostaTerminaEsecuzione([] {});
    m_stanza.AttivaWinsock = false;
    m_stanza.EstConnessoAServer = false;
    m_link.disconnect(this);
    m_session.disconnect(this);
    m_session.Close();
}

bool RoomHost::start()
{
    if (trust::hasHiddenCharacters(m_config.name)) {
        m_error = tr("the room name holds characters that do not show");
        log(m_error);
        return false;
    }
    if (m_config.requireTicket && m_config.serverPassword.isEmpty()) {
        m_error = tr("tickets are required but there is no server_password to check them with");
        log(m_error);
        return false;
    }
    if (!m_session.Listen(m_config.bindAddress, m_config.port, session::roomApplicationGuid(),
                          m_config.maxUsers)) {
        m_error = m_session.errorString();
        log(tr("room \"%1\" cannot listen: %2").arg(m_config.name, m_error));
        return false;
    }
    m_stanza.PortaUtenti = QString::number(port());
    log(tr("room \"%1\" listening on %2:%3 (max users %4, max speakers %5, %6)")
            .arg(m_config.name,
                 m_config.bindAddress.isEmpty() ? QStringLiteral("0.0.0.0") : m_config.bindAddress)
            .arg(port())
            .arg(m_config.maxUsers)
            .arg(m_config.maxSpeakers)
            .arg(m_config.permanent ? tr("permanent") : tr("ends when empty")));
    if (!m_config.permanent)
        m_firstJoin.start(qMax(1, m_config.firstJoinTimeoutMs));
    if (!m_config.masterHost.isEmpty()) {
        m_stanza.WSKServer = &m_link;
        m_stanza.AttivaWinsock = true;
        connectLink();
    }
    return true;
}

void RoomHost::finish(const QString& reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_firstJoin.stop();
    m_heldTimer.stop();
    m_reconnect.stop();
    log(tr("room \"%1\" ends: %2").arg(m_config.name, reason));
    // Members see the session end at once instead of waiting for a time-out.
    m_session.Close();
    m_stanza.AttivaWinsock = false;
    m_stanza.EstConnessoAServer = false;
    if (m_link.state() != QAbstractSocket::UnconnectedState) {
        m_link.flush();
        m_link.disconnectFromHost();
    }
    QMetaObject::invokeMethod(
        this, [this, reason] { Q_EMIT ended(reason); }, Qt::QueuedConnection);
}

bool RoomHost::requiresTicket() const
{
    return m_config.requireTicket;
}

SessionResult RoomHost::checkHello(const QString& name, const QString& password,
                                   const QString& ticket) const
{
    if (m_finished)
        return SessionResult::HostClosed;
    // Every field of the room's messages is trimmed: such a name could never
    // be told apart from its trimmed twin. Nor could one with characters
    // that do not show.
    if (name != name.trimmed() || trust::hasHiddenCharacters(name)) {
        log(tr("refused \"%1\": blanks around the name or characters that do not show")
                .arg(stripControlCharacters(name)));
        return SessionResult::BadHello;
    }
    if (requiresTicket()) {
        // Tickets are short-lived; one valid for longer is not the master's.
        constexpr qint64 kMaxTicketLifetime = 600;
        const trust::TicketCheck t =
            trust::checkRoomTicket(m_config.serverPassword.toUtf8(), ticket, name, m_config.name,
                                   QDateTime::currentSecsSinceEpoch(), kMaxTicketLifetime);
        if (t != trust::TicketCheck::Valid) {
            log(tr("refused \"%1\": %2 ticket")
                    .arg(name, t == trust::TicketCheck::Expired  ? tr("expired")
                               : t == trust::TicketCheck::Forged ? tr("forged")
                                                                 : tr("missing or malformed")));
            return SessionResult::BadTicket;
        }
    }
    if (!m_config.password.isEmpty() && !trust::sameSecret(password, m_config.password)) {
        log(tr("refused \"%1\": wrong room password").arg(name));
        return SessionResult::WrongPassword;
    }
    if (m_stanza.EstPresenteUtente(name)) {
        log(tr("refused \"%1\": name in use").arg(name));
        return SessionResult::NameInUse;
    }
    const QString skeleton = trust::confusableSkeleton(name);
    for (int i = 1; i <= m_stanza.NumUtenti(); ++i) {
        const QString other = m_stanza.Utenti(i)->NickName;
        if (!skeleton.isEmpty() && trust::confusableSkeleton(other) == skeleton) {
            log(tr("refused \"%1\": looks like \"%2\"").arg(name, other));
            return SessionResult::NameInUse;
        }
    }
    if (m_stanza.NumUtenti() >= m_stanza.MaxUtenti) {
        log(tr("refused \"%1\": room full").arg(name));
        return SessionResult::RoomFull;
    }
    return SessionResult::Accepted;
}

void RoomHost::send(qint32 id, const QString& message)
{
    if (!m_session.SendTo(id, encodeText(message), true))
        log(tr("could not send to %1").arg(id == 0 ? tr("the room") : who(id)));
}

void RoomHost::onCreatePlayer(qint32 id, const QString& name)
{
    if (m_finished)
        return;
    if (!m_stanza.AggiungiUtente(id, name)) {
        // The hello check mirrors the room's own: this is not expected.
        log(tr("could not add %1 (id %2): %3").arg(name).arg(id).arg(m_stanza.Errori.Descrizione));
        return;
    }
    m_members.try_emplace(
        id,
        Member{TokenBucket(m_config.flood.controlBurst, m_config.flood.controlPerSecond, &m_clock),
               TokenBucket(m_config.flood.voiceBurst, m_config.flood.voicePerSecond, &m_clock),
               std::nullopt, false});
    m_everJoined = true;
    m_firstJoin.stop();
    log(tr("join: %1, %2 of %3 members")
            .arg(who(id))
            .arg(m_stanza.NumUtenti())
            .arg(m_stanza.MaxUtenti));

    const int n = m_stanza.NumUtenti();
    for (int i = 1; i < n; ++i) {
        const UtentePtr u = m_stanza.Utenti(i);
        send(id,
             hostMessage(inroom::event::MemberJoined, {u->NickName, QString::number(u->IDUtente)}));
    }
    send(0, hostMessage(inroom::event::MemberJoined, {name, QString::number(id)}));
    for (int i = 1; i < n; ++i) {
        const UtentePtr u = m_stanza.Utenti(i);
        if (u->Parlante)
            send(id, hostMessage(inroom::event::Speaking,
                                 {QString::number(u->IDUtente), QStringLiteral("true")}));
    }
}

void RoomHost::onDestroyPlayer(qint32 id)
{
    m_members.erase(id);
    const QString nick = m_stanza.DammiNickPerID(id);
    if (nick.isEmpty() || m_finished)
        return;
    if (m_stanza.UtenteMutoID(id))
        send(0,
             hostMessage(inroom::event::Speaking, {QString::number(id), QStringLiteral("false")}));
    noteFloor();
    if (m_session.playerCount() > 0)
        send(0, hostMessage(inroom::event::MemberLeft, {nick}));
    log(tr("leave: \"%1\" (id %2), %3 members left")
            .arg(nick)
            .arg(id)
            .arg(m_stanza.NumUtenti() - 1));
    // A linked room that empties ends itself from inside EliminaUtente.
    m_departing = true;
    m_stanza.EliminaUtente(nick);
    m_departing = false;
    if (!m_finished && m_stanza.NumUtenti() == 0 && !m_config.permanent)
        finish(tr("the last member left"));
}

void RoomHost::onReceive(qint32 id, const QByteArray& payload)
{
    if (m_finished)
        return;
    const auto it = m_members.find(id);
    if (it == m_members.end())
        return;
    Member& member = it->second;
    if (payload.size() > session::wire::kMaxPayload) {
        ++m_dropped;
        log(tr("dropped an oversized message of %1").arg(who(id)));
        return;
    }
    const QList<inroom::Request> messages = inroom::decodeRequests(decodeText(payload));
    if (messages.isEmpty())
        return;
    // The talk state asked for last, in case the payload must wait.
    std::optional<bool> talk;
    for (const inroom::Request& m : messages) {
        if (m.kind == inroom::Request::Kind::TalkState)
            talk = m.talk;
    }
    if (!member.control.take(static_cast<int>(messages.size()))) {
        ++m_dropped;
        // Dropping a talk change would leave the floor wrong: it waits.
        if (talk)
            member.heldTalk = talk;
        if (member.heldTalk && !m_heldTimer.isActive())
            m_heldTimer.start();
        if (!member.floodLogged) {
            member.floodLogged = true;
            log(tr("%1 sends too fast; messages dropped").arg(who(id)));
        }
        return;
    }
    if (talk)
        member.heldTalk.reset();
    relay(id, messages);
}

void RoomHost::relay(qint32 id, const QList<inroom::Request>& messages)
{
    if (!m_stanza.GestPacUtente(id, messages, *m_sender))
        log(tr("could not relay a message of %1").arg(who(id)));
    noteFloor();
}

void RoomHost::applyHeldTalk()
{
    bool waiting = false;
    // Relaying cannot change m_members: departures arrive as events.
    for (auto& [id, member] : m_members) {
        if (!member.heldTalk)
            continue;
        if (!member.control.take()) {
            waiting = true;
            continue;
        }
        const bool talk = *member.heldTalk;
        member.heldTalk.reset();
        inroom::Request request;
        request.kind = inroom::Request::Kind::TalkState;
        request.talk = talk;
        request.word = talk ? QStringLiteral("true") : QStringLiteral("false");
        relay(id, {request});
    }
    if (!waiting)
        m_heldTimer.stop();
}

void RoomHost::noteFloor()
{
    QSet<qint32> now;
    for (int i = 1; i <= m_stanza.NumUtenti(); ++i) {
        const UtentePtr u = m_stanza.Utenti(i);
        if (u->Parlante)
            now.insert(u->IDUtente);
    }
    for (const qint32 id : std::as_const(now)) {
        if (!m_speakers.contains(id))
            log(tr("floor taken by %1").arg(who(id)));
    }
    for (const qint32 id : std::as_const(m_speakers)) {
        if (!now.contains(id))
            log(tr("floor freed by %1").arg(who(id)));
    }
    m_speakers = now;
}

void RoomHost::onVoice(qint32 id, quint16 seq, const QByteArray& frame)
{
    if (m_finished || !m_speakers.contains(id))
        return;
    const auto it = m_members.find(id);
    if (it == m_members.end() || !it->second.voice.take())
        return;
    m_session.SendVoiceTo(0, id, seq, frame);
}

void RoomHost::connectLink()
{
    if (m_finished)
        return;
    if (m_link.state() != QAbstractSocket::UnconnectedState) {
        // Our own abort must not count as a lost link.
        const QSignalBlocker quiet(&m_link);
        m_link.abort();
    }
    log(tr("linking to the master at %1:%2").arg(m_stanza.IPServer, m_stanza.PortaServer));
    // The link leaves from the room's own address: the master tells lobbies
    // to reach a room host of its own where its link comes from.
    if (!m_config.bindAddress.isEmpty())
        m_link.bind(QHostAddress(m_config.bindAddress));
    if (m_config.masterTls) {
        QSslConfiguration tls = m_link.sslConfiguration();
        tls.setProtocol(QSsl::TlsV1_2OrLater);
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        m_link.setSslConfiguration(tls);
    }
    m_stanza.ConnettiAlServer();
    if (m_stanza.Errori.Numero != 0) {
        log(m_stanza.Errori.Descrizione);
        scheduleReconnect();
    }
}

void RoomHost::onLinkConnected()
{
    if (m_finished)
        return;
    // The link's secret goes only inside TLS when asked for.
    if (m_config.masterTls)
        m_link.startClientEncryption();
    else
        onLinkReady();
}

void RoomHost::onCertificateErrors(const QList<QSslError>& errors)
{
    const QByteArray pin = m_config.masterTlsSha256;
    if (!pin.isEmpty() && m_link.peerCertificate().digest(QCryptographicHash::Sha256) == pin) {
        // A pinned certificate stands for itself: the authorities have no say.
        m_link.ignoreSslErrors();
        return;
    }
    log(tr("the master's certificate is refused: %1")
            .arg(pin.isEmpty() ? errors.value(0).errorString()
                               : tr("it does not match master_tls_sha256")));
}

void RoomHost::onLinkReady()
{
    if (m_finished)
        return;
    // An authority vouching for a certificate does not make it the pinned one.
    if (m_config.masterTls && !m_config.masterTlsSha256.isEmpty() &&
        m_link.peerCertificate().digest(QCryptographicHash::Sha256) != m_config.masterTlsSha256) {
        log(tr("the master's certificate is refused: %1")
                .arg(tr("it does not match master_tls_sha256")));
        m_link.abort();
        return;
    }
    m_stanza.EstConnessoAServer = true;
    m_backoffMs = 0;
    // Member reports come in bursts of small messages.
    m_link.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    log(tr("linked to the master"));
    m_stanza.InviaIdentificazione(m_config.identity, QString::fromLatin1(publicKey().toHex()));
    m_stanza.InviaDatiUtenti();
}

void RoomHost::onLinkClosed()
{
    if (m_stanza.EstConnessoAServer)
        log(tr("link to the master lost"));
    m_stanza.EstConnessoAServer = false;
    // The room closes the link itself when its last member leaves: it ends.
    if (m_departing)
        return;
    if (!m_finished && !m_config.masterHost.isEmpty())
        scheduleReconnect();
}

void RoomHost::nextMaster()
{
    if (m_config.moreMasters.isEmpty())
        return;
    m_master = (m_master + 1) % int(m_config.moreMasters.size() + 1);
    const auto [host, port] =
        m_master == 0 ? std::pair<QString, quint16>{m_config.masterHost, m_config.masterPort}
                      : m_config.moreMasters.at(m_master - 1);
    m_stanza.IPServer = host;
    m_stanza.PortaServer = QString::number(port);
}

void RoomHost::scheduleReconnect()
{
    if (m_reconnect.isActive() || m_finished)
        return;
    m_backoffMs =
        m_backoffMs == 0
            ? m_config.reconnectMinMs
            : static_cast<int>(qMin<qint64>(qint64(m_backoffMs) * 2, m_config.reconnectMaxMs));
    // The next master of the list, if any: the one just lost may be dead.
    nextMaster();
    log(tr("linking again in %1 ms").arg(m_backoffMs));
    m_reconnect.start(m_backoffMs);
}

void RoomHost::onTermina()
{
    finish(m_departing ? tr("the last member left") : tr("the master ordered the room to end"));
}

void RoomHost::log(const QString& line) const
{
    if (m_log)
        m_log(line);
}

QString RoomHost::who(qint32 id) const
{
    return tr("\"%1\" (id %2)").arg(m_stanza.DammiNickPerID(id)).arg(id);
}

} // namespace kalimo::roomhost
