#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What servers receive, decoded once per whole piece of arrived text (the
// text before the last SEP1). Every piece gives one value, a malformed one
// too, so a server can count what it ignores.

namespace kalimo::master {

// A lobby's request.
struct Request
{
    enum class Kind {
        Malformed, // not code, nick and block
        Unknown,
        Login,
        RoomListCount,
        RoomCount,
        RoomRecord,
        RoomPassword,
        RoomTicket,
        CreateRoom,
        MasterCount,
        MasterRecord,
        Register,
        Limits,
        Presence,
        PrivateText,
        CheckAnswer
    };
    Kind kind = Kind::Malformed;
    QString code;
    qsizetype parts = 0;
    // The nick written in the request, never trusted as its sender.
    QString nick;
    // " No Parametri " gives none.
    QStringList params;

    QString param(qsizetype i) const;
    std::optional<int> number(qsizetype i) const;
};

QList<Request> decodeRequests(QStringView text);

// The fields of a room creation: name; max users; max speakers; password
// [; invited nick]. Nothing with fewer than four.
struct RoomCreation
{
    QString nome;
    std::optional<int> maxUsers;
    std::optional<int> maxSpeakers;
    QString password;
    // Empty for a public room; the framing's characters removed.
    QString invited;
};
std::optional<RoomCreation> decodeRoomCreation(const Request& request);

namespace roomlink {

// What a room host identifies its room with.
struct Identification
{
    QString nome;
    int maxUsers = 0;
    int maxSpeakers = 0;
    bool permanent = false;
    QString roomPassword;
    QString serverPassword;
    std::optional<int> port;
    // The identification's ninth field, `Chi`.
    QString identity;
    // A tenth, in hex: the room's session key, which members check it by.
    QString hostKey;
};

// What a room host sends the master.
struct HostMessage
{
    enum class Kind {
        Identify,
        BadIdentify, // an identification without its nine (or ten) fields
        MemberJoined,
        MemberLeft,
        MemberSpeaks,
        MemberSilent,
        Unexpected
    };
    Kind kind = Kind::Unexpected;
    QString code;
    qsizetype parts = 0;
    qsizetype fieldCount = 0;
    Identification identification;
    // The member of a report.
    QString nick;

    bool isReport() const { return kind >= Kind::MemberJoined && kind <= Kind::MemberSilent; }
};
QList<HostMessage> decodeHostMessages(QStringView text);

// What the master sends a room host: a reply (five digits) to what the host
// sent, or the order to end the room.
struct MasterMessage
{
    enum class Kind { Reply, EndRoom, Other };
    Kind kind = Kind::Other;
    QString code;
    QString block;
    // The middle part of a three-part message, 0 when it is no number.
    std::optional<int> number;
};
// Pieces without a parameter part are dropped.
QList<MasterMessage> decodeMasterMessages(QStringView text);

// The identification with its nine fields, sent with counter `counter`.
QString identificationMessage(int counter, const QStringList& fields);

} // namespace roomlink

} // namespace kalimo::master

namespace kalimo::inroom {

// What a member asks of its room host.
struct Request
{
    enum class Kind {
        Ignored,
        TalkState,
        PublicText,
        PrivateText,
        Invite,
        AcceptInvite,
        RefuseInvite
    };
    Kind kind = Kind::Ignored;
    // TalkState: the state asked for, and its word as written.
    bool talk = false;
    QString word;
    // The member a private line or an invitation goes to.
    QString target;
    // A text, with whatever further fields came after it.
    QString text;
};

// Unknown codes, pieces without code, sender and block, and requests missing
// what they need give Ignored.
QList<Request> decodeRequests(QStringView text);

} // namespace kalimo::inroom
