// Starting the voice client, and the private-room procedures its voice link
// (and an accepted private-chat invitation) ask for.

#include "lobby/frmclient.h"
#include "lobby/frmlistastanze.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"

#include <QCoreApplication>

namespace kalimo::lobby {

namespace {

const QString kProgrammaVoce = QStringLiteral("voice");

void informa(Module1& m, const QString& testo)
{
    m.dialoghi().messaggio(testo, Module1::tr("Kalimo 2.0b"), Icona::Informazione, Pulsanti::Ok);
}

void datiIncompleti(Module1& m)
{
    informa(m, Module1::tr("I dati della stanza ricevuti dal master sono incompleti: impossibile "
                           "entrare nella stanza"));
}

// The common part after a private room's "00071": address, port, name, password.
void entraInStanzaPrivata(Module1& m, const QStringList& campi)
{
    Attesa::Pausa(m.intervalli().pausaDatiStanza);
    if (m.programmaTerminato())
        return;
    if (campi.size() < 4)
        return datiIncompleti(m);
    Stanza& stanza = m.StanzaCorrente();
    stanza.Nome = campi.at(2);
    stanza.MaxUtenti = 2;
    stanza.MaxUtentiAudio = 2;
    stanza.IPStanza = campi.at(0);
    stanza.PortaUtenti = campi.at(1);
    stanza.Password = campi.at(3);
    if (m.AvviaVoice(true)) {
        if (frmListaStanze* lista = m.FrmListaStanzeEsistente())
            lista->hide();
    }
}

} // namespace

QString Module1::ArgomentiVoice()
{
    const Stanza& s = StanzaCorrente();
    // A "+" would split the address: no banner rather than a broken line.
    const QString banner = IndirizzoBanner.contains(u'+') ? QString() : IndirizzoBanner;
    return QStringList{s.IPStanza,
                       QString::number(s.MaxUtenti),
                       QString::number(s.MaxUtentiAudio),
                       s.Nome,
                       s.Password,
                       s.PortaUtenti,
                       UtenteCorrente.NickName,
                       UtenteCorrente.IPAddress,
                       QCoreApplication::applicationName(),
                       banner,
                       QString::number(MinutiRefreshBanner)}
        .join(QStringLiteral(" + "));
}

bool Module1::AvviaVoice(bool chiudiCollegamento)
{
    const Stanza& s = StanzaCorrente();
    const std::optional<int> porta = parseInt(s.PortaUtenti);
    if (s.IPStanza.isEmpty() || s.Nome.isEmpty() || !porta || *porta < 1 || *porta > 65535) {
        datiIncompleti(*this);
        return false;
    }
    // The voice client splits its line at every "+": such a room cannot be told to it.
    const QStringList campi{s.IPStanza,
                            s.Nome,
                            s.Password,
                            s.PortaUtenti,
                            UtenteCorrente.NickName,
                            UtenteCorrente.IPAddress};
    for (const QString& campo : campi) {
        if (campo.contains(u'+')) {
            informa(*this, tr("I dati della stanza contengono il carattere \"+\": impossibile "
                              "entrare nella stanza"));
            return false;
        }
    }
    const QString argomenti = ArgomentiVoice();
    // The room host admits our nick only with the master's ticket for this
    // room. It travels in the environment, never on the command line; without
    // one the voice client starts all the same and the room host says why
    // it refuses.
    const RispostaMaster esito =
        RichiestaAlMaster(master::request::RoomTicket, {s.Nome}, intervalli().rispostaMaster);
    if (programmaTerminato())
        return false;
    const QByteArray biglietto =
        esito.e(master::reply::Ticket) ? esito.campo(0).toUtf8() : QByteArray();
    // The room host's key as the master knows it: the voice client refuses a
    // host that cannot prove it holds it.
    const QByteArray chiave =
        esito.e(master::reply::Ticket) ? esito.campo(1).toLatin1() : QByteArray();

    if (IDProcessoVoice != 0)
        programmi().chiediChiusura(IDProcessoVoice);
    frmClient* client = m_frmClient;
    // Index 0 is the listener, not a voice client's link: with no link yet,
    // closing it would leave the new voice client nobody to link to.
    if (chiudiCollegamento && client && IndiceWskVoice > 0) {
        client->ChiudiVoce(IndiceWskVoice);
        Attesa::Pausa(0);
        client = m_frmClient;
    }
    // The voice client links back to whichever port we listen on.
    if (client && client->collegamentiVoce().InAscolto())
        qputenv(kVariabilePortaVoce, QByteArray::number(client->collegamentiVoce().portaAscolto()));

    qputenv(kVariabileBiglietto, biglietto);
    qputenv(kVariabileChiave, chiave);
    IDProcessoVoice = programmi().avvia(kProgrammaVoce, argomenti);
    qunsetenv(kVariabileBiglietto);
    qunsetenv(kVariabileChiave);
    IndiceWskVoiceAvvio = IndiceWskVoice;
    if (IDProcessoVoice == 0) {
        informa(*this, tr("Impossibile aprire una sessione audio"));
        return false;
    }
    return true;
}

void Module1::AvviaProcedurePerStanzaPrivata(const QString& Par)
{
    const QString partner = Par.trimmed();
    // Without a partner the master would make an ordinary, listed room.
    if (partner.isEmpty())
        return;
    const QString nick = UtenteCorrente.NickName;
    // Data the master keeps and both users see: never translated.
    const QString nome = QStringLiteral("Stanza di ") + nick + QStringLiteral(" e ") + partner;
    const QString password = nick + QStringLiteral("<->") + partner;
    const RispostaMaster esito =
        RichiestaAlMaster(master::request::CreateRoom,
                          {nome, QStringLiteral("2"), QStringLiteral("2"), password, partner},
                          intervalli().stanzaPrivata);
    esitoStanzaPrivata(esito, tr("La stanza già esiste"), tr("Non è possibile creare la stanza"),
                       tr("Impossibile creare la stanza"));
}

void Module1::AvviaProcedureRicezioneDati()
{
    const QString altro = tr("Non e' possibile creare la stanza");
    esitoStanzaPrivata(AttendiRisposta(intervalli().ricezioneDatiStanza),
                       tr("Nome stanza già esistente"), altro, altro);
}

// The two private-room procedures end alike; only their texts differ.
void Module1::esitoStanzaPrivata(const RispostaMaster& esito, const QString& giaEsiste,
                                 const QString& rifiutata, const QString& altro)
{
    if (programmaTerminato())
        return;
    if (esito.e(master::reply::RoomCreated))
        entraInStanzaPrivata(*this, esito.messaggio.fields);
    else if (esito.e(master::reply::RoomNameTaken))
        informa(*this, giaEsiste);
    else if (esito.e(master::reply::RoomRefused))
        informa(*this, rifiutata);
    else
        informa(*this, altro);
}

frmListaStanze* Module1::FrmListaStanze()
{
    if (!m_frmListaStanze)
        m_frmListaStanze = new frmListaStanze(*this);
    return m_frmListaStanze;
}

frmListaStanze* Module1::FrmListaStanzeEsistente() const
{
    return m_frmListaStanze;
}

frmNuovaStanza* Module1::FrmNuovaStanza()
{
    if (!m_frmNuovaStanza)
        m_frmNuovaStanza = new frmNuovaStanza(*this);
    return m_frmNuovaStanza;
}

frmNuovaStanza* Module1::FrmNuovaStanzaEsistente() const
{
    return m_frmNuovaStanza;
}

} // namespace kalimo::lobby
