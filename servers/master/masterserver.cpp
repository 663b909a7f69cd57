#include "servers/master/masterserver.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"
#include "protocol/values.h"
#include "servers/master/accountservice.h"
#include "servers/master/accountstore.h"
#include "servers/master/passwordhash.h"
#include "servers/trust/names.h"
#include "servers/trust/roomticket.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpSocket>

#include <algorithm>

namespace kalimo::master {

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcMaster, "kalimo.master")

namespace {

constexpr int kMinPassword = 3;
constexpr int kMaxPassword = 256;
constexpr int kMinEmail = 10;
constexpr int kMaxEmail = 254;
// A connection that has not logged in after this many checks is closed, so
// idle sockets cannot pile up (the registration window logs in elsewhere).
constexpr int kIdleTicksBeforeLogin = 2;

bool hasControl(QStringView text)
{
    return hasControlCharacter(text);
}

QString addressOf(const QTcpSocket* socket)
{
    QHostAddress a = socket->peerAddress();
    bool ok = false;
    const QHostAddress v4(a.toIPv4Address(&ok));
    if (ok)
        a = v4;
    return a.toString();
}

QString peerOf(const QTcpSocket* socket)
{
    return addressOf(socket) + u':' + QString::number(socket->peerPort());
}

// Unread input a connection may leave in its socket: beyond it the kernel
// holds the sender back instead of our memory growing.
constexpr qint64 kReadBuffer = 64 * 1024;

// The room link's secret also signs the room tickets: without a configured
// one, a fresh one for the room hosts this master starts.
MasterConfig withLinkSecret(MasterConfig c)
{
    if (c.roomHostLinkPassword.isEmpty())
        c.roomHostLinkPassword = randomToken();
    return c;
}

LoginBrake::Limits loginLimits(const MasterConfig& c)
{
    LoginBrake::Limits l;
    l.freePerNick = c.loginFreeFailuresPerNick;
    l.freePerAddress = c.loginFreeFailuresPerAddress;
    l.minDelayMs = c.loginMinDelayMs;
    l.maxDelayMs = c.loginMaxDelayMs;
    l.forgetMs = c.loginForgetMs;
    return l;
}

qint64 wallClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString channelOf(const QString& master)
{
    return u"kalimo_"_s + master;
}

// What another master may hand to one of our users through an event.
bool deliverable(QStringView code)
{
    return code == notification::FromPartner || code == notification::SystemText ||
           code == reply::RoomCreated || code == reply::RoomNameTaken || code == reply::RoomRefused;
}

} // namespace

QString normalisedNewNick(const QString& typed)
{
    const QString nick = typed.trimmed().toLower();
    if (nick.size() < 3 || nick.size() > 20 || trust::hasHiddenCharacters(nick) ||
        nick.contains(u'+'))
        return {};
    return nick;
}

struct MasterServer::Client
{
    quint64 id = 0;
    QTcpSocket* socket = nullptr;
    StreamReassembler reassembler{kMessageCap};
    QString peer;
    QString address;
    std::optional<RateWindow> registrations;
    RefusalLog::Budget refusals;
    int lookups = 0; // account look-ups waiting for the store
    QString nick;    // set once logged in: the sender of every later request
    bool loggedIn = false;
    bool busy = false;                   // a login or registration is with the account service
    QStringList checks;                  // tokens sent and not answered yet
    std::optional<QList<RoomRow>> rooms; // the directory as this listing sees it
    // Private rooms of other masters this user was invited to: never listed,
    // yet the user needs their ticket.
    struct Invitation
    {
        QString name, password, hostKey;
    };
    QList<Invitation> invitedTo;
    std::optional<RateWindow> texts;
    int idleTicks = 0;
    bool closing = false; // dropped at the next turn of the loop
};

MasterServer::MasterServer(const MasterConfig& config, const QString& dataDir, QObject* parent)
    : QObject(parent), m_config(withLinkSecret(config)),
      m_accounts(new AccountService(config.database, dataDir, config.hashOpsLimit,
                                    config.hashMemLimit, this)),
      m_clock(steadyClock()), m_masterId(randomToken()),
      m_linkConfigured(!config.roomHostLinkPassword.isEmpty()),
      m_refusals(config.logLinesPerConnection, config.logLinesInAll, config.logPeriodMs,
                 [](const QString& line) { qCInfo(lcMaster).noquote() << line; }),
      m_registrationsByAddress(config.registrationsPerAddress, config.registrationWindowMs),
      m_loginBrake(loginLimits(config)),
      m_creationsByAddress(config.roomCreationsPerAddress, config.roomCreationWindowMs),
      m_passwordGuesses(config.roomPasswordGuessesPerMinute, 60000), m_rooms(m_config)
{
    connect(m_accounts, &AccountService::event, this, &MasterServer::onEvent);
    connect(m_accounts, &AccountService::storeLost, this, &MasterServer::renewSoon);
    RoomService::Directory directory;
    directory.claim = [this](const Room& r, std::function<void(bool, bool)> done) {
        const RoomRow row = rowOf(r);
        m_accounts->shared<StoreStatus>(
            [row](ServiceTables& t) { return t.claimRoom(row, wallClock()); },
            [done](StoreStatus s) { done(s == StoreStatus::Ok, s == StoreStatus::Exists); });
    };
    directory.changed = [this](const Room& r) {
        const RoomRow row = rowOf(r);
        m_accounts->shared<bool>([row](ServiceTables& t) { return t.updateRoom(row); });
    };
    directory.removed = [this](const Room& r) {
        m_accounts->shared<bool>(
            [name = r.nome, id = m_masterId](ServiceTables& t) { return t.removeRoom(name, id); });
    };
    m_rooms.setSharedDirectory(directory);
    m_rooms.setNotify(
        [this](const QString& nick, const Reply& r) { notify(nick, r.code, r.fields); });
    m_listener.setListenBacklogSize(1024);
    connect(&m_listener, &QTcpServer::newConnection, this,
            [this] { acceptConnections(m_listener); });
    m_tlsListener.setListenBacklogSize(1024);
    // Connections still in their handshake count as pending: a few slow
    // ones must not stall the others.
    m_tlsListener.setMaxPendingConnections(256);
    // Offered only once its handshake is through.
    connect(&m_tlsListener, &QTcpServer::pendingConnectionAvailable, this,
            [this] { acceptConnections(m_tlsListener); });
    connect(&m_tlsListener, &QSslServer::errorOccurred, this,
            [](QSslSocket* socket, QAbstractSocket::SocketError) {
                qCInfo(lcMaster).noquote()
                    << u"%1 TLS handshake failed: %2"_s.arg(peerOf(socket), socket->errorString());
            });
    m_checks.setInterval(m_config.checkIntervalMs);
    connect(&m_checks, &QTimer::timeout, this, &MasterServer::checkClients);
}

