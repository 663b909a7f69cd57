// Private texts from the master, the chat windows they go to, and the two
// sub-protocols that ride inside them: private-room invitations and
// contact-list requests.

#include "lobby/frmchat2.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/separators.h"

#include <QTimer>

#include <algorithm>

namespace kalimo::lobby {

namespace {

// Distinct partners with a question waiting; more than this is a flood.
constexpr qsizetype kMassimoDomandeInAttesa = 32;

bool contieneUno(QStringView testo, std::initializer_list<QChar> marche)
{
    return std::any_of(marche.begin(), marche.end(),
                       [testo](QChar c) { return testo.contains(c); });
}

// A nick fit for the contact list and its one-nick-a-line file.
bool nickValido(const QString& nick)
{
    return !nick.isEmpty() && !hasControlCharacter(nick);
}

} // namespace

bool Module1::ContieneMarcheInvito(QStringView testo)
{
    return contieneUno(testo, {kalimo::SEP4, kalimo::SEP5, kalimo::SEP6});
}

bool Module1::ContieneMarcheContactList(QStringView testo)
{
    return contieneUno(testo, {kalimo::SEP7, kalimo::SEP8, kalimo::SEP9});
}

frmChat2* Module1::FinestraChat(int indice) const
{
    if (indice < 1 || indice > FinestreChat.UBound())
        return nullptr;
    return qobject_cast<frmChat2*>(FinestreChat[indice].data());
}

int Module1::NuovaFinestraChat(const QString& partner)
{
    auto* finestra = new frmChat2(*this);
    finestra->SetTarget(partner);
    return FinestreChat.aggiungi(finestra);
}

void Module1::MostraMessaggioChat(const QString& partner, const QString& testo, bool DaPartner,
                                  bool DiSistema)
{
    // Without a partner there is no conversation to put the text in.
    if (partner.isEmpty())
        return;

    if (ContieneMarcheContactList(testo))
        return GestisciRichiestaContactList(testo, partner);

    // The same line whether the window existed or not: an echo of the
    // user's own text never shows under the partner's nick.
    QString riga;
    if (DiSistema)
        riga = tr("<System Message> ") + testo;
    else if (DaPartner)
        riga = u'<' + partner + QStringLiteral("> ") + testo;
    else
        riga = u'<' + UtenteCorrente.NickName + QStringLiteral("> ") + testo;

    for (int i = 1; i <= FinestreChat.UBound(); ++i) {
        frmChat2* finestra = FinestraChat(i);
        if (!finestra || finestra->SetTarget() != partner)
            continue;
        if (finestra->UtenteIgnorato)
            return;
        if (ContieneMarcheInvito(testo))
            return GestisciInvito(testo, partner, i);
        finestra->show();
        finestra->AggiungiRiga(riga);
        return;
    }

    const int indice = NuovaFinestraChat(partner);
    FinestraChat(indice)->show();
    if (ContieneMarcheInvito(testo))
        return GestisciInvito(testo, partner, indice);
    FinestraChat(indice)->AggiungiRiga(riga);
}

namespace {

// The questions of the two sub-protocols travel as these Italian words (the
// sender's nick between them), whatever the sender's language.
const QString kApertura = QStringLiteral(" L'utente ");
const QString kChiusura = QStringLiteral("\r Vuoi accettare la richiesta? ");
const QString kFraseInvito = QStringLiteral(" ti ha invitato in una stanza privata.");
const QString kFraseContactList =
    QStringLiteral(" ti vuole aggiungere nella propria contact list.");

// A question as received, in the user's language when it is one of ours.
QString domandaLeggibile(const QString& ricevuta, const QString& frase)
{
    if (!ricevuta.startsWith(kApertura) || !ricevuta.endsWith(frase + kChiusura))
        return ricevuta;
    const QString nick = ricevuta.mid(kApertura.size(), ricevuta.size() - kApertura.size() -
                                                            frase.size() - kChiusura.size());
    return frase == kFraseInvito
               ? Module1::tr(" L'utente %1 ti ha invitato in una stanza privata.\r Vuoi "
                             "accettare la richiesta? ")
                     .arg(nick)
               : Module1::tr(" L'utente %1 ti vuole aggiungere nella propria contact list.\r "
                             "Vuoi accettare la richiesta? ")
                     .arg(nick);
}

} // namespace

void Module1::GestisciInvito(const QString& testo, const QString& partner, int indice)
{
    if (testo.contains(kalimo::SEP4))
        chiediDomanda({TipoDomanda::Invito, partner, domandaLeggibile(testo.mid(1), kFraseInvito)});

    if (testo.contains(kalimo::SEP5)) {
        // An acceptance nobody asked for must not start a room (and close
        // the user's voice client): only a partner we invited counts.
        if (m_invitiInAttesa.removeAll(partner) > 0) {
            if (frmChat2* finestra = FinestraChat(indice))
                finestra->AggiungiRiga(
                    tr("<System Message> La richiesta di invito è stata accettata. Sono in corso "
                       "le procedure di creazione della nuova stanza.... "));
            AvviaProcedurePerStanzaPrivata(partner);
            for (int i = 1; i <= FinestreChat.UBound(); ++i) {
                if (frmChat2* finestra = FinestraChat(i)) {
                    finestra->close();
                    finestra->deleteLater();
                }
            }
            if (frmListaUtenti* lista = FrmListaUtentiEsistente())
                lista->close();
        }
    }

    if (testo.contains(kalimo::SEP6)) {
        m_invitiInAttesa.removeAll(partner);
        if (frmChat2* finestra = FinestraChat(indice))
            finestra->AggiungiRiga(
                tr("<System Message> La richiesta di invito è stata rifiutata "));
    }
}

void Module1::GestisciRichiestaContactList(const QString& testo, const QString& partner)
{
    if (testo.contains(kalimo::SEP7))
        chiediDomanda(
            {TipoDomanda::ContactList, partner, domandaLeggibile(testo.mid(1), kFraseContactList)});

    // An answer counts only from a partner we asked: a forged acceptance
    // would put anybody in the list.
    const bool chiesta = (testo.contains(kalimo::SEP8) || testo.contains(kalimo::SEP9)) &&
                         m_richiesteContactListInAttesa.removeAll(partner) > 0;
    if (!chiesta)
        return;

    if (testo.contains(kalimo::SEP8)) {
        chiediDomanda({TipoDomanda::Avviso, partner, tr("L'utente ha accettato la richiesta")});
        const QString nick = partner.trimmed();
        // A second acceptance, or one from an unusable nick, adds nothing:
        // the list and its file keep one line per contact.
        if (nickValido(nick) && !EstInContactList(nick)) {
            const int indice = ContactList.aggiungi({nick, kVero});
            if (frmListaUtenti* lista = FrmListaUtentiEsistente())
                lista->AggiungiCT(indice);
            SalvaContactList(ContactList, indice, false);
        }
    }

    if (testo.contains(kalimo::SEP9))
        chiediDomanda({TipoDomanda::Avviso, partner, tr("L'utente ha rifiutato la richiesta")});
}

void Module1::chiediDomanda(const DomandaInAttesa& domanda)
{
    const auto uguale = [&domanda](const DomandaInAttesa& d) {
        return d.tipo == domanda.tipo && d.partner == domanda.partner && d.testo == domanda.testo;
    };
    if (m_domandaAperta) {
        const bool doppia =
            uguale(m_domandaCorrente) ||
            std::any_of(m_domandeInAttesa.cbegin(), m_domandeInAttesa.cend(), uguale);
        if (!doppia && m_domandeInAttesa.size() < kMassimoDomandeInAttesa)
            m_domandeInAttesa.append(domanda);
        return;
    }

    m_domandaAperta = true;
    m_domandaCorrente = domanda;
    // The boxes open once the master's arrival handler has returned: while
    // it runs Qt reads nothing more from that socket, so the master's checks
    // would go unanswered for as long as a box stayed open.
    QTimer::singleShot(0, &m_contestoDomande, [this] { rispondiDomandeInAttesa(); });
}

void Module1::rispondiDomandeInAttesa()
{
    for (;;) {
        rispondiDomanda(m_domandaCorrente);
        if (m_terminato || m_domandeInAttesa.isEmpty())
            break;
        m_domandaCorrente = m_domandeInAttesa.takeFirst();
    }
    m_domandeInAttesa.clear();
    m_domandaAperta = false;
}

void Module1::rispondiDomanda(const DomandaInAttesa& domanda)
{
    QString risposta;
    switch (domanda.tipo) {
    case TipoDomanda::Avviso:
        dialoghi().messaggio(domanda.testo, tr("Kalimo 2.0b"), Icona::Informazione, Pulsanti::Ok);
        return;
    case TipoDomanda::ContactList: {
        const bool si = dialoghi().messaggio(domanda.testo, tr("Inserimento in Contact List"),
                                             Icona::Domanda, Pulsanti::SiNo) == Risposta::Si;
        if (!m_terminato)
            InviaMessaggioContactList(domanda.partner, risposta, false, si, !si);
        return;
    }
    case TipoDomanda::Invito: {
        const bool si = dialoghi().messaggio(domanda.testo, tr("Invito in chat privata"),
                                             Icona::Domanda, Pulsanti::SiNo) == Risposta::Si;
        if (m_terminato)
            return;
        InviaMessaggioInvito(domanda.partner, risposta, false, si, !si);
        if (si)
            AvviaProcedureRicezioneDati();
        return;
    }
    }
}

namespace {

// The text of one sub-protocol step: the question (marker, own nick and
// `frase`), its acceptance, its refusal; with no step, the user's own text.
// These are wire texts: the same in every language of the windows.
QString testoPasso(const QString& testo, const QString& nick, const QChar (&marche)[3],
                   const QString& frase, bool chiedi, bool accetta, bool rifiuta)
{
    if (chiedi)
        return marche[0] + kApertura + stripControlCharacters(nick) + frase + kChiusura;
    if (accetta)
        return marche[1] + QStringLiteral(" ACCETTO ");
    if (rifiuta)
        return marche[2] + QStringLiteral(" NON ACCETTO");
    return stripControlCharacters(testo);
}

} // namespace

bool Module1::InviaMessaggioInvito(const QString& destinatario, QString& testo, bool Invita,
                                   bool Accetta, bool Rifiuta)
{
    static const QChar marche[3] = {kalimo::SEP4, kalimo::SEP5, kalimo::SEP6};
    testo =
        testoPasso(testo, UtenteCorrente.NickName, marche, kFraseInvito, Invita, Accetta, Rifiuta);
    const QString partner = stripControlCharacters(destinatario);
    const bool inviato = inviaTestoPrivato(partner, testo);
    if (inviato && Invita && !m_invitiInAttesa.contains(partner))
        m_invitiInAttesa.append(partner);
    return inviato;
}

bool Module1::InviaMessaggioContactList(const QString& destinatario, QString& testo, bool Richiedi,
                                        bool Accetta, bool Rifiuta)
{
    static const QChar marche[3] = {kalimo::SEP7, kalimo::SEP8, kalimo::SEP9};
    testo = testoPasso(testo, UtenteCorrente.NickName, marche, kFraseContactList, Richiedi, Accetta,
                       Rifiuta);
    const QString partner = stripControlCharacters(destinatario);
    const bool inviato = inviaTestoPrivato(partner, testo);
    if (inviato && Richiedi && !m_richiesteContactListInAttesa.contains(partner))
        m_richiesteContactListInAttesa.append(partner);
    return inviato;
}

bool Module1::inviaTestoPrivato(const QString& destinatario, const QString& testo)
{
    // Built here rather than through the request cycle: that one strips the
    // markers, and no reply is awaited.
    return InviaAlMaster(masterRequest(master::request::PrivateText,
                                       stripControlCharacters(UtenteCorrente.NickName),
                                       {destinatario, testo}));
}

} // namespace kalimo::lobby
