#include "servers/master/masterconfig.h"

#include "protocol/framing.h"
#include "servers/trust/names.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

#include <sodium.h>

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {

class Reader final
{
public:
    Reader(QSettings& settings, QStringList& warnings) : m_settings(settings), m_warnings(warnings)
    {
    }

    // QSettings turns an unquoted value holding commas into a list.
    QString text(const QString& key, const QString& fallback) const
    {
        if (!m_settings.contains(key))
            return fallback;
        const QVariant v = m_settings.value(key);
        if (v.typeId() == QMetaType::QStringList)
            return v.toStringList().join(u',').trimmed();
        return v.toString().trimmed();
    }

    qint64 number(const QString& key, qint64 fallback, qint64 low, qint64 high) const
    {
        if (!m_settings.contains(key))
            return fallback;
        bool ok = false;
        const qint64 n = text(key, QString()).toLongLong(&ok);
        if (ok && n >= low && n <= high)
            return n;
        m_warnings.append(QCoreApplication::translate("MasterConfig",
                                                      "%1: \"%2\" is not a number from %3 to %4; "
                                                      "using %5")
                              .arg(key, text(key, QString()))
                              .arg(low)
                              .arg(high)
                              .arg(fallback));
        return fallback;
    }

    quint16 port(const QString& key, quint16 fallback, quint16 low = 1) const
    {
        return quint16(number(key, fallback, low, 65535));
    }

    bool flag(const QString& key, bool fallback) const
    {
        const QString v = text(key, QString()).toLower();
        if (v == u"true" || v == u"1" || v == u"yes" || v == u"on")
            return true;
        if (v == u"false" || v == u"0" || v == u"no" || v == u"off")
            return false;
        if (m_settings.contains(key))
            m_warnings.append(QCoreApplication::translate("MasterConfig",
                                                          "%1: \"%2\" is neither true nor false; "
                                                          "using %3")
                                  .arg(key, v, fallback ? u"true"_s : u"false"_s));
        return fallback;
    }

    // An address that does not read as one falls back to the loopback.
    void address(const QString& key, QHostAddress& into) const
    {
        const QString given = text(key, into.toString());
        if (into.setAddress(given))
            return;
        warn(QCoreApplication::translate("MasterConfig", "%1: \"%2\" is not an address; using %3")
                 .arg(key, given, QStringLiteral("127.0.0.1")));
        into = QHostAddress::LocalHost;
    }

    void warn(const QString& warning) const { m_warnings.append(warning); }

private:
    QSettings& m_settings;
    QStringList& m_warnings;
};

// Where lobbies reach this master, plain and over TLS.
void readNetwork(const Reader& r, MasterConfig& c)
{
    r.address(u"Network/Address"_s, c.listenAddress);
    c.port = r.port(u"Network/Port"_s, c.port, 0);
    c.plain = r.flag(u"Network/Plain"_s, c.plain);
    c.tls = r.flag(u"Network/Tls"_s, c.tls);
    c.tlsPort = r.port(u"Network/TlsPort"_s, c.tlsPort, 0);
    c.certificateFile = r.text(u"Network/Certificate"_s, c.certificateFile);
    c.privateKeyFile = r.text(u"Network/PrivateKey"_s, c.privateKeyFile);
    if (!c.plain && !c.tls) {
        r.warn(QCoreApplication::translate(
            "MasterConfig", "Network/Plain is off and Network/Tls is not on; the plain port "
                            "stays open"));
        c.plain = true;
    }
    c.maxConnections = int(r.number(u"Network/MaxConnections"_s, c.maxConnections, 1, 1000000));
}

void readService(const Reader& r, MasterConfig& c)
{
    c.chiave = r.text(u"Service/Chiave"_s, c.chiave);
    c.name = r.text(u"Service/Name"_s, c.name);
    c.bannerAddress = r.text(u"Service/BannerAddress"_s, c.bannerAddress);
    c.bannerMinutes = int(r.number(u"Service/BannerMinutes"_s, c.bannerMinutes, 0, 32767));
    c.maxUsers = int(r.number(u"Service/MaxUsers"_s, c.maxUsers, 0, 1000000));
    c.requiredVersion = r.text(u"Service/RequiredVersion"_s, c.requiredVersion);
    c.checkIntervalMs =
        int(r.number(u"Service/CheckIntervalSeconds"_s, c.checkIntervalMs / 1000, 1, 86400) * 1000);

    c.privateTextsPerWindow =
        int(r.number(u"Service/PrivateTextsPerMinute"_s, c.privateTextsPerWindow, 1, 100000));
}

// The rooms this master starts, and the link their hosts report on.
void readRooms(const Reader& r, MasterConfig& c)
{
    c.maxUtentiStanza =
        int(r.number(u"Rooms/MaxUsersPerRoom"_s, c.maxUtentiStanza, 2, kMostRoomUsers));
    c.maxUtentiAudioStanza =
        int(r.number(u"Rooms/MaxAudioUsers"_s, c.maxUtentiAudioStanza, 1, 32767));
    c.roomHostProgram = r.text(u"Rooms/HostProgram"_s, c.roomHostProgram);
    c.roomFirstUdpPort = r.port(u"Rooms/FirstUdpPort"_s, c.roomFirstUdpPort);
    c.roomLastUdpPort = r.port(u"Rooms/LastUdpPort"_s, c.roomLastUdpPort);
    if (c.roomLastUdpPort < c.roomFirstUdpPort) {
        r.warn(QCoreApplication::translate(
            "MasterConfig", "Rooms/LastUdpPort is below Rooms/FirstUdpPort; using one port"));
        c.roomLastUdpPort = c.roomFirstUdpPort;
    }
    c.roomBindAddress = r.text(u"Rooms/BindAddress"_s, c.roomBindAddress);
    c.roomClientAddress = r.text(u"Rooms/ClientAddress"_s, c.roomClientAddress);
    r.address(u"Rooms/HostLinkAddress"_s, c.roomHostLinkAddress);
    c.roomHostLinkPort = r.port(u"Rooms/HostLinkPort"_s, c.roomHostLinkPort, 0);
    c.roomHostLinkTls = r.flag(u"Rooms/HostLinkTls"_s, c.roomHostLinkTls);
    c.roomHostLinkTlsPort = r.port(u"Rooms/HostLinkTlsPort"_s, c.roomHostLinkTlsPort, 0);
    c.roomHostLinkPlainFromAnywhere =
        r.flag(u"Rooms/HostLinkPlainFromAnywhere"_s, c.roomHostLinkPlainFromAnywhere);
    c.roomHostProcesses = int(r.number(u"Rooms/HostProcesses"_s, c.roomHostProcesses, 0, 1024));
    c.roomHostLinkPassword = r.text(u"Rooms/HostLinkPassword"_s, c.roomHostLinkPassword);
    c.roomIdentifyTimeoutMs =
        int(r.number(u"Rooms/IdentifySeconds"_s, c.roomIdentifyTimeoutMs / 1000, 1, 3600) * 1000);
    c.roomCreationsPerWindow =
        int(r.number(u"Rooms/CreationsPerMinute"_s, c.roomCreationsPerWindow, 1, 10000));
    c.roomLiveRoomsPerUser =
        int(r.number(u"Rooms/LiveRoomsPerUser"_s, c.roomLiveRoomsPerUser, 1, 10000));
}

// What one user, connection or address may ask of the master.
void readBrakes(const Reader& r, MasterConfig& c)
{
    auto limit = [&r](const QString& key, int value) {
        return int(r.number(key, value, 1, 1000000));
    };
    c.maxConnectionsPerAddress =
        limit(u"Brakes/ConnectionsPerAddress"_s, c.maxConnectionsPerAddress);
    c.registrationsPerConnection =
        limit(u"Brakes/RegistrationsPerConnection"_s, c.registrationsPerConnection);
    c.registrationsPerAddress =
        limit(u"Brakes/RegistrationsPerAddress"_s, c.registrationsPerAddress);
    c.registrationWindowMs =
        limit(u"Brakes/RegistrationSeconds"_s, c.registrationWindowMs / 1000) * 1000;
    c.loginFreeFailuresPerNick =
        limit(u"Brakes/FreeLoginFailuresPerNick"_s, c.loginFreeFailuresPerNick);
    c.loginFreeFailuresPerAddress =
        limit(u"Brakes/FreeLoginFailuresPerAddress"_s, c.loginFreeFailuresPerAddress);
    c.loginMinDelayMs = limit(u"Brakes/LoginDelayMinMs"_s, c.loginMinDelayMs);
    c.loginMaxDelayMs =
        qMax(c.loginMinDelayMs, limit(u"Brakes/LoginDelayMaxMs"_s, c.loginMaxDelayMs));
    c.loginForgetMs = limit(u"Brakes/LoginForgetSeconds"_s, c.loginForgetMs / 1000) * 1000;
    c.lookupsInFlight = limit(u"Brakes/LookupsPerConnection"_s, c.lookupsInFlight);
    c.refusalsPerPeriod = limit(u"Brakes/RefusalsPerPeriod"_s, c.refusalsPerPeriod);
    c.logLinesPerConnection = limit(u"Brakes/LogLinesPerConnection"_s, c.logLinesPerConnection);
    c.logLinesInAll = limit(u"Brakes/LogLinesInAll"_s, c.logLinesInAll);
    c.logPeriodMs = limit(u"Brakes/LogPeriodSeconds"_s, c.logPeriodMs / 1000) * 1000;
    c.roomCreationsPerAddress =
        limit(u"Brakes/RoomCreationsPerAddress"_s, c.roomCreationsPerAddress);
    c.roomHostMemoryMiB = limit(u"Brakes/RoomHostMemoryMiB"_s, c.roomHostMemoryMiB);
    c.roomPasswordGuessesPerMinute =
        limit(u"Brakes/RoomPasswordGuessesPerMinute"_s, c.roomPasswordGuessesPerMinute);
}

void readPermanentRooms(QSettings& s, const Reader& r, MasterConfig& c)
{
    const int rooms = s.beginReadArray(u"PermanentRooms"_s);
    for (int i = 0; i < rooms; ++i) {
        s.setArrayIndex(i);
        PermanentRoom room;
        room.nome = r.text(u"Name"_s, QString());
        room.maxUtenti = int(r.number(u"MaxUsers"_s, c.maxUtentiStanza, 2, kMostRoomUsers));
        room.maxUtentiAudio = int(r.number(u"MaxAudioUsers"_s, c.maxUtentiAudioStanza, 1, 32767));
        room.password = r.text(u"Password"_s, QString());
        room.maxUtentiAudio = qMin(room.maxUtentiAudio, room.maxUtenti);
        if (!fitRoomText(room.nome, false) || !fitRoomText(room.password, true))
            r.warn(QCoreApplication::translate("MasterConfig",
                                               "PermanentRooms entry %1 needs a name, and neither "
                                               "name nor password may hold \"+\" or control "
                                               "characters; skipped")
                       .arg(i + 1));
        else if (std::any_of(c.permanentRooms.cbegin(), c.permanentRooms.cend(),
                             [&](const PermanentRoom& other) {
                                 return sameRoomName(other.nome, room.nome);
                             }))
            r.warn(QCoreApplication::translate(
                       "MasterConfig", "PermanentRooms entry %1 repeats the name %2; skipped")
                       .arg(i + 1)
                       .arg(room.nome));
        else
            c.permanentRooms.append(room);
    }
    s.endArray();
}

// The master list handed out to lobbies.
void readMasters(QSettings& s, const Reader& r, MasterConfig& c)
{
    const int masters = s.beginReadArray(u"Masters"_s);
    for (int i = 0; i < masters; ++i) {
        s.setArrayIndex(i);
        MasterEntry e;
        e.nome = r.text(u"Name"_s, QString());
        e.indirizzo = r.text(u"Address"_s, QString());
        e.porta = r.port(u"Port"_s, 0);
        e.chiave = r.text(u"Key"_s, QString());
        const QString tls = r.text(u"Tls"_s, QString());
        const std::optional<TlsEndpoint> endpoint = parseTlsField(tls);
        if (!tls.isEmpty() && !endpoint)
            r.warn(QCoreApplication::translate("MasterConfig",
                                               "Masters entry %1: Tls must read tls:PORT or "
                                               "tls:PORT:sha256=HEX; skipped")
                       .arg(i + 1));
        else if (e.nome.isEmpty() || e.indirizzo.isEmpty() || e.porta == 0)
            r.warn(
                QCoreApplication::translate(
                    "MasterConfig", "Masters entry %1 needs a name, an address and a port; skipped")
                    .arg(i + 1));
        else {
            e.tls = endpoint.value_or(TlsEndpoint{});
            c.masters.append(e);
        }
    }
    s.endArray();
}

void readDatabase(const Reader& r, MasterConfig& c)
{
    const QString driver = r.text(u"Database/Driver"_s, u"sqlite"_s).toLower();
    if (driver == u"postgresql" || driver == u"postgres")
        c.database.driver = DatabaseConfig::Driver::Postgresql;
    else if (driver != u"sqlite")
        r.warn(QCoreApplication::translate("MasterConfig",
                                           "Database/Driver: \"%1\" is neither sqlite nor "
                                           "postgresql; using sqlite")
                   .arg(driver));
    c.database.host = r.text(u"Database/Host"_s, c.database.host);
    c.database.port = r.port(u"Database/Port"_s, c.database.port);
    c.database.name = r.text(u"Database/Name"_s, c.database.name);
    c.database.user = r.text(u"Database/User"_s, c.database.user);
    c.database.password = r.text(u"Database/Password"_s, c.database.password);
}

void readPasswordHashing(const Reader& r, MasterConfig& c)
{
    c.hashOpsLimit = quint64(r.number(u"Accounts/HashOpsLimit"_s, 0, 0, 1000));
    const qint64 memKiB = r.number(u"Accounts/HashMemLimitKiB"_s, 0, 0, 4 * 1024 * 1024);
    c.hashMemLimit = quint64(memKiB) * 1024;
    if (c.hashOpsLimit != 0 && c.hashOpsLimit < crypto_pwhash_OPSLIMIT_MIN) {
        r.warn(QCoreApplication::translate(
            "MasterConfig", "Accounts/HashOpsLimit below the minimum; using the minimum"));
        c.hashOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    }
    if (c.hashMemLimit != 0 && c.hashMemLimit < crypto_pwhash_MEMLIMIT_MIN) {
        r.warn(QCoreApplication::translate(
            "MasterConfig", "Accounts/HashMemLimitKiB below the minimum; using the minimum"));
        c.hashMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    }
}

} // namespace

