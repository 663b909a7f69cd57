#include "servers/roomhost/roomconfig.h"

#include "protocol/framing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSet>

#include <functional>
#include <limits>
#include <optional>

namespace kalimo::roomhost {

using namespace Qt::StringLiterals;

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("kalimo-roomhost", text);
}

std::optional<qint64> number(const QString& value, qint64 lowest, qint64 highest)
{
    bool ok = false;
    const qint64 n = value.toLongLong(&ok, 10);
    if (!ok || n < lowest || n > highest)
        return std::nullopt;
    return n;
}

std::optional<bool> flag(const QString& value)
{
    const QString v = value.toLower();
    if (v == u"true" || v == u"yes" || v == u"on" || v == u"1")
        return true;
    if (v == u"false" || v == u"no" || v == u"off" || v == u"0")
        return false;
    return std::nullopt;
}

bool hasControl(const QString& text)
{
    return hasControlCharacter(text);
}

// One key of the document: how it is read, and its line in the help.
struct Key
{
    const char* name;
    const char* help;
    // Stores the value; an empty result means it was accepted.
    std::function<QString(RoomHostConfig&, const QString&)> store;
};

constexpr qint64 kMostPlayers = 4094; // the session's own ceiling
constexpr qint64 kLongest = std::numeric_limits<int>::max();

using Store = std::function<QString(RoomHostConfig&, const QString&)>;

template <typename T> Store rangeKey(T& (*field)(RoomHostConfig&), qint64 lowest, qint64 highest)
{
    return [=](RoomHostConfig& c, const QString& v) -> QString {
        const auto n = number(v, lowest, highest);
        if (!n)
            return tr("expected a whole number from %1 to %2").arg(lowest).arg(highest);
        field(c) = static_cast<T>(*n);
        return {};
    };
}

Store intervalKey(int& (*field)(RoomHostConfig&))
{
    return rangeKey(field, 1, kLongest);
}

Store flagKey(bool& (*field)(RoomHostConfig&))
{
    return [=](RoomHostConfig& c, const QString& v) -> QString {
        const auto b = flag(v);
        if (!b)
            return tr("expected true or false");
        field(c) = *b;
        return {};
    };
}

// Texts that travel in the room's messages cannot hold control characters.
Store textKey(QString& (*field)(RoomHostConfig&))
{
    return [=](RoomHostConfig& c, const QString& v) -> QString {
        if (hasControl(v))
            return tr("control characters are not allowed");
        field(c) = v;
        return {};
    };
}

Store mastersKey()
{
    return [](RoomHostConfig& c, const QString& v) -> QString {
        c.moreMasters.clear();
        for (const QString& entry : v.split(u',', Qt::SkipEmptyParts)) {
            const QString e = entry.trimmed();
            const qsizetype colon = e.lastIndexOf(u':');
            bool ok = false;
            const uint port = colon > 0 ? e.mid(colon + 1).toUInt(&ok) : 0;
            if (!ok || port < 1 || port > 65535 || hasControl(e))
                return tr("expected host:port, host:port, ...");
            c.moreMasters.append({e.left(colon), quint16(port)});
        }
        return {};
    };
}

Store fingerprintKey()
{
    return [](RoomHostConfig& c, const QString& v) -> QString {
        QString hex = v;
        hex.remove(u':');
        const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
        if (hex.size() != 64 || bytes.toHex() != hex.toLower().toLatin1())
            return tr("expected 64 hex digits");
        c.masterTlsSha256 = bytes;
        return {};
    };
}

Store bindKey()
{
    return [](RoomHostConfig& c, const QString& v) -> QString {
        QHostAddress a;
        if (!a.setAddress(v) || a.protocol() != QAbstractSocket::IPv4Protocol)
            return tr("expected an IPv4 address");
        c.bindAddress = v;
        return {};
    };
}

#define KALIMO_FIELD(type, member) +[](RoomHostConfig& c) -> type& { return c.member; }

