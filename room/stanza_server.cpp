#include "room/stanza.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/requests.h"
#include "protocol/textcodec.h"
#include "protocol/values.h"

namespace kalimo {

bool Stanza::condizioneReport() const
{
    return AttivaWinsock && EstConnessoAServer;
}

bool Stanza::WinsockValido() const
{
    return !WSKServer.isNull();
}

bool Stanza::InviaAlServer(const QString& text)
{
    if (!WinsockValido() || !WSKServer->isWritable())
        return false;
    const QByteArray bytes = encodeText(text);
    if (WSKServer->write(bytes) != bytes.size())
        return false;
    // Hand the bytes to the network now rather than running the event loop
    // here: a server calling this must not be re-entered mid-operation.
    WSKServer->flush();
    return true;
}

bool Stanza::ConnettiAlServer()
{
    Errori.Inizializza();
    if (EstConnessoAServer) {
        Errori.Imposta(8, tr("La stanza e' gia connessa ad un server"));
        return true;
    }
    if (m_inConnessione) {
        Errori.Imposta(9, tr("Si Sta' gia effettuando una connessione al server"));
        return false;
    }
    m_inConnessione = true;
    // Any TCP port works, not only those a 16-bit signed number holds.
    const std::optional<int> porta = parseInt(PortaServer);
    const bool portaValida = porta && *porta >= 1 && *porta <= 65535;
    if (AttivaWinsock && WinsockValido() && !IPServer.isEmpty() && portaValida) {
        // A socket its owner bound to a local address keeps it.
        if (WSKServer->state() != QAbstractSocket::UnconnectedState &&
            WSKServer->state() != QAbstractSocket::BoundState)
            WSKServer->abort();
        m_riassemblatore.clear();
        WSKServer->connectToHost(IPServer, static_cast<quint16>(*porta));
    } else {
        Errori.Imposta(7, tr("Il Winsock non e' stato attivato o il controllo winsock non e' "
                             "stato assegnato"));
        EstConnessoAServer = false;
    }
    m_inConnessione = false;
    return false;
}

bool Stanza::DammiStatoServer() const
{
    return WinsockValido() && WSKServer->state() == QAbstractSocket::ConnectedState;
}

void Stanza::DisconnettiDaServer()
{
    if (!WinsockValido())
        return;
    WSKServer->flush();
    WSKServer->close();
}

bool Stanza::InviaIdentificazione(const QString& Chi, const QString& chiave)
{
    Errori.Inizializza();
    if (!EstConnessoAServer) {
        Errori.Imposta(10, tr("La stanza non e' connessa ad un server per cui non puo inviare "
                              "l'identificazione"));
        return false;
    }
    ++m_contatoreIdentificazione;
    m_ultimoCodice.clear();
    m_ultimiParametri.clear();
    m_ultimoNumero = 0;
    StatoPacchettoDiAttesa = 1;
    QStringList campi = {stripControlCharacters(Nome),     QString::number(MaxUtenti),
                         QString::number(MaxUtentiAudio),  flagWord(EstStabile),
                         stripControlCharacters(Password), stripControlCharacters(PasswordServer),
                         flagWord(EstStanzaMultipla),      stripControlCharacters(PortaUtenti),
                         stripControlCharacters(Chi)};
    if (!chiave.isEmpty())
        campi.append(stripControlCharacters(chiave));
    return InviaAlServer(
        master::roomlink::identificationMessage(m_contatoreIdentificazione, campi));
}

bool Stanza::InviaDatiUtenti()
{
    if (!condizioneReport())
        return false;
    bool inviati = true;
    for (int i = 1; i < m_utenti.size(); ++i) {
        if (!condizioneReport())
            return false;
        const Utente& u = *m_utenti.at(i);
        inviati = InviaAlServer(reportUtente(u)) && inviati;
        if (u.Parlante)
            inviati =
                InviaAlServer(reportNick(master::roomlink::MemberSpeaks, u.NickName)) && inviati;
    }
    return inviati;
}

void Stanza::GestPacServer(const QString& DA)
{
    using K = master::roomlink::MasterMessage::Kind;
    const QPointer<Stanza> self(this);
    qint32 numero = 0;
    for (const master::roomlink::MasterMessage& m : master::roomlink::decodeMasterMessages(DA)) {
        if (m.number)
            numero = *m.number;
        switch (m.kind) {
        case K::Reply:
            m_ultimoCodice = m.code;
            m_ultimiParametri = m.block;
            m_ultimoNumero = numero;
            Q_EMIT PacchettoDiAttesa(m.code, m.block);
            if (!self)
                return;
            break;
        case K::EndRoom:
            TerminaEsecuzione();
            return;
        case K::Other:
            break;
        }
    }
}

bool Stanza::RiceviDalServer(const QByteArray& bytes)
{
    const QByteArray complete = m_riassemblatore.feed(bytes);
    const bool overflow = m_riassemblatore.overflowed();
    if (overflow)
        m_riassemblatore.clear();
    const QPointer<Stanza> self(this);
    if (!complete.isEmpty())
        GestPacServer(decodeText(complete));
    if (overflow && self) {
        // A server that never ends its message is not one we can talk to.
        DisconnettiDaServer();
    }
    return !overflow;
}

} // namespace kalimo
