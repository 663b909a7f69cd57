#include "protocol/message.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"

namespace kalimo {

QString Message::field(qsizetype i) const
{
    return fieldAt(fields, i);
}

QList<Message> decodeMessages(QStringView text)
{
    QList<Message> messages;
    for (const QStringList& parts : splitMessages(text)) {
        if (parts.size() == 2)
            messages.append({parts.at(0), parts.at(1), splitFields(parts.at(1))});
    }
    return messages;
}

namespace inroom {

std::optional<Event> decodeEvent(const Message& message)
{
    using K = Event::Kind;
    struct Entry
    {
        QStringView code;
        K kind;
    };
    static constexpr Entry kinds[] = {
        {event::TalkRefused, K::TalkRefused},       {event::MemberJoined, K::MemberJoined},
        {event::MemberLeft, K::MemberLeft},         {event::Speaking, K::Speaking},
        {event::PublicText, K::PublicText},         {event::PrivateText, K::PrivateText},
        {event::OwnPrivateText, K::OwnPrivateText}, {event::Invited, K::Invited},
        {event::InviteAccepted, K::InviteAccepted}, {event::InviteRefused, K::InviteRefused}};
    const Entry* found = nullptr;
    for (const Entry& e : kinds) {
        if (message.code == e.code)
            found = &e;
    }
    if (!found)
        return std::nullopt;

    Event ev;
    ev.kind = found->kind;
    switch (ev.kind) {
    case K::TalkRefused:
        return ev;
    case K::MemberJoined: {
        ev.nick = message.field(0);
        const std::optional<int> id = parseInt(message.field(1));
        if (ev.nick.isEmpty() || !id)
            return std::nullopt;
        ev.id = *id;
        return ev;
    }
    case K::Speaking: {
        const std::optional<int> id = parseInt(message.field(0));
        const QString state = message.field(1).toLower();
        if (!id || (state != u"true" && state != u"false"))
            return std::nullopt;
        ev.id = *id;
        ev.speaking = state == u"true";
        return ev;
    }
    case K::PublicText:
    case K::PrivateText:
    case K::OwnPrivateText:
        ev.nick = message.field(0);
        ev.text = message.field(1);
        return ev;
    case K::MemberLeft:
    case K::Invited:
    case K::InviteAccepted:
    case K::InviteRefused:
        ev.nick = message.field(0);
        if (ev.nick.isEmpty())
            return std::nullopt;
        return ev;
    }
    return std::nullopt;
}

} // namespace inroom

} // namespace kalimo