// What the room is.
std::vector<Key> roomKeys()
{
    return {
        {"name", QT_TRANSLATE_NOOP("kalimo-roomhost", "room name (required)"),
         textKey(KALIMO_FIELD(QString, name))},
        {"max_users",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "most members at once, 1..4094 (required)"),
         rangeKey(KALIMO_FIELD(qint16, maxUsers), 1, kMostPlayers)},
        {"max_speakers",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "most members holding the floor at once (default 1)"),
         rangeKey(KALIMO_FIELD(qint16, maxSpeakers), 0, std::numeric_limits<qint16>::max())},
        {"password",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "room password members must give (default none)"),
         textKey(KALIMO_FIELD(QString, password))},
        {"permanent",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "true: the room stays when it empties (default false)"),
         flagKey(KALIMO_FIELD(bool, permanent))},
        {"multiple",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "multiple-room flag reported to the master (default false)"),
         flagKey(KALIMO_FIELD(bool, multiple))},
        {"port",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "UDP port of the room, 0 = any free port (default 0)"),
         rangeKey(KALIMO_FIELD(quint16, port), 0, 65535)},
    };
}

// Where the room listens and whom it reports to.
std::vector<Key> linkKeys()
{
    return {
        {"bind",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "IPv4 address to listen on (default every address)"),
         bindKey()},
        {"master_host",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "master to report to; empty: no link (default)"),
         textKey(KALIMO_FIELD(QString, masterHost))},
        {"master_port", QT_TRANSLATE_NOOP("kalimo-roomhost", "TCP port of the master's room link"),
         rangeKey(KALIMO_FIELD(quint16, masterPort), 1, 65535)},
        {"more_masters",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "further masters host:port, comma-separated, tried in turn when the "
                           "link is lost (default none)"),
         mastersKey()},
        {"server_password",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "password of the master's room link"),
         textKey(KALIMO_FIELD(QString, serverPassword))},
        {"master_tls",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "true: the link goes inside TLS, to the masters' room-link TLS "
                           "ports (default false; needed from another machine)"),
         flagKey(KALIMO_FIELD(bool, masterTls))},
        {"master_tls_sha256",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "SHA-256 fingerprint of the masters' certificate, checked instead "
                           "of the system's authorities (default none)"),
         fingerprintKey()},
        {"require_ticket",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "true: only nicks with the master's ticket for this room, signed "
                           "with server_password, get in (default false)"),
         flagKey(KALIMO_FIELD(bool, requireTicket))},
        {"identity",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "last field of the identification sent to the master"),
         textKey(KALIMO_FIELD(QString, identity))},
    };
}

std::vector<Key> timingKeys()
{
    return {
        {"first_join_timeout_ms",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "a new room nobody joins ends after this (default 60000)"),
         intervalKey(KALIMO_FIELD(int, firstJoinTimeoutMs))},
        {"reconnect_min_ms",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "first wait before linking to the master again (default 1000)"),
         intervalKey(KALIMO_FIELD(int, reconnectMinMs))},
        {"reconnect_max_ms",
         QT_TRANSLATE_NOOP("kalimo-roomhost", "longest wait before linking again (default 30000)"),
         intervalKey(KALIMO_FIELD(int, reconnectMaxMs))},
        {"dead_peer_ms",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "a member that stops answering leaves after this (default 9000)"),
         intervalKey(KALIMO_FIELD(int, timings.deadPeerMs))},
        {"hello_ms",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "a connection must introduce itself within this (default 2000)"),
         intervalKey(KALIMO_FIELD(int, timings.helloMs))},
    };
}

// How much a source or a member may ask of the room.
std::vector<Key> brakeKeys()
{
    return {
        {"half_open_per_source",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "connect attempts one address may have under way (default 4)"),
         rangeKey(KALIMO_FIELD(int, admission.halfOpenPerSource), 1, 4094)},
        {"half_open_total",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "connect attempts under way in all, beside the members (default 32)"),
         rangeKey(KALIMO_FIELD(int, admission.halfOpenTotal), 1, 4094)},
        {"control_burst",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "room messages a member may send at once (default 20)"),
         rangeKey(KALIMO_FIELD(int, flood.controlBurst), 1, 1000000)},
        {"control_per_second",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "room messages a member may send a second (default 10)"),
         rangeKey(KALIMO_FIELD(int, flood.controlPerSecond), 1, 1000000)},
        {"voice_burst",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "voice frames a speaker may send at once (default 100)"),
         rangeKey(KALIMO_FIELD(int, flood.voiceBurst), 1, 1000000)},
        {"voice_per_second",
         QT_TRANSLATE_NOOP("kalimo-roomhost",
                           "voice frames a speaker may send a second (default 120)"),
         rangeKey(KALIMO_FIELD(int, flood.voicePerSecond), 1, 1000000)},
    };
}