MasterServer::~MasterServer()
{
    m_rooms.setSharedDirectory({});
    m_rooms.stop();
    // Queued before the account service's own shutdown, so it still runs.
    m_accounts->shared<bool>([id = m_masterId](ServiceTables& t) { return t.forgetMaster(id); });
    for (auto& [id, c] : m_clients) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket;
    }
    m_clients.clear();
}

bool MasterServer::listen()
{
    if (m_config.plain && !m_listener.listen(m_config.listenAddress, m_config.port)) {
        m_error = m_listener.errorString();
        qCWarning(lcMaster).noquote() << u"cannot listen on %1:%2: %3"_s.arg(
            m_config.listenAddress.toString(), QString::number(m_config.port), m_error);
        return false;
    }
    if (m_config.tls && !listenTls()) {
        m_listener.close();
        return false;
    }
    if (m_config.roomHostLinkTls) {
        const std::optional<QSslConfiguration> tls = tlsConfiguration();
        if (!tls) {
            m_listener.close();
            m_tlsListener.close();
            return false;
        }
        m_rooms.setLinkTls(*tls);
    }
    TlsEndpoint tls;
    if (m_tlsListener.isListening()) {
        tls.port = tlsPort();
        // A certificate of our own making can only be checked by its
        // fingerprint; one an authority signed is checked the usual way,
        // and may be renewed without rewriting every lobby's list.
        const QSslCertificate own = m_tlsListener.sslConfiguration().localCertificate();
        if (own.isSelfSigned())
            tls.sha256 = own.digest(QCryptographicHash::Sha256);
    }
    // With the plain port off, the record's own port must still be a port:
    // the configured one (refused), or the TLS one.
    const quint16 recordPort =
        m_config.plain ? port() : (m_config.port != 0 ? m_config.port : tlsPort());
    m_ownTls = tls;
    m_masters = effectiveMasterList(m_config, address(), recordPort, tls);
    if (isShared())
        m_accounts->listenForEvents(channelOf(m_masterId));
    else
        // Alone on its file: who was online in an earlier run is not now.
        m_accounts->shared<bool>([](ServiceTables& t) { return t.clearAll(); });
    // Before the first renewal, so rooms are open once it is done.
    if (isShared()) {
        agreeOnLinkSecret();
        m_keepAlive.setInterval(m_config.keepAliveMs);
        connect(&m_keepAlive, &QTimer::timeout, this,
                [this] { m_accounts->shared<bool>([](ServiceTables& t) { return t.ping(); }); });
        m_keepAlive.start();
    }
    renew();
    m_checks.start();
    if (m_listener.isListening())
        qCInfo(lcMaster).noquote() << u"listening on %1:%2"_s.arg(address().toString()).arg(port());
    if (m_tlsListener.isListening())
        qCInfo(lcMaster).noquote()
            << u"listening with TLS on %1:%2"_s.arg(address().toString()).arg(tlsPort());
    if (!isShared())
        m_rooms.start();
    return true;
}

