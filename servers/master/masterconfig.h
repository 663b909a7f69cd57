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
    // 0: any free loopback port; the room hosts are told which.
    quint16 roomHostLinkPort = 0;
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
// characters, and a sane length.
inline constexpr qsizetype kMaxRoomText = 64;
// The most members a room host's session takes.
inline constexpr int kMostRoomUsers = 4094;
bool fitRoomText(const QString& text, bool mayBeEmpty);
// Room names are unique regardless of letter case: "Sala" and "sala" in one
// list would only confuse the people choosing between them.
bool sameRoomName(const QString& a, const QString& b);

// Reads an ini file; a missing `path` (empty) gives every default.
ConfigResult loadConfig(const QString& path);

// The master list as handed out: the configured one, or this master alone
// at the address and ports it actually listens on.
QList<MasterEntry> effectiveMasterList(const MasterConfig& config, const QHostAddress& bound,
                                       quint16 boundPort, const TlsEndpoint& tls = {});

} // namespace kalimo::master
