#pragma once

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
};

// A room that exists from the start and never ends.
struct PermanentRoom
{
    QString nome;
    int maxUtenti = 0;
    int maxUtentiAudio = 0;
    QString password;
};

struct MasterConfig
{
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 7070;
    // Connections beyond this are closed at once, logged in or not.
    int maxConnections = 4096;

    QString chiave = QStringLiteral("kalimo");
    QString bannerAddress;
    int bannerMinutes = 5;
    int maxUsers = 1000;
    QString requiredVersion = QStringLiteral("2.0b");
    int checkIntervalMs = 60000;

    int maxUtentiStanza = 20;
    int maxUtentiAudioStanza = 5;

    // Empty: one entry "Locale" pointing at this master itself.
    QList<MasterEntry> masters;

    // Kept for the rooms work; read and checked, not used yet.
    QString roomHostProgram = QStringLiteral("kalimo-roomhost");
    quint16 roomFirstUdpPort = 2302;
    quint16 roomLastUdpPort = 2401;
    QString roomClientAddress = QStringLiteral("127.0.0.1");
    quint16 roomHostLinkPort = 7071;
    QString roomHostLinkPassword;
    QList<PermanentRoom> permanentRooms;

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

// Reads an ini file; a missing `path` (empty) gives every default.
ConfigResult loadConfig(const QString& path);

// The master list as handed out: the configured one, or this master alone
// at the address and port it actually listens on.
QList<MasterEntry> effectiveMasterList(const MasterConfig& config, const QHostAddress& bound,
                                       quint16 boundPort);

} // namespace kalimo::master