std::optional<QSslConfiguration> MasterServer::tlsConfiguration()
{
    const auto fail = [this](const QString& why) {
        m_error = why;
        qCWarning(lcMaster).noquote() << u"cannot listen with TLS: %1"_s.arg(why);
        return std::nullopt;
    };
    QFile certificateFile(m_config.certificateFile);
    if (m_config.certificateFile.isEmpty() || !certificateFile.open(QIODevice::ReadOnly))
        return fail(u"certificate file \"%1\" cannot be read"_s.arg(m_config.certificateFile));
    // The file may hold the chain after our own certificate.
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateFile.readAll());
    if (chain.isEmpty())
        return fail(u"no PEM certificate in %1"_s.arg(m_config.certificateFile));
    QFile keyFile(m_config.privateKeyFile);
    if (m_config.privateKeyFile.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
        return fail(u"private key file \"%1\" cannot be read"_s.arg(m_config.privateKeyFile));
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return fail(u"no unencrypted PEM RSA or EC key in %1"_s.arg(m_config.privateKeyFile));

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

bool MasterServer::listenTls()
{
    const std::optional<QSslConfiguration> tls = tlsConfiguration();
    if (!tls)
        return false;
    m_tlsListener.setSslConfiguration(*tls);
    if (!m_tlsListener.listen(m_config.listenAddress, m_config.tlsPort)) {
        m_error = u"%1:%2: %3"_s.arg(m_config.listenAddress.toString())
                      .arg(m_config.tlsPort)
                      .arg(m_tlsListener.errorString());
        qCWarning(lcMaster).noquote() << u"cannot listen with TLS: %1"_s.arg(m_error);
        return false;
    }
    return true;
}

void MasterServer::agreeOnLinkSecret()
{
    if (m_linkAgreed || m_linkAsking)
        return;
    m_linkAsking = true;
    m_accounts->shared<std::optional<QString>>(
        [offered = m_config.roomHostLinkPassword](ServiceTables& t) {
            return t.linkSecret(offered);
        },
        [this](const std::optional<QString>& secret) {
            m_linkAsking = false;
            if (!secret)
                return; // asked again at the next check
            m_linkAgreed = true;
            if (m_linkConfigured && *secret != m_config.roomHostLinkPassword) {
                qCCritical(lcMaster).noquote()
                    << u"Rooms/HostLinkPassword differs from the one the other masters of this "
                       u"database use: tickets would not open their rooms, so this master "
                       u"opens no rooms; give every master the same password"_s;
                return;
            }
            m_config.roomHostLinkPassword = *secret;
            m_rooms.setLinkPassword(*secret);
            m_rooms.start();
        });
}

void MasterServer::setClock(Clock clock)
{
    m_clock = clock;
    m_rooms.setClock(std::move(clock));
}

void MasterServer::notify(const QString& nick, QStringView code, const QStringList& fields)
{
    const std::optional<quint64> id = m_presence.connectionOf(nick);
    if (Client* c = id ? find(*id) : nullptr)
        return send(*c, code, fields);
    if (isShared())
        forward(nick, code, fields, {});
}

bool MasterServer::isShared() const
{
    return m_config.database.driver == DatabaseConfig::Driver::Postgresql;
}

RoomRow MasterServer::rowOf(const Room& r) const
{
    RoomRow row;
    row.name = r.nome;
    row.master = m_masterId;
    row.kind = int(r.kind);
    row.members = int(r.members.size());
    row.password = r.password;
    row.address = m_rooms.directory().addressOf(r);
    row.port = r.port;
    row.maxUsers = r.maxUtenti;
    row.maxSpeakers = r.maxUtentiAudio;
    row.live = r.live;
    row.hostKey = r.hostKey;
    return row;
}

void MasterServer::renew()
{
    const MasterEntry self = effectiveMasterList(MasterConfig(), address(), port()).first();
    MasterRow row{m_masterId,
                  m_config.name.isEmpty() ? self.indirizzo + u':' + QString::number(self.porta)
                                          : m_config.name,
                  self.indirizzo,
                  self.porta,
                  m_config.chiave,
                  m_ownTls.port != 0 ? tlsField(m_ownTls) : QString()};
    // Half an interval of slack for a late tick; still gone within two.
    const qint64 lifetime = qint64(m_config.checkIntervalMs) * 3 / 2;
    const bool listMasters = isShared() && m_config.masters.isEmpty();
    struct Renewal
    {
        bool ok = false;
        bool revived = false;
        std::optional<QList<MasterRow>> live;
    };
    m_accounts->shared<Renewal>(
        [row, lifetime, listMasters](ServiceTables& t) {
            const qint64 now = wallClock();
            Renewal r;
            r.ok = t.renewMaster(row, now, now + lifetime, &r.revived);
            if (r.ok && listMasters)
                r.live = t.liveMasters(now);
            return r;
        },
        [this](const Renewal& r) {
            if (!r.ok)
                return renewSoon();
            m_renewalDelayMs = 0;
            // Late beyond its expiry (a stalled machine), this master lost
            // its users and rooms in the others' eyes: they come back.
            if (r.revived && m_renewals > 0 && isShared())
                reclaim();
            ++m_renewals;
            // Without a configured list, lobbies learn every master alive now.
            if (!r.live || r.live->isEmpty())
                return;
            QList<MasterEntry> masters;
            for (const MasterRow& m : *r.live)
                masters.append(
                    {m.name, m.address, m.port, m.key,
                     m.id == m_masterId ? m_ownTls : parseTlsField(m.tls).value_or(TlsEndpoint{})});
            m_masters = masters;
        });
}

void MasterServer::renewSoon()
{
    // Until it is in the table again, listening, this master's users are out of the others'
    // reach: it tries again well before the next check.
    if (!isShared() || m_renewalRetry)
        return;
    m_renewalRetry = true;
    // Sooner than the next check, and less often the longer the database stays away.
    m_renewalDelayMs = qMin(qMax(1000, m_renewalDelayMs * 2), m_config.checkIntervalMs);
    QTimer::singleShot(m_renewalDelayMs, this, [this] {
        m_renewalRetry = false;
        renew();
        agreeOnLinkSecret(); // no rooms open before
    });
}

void MasterServer::reclaim()
{
    QStringList nicks;
    for (const auto& [id, c] : m_clients) {
        if (c->loggedIn)
            nicks.append(c->nick);
    }
    QList<RoomRow> rooms;
    for (const Room* r : m_rooms.directory().all())
        rooms.append(rowOf(*r));
    qCWarning(lcMaster).noquote()
        << u"this master was taken for dead; claiming its %1 users and %2 rooms again"_s
               .arg(nicks.size())
               .arg(rooms.size());
    m_accounts->shared<QStringList>(
        [nicks, rooms, master = m_masterId](ServiceTables& t) {
            const qint64 now = wallClock();
            QStringList lost;
            for (const QString& nick : nicks) {
                if (t.claimNick(nick, master, now) == StoreStatus::Exists &&
                    t.whereIs(nick, now).master != master)
                    lost.append(nick);
            }
            for (const RoomRow& room : rooms) {
                if (t.claimRoom(room, now) == StoreStatus::Ok)
                    t.updateRoom(room);
            }
            return lost;
        },
        [this](const QStringList& lost) {
            // Logged in elsewhere meanwhile: that login stands.
            for (const QString& nick : lost) {
                if (const std::optional<quint64> id = m_presence.connectionOf(nick))
                    drop(*id, u"logged in on another master while this one was taken for dead"_s);
            }
        });
}

void MasterServer::forward(const QString& nick, QStringView code, const QStringList& fields,
                           std::function<void(StoreStatus)> done)
{
    QJsonObject event{{u"kalimo"_s, 1},
                      {u"to"_s, nick},
                      {u"code"_s, code.toString()},
                      {u"fields"_s, QJsonArray::fromStringList(fields)}};
    // An invitation to a private room of ours: the invited user's master hands out its
    // tickets, and they must name the room host's key as ours do.
    if (code == reply::RoomCreated && fields.size() >= 4) {
        if (const Room* r = m_rooms.directory().byName(fields.at(2)); r && !r->hostKey.isEmpty())
            event.insert(u"hostKey"_s, r->hostKey);
    }
    const QString payload = QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
    m_accounts->shared<StoreStatus>(
        [nick, payload, self = m_masterId](ServiceTables& t) {
            return t.notifyWhereOnline(nick, self, payload, wallClock()).status;
        },
        std::move(done));
}

void MasterServer::onEvent(const QString& payload)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload.toUtf8(), &error);
    const QJsonObject event = doc.object();
    const QString nick = event.value(u"to").toString();
    const QString code = event.value(u"code").toString();
    const QJsonArray array = event.value(u"fields").toArray();
    if (error.error != QJsonParseError::NoError || event.value(u"kalimo").toInt() != 1 ||
        nick.isEmpty() || !deliverable(code) || array.size() > 8) {
        qCInfo(lcMaster).noquote()
            << u"an event that is not ours ignored (%1 bytes)"_s.arg(payload.size());
        return;
    }
    QStringList fields;
    for (const QJsonValue& v : array)
        fields.append(stripControlCharacters(v.toString()).left(kPrivateTextCap + 1));
    // Markers at the start of a private text are the one control character allowed.
    if (code == notification::FromPartner && array.size() == 2) {
        const QString text = array.at(1).toString();
        if (!text.isEmpty() && text.front().unicode() >= SEP9.unicode() &&
            text.front().unicode() <= SEP4.unicode())
            fields[1] = text.left(1) + fields[1];
    }
    const std::optional<quint64> id = m_presence.connectionOf(nick);
    Client* c = id ? find(*id) : nullptr;
    if (!c)
        return;
    // "00071" unasked: address; port; name; password of the private room.
    constexpr qsizetype kInvitationsKept = 8;
    if (code == reply::RoomCreated && fields.size() >= 4) {
        if (c->invitedTo.size() >= kInvitationsKept)
            c->invitedTo.removeFirst();
        // The room host's key rides beside the lobby's fields, for this user's ticket.
        QString hostKey = event.value(u"hostKey").toString();
        if (hostKey.size() != 64 || QByteArray::fromHex(hostKey.toLatin1()).size() != 32)
            hostKey.clear();
        c->invitedTo.append({fields.at(2), fields.at(3), hostKey});
    }
    send(*c, code, fields);
}

