#pragma once

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <optional>

// The byte formats of the room session. Every parser is a pure function
// that accepts any input and returns nothing for anything malformed.
namespace kalimo::session::wire {

constexpr int kChannelControl = 0; // reliable, in order: hello, welcome, room texts
constexpr int kChannelVoice = 1;   // unsequenced voice frames
constexpr int kChannelReport = 2;  // reliable: listeners' loss reports to a speaker
constexpr int kChannelCount = 3;

// Caps against hostile or broken peers.
constexpr qsizetype kMaxNameBytes = 128;
constexpr qsizetype kMaxPasswordBytes = 128;
constexpr qsizetype kMaxRoomNameBytes = 256;
constexpr qsizetype kMaxVoiceFrame = 4000;
constexpr qsizetype kMaxPayload = 64 * 1024;
constexpr qsizetype kMaxTicketBytes = 256;
// Queries are padded to this size, so that no answer need be larger than
// the query that drew it: a forged source gains nothing by reflection.
constexpr qsizetype kEnumQuerySize = 352;
constexpr qsizetype kMaxEnumQuerySize = 1024;
constexpr qsizetype kKeyBytes = 32;

struct EnumAnswer
{
    QUuid application;
    QString roomName;
    quint32 players = 0;
    quint32 maxPlayers = 0;
    // Proof that the asker receives at its address: its connect carries it.
    quint32 cookie = 0;
    // The host's public key, the same the room's listing carries.
    QByteArray hostKey;
    quint8 ciphers = 0; // what the host can seal with
};

// The hello as sent: the member's fresh public key, and the hello itself
// sealed under the keys of the exchange with the host's key.
struct SealedHello
{
    quint8 cipher = 0; // the member's choice among the host's
    QByteArray memberKey;
    QByteArray sealed;
};

struct Hello
{
    QUuid application;
    QString name;
    QString password;
    // The master's word that this nick may enter this room; may be empty.
    QString ticket;
};

struct VoiceFrame
{
    qint32 from = 0; // 0 on the client-to-host direction
    quint16 seq = 0;
    QByteArray frame;
};

// Raw datagrams seen by ENet's intercept hook.
bool looksLikeEnumeration(QByteArrayView datagram);
QByteArray enumQuery(const QUuid& application);
std::optional<QUuid> parseEnumQuery(QByteArrayView datagram);
// An answer of at most `maxBytes`: the room name is cut to fit; empty when
// even a nameless answer would be larger.
QByteArray enumAnswer(const EnumAnswer& answer, qsizetype maxBytes = kEnumQuerySize);
std::optional<EnumAnswer> parseEnumAnswer(QByteArrayView datagram);

// The first reliable packet of a client and the host's acceptance.
QByteArray hello(const Hello& hello);
std::optional<Hello> parseHello(QByteArrayView packet);
QByteArray sealedHello(const SealedHello& hello);
std::optional<SealedHello> parseSealedHello(QByteArrayView packet);
QByteArray welcome(qint32 playerId);
std::optional<qint32> parseWelcome(QByteArrayView packet);

// Voice: the client sends seq + frame; the host adds the speaker's id.
QByteArray clientVoice(quint16 seq, QByteArrayView frame);
std::optional<VoiceFrame> parseClientVoice(QByteArrayView packet);
QByteArray hostVoice(qint32 from, quint16 seq, QByteArrayView frame);
std::optional<VoiceFrame> parseHostVoice(QByteArrayView packet);

// How many of a speaker's frames a listener lost lately, in percent. The
// client names the speaker; the host puts the listener in its place.
struct LossReport
{
    qint32 player = 0;
    int lossPercent = 0;
};
QByteArray lossReport(const LossReport& report);
std::optional<LossReport> parseLossReport(QByteArrayView packet);

// A player name the room can use: valid UTF-8 (checked by the parser),
// not blank, no control characters, within its cap.
bool acceptablePlayerName(const QString& name);

} // namespace kalimo::session::wire
