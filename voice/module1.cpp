#include "voice/module1.h"

#include "platform/desktop/attesa.h"
#include "protocol/separators.h"
#include "voice/frmvoiceclient.h"
#include "voice/lineacomando.h"

namespace kalimo::voce {

Module1::Module1(ServiziVoce servizi, IntervalliVoce intervalli)
    : m_servizi(std::move(servizi)), m_intervalli(intervalli), m_stanza(std::make_unique<Stanza>())
{
}

Module1::~Module1()
{
    // The window first: it still reaches the room while it goes.
    m_finestra.reset();
}

bool Module1::SubMain(const QString& rigaDiComando)
{
    SEP1 = kalimo::SEP1;
    SEP2 = kalimo::SEP2;
    SEP3 = kalimo::SEP3;

    const EsitoAvvio esito = leggiRigaDiComando(rigaDiComando);
    if (esito.tipo == EsitoAvvio::Tipo::Vuota) {
        TerminaProgramma(0);
        return false;
    }
    if (esito.tipo == EsitoAvvio::Tipo::Errata) {
        dialoghi().messaggio(esito.errore, titolo(), Icona::Critica, Pulsanti::Ok);
        TerminaProgramma(kUscitaRigaErrata);
        return false;
    }

    const DatiAvvio& d = esito.dati;
    Stanza& stanza = StanzaCorrente();
    stanza.IPStanza = d.IPStanza;
    stanza.MaxUtenti = d.MaxUtenti;
    stanza.MaxUtentiAudio = d.MaxUtentiAudio;
    stanza.Nome = d.Nome;
    stanza.Password = d.Password;
    stanza.PortaUtenti = d.PortaUtenti;
    stanza.GrigliaSemplice = true;
    UtenteLocale.NickName = d.NickName;
    UtenteLocale.IPAddress = d.IPAddress;
    IndirizzoBanner = d.IndirizzoBanner;
    MinutiRefreshBanner = d.MinutiRefreshBanner;

    m_finestra = std::make_unique<frmVoiceClient>(*this);
    if (m_servizi.finestraCreata)
        m_servizi.finestraCreata(*m_finestra);
    m_finestra->show();
    m_finestra->Carica();
    // The private chat windows come with the room chat.
    return !m_terminato;
}

void Module1::ChiusuraRichiesta()
{
    if (m_finestra)
        m_finestra->Chiudi();
    else
        TerminaProgramma(0);
}

void Module1::TerminaProgramma(int codice)
{
    if (m_terminato)
        return;
    m_terminato = true;
    m_codice = codice;
    Attesa::interrompiTutto();
    if (m_servizi.termina)
        m_servizi.termina(codice);
    else
        QCoreApplication::exit(codice);
}

} // namespace kalimo::voce
