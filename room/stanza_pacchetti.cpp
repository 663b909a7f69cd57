#include "room/invio_sessione.h"
#include "room/stanza.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/requests.h"

namespace kalimo {

bool Stanza::GestPacUtente(qint32 senderId, const QString& text, InvioSessione& sessione)
{
    return GestPacUtente(senderId, inroom::decodeRequests(text), sessione);
}

bool Stanza::GestPacUtente(qint32 senderId, const QList<inroom::Request>& richieste,
                           InvioSessione& sessione)
{
    // Id 0 addresses every player: it can never be a single sender.
    if (senderId == 0)
        return true;
    for (const inroom::Request& richiesta : richieste) {
        // Looked up per message: a send may let the session drop the member.
        const int index = indicePerID(senderId);
        if (index == 0)
            return true;
        const Utente mittente = *m_utenti.at(index);
        if (!gestisciMessaggioUtente(senderId, mittente, richiesta, sessione))
            return false;
    }
    return true;
}

bool Stanza::gestisciMessaggioUtente(qint32 senderId, const Utente& mittente,
                                     const inroom::Request& richiesta, InvioSessione& sessione)
{
    using K = inroom::Request::Kind;
    // The sender is who the session says, whatever the message claims.
    const QString nick = stripControlCharacters(mittente.NickName);
    // Target of a relay by nick; 0 when it is not a member (never "everybody").
    const int indiceTarget = indicePerNick(richiesta.target);
    const qint32 targetId = indiceTarget != 0 ? m_utenti.at(indiceTarget)->IDUtente : 0;

    switch (richiesta.kind) {
    case K::Ignored:
        return true;
    case K::TalkState:
        if (!richiesta.talk)
            UtenteMuto(mittente.NickName);
        else if (!UtenteParlante(mittente.NickName))
            return sessione.SendTo(
                senderId, hostMessage(inroom::event::TalkRefused, {QStringLiteral("true")}));
        return sessione.SendTo(
            ID, hostMessage(inroom::event::Speaking, {QString::number(senderId), richiesta.word}));
    case K::PublicText:
        return sessione.SendTo(ID, hostMessage(inroom::event::PublicText, {nick, richiesta.text}));
    case K::PrivateText:
        if (targetId == 0)
            return true;
        if (!sessione.SendTo(targetId,
                             hostMessage(inroom::event::PrivateText, {nick, richiesta.text})))
            return false;
        return sessione.SendTo(senderId, hostMessage(inroom::event::OwnPrivateText,
                                                     {richiesta.target, richiesta.text}));
    case K::Invite:
        return targetId == 0 ||
               sessione.SendTo(targetId, hostMessage(inroom::event::Invited, {nick}));
    case K::AcceptInvite:
        return targetId == 0 ||
               sessione.SendTo(targetId, hostMessage(inroom::event::InviteAccepted, {nick}));
    case K::RefuseInvite:
        return targetId == 0 ||
               sessione.SendTo(targetId, hostMessage(inroom::event::InviteRefused, {nick}));
    }
    return true;
}

} // namespace kalimo
