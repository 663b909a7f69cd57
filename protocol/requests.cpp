#include "protocol/requests.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"

namespace kalimo::master {

namespace {

template <typename Kind> struct CodeKind
{
    QStringView code;
    Kind kind;
};

template <typename Kind, std::size_t N>
Kind kindOf(QStringView code, const CodeKind<Kind> (&table)[N], Kind otherwise)
{
    for (const CodeKind<Kind>& e : table) {
        if (e.code == code)
            return e.kind;
    }
    return otherwise;
}

} // namespace

QString Request::param(qsizetype i) const
{
    return fieldAt(params, i);
}

std::optional<int> Request::number(qsizetype i) const
{
    return parseInt(param(i));
}

QList<Request> decodeRequests(QStringView text)
{
    using K = Request::Kind;
    static constexpr CodeKind<K> kinds[] = {{request::Login, K::Login},
                                            {request::RoomListCount, K::RoomListCount},
                                            {request::RoomCount, K::RoomCount},
                                            {request::RoomRecord, K::RoomRecord},
                                            {request::RoomPassword, K::RoomPassword},
                                            {request::RoomTicket, K::RoomTicket},
                                            {request::CreateRoom, K::CreateRoom},
                                            {request::MasterCount, K::MasterCount},
                                            {request::MasterRecord, K::MasterRecord},
                                            {request::Register, K::Register},
                                            {request::Limits, K::Limits},
                                            {request::Presence, K::Presence},
                                            {request::PrivateText, K::PrivateText},
                                            {request::CheckAnswer, K::CheckAnswer}};
    QList<Request> requests;
    for (const QStringList& parts : splitMessages(text)) {
        Request r;
        r.code = parts.at(0);
        r.parts = parts.size();
        if (parts.size() == 3) {
            r.kind = kindOf(r.code, kinds, K::Unknown);
            r.nick = parts.at(1);
            r.params = splitFields(parts.at(2));
            if (r.params.size() == 1 && r.params.first() == u"No Parametri")
                r.params.clear();
        }
        requests.append(r);
    }
    return requests;
}

std::optional<RoomCreation> decodeRoomCreation(const Request& request)
{
    if (request.kind != Request::Kind::CreateRoom || request.params.size() < 4)
        return std::nullopt;
    return RoomCreation{request.param(0), request.number(1), request.number(2), request.param(3),
                        stripControlCharacters(request.param(4))};
}

namespace roomlink {

namespace {

HostMessage::Kind hostKind(const QStringList& parts)
{
    using K = HostMessage::Kind;
    static constexpr CodeKind<K> reports[] = {{MemberJoined, K::MemberJoined},
                                              {MemberLeft, K::MemberLeft},
                                              {MemberSpeaks, K::MemberSpeaks},
                                              {MemberSilent, K::MemberSilent}};
    if (parts.at(0) == Identify && parts.size() == 3)
        return K::Identify;
    if (parts.size() == 2)
        return kindOf(parts.at(0), reports, K::Unexpected);
    return K::Unexpected;
}

Identification identification(const QStringList& f)
{
    Identification id;
    id.nome = f.at(0);
    id.maxUsers = parseInt(f.at(1)).value_or(0);
    id.maxSpeakers = parseInt(f.at(2)).value_or(0);
    id.permanent = parseFlagWord(f.at(3));
    id.roomPassword = f.at(4);
    id.serverPassword = f.at(5);
    id.port = parseInt(f.at(7));
    id.identity = f.at(8);
    id.hostKey = f.value(9).left(64);
    return id;
}

} // namespace

QList<HostMessage> decodeHostMessages(QStringView text)
{
    using K = HostMessage::Kind;
    QList<HostMessage> messages;
    for (const QStringList& parts : splitMessages(text)) {
        HostMessage m;
        m.code = parts.at(0);
        m.parts = parts.size();
        m.kind = hostKind(parts);
        const QStringList fields =
            m.kind == K::Unexpected ? QStringList() : splitFields(parts.last());
        m.fieldCount = fields.size();
        if (m.kind == K::Identify) {
            if (fields.size() == 9 || fields.size() == 10)
                m.identification = identification(fields);
            else
                m.kind = K::BadIdentify;
        } else if (m.isReport()) {
            // A joined member is reported with room; id; nick; address; speaking.
            m.nick = fieldAt(fields, m.kind == K::MemberJoined ? 2 : 1);
        }
        messages.append(m);
    }
    return messages;
}

QList<MasterMessage> decodeMasterMessages(QStringView text)
{
    using K = MasterMessage::Kind;
    QList<MasterMessage> messages;
    for (const QStringList& parts : splitMessages(text)) {
        if (parts.size() < 2)
            continue;
        MasterMessage m;
        m.code = parts.at(0);
        if (parts.size() == 3) {
            m.number = parseInt(parts.at(1)).value_or(0);
            m.block = parts.at(2);
        } else {
            m.block = parts.at(1);
        }
        m.kind = m.code.size() == 5 ? K::Reply : m.code == EndRoom ? K::EndRoom : K::Other;
        messages.append(m);
    }
    return messages;
}

QString identificationMessage(int counter, const QStringList& fields)
{
    return senderMessage(Identify, QString::number(counter), parameterBlock(fields));
}

} // namespace roomlink

} // namespace kalimo::master

namespace kalimo::inroom {

namespace {

// The fields a request needs, or Ignored.
void decodeFields(Request& r, const QString& block)
{
    using K = Request::Kind;
    switch (r.kind) {
    case K::TalkState: {
        const QString word = block.toLower();
        r.word = block;
        r.talk = word == u"true";
        if (!r.talk && word != u"false")
            r.kind = K::Ignored;
        return;
    }
    case K::PublicText: {
        const QStringList fields = splitFields(block);
        if (fields.size() < 2)
            r.kind = K::Ignored;
        else
            r.text = joinFields(fields.mid(1));
        return;
    }
    case K::PrivateText: {
        const QStringList fields = splitFields(block);
        if (fields.size() < 3)
            r.kind = K::Ignored;
        r.target = fieldAt(fields, 1);
        r.text = fieldAt(fields, 2);
        return;
    }
    case K::Invite:
    case K::AcceptInvite:
    case K::RefuseInvite:
        r.target = block;
        return;
    case K::Ignored:
        return;
    }
}

} // namespace

QList<Request> decodeRequests(QStringView text)
{
    using K = Request::Kind;
    QList<Request> requests;
    for (const QStringList& parts : splitMessages(text)) {
        Request r;
        if (parts.size() >= 3) {
            const QString& code = parts.at(0);
            r.kind = code == request::TalkState      ? K::TalkState
                     : code == request::PublicText   ? K::PublicText
                     : code == request::PrivateText  ? K::PrivateText
                     : code == request::Invite       ? K::Invite
                     : code == request::AcceptInvite ? K::AcceptInvite
                     : code == request::RefuseInvite ? K::RefuseInvite
                                                     : K::Ignored;
            decodeFields(r, parts.at(2));
        }
        requests.append(r);
    }
    return requests;
}

} // namespace kalimo::inroom
