#pragma once

#include "platform/session/sessiontypes.h"

#include <QString>
#include <QStringList>

namespace kalimo::roomhost {

// Caps on what one member may make the room do; beyond them payloads wait
// or are dropped, so a flooding member cannot starve the others.
struct FloodLimits
{
    // Room messages: a burst of `controlBurst`, then `controlPerSecond`.
    int controlBurst = 20;
    int controlPerSecond = 10;
    // Voice frames of a floor holder (50 a second is a normal speaker).
    int voiceBurst = 100;
    int voicePerSecond = 120;
    // How often a talk state held back by the limit is retried.
    int retryMs = 100;
};

// Everything one room host needs to run its room. The defaults are the
// product's; tests inject short intervals.
struct RoomHostConfig
{
    QString name;
    qint16 maxUsers = 0;
    qint16 maxSpeakers = 0;
    QString password;
    bool permanent = false;
    bool multiple = false;
    quint16 port = 0;    // 0: any free port
    QString bindAddress; // empty: every IPv4 address

    // The master link; off when masterHost is empty.
    QString masterHost;
    quint16 masterPort = 0;
    QString serverPassword;
    // The link inside TLS (the masters' room-link TLS ports): the master's
    // certificate checked against the system's authorities, or, when a
    // SHA-256 fingerprint is given, against that alone.
    bool masterTls = false;
    QByteArray masterTlsSha256;
    // Only nicks with the master's ticket for this room (signed with
    // serverPassword) are admitted.
    bool requireTicket = false;
    QString identity; // last field of the identification
    // Further masters tried in turn when the link to one is lost.
    QList<std::pair<QString, quint16>> moreMasters;

    int firstJoinTimeoutMs = 60000;
    int reconnectMinMs = 1000;
    int reconnectMaxMs = 30000;
    session::SessionTimings timings;
    session::AdmissionLimits admission;
    FloodLimits flood;
};

struct ConfigResult
{
    RoomHostConfig config;
    QString error; // empty when the document is sound
};

// Reads a key=value document (blank lines and lines starting with # or ;
// are skipped; keys are case-insensitive; values are trimmed). Every key is
// checked: an unknown key or a bad value is an error naming its line.
ConfigResult parseConfig(const QString& document);

// The keys and their meaning, for --help and the README.
QString configHelp();

// Command line: the program first, as QCoreApplication::arguments() gives.
struct Options
{
    QString configPath; // empty or "-": standard input
    bool help = false;
    bool version = false;
    // Many rooms: room data after room data on standard input.
    bool pool = false;
    QString helpText;
    QString error;
};
Options parseOptions(const QStringList& arguments);

} // namespace kalimo::roomhost