void MasterServer::setCheckInterval(int ms)
{
    m_config.checkIntervalMs = ms;
    m_checks.setInterval(ms);
}

MasterServer::Client* MasterServer::find(quint64 id)
{
    const auto it = m_clients.find(id);
    return it == m_clients.end() ? nullptr : it->second.get();
}

void MasterServer::acceptConnections(QTcpServer& listener)
{
    while (QTcpSocket* socket = listener.nextPendingConnection()) {
        const QString address = addressOf(socket);
        const bool full = int(m_clients.size()) >= m_config.maxConnections;
        if (full || m_perAddress.value(address) >= m_config.maxConnectionsPerAddress) {
            RefusalLog::Budget once;
            m_refusals.note(once, address,
                            full
                                ? u"%1 refused: %2 connections already open"_s.arg(
                                      peerOf(socket), QString::number(m_clients.size()))
                                : u"%1 refused: %2 connections already open from there"_s.arg(
                                      peerOf(socket), QString::number(m_perAddress.value(address))),
                            m_clock());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = m_nextId++;
        c->socket = socket;
        c->peer = peerOf(socket);
        c->address = address;
        ++m_perAddress[address];
        socket->setReadBufferSize(kReadBuffer);
        // Replies are small and wanted at once: no waiting for earlier ones' acks.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        c->texts.emplace(m_config.privateTextsPerWindow, m_config.privateTextWindowMs);
        c->registrations.emplace(m_config.registrationsPerConnection,
                                 m_config.registrationWindowMs);
        const quint64 id = c->id;
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, id] { drop(id, u"closed by the client"_s); });
        m_clients.emplace(id, std::move(c));
    }
}

void MasterServer::readFrom(quint64 id)
{
    Client* c = find(id);
    if (!c)
        return;
    const QByteArray complete = c->reassembler.feed(c->socket->readAll());
    if (!complete.isEmpty()) {
        for (const Request& r : decodeRequests(decodeText(complete))) {
            handle(*c, r);
            c = find(id); // a handler may have closed it
            if (!c || c->closing)
                return;
        }
    }
    if (c->reassembler.overflowed())
        drop(id, u"message longer than %1 bytes"_s.arg(kMessageCap));
}

void MasterServer::send(Client& c, QStringView code, const QStringList& fields)
{
    if (c.closing)
        return;
    c.socket->write(encodeText(hostMessage(code, fields)));
    if (c.socket->bytesToWrite() > kUnsentCap)
        dropLater(c, u"replies not read by the client"_s);
}

void MasterServer::dropLater(Client& c, const QString& reason)
{
    if (c.closing)
        return;
    // Callers still hold `c`: the drop waits for the next turn.
    c.closing = true;
    QMetaObject::invokeMethod(
        this, [this, id = c.id, reason] { drop(id, reason); }, Qt::QueuedConnection);
}

