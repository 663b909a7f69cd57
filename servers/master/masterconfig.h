#pragma once

#include "protocol/tlsfield.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace kalimo::master {

// One entry of the master list handed out with "0009 ".
struct MasterEntry
{
    QString nome;
    QString indirizzo;
    quint16 porta = 0;
    QString chiave;
    // Handed out as the record's fifth field when set.
    TlsEndpoint tls;
};

// A room that exists from the start and never ends.
struct PermanentRoom
{
    QString nome;
    int maxUtenti = 0;
    int maxUtentiAudio = 0;
    QString password;
};

// Where accounts, presence and the room directory live. SQLite keeps them
// in the data folder for one master; masters that share one PostgreSQL
// database are one service.
struct DatabaseConfig
{
    enum class Driver { Sqlite, Postgresql };
    Driver driver = Driver::Sqlite;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 5432;
    QString name = QStringLiteral("kalimo");
    QString user = QStringLiteral("kalimo");
    QString password;
};

struct MasterConfig
{
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 7070;
    // The plain port may be turned off once lobbies have TLS records.
    bool plain = true;
    // TLS beside it: certificate and key in PEM files.
    bool tls = false;
    quint16 tlsPort = 7443;
    QString certificateFile;
    QString privateKeyFile;
    // Connections beyond this are closed at once, logged in or not.
    int maxConnections = 4096;

    QString chiave = QStringLiteral("kalimo");
    // How other masters of the service list this one; empty: address:port.
    QString name;
    QString bannerAddress;
    int bannerMinutes = 5;
    int maxUsers = 1000;
    QString requiredVersion = QStringLiteral("2.0b");
    int checkIntervalMs = 60000;
    // How often an idle master checks its shared database connection: one the
    // database dropped (a restart) would otherwise miss other masters' events.
    int keepAliveMs = 2000;

    int maxUtentiStanza = 20;
    int maxUtentiAudioStanza = 5;

    // Empty: one entry "Locale" pointing at this master itself.
    QList<MasterEntry> masters;

    // Private texts one connection may send in the window; the rest are
    // answered with a system text.
    int privateTextsPerWindow = 30;
    int privateTextWindowMs = 60000;

    QString roomHostProgram = QStringLiteral("kalimo-roomhost");
    quint16 roomFirstUdpPort = 2302;
    quint16 roomLastUdpPort = 2401;
    // Where room hosts listen; empty: every address.
    QString roomBindAddress;
    QString roomClientAddress = QStringLiteral("127.0.0.1");
    // Where the room link listens: loopback unless room hosts of other
    // machines link here. Port 0: any free port; the room hosts started here
    // are told which.
    QHostAddress roomHostLinkAddress = QHostAddress::LocalHost;
    quint16 roomHostLinkPort = 0;
    // The room link with TLS too, on its own port, with the master's
    // certificate and key. Its secret in clear is taken only from this
    // machine, unless plain links from anywhere are allowed.
    bool roomHostLinkTls = false;
    quint16 roomHostLinkTlsPort = 0;
    bool roomHostLinkPlainFromAnywhere = false;
    // Room host processes at most, each carrying many rooms; 0: one per core.
    int roomHostProcesses = 0;
    QString roomHostLinkPassword;
    QList<PermanentRoom> permanentRooms;
    // A started room host must identify on the link within this.
    int roomIdentifyTimeoutMs = 10000;
    // Rooms one user may start in the window, and keep alive at once.
    int roomCreationsPerWindow = 3;
    int roomCreationWindowMs = 60000;
    int roomLiveRoomsPerUser = 3;
    // A permanent room host that dies is restarted after a delay that
    // doubles from the first value up to the second.
    int roomRestartMinMs = 1000;
    int roomRestartMaxMs = 60000;
    // At shutdown room hosts get this long to end before they are killed.
    int roomStopGraceMs = 3000;

    DatabaseConfig database;

    // Brakes against floods from one address or connection. Refusals are
    // answered with the codes an honest user already knows.
    int maxConnectionsPerAddress = 20;
    int registrationsPerConnection = 3;
    int registrationsPerAddress = 10;
    int registrationWindowMs = 60000;
    // Failed logins pass free up to these counts, then each waits a delay
    // that doubles up to the maximum; forgotten after a quiet spell.
    int loginFreeFailuresPerNick = 5;
    int loginFreeFailuresPerAddress = 10;
    int loginMinDelayMs = 1000;
    int loginMaxDelayMs = 60000;
    int loginForgetMs = 15 * 60 * 1000;
    // Account look-ups one connection may have waiting; more close it.
    int lookupsInFlight = 16;
    // Refused messages one connection may send in a log period before it is
    // closed, and the log lines about refusals per connection and in all.
    int refusalsPerPeriod = 200;
    int logLinesPerConnection = 5;
    int logLinesInAll = 100;
    int logPeriodMs = 10000;
    // Rooms created from one address in the creation window, and the memory
    // all room hosts together may use before creations are refused.
    int roomCreationsPerAddress = 6;
    int roomHostMemoryMiB = 2048;
    // Password guesses one user may make on one room in a minute.
    int roomPasswordGuessesPerMinute = 5;

    // argon2id cost of new hashes; verifying reads the cost from the hash.
    quint64 hashOpsLimit = 0; // 0 = the default cost of passwordhash.h
    quint64 hashMemLimit = 0;
};

struct ConfigResult
{
    MasterConfig config;
    // Values that could not be read and fell back to their default.
    QStringList warnings;
    // Set when the file itself could not be used.
    QString error;
};

// Room names and passwords travel on the voice client's command line, split
// at " + ", and in the room host's line-based data: no "+", no control
// characters (nor invisible ones), and a sane length.
inline constexpr qsizetype kMaxRoomText = 64;
// The most members a room host's session takes.
inline constexpr int kMostRoomUsers = 4094;
bool fitRoomText(const QString& text, bool mayBeEmpty);
// Room names are unique regardless of letter case and of look-alike letters:
// "Sala", "sala" and "Ѕala" in one list would only confuse the people
// choosing between them, or lure them into the wrong room.
bool sameRoomName(const QString& a, const QString& b);

// Reads an ini file; a missing `path` (empty) gives every default.
ConfigResult loadConfig(const QString& path);

// The master list as handed out: the configured one, or this master alone
// at the address and ports it actually listens on.
QList<MasterEntry> effectiveMasterList(const MasterConfig& config, const QHostAddress& bound,
                                       quint16 boundPort, const TlsEndpoint& tls = {});

} // namespace kalimo::master
