#include "room/stanza.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"

#include <QCoreApplication>

namespace kalimo {

Stanza::Stanza(QObject* parent) : QObject(parent)
{
    m_utenti.append(std::make_shared<Utente>());
}

Stanza::~Stanza() = default;

UtentePtr Stanza::Utenti(int index) const
{
    if (index < 0 || index >= m_utenti.size())
        return nullptr;
    return m_utenti.at(index);
}

bool Stanza::ImpostaUtenti(int index, UtentePtr utente)
{
    if (index < 0 || index >= m_utenti.size() || !utente)
        return false;
    m_utenti[index] = std::move(utente);
    return true;
}

int Stanza::indicePerNick(const QString& nick) const
{
    for (int i = 1; i < m_utenti.size(); ++i) {
        if (m_utenti.at(i)->NickName == nick)
            return i;
    }
    return 0;
}

int Stanza::indicePerID(qint32 id) const
{
    for (int i = 1; i < m_utenti.size(); ++i) {
        if (m_utenti.at(i)->IDUtente == id)
            return i;
    }
    return 0;
}

bool Stanza::AggiungiUtente(qint32 id, const QString& Nick, const QString& IPAddress)
{
    Errori.Inizializza();
    if (NumUtenti() >= MaxUtenti) {
        Errori.Imposta(3, tr("La Stanza ha raggiunto il numero massimo di utenti"));
        return false;
    }
    if (EstPresenteUtente(Nick)) {
        Errori.Imposta(5, tr("Utente gia assegnato alla stanza"));
        return false;
    }
    auto utente = std::make_shared<Utente>();
    utente->IDUtente = id;
    utente->NickName = Nick;
    if (!IPAddress.isEmpty())
        utente->IPAddress = IPAddress;
    m_utenti.append(utente);
    VisualizzaUtenti(0);
    if (condizioneReport())
        InviaAlServer(reportUtente(*utente));
    return true;
}

bool Stanza::EliminaUtente(const QString& Nick)
{
    Errori.Inizializza();
    UtenteMuto(Nick);
    const int index = indicePerNick(Nick);
    if (index == 0) {
        Errori.Imposta(2, tr("Nick Utente non trovato"));
        return false;
    }
    m_utenti.removeAt(index);
    VisualizzaUtenti(0);
    if (condizioneReport()) {
        InviaAlServer(reportNick(master::roomlink::MemberLeft, Nick));
        if (NumUtenti() == 0 && !EstStabile) {
            // A room nobody is in any more has no reason to keep its host running.
            if (WSKServer) {
                WSKServer->flush();
                WSKServer->close();
            }
            TerminaEsecuzione();
        }
    }
    return true;
}

bool Stanza::EstPresenteUtente(const QString& Nick) const
{
    return indicePerNick(Nick) != 0;
}

bool Stanza::UtenteParlante(const QString& Nick)
{
    Errori.Inizializza();
    if (m_numUtentiAudio >= MaxUtentiAudio) {
        Errori.Imposta(1, tr("La Stanza ha raggiunto il numero massimo di utenti parlanti"));
        return false;
    }
    for (int i = 1; i < m_utenti.size(); ++i) {
        Utente& u = *m_utenti.at(i);
        if (u.NickName == Nick && !u.Parlante) {
            u.Parlante = true;
            VisualizzaUtenti(static_cast<qint16>(i));
            ++m_numUtentiAudio;
            if (condizioneReport())
                InviaAlServer(reportNick(master::roomlink::MemberSpeaks, u.NickName));
            return true;
        }
    }
    return false;
}

bool Stanza::muta(int index)
{
    Utente& u = *m_utenti.at(index);
    u.Parlante = false;
    VisualizzaUtenti(static_cast<qint16>(index));
    --m_numUtentiAudio;
    if (condizioneReport())
        InviaAlServer(reportNick(master::roomlink::MemberSilent, u.NickName));
    return true;
}

bool Stanza::UtenteMuto(const QString& Nick)
{
    for (int i = 1; i < m_utenti.size(); ++i) {
        if (m_utenti.at(i)->NickName == Nick && m_utenti.at(i)->Parlante)
            return muta(i);
    }
    return false;
}

bool Stanza::UtenteMutoID(qint32 id)
{
    for (int i = 1; i < m_utenti.size(); ++i) {
        if (m_utenti.at(i)->IDUtente == id && m_utenti.at(i)->Parlante)
            return muta(i);
    }
    return false;
}

QString Stanza::DammiNickPerID(qint32 id) const
{
    const int index = indicePerID(id);
    return index != 0 ? m_utenti.at(index)->NickName : QString();
}

qint32 Stanza::DammiIDPerNick(const QString& Nick) const
{
    const int index = indicePerNick(Nick);
    return index != 0 ? m_utenti.at(index)->IDUtente : 0;
}

bool Stanza::EstUtenteIgnorato(const QString& N) const
{
    const int index = indicePerNick(N);
    return index != 0 && m_utenti.at(index)->Ignora;
}

void Stanza::IgnoraUtente(const QString& N)
{
    if (const int index = indicePerNick(N))
        m_utenti.at(index)->Ignora = true;
}

void Stanza::NonIgnorareUtente(const QString& N)
{
    if (const int index = indicePerNick(N))
        m_utenti.at(index)->Ignora = false;
}

void Stanza::Copia(Stanza& S) const
{
    S.AttivaGrafica = AttivaGrafica;
    S.AttivaWinsock = AttivaWinsock;
    S.EstConnessoAServer = EstConnessoAServer;
    S.EstStabile = EstStabile;
    S.EstStanzaMultipla = EstStanzaMultipla;
    S.ID = ID;
    S.IndiceWskServer = IndiceWskServer;
    S.IPServer = IPServer;
    S.IPStanza = IPStanza;
    S.MaxUtenti = MaxUtenti;
    S.MaxUtentiAudio = MaxUtentiAudio;
    S.Nome = Nome;
    S.NomeServer = NomeServer;
    S.Password = Password;
    S.PasswordServer = PasswordServer;
    S.PortaServer = PortaServer;
    S.PortaUtenti = PortaUtenti;
    S.StatoPacchettoDiAttesa = StatoPacchettoDiAttesa;
}

void Stanza::TerminaEsecuzione()
{
    if (m_termina) {
        m_termina();
        return;
    }
    QCoreApplication::quit();
}

// Report fields may come from peers: a separator inside one would split the
// report apart on the server's side.
static QString campo(const QString& text)
{
    return stripControlCharacters(text);
}

QString Stanza::reportUtente(const Utente& u) const
{
    return hostMessage(master::roomlink::MemberJoined,
                       {campo(Nome), QString::number(u.IDUtente), campo(u.NickName),
                        campo(u.IPAddress), flagWord(u.Parlante)});
}

QString Stanza::reportNick(QStringView code, const QString& nick) const
{
    return hostMessage(code, {campo(Nome), campo(nick)});
}

} // namespace kalimo