void MasterServer::refused(Client& c, const QString& what)
{
    const QString who = c.nick.isEmpty() ? c.peer : c.peer + u' ' + c.nick;
    if (m_refusals.note(c.refusals, who, who + u' ' + what, m_clock()) > m_config.refusalsPerPeriod)
        dropLater(c, u"too many refused messages"_s);
}

void MasterServer::refuse(Client& c, const QString& what, QStringView code)
{
    refused(c, u"%1 -> %2"_s.arg(what, code));
    send(c, code);
}

void MasterServer::handle(Client& c, const Request& r)
{
    using K = Request::Kind;
    switch (r.kind) {
    case K::Malformed:
        return refused(c, u"malformed message ignored (%1 parts)"_s.arg(r.parts));
    case K::Unknown:
        return refused(
            c, u"unknown request \"%1\" ignored"_s.arg(stripControlCharacters(r.code).left(16)));
    case K::Register:
        return handleRegistration(c, r.params);
    case K::CheckAnswer:
        return handleCheckAnswer(c, r.params);
    case K::Login:
        return handleLogin(c, r.params);
    default:
        if (!c.loggedIn)
            return refuse(c, u"request %1 before login"_s.arg(r.code), reply::NotLoggedIn);
        return handleLoggedIn(c, r);
    }
}

void MasterServer::handleLogin(Client& c, const QStringList& params)
{
    if (params.size() < 3)
        return refused(c, u"login without its three fields ignored"_s);
    const QString nick = params.at(0);
    if (c.loggedIn || c.busy)
        return refuse(c, u"login %1 on a connection already logged in or logging in"_s.arg(nick),
                      login::AlreadyConnected);
    if (params.at(1) != m_config.chiave)
        return refuse(c, u"login %1 with a wrong master key"_s.arg(nick), login::NotEnabled);
    if (m_presence.count() >= m_config.maxUsers)
        return refuse(c, u"login %1 at the maximum of %2 users"_s.arg(nick).arg(m_config.maxUsers),
                      login::Full);
    // Whether the nick is connected is told only after its password checked
    // out: a wrong one learns nothing about who is on line.
    if (const qint64 wait = m_loginBrake.wait(nick, c.address, m_clock()); wait > 0)
        return refuse(c,
                      u"login %1 refused unchecked: failures, %2 ms to wait"_s.arg(nick).arg(wait),
                      login::WrongCredentials);
    c.busy = true;
    const quint64 id = c.id;
    m_accounts->checkLogin(nick, params.at(2),
                           [this, id, nick](LoginCheck r) { finishLogin(id, nick, r); });
}

void MasterServer::finishLogin(quint64 id, const QString& nick, LoginCheck result)
{
    Client* c = find(id);
    if (!c)
        return; // gone while its password was checked
    c->busy = false;
    switch (result) {
    case LoginCheck::WrongCredentials:
        m_loginBrake.failed(nick, c->address, m_clock());
        return refuse(*c, u"login %1 wrong nick or password"_s.arg(nick), login::WrongCredentials);
    case LoginCheck::Disabled:
        return refuse(*c, u"login %1 account disabled"_s.arg(nick), login::NotEnabled);
    case LoginCheck::Unavailable:
        return refuse(*c, u"login %1 accounts unavailable"_s.arg(nick), login::StoreOffline);
    case LoginCheck::Accepted:
        break;
    }
    // Both may have changed while the hash was checked.
    if (m_presence.count() >= m_config.maxUsers)
        return refuse(*c, u"login %1 at the maximum of %2 users"_s.arg(nick).arg(m_config.maxUsers),
                      login::Full);
    if (m_presence.isConnected(nick))
        return refuse(*c, u"login %1 already connected"_s.arg(nick), login::AlreadyConnected);
    // One login per nick on the whole service: the database decides, once
    // this master is in it.
    if (isShared() && m_renewals == 0)
        return refuse(*c, u"login %1 before this master joined the service"_s.arg(nick),
                      login::StoreOffline);
    c->busy = true;
    m_accounts->shared<StoreStatus>(
        [nick, master = m_masterId](ServiceTables& t) {
            return t.claimNick(nick, master, wallClock());
        },
        [this, id, nick](StoreStatus s) { finishClaim(id, nick, s); });
}

void MasterServer::finishClaim(quint64 id, const QString& nick, StoreStatus result)
{
    Client* c = find(id);
    if (!c || (result == StoreStatus::Ok && !m_presence.add(nick, id))) {
        if (result == StoreStatus::Ok)
            m_accounts->shared<bool>([nick, master = m_masterId](ServiceTables& t) {
                return t.releaseNick(nick, master);
            });
        if (!c)
            return;
        c->busy = false;
        return refuse(*c, u"login %1 already connected"_s.arg(nick), login::AlreadyConnected);
    }
    c->busy = false;
    if (result == StoreStatus::Exists)
        return refuse(*c, u"login %1 already connected on another master"_s.arg(nick),
                      login::AlreadyConnected);
    if (result != StoreStatus::Ok)
        return refuse(*c, u"login %1 accounts unavailable"_s.arg(nick), login::StoreOffline);
    m_loginBrake.succeeded(nick, c->address);
    c->loggedIn = true;
    c->nick = nick;
    c->checks.clear();
    qCInfo(lcMaster).noquote() << u"%1 login %2 accepted -> %3"_s.arg(c->peer, nick,
                                                                      login::Accepted);
    send(*c, login::Accepted, {m_config.bannerAddress, QString::number(m_config.bannerMinutes)});
}

