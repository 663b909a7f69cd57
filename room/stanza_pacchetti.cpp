#include "room/invio_sessione.h"
#include "room/stanza.h"

#include "protocol/codes.h"
#include "protocol/framing.h"

namespace kalimo {

bool Stanza::GestPacUtente(qint32 senderId, const QString& text, InvioSessione& sessione)
{
    // Id 0 addresses every player: it can never be a single sender.
    if (senderId == 0)
        return true;
    for (const QStringList& parts : splitMessages(text)) {
        // Looked up per message: a send may let the session drop the member.
        const int index = indicePerID(senderId);
        if (index == 0)
            return true;
        const Utente mittente = *m_utenti.at(index);
        if (!gestisciMessaggioUtente(senderId, mittente, parts, sessione))
            return false;
    }
    return true;
}

bool Stanza::gestisciMessaggioUtente(qint32 senderId, const Utente& mittente,
                                     const QStringList& parts, InvioSessione& sessione)
{
    if (parts.size() < 3)
        return true;
    const QString& code = parts.at(0);
    const QString& f2 = parts.at(2);
    // The sender is who the session says, whatever the message claims.
    const QString nick = stripControlCharacters(mittente.NickName);

    // Target of a relay by nick; 0 when it is not a member (never "everybody").
    const auto idMembro = [this](const QString& target) -> qint32 {
        const int index = indicePerNick(target);
        return index != 0 ? m_utenti.at(index)->IDUtente : 0;
    };

    if (code == inroom::request::TalkState) {
        const QString word = f2.toLower();
        if (word == u"true") {
            if (!UtenteParlante(mittente.NickName))
                return sessione.SendTo(
                    senderId, hostMessage(inroom::event::TalkRefused, {QStringLiteral("true")}));
        } else if (word == u"false") {
            UtenteMuto(mittente.NickName);
        } else {
            return true;
        }
        return sessione.SendTo(
            ID, hostMessage(inroom::event::Speaking, {QString::number(senderId), f2}));
    }
    if (code == inroom::request::PublicText) {
        QStringList fields = splitFields(f2);
        if (fields.size() < 2)
            return true;
        fields[0] = nick;
        return sessione.SendTo(ID, hostMessage(inroom::event::PublicText, fields));
    }
    if (code == inroom::request::PrivateText) {
        const QStringList fields = splitFields(f2);
        if (fields.size() < 3)
            return true;
        const QString& target = fields.at(1);
        const QString& riga = fields.at(2);
        const qint32 targetId = idMembro(target);
        if (targetId == 0)
            return true;
        if (!sessione.SendTo(targetId, hostMessage(inroom::event::PrivateText, {nick, riga})))
            return false;
        return sessione.SendTo(senderId,
                               hostMessage(inroom::event::OwnPrivateText, {target, riga}));
    }
    const QStringView inoltro =
        code == inroom::request::Invite         ? inroom::event::Invited
        : code == inroom::request::AcceptInvite ? inroom::event::InviteAccepted
        : code == inroom::request::RefuseInvite ? inroom::event::InviteRefused
                                                : QStringView();
    if (inoltro.isEmpty())
        return true;
    const qint32 targetId = idMembro(f2);
    if (targetId == 0)
        return true;
    return sessione.SendTo(targetId, hostMessage(inoltro, {nick}));
}

} // namespace kalimo