ConfigResult loadConfig(const QString& path)
{
    ConfigResult result;
    MasterConfig& c = result.config;
    if (path.isEmpty())
        return result;
    if (!QFileInfo(path).isFile()) {
        result.error =
            QCoreApplication::translate("MasterConfig", "configuration file %1 not found")
                .arg(path);
        return result;
    }
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        result.error =
            QCoreApplication::translate("MasterConfig", "configuration file %1 cannot be read")
                .arg(path);
        return result;
    }
    Reader r(s, result.warnings);
    readNetwork(r, c);
    readService(r, c);
    readRooms(r, c);
    readBrakes(r, c);
    readPermanentRooms(s, r, c);
    readMasters(s, r, c);
    readDatabase(r, c);
    readPasswordHashing(r, c);
    return result;
}

bool sameRoomName(const QString& a, const QString& b)
{
    if (a.compare(b, Qt::CaseInsensitive) == 0)
        return true;
    const QString skeleton = trust::confusableSkeleton(a);
    return !skeleton.isEmpty() && skeleton == trust::confusableSkeleton(b);
}

bool fitRoomText(const QString& text, bool mayBeEmpty)
{
    if (text.isEmpty())
        return mayBeEmpty;
    return text.size() <= kMaxRoomText && !text.contains(u'+') && !hasControlCharacter(text) &&
           !trust::hasHiddenCharacters(text);
}

QList<MasterEntry> effectiveMasterList(const MasterConfig& config, const QHostAddress& bound,
                                       quint16 boundPort, const TlsEndpoint& tls)
{
    if (!config.masters.isEmpty())
        return config.masters;
    // Lobbies cannot reach an "any" address; loopback is the one that works here.
    QHostAddress reach = bound;
    if (reach.isNull() || reach == QHostAddress::Any || reach == QHostAddress::AnyIPv4)
        reach = QHostAddress::LocalHost;
    else if (reach == QHostAddress::AnyIPv6)
        reach = QHostAddress::LocalHostIPv6;
    return {MasterEntry{QStringLiteral("Locale"), reach.toString(), boundPort, config.chiave, tls}};
}

} // namespace kalimo::master