void MasterServer::handleRegistration(Client& c, const QStringList& params)
{
    if (params.size() < 5)
        return refused(c, u"registration without its five fields ignored"_s);
    if (c.busy)
        return refused(c, u"registration while another request runs ignored"_s);
    const QString typed = params.at(0);
    const qint64 now = m_clock();
    if (!c.registrations->allow(now) || !m_registrationsByAddress.allow(c.address, now))
        return refuse(c, u"registration %1 refused: too many"_s.arg(typed),
                      registration::Unavailable);
    const QString& password = params.at(2);
    const QString& email = params.at(3);
    const std::optional<int> flag = parseInt(params.at(4));
    if (params.at(1) != m_config.chiave)
        return refuse(c, u"registration %1 with a wrong master key"_s.arg(typed),
                      registration::Refused);
    if (!flag || (*flag != -1 && *flag != 0))
        return refuse(c, u"registration %1 with an unknown kind \"%2\""_s.arg(typed, params.at(4)),
                      registration::Refused);

    const quint64 id = c.id;
    auto done = [this, id](const QString& nick) {
        return [this, id, nick](RegistrationOutcome r) { finishRegistration(id, nick, r); };
    };
    if (*flag == 0) {
        const QString nick = typed.trimmed().toLower();
        c.busy = true;
        m_accounts->confirmRegistered(nick, password, done(nick));
        return;
    }
    const QString nick = normalisedNewNick(typed);
    if (nick.isEmpty())
        return refuse(c, u"registration refused: unfit name \"%1\""_s.arg(typed),
                      registration::Refused);
    if (password.size() < kMinPassword || password.size() > kMaxPassword || hasControl(password))
        return refuse(c, u"registration %1 refused: unfit password"_s.arg(nick),
                      registration::Refused);
    if (email.size() < kMinEmail || email.size() > kMaxEmail || hasControl(email))
        return refuse(c, u"registration %1 refused: unfit e-mail"_s.arg(nick),
                      registration::Refused);
    c.busy = true;
    m_accounts->registerNew(nick, password, email, done(nick));
}

void MasterServer::finishRegistration(quint64 id, const QString& nick, RegistrationOutcome result)
{
    Client* c = find(id);
    if (!c)
        return;
    c->busy = false;
    switch (result) {
    case RegistrationOutcome::Created:
        qCInfo(lcMaster).noquote()
            << u"%1 registration %2 created -> %3"_s.arg(c->peer, nick, registration::Created);
        return send(*c, registration::Created);
    case RegistrationOutcome::Confirmed:
        qCInfo(lcMaster).noquote() << u"%1 registration %2 confirmed -> %3"_s.arg(
            c->peer, nick, registration::AlreadyRegistered);
        return send(*c, registration::AlreadyRegistered);
    case RegistrationOutcome::NameTaken:
        return refuse(*c, u"registration %1 name taken"_s.arg(nick), registration::NameTaken);
    case RegistrationOutcome::LooksLike:
        return refuse(*c, u"registration %1 refused: looks like an account's name"_s.arg(nick),
                      registration::NameTaken);
    case RegistrationOutcome::WrongCredentials:
        return refuse(*c, u"registration %1 wrong name or password"_s.arg(nick),
                      registration::Refused);
    case RegistrationOutcome::Unavailable:
        return refuse(*c, u"registration %1 accounts unavailable"_s.arg(nick),
                      registration::Unavailable);
    }
}

void MasterServer::handleCheckAnswer(Client& c, const QStringList& params)
{
    const QString token = params.value(0);
    if (!c.loggedIn || !c.checks.contains(token))
        return refused(c, u"answer to an unknown check ignored"_s);
    c.checks.clear();
}

void MasterServer::handleLoggedIn(Client& c, const Request& r)
{
    using K = Request::Kind;
    auto malformed = [&] {
        refused(c, u"request %1 with missing or bad fields ignored"_s.arg(r.code));
    };
    const QStringList& params = r.params;

    switch (r.kind) {
    case K::MasterCount:
        return send(c, reply::MasterCount, {QString::number(m_masters.size())});
    case K::MasterRecord:
        if (!r.number(0))
            return malformed();
        return handleMasterRecord(c, *r.number(0));
    case K::Limits:
        return send(c, reply::Limits,
                    {QString::number(m_config.maxUtentiStanza),
                     QString::number(m_config.maxUtentiAudioStanza), m_config.requiredVersion});
    case K::RoomListCount:
        return handleRoomListing(c, r.code, 0, 0);
    case K::RoomCount:
        if (!r.number(0))
            return malformed();
        return handleRoomListing(c, r.code, *r.number(0), 0);
    case K::RoomRecord:
        if (!r.number(0) || !r.number(1))
            return malformed();
        return handleRoomListing(c, r.code, *r.number(0), *r.number(1));
    case K::CreateRoom:
        if (const std::optional<RoomCreation> creation = decodeRoomCreation(r))
            return handleCreateRoom(c, *creation);
        return malformed();
    case K::RoomTicket:
        if (params.isEmpty())
            return malformed();
        return handleTicket(c, params.first());
    case K::RoomPassword:
        if (params.size() < 2)
            return malformed();
        return handleRoomPassword(c, params.at(0), params.at(1));
    case K::Presence:
        if (params.isEmpty())
            return malformed();
        return handlePresence(c, params.first());
    case K::PrivateText:
        if (params.size() < 2)
            return malformed();
        return handlePrivateText(c, params);
    default:
        return;
    }
}

void MasterServer::handleMasterRecord(Client& c, int index)
{
    if (index < 1 || index > m_masters.size())
        return refuse(c, u"master index %1 out of range"_s.arg(index), reply::NoSuchMaster);
    const MasterEntry& e = m_masters.at(index - 1);
    QStringList fields{e.nome, e.indirizzo, QString::number(e.porta), e.chiave};
    // A fifth field: lobbies that read four take the first four.
    if (e.tls.port != 0)
        fields.append(tlsField(e.tls));
    send(c, reply::MasterRecord, fields);
}