const std::vector<Key>& keys()
{
    static const std::vector<Key> all = [] {
        std::vector<Key> k;
        for (std::vector<Key> (*group)() : {roomKeys, linkKeys, timingKeys, brakeKeys}) {
            const std::vector<Key> g = group();
            k.insert(k.end(), g.begin(), g.end());
        }
        return k;
    }();
    return all;
}

#undef KALIMO_FIELD

} // namespace

ConfigResult parseConfig(const QString& document)
{
    ConfigResult result;
    RoomHostConfig& c = result.config;
    c.maxSpeakers = 1;
    QSet<QString> seen;
    const QStringList lines = document.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        const auto fail = [&](const QString& why) {
            result.error = tr("line %1: %2").arg(i + 1).arg(why);
            return result;
        };
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            return fail(tr("expected key=value"));
        const QString key = line.left(eq).trimmed().toLower();
        const QString value = line.mid(eq + 1).trimmed();
        const Key* found = nullptr;
        for (const Key& k : keys()) {
            if (key == QLatin1StringView(k.name))
                found = &k;
        }
        if (!found)
            return fail(tr("unknown key %1").arg(key));
        if (seen.contains(key))
            return fail(tr("%1 is given twice").arg(key));
        seen.insert(key);
        const QString why = found->store(c, value);
        if (!why.isEmpty())
            return fail(tr("%1: %2").arg(key, why));
    }
    if (c.name.trimmed().isEmpty())
        result.error = tr("the room needs a name");
    else if (!seen.contains(u"max_users"_s))
        result.error = tr("max_users is required");
    else if (!c.masterHost.isEmpty() && c.masterPort == 0)
        result.error = tr("master_host needs master_port");
    else if (!c.masterTlsSha256.isEmpty() && !c.masterTls)
        result.error = tr("master_tls_sha256 needs master_tls=true");
    else if (c.reconnectMaxMs < c.reconnectMinMs)
        result.error = tr("reconnect_max_ms is shorter than reconnect_min_ms");
    return result;
}

} // namespace kalimo::roomhost

namespace kalimo::roomhost {

QString configHelp()
{
    QString text = tr("Room data (key=value lines, # comments):") + u'\n';
    for (const Key& k : keys())
        text += u"  %1  %2\n"_s.arg(QLatin1StringView(k.name), -22).arg(tr(k.help));
    return text;
}

Options parseOptions(const QStringList& arguments)
{
    Options o;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Hosts one Kalimo room: its voice session, its members' messages and its report "
           "to the master.\nThe room data is read from the file given with --config, or from "
           "standard input until it ends; passwords never go on the command line."));
    const QCommandLineOption config(QStringList{u"c"_s, u"config"_s},
                                    tr("Read the room data from <file> (- for standard input)."),
                                    tr("file"));
    parser.addOption(config);
    const QCommandLineOption pool(
        u"rooms"_s, tr("Carry many rooms: room data after room data on standard input, each "
                       "ended by a line holding only \".\"."));
    parser.addOption(pool);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    o.helpText = parser.helpText() + u'\n' + configHelp();
    if (!parser.parse(arguments)) {
        o.error = parser.errorText();
        return o;
    }
    if (!parser.positionalArguments().isEmpty()) {
        o.error = tr("unexpected argument %1").arg(parser.positionalArguments().first());
        return o;
    }
    o.help = parser.isSet(help);
    o.version = parser.isSet(version);
    o.configPath = parser.value(config);
    o.pool = parser.isSet(pool);
    return o;
}

} // namespace kalimo::roomhost
