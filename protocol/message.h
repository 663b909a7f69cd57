#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace kalimo {

// One arrived message, decoded once: its code and its parameter block, whole
// and split at SEP3 (every part and field trimmed).
struct Message
{
    QString code;
    QString block;
    QStringList fields;

    // Five digits: the answer to a request; four: a notification.
    bool isReply() const { return code.size() == 5; }
    // Field `i`, or an empty text when there are fewer.
    QString field(qsizetype i) const;

    friend bool operator==(const Message&, const Message&) = default;
};

// The whole messages of arrived text (everything before the last SEP1) that
// have exactly the two parts code and block; any other piece is dropped.
QList<Message> decodeMessages(QStringView text);

namespace inroom {

// What a room host tells a member, with its fields by name.
struct Event
{
    enum class Kind {
        TalkRefused,
        MemberJoined,
        MemberLeft,
        Speaking,
        PublicText,
        PrivateText,
        OwnPrivateText,
        Invited,
        InviteAccepted,
        InviteRefused
    };
    Kind kind = Kind::TalkRefused;
    // The member who joined, left or wrote, the partner of a private line,
    // or the other side of an invitation.
    QString nick;
    // MemberJoined and Speaking.
    int id = 0;
    bool speaking = false;
    QString text;
};

// Nothing for an unknown code, or when a field the kind needs is missing or
// not what it should be (a member without nick, an id that is no number).
std::optional<Event> decodeEvent(const Message& message);

} // namespace inroom

} // namespace kalimo