void MasterServer::handleCreateRoom(Client& c, const RoomCreation& creation)
{
    if (const QString why = creationBraked(c); !why.isEmpty()) {
        // A private room's invited user waits for the outcome too.
        if (!creation.invited.isEmpty() && creation.invited != c.nick)
            notify(creation.invited, reply::RoomRefused, {});
        return refuse(c, u"creating a room refused: %1"_s.arg(why), reply::RoomRefused);
    }
    const quint64 id = c.id;
    m_rooms.create(c.nick, creation, [this, id](const Reply& r) {
        if (Client* c = find(id))
            send(*c, r.code, r.fields);
    });
}

void MasterServer::handleRoomListing(Client& c, const QString& code, int list, int index)
{
    // The count requests take a fresh look at the service's rooms; the
    // records of one listing come from that look, so indices stay put.
    if (code == request::RoomRecord && c.rooms)
        return answerRoomListing(c, code, list, index);
    if (c.lookups >= m_config.lookupsInFlight)
        return dropLater(c, u"more than %1 look-ups waiting"_s.arg(m_config.lookupsInFlight));
    ++c.lookups;
    const quint64 id = c.id;
    m_accounts->shared<std::optional<QList<RoomRow>>>(
        [](ServiceTables& t) { return t.rooms(wallClock()); },
        [this, id, code, list, index](const std::optional<QList<RoomRow>>& rooms) {
            Client* c = find(id);
            if (!c)
                return;
            --c->lookups;
            c->rooms = rooms;
            answerRoomListing(*c, code, list, index);
        });
}

void MasterServer::answerRoomListing(Client& c, const QString& code, int list, int index)
{
    const RoomDirectory& local = m_rooms.directory();
    if (code == request::RoomListCount)
        return send(c, reply::RoomListCount, {QString::number(RoomDirectory::kLists)});
    if (!c.rooms) {
        // The database is away: this master's own rooms are better than none.
        const Reply r =
            code == request::RoomCount ? local.roomCount(list) : local.room(list, index);
        return send(c, r.code, r.fields);
    }
    const int wanted = int(list == 1 ? Room::Kind::Permanent : Room::Kind::User);
    QList<const RoomRow*> rows;
    for (const RoomRow& r : *c.rooms) {
        if ((list == 1 || list == 2) && r.kind == wanted)
            rows.append(&r);
    }
    if (code == request::RoomCount) {
        if (rows.isEmpty())
            return send(c, reply::NoRooms);
        return send(c, reply::RoomCount, {QString::number(rows.size())});
    }
    if (index < 1 || index > rows.size())
        return send(c, reply::NoRoomHere);
    const RoomRow& r = *rows.at(index - 1);
    // The password itself never leaves the master: "0005 " checks a typed one.
    send(c, reply::RoomRecord,
         {r.name, QString::number(r.members), flagWord(r.kind == int(Room::Kind::Permanent)),
          r.password.isEmpty() ? QString() : kHasPassword.toString(), r.address,
          QString::number(r.port), flagWord(false), QString::number(r.maxUsers),
          QString::number(r.maxSpeakers)});
}

std::optional<std::pair<QString, QString>> MasterServer::roomNamed(const Client& c,
                                                                   const QString& nome) const
{
    if (const Room* r = m_rooms.directory().byName(nome))
        return std::pair{r->nome, r->password};
    // Another master's room, as this user's last listing saw it.
    for (const RoomRow& r : c.rooms.value_or(QList<RoomRow>{})) {
        if (sameRoomName(r.name, nome))
            return std::pair{r.name, r.password};
    }
    for (const auto& invited : c.invitedTo) {
        if (sameRoomName(invited.name, nome))
            return std::pair{invited.name, invited.password};
    }
    return std::nullopt;
}

void MasterServer::handleTicket(Client& c, const QString& nome)
{
    const auto room = roomNamed(c, nome);
    if (!room)
        return refuse(c, u"ticket for \"%1\": no such room"_s.arg(nome.left(64)), reply::NoTicket);
    // Long enough to start the voice client and join; the room host checks it
    // at once. Masters of one service share the secret that signs it.
    constexpr qint64 kTicketLifetime = 120;
    const qint64 expires = QDateTime::currentSecsSinceEpoch() + kTicketLifetime;
    QStringList fields{trust::makeRoomTicket(m_config.roomHostLinkPassword.toUtf8(), c.nick,
                                             room->first, expires)};
    // The room host's key, so that nobody else can pose as it: another
    // master's room's as the shared directory had it at this user's listing,
    // beside the address the lobby joins, or as the invitation to another
    // master's private room brought it. Without it the voice client takes
    // the key the room host itself announces.
    QString hostKey;
    if (const Room* r = m_rooms.directory().byName(room->first)) {
        hostKey = r->hostKey;
    } else if (c.rooms) {
        const auto it = std::find_if(c.rooms->cbegin(), c.rooms->cend(),
                                     [&](const RoomRow& r) { return r.name == room->first; });
        if (it != c.rooms->cend())
            hostKey = it->hostKey;
    }
    if (hostKey.isEmpty()) {
        for (const auto& invited : c.invitedTo) {
            if (invited.name == room->first)
                hostKey = invited.hostKey;
        }
    }
    if (!hostKey.isEmpty())
        fields.append(hostKey);
    send(c, reply::Ticket, fields);
}

void MasterServer::handleRoomPassword(Client& c, const QString& nome, const QString& typed)
{
    const auto room = roomNamed(c, nome);
    if (!room)
        return refuse(c, u"password for \"%1\": no such room"_s.arg(nome.left(64)),
                      reply::PasswordWrong);
    if (!m_passwordGuesses.allow(c.nick + u'\n' + room->first, m_clock()))
        return refuse(c, u"password for \"%1\": too many guesses"_s.arg(room->first),
                      reply::PasswordWrong);
    if (!trust::sameSecret(typed, room->second))
        return refuse(c, u"password for \"%1\": wrong"_s.arg(room->first), reply::PasswordWrong);
    send(c, reply::PasswordRight);
}

void MasterServer::handlePresence(Client& c, const QString& nick)
{
    if (m_presence.isConnected(nick))
        return send(c, presence::Connected);
    if (c.lookups >= m_config.lookupsInFlight)
        return dropLater(c, u"more than %1 look-ups waiting"_s.arg(m_config.lookupsInFlight));
    ++c.lookups;
    const quint64 id = c.id;
    m_accounts->shared<ServiceTables::Presence>(
        [nick](ServiceTables& t) { return t.presenceOf(nick, wallClock()); },
        [this, id, nick](ServiceTables::Presence p) {
            Client* c = find(id);
            if (!c)
                return;
            --c->lookups;
            if (m_presence.isConnected(nick) || p == ServiceTables::Presence::Online)
                return send(*c, presence::Connected);
            // A store that cannot answer: say only what is sure, not connected.
            send(*c, p == ServiceTables::Presence::NoAccount ? presence::NoAccount
                                                             : presence::NotConnected);
        });
}

void MasterServer::handlePrivateText(Client& c, const QStringList& params)
{
    const QString destination = stripControlCharacters(params.at(0));
    QString text = params.at(1);
    if (destination.isEmpty() || text.isEmpty())
        return;
    if (!c.texts->allow(m_clock())) {
        refused(c, u"private text to %1 refused: too many"_s.arg(destination));
        return send(c, notification::SystemText,
                    {destination, tr("Stai inviando troppi messaggi: attendi qualche istante e "
                                     "riprova.")});
    }
    // A marker is only ever the first character; anywhere else it could
    // pose as an invitation or a contact-list request.
    const bool marked =
        text.front().unicode() >= SEP9.unicode() && text.front().unicode() <= SEP4.unicode();
    text = (marked ? text.left(1) : QString()) +
           stripControlCharacters(QStringView(text).mid(marked ? 1 : 0));
    text.truncate(kPrivateTextCap);

    const std::optional<quint64> to = m_presence.connectionOf(destination);
    if (to || !isShared())
        return deliverText(c.id, c.nick, destination, text, marked);
    // On another master, or nowhere: the database knows, and passes it on.
    const quint64 id = c.id;
    forward(destination, notification::FromPartner, {c.nick, text},
            [this, id, sender = c.nick, destination, text, marked](StoreStatus s) {
                if (s != StoreStatus::Ok)
                    return deliverText(id, sender, destination, text, marked);
                if (Client* c = find(id); c && !marked)
                    send(*c, notification::OwnText, {destination, text});
            });
}

void MasterServer::deliverText(quint64 from, const QString& sender, const QString& destination,
                               const QString& text, bool marked)
{
    const std::optional<quint64> to = m_presence.connectionOf(destination);
    Client* partner = to ? find(*to) : nullptr;
    if (partner)
        send(*partner, notification::FromPartner, {sender, text});
    Client* c = find(from);
    if (!c)
        return;
    // A marked text echoed back would make the sender's lobby answer its own
    // invitation or request: only plain texts come back as the sender's own.
    if (!marked)
        send(*c, notification::OwnText, {destination, text});
    if (!partner)
        send(*c, notification::SystemText,
             {destination, tr("L'utente %1 non è connesso: il messaggio non è stato "
                              "recapitato.")
                               .arg(destination)});
}

QString MasterServer::creationBraked(const Client& c)
{
    if (!m_creationsByAddress.allow(c.address, m_clock()))
        return u"too many rooms from %1 in a short time"_s.arg(c.address);
    const qint64 used = m_rooms.hostMemoryBytes();
    if (used >= qint64(m_config.roomHostMemoryMiB) * 1024 * 1024)
        return u"room hosts already use %1 MiB"_s.arg(used / (1024 * 1024));
    return {};
}

void MasterServer::checkClients()
{
    renew();
    if (isShared())
        agreeOnLinkSecret();
    std::vector<quint64> ids;
    ids.reserve(m_clients.size());
    for (const auto& [id, c] : m_clients)
        ids.push_back(id);
    for (quint64 id : ids) {
        Client* c = find(id);
        if (!c)
            continue;
        if (c->loggedIn) {
            if (c->checks.size() >= 2) {
                drop(id, u"two checks unanswered"_s);
                continue;
            }
            const QString token = randomToken();
            c->checks.append(token);
            send(*c, notification::Check, {token});
        } else if (!c->busy && ++c->idleTicks >= kIdleTicksBeforeLogin) {
            drop(id, u"no login in time"_s);
        }
    }
}

void MasterServer::drop(quint64 id, const QString& reason)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    std::unique_ptr<Client> c = std::move(it->second);
    m_clients.erase(it);
    if (c->loggedIn) {
        m_presence.remove(c->nick, id);
        m_accounts->shared<bool>([nick = c->nick, master = m_masterId](ServiceTables& t) {
            return t.releaseNick(nick, master);
        });
    }
    if (--m_perAddress[c->address] <= 0)
        m_perAddress.remove(c->address);
    m_refusals.close(c->refusals, c->peer, m_clock());
    const QString line =
        u"%1 %2 dropped: %3"_s.arg(c->peer, c->nick.isEmpty() ? u"-"_s : c->nick, reason);
    // Connections that never logged in can come and go by the thousand.
    RefusalLog::Budget once;
    if (c->loggedIn)
        qCInfo(lcMaster).noquote() << line;
    else
        m_refusals.note(once, c->peer, line, m_clock());
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
}

} // namespace kalimo::master
