#pragma once

#include "protocol/reassembler.h"
#include "protocol/requests.h"
#include "room/errore.h"
#include "room/griglia.h"
#include "room/utente.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <functional>

namespace kalimo {

class InvioSessione;

// A room: its settings, its members (slot 0 holds a placeholder, members use
// slots 1..NumUtenti()), the grid that may show them, the link that may
// report them to a server, and the host-side relay of members' messages.
// Operations that can fail return false and leave the reason in Errori.
class Stanza final : public QObject
{
    Q_OBJECT

public:
    explicit Stanza(QObject* parent = nullptr);
    ~Stanza() override;

    qint32 ID = 0;
    QString Nome;
    qint16 MaxUtenti = 0;
    qint16 MaxUtentiAudio = 0;
    bool EstStabile = false;
    QString Password;
    QString NomeServer;
    QString IPStanza;
    QString IPServer;
    QString PortaServer;
    QString PortaUtenti;
    Errore Errori;
    bool AttivaGrafica = false;
    bool EstStanzaMultipla = false;
    Griglia* grdUtenti = nullptr;   // not owned
    QPointer<QTcpSocket> WSKServer; // lent by the owner
    bool AttivaWinsock = false;
    bool EstConnessoAServer = false;
    qint16 IndiceWskServer = 0;
    QString PasswordServer;
    bool GrigliaSemplice = false;
    QImage PictureMicrofono;
    qint16 StatoPacchettoDiAttesa = 0;

    qint16 NumUtenti() const { return static_cast<qint16>(m_utenti.size() - 1); }
    qint16 NumUtentiAudio() const { return m_numUtentiAudio; }

    // Slot `index` (0 is the placeholder); null outside 0..NumUtenti().
    UtentePtr Utenti(int index) const;
    // Replaces slot `index`; false (nothing changed) outside 0..NumUtenti()
    // or for a null user. Counts, grid and server are left alone.
    bool ImpostaUtenti(int index, UtentePtr utente);

    bool AggiungiUtente(qint32 id, const QString& Nick, const QString& IPAddress = QString());
    bool EliminaUtente(const QString& Nick);
    bool EstPresenteUtente(const QString& Nick) const;
    bool UtenteParlante(const QString& Nick);
    bool UtenteMuto(const QString& Nick);
    bool UtenteMutoID(qint32 id);
    QString DammiNickPerID(qint32 id) const;
    qint32 DammiIDPerNick(const QString& Nick) const;
    bool EstUtenteIgnorato(const QString& N) const;
    void IgnoraUtente(const QString& N);
    void NonIgnorareUtente(const QString& N);
    void Copia(Stanza& S) const;

    // Ends the program: calls the hook set below, or quits the application's
    // event loop when none is set.
    void TerminaEsecuzione();
    void ImpostaTerminaEsecuzione(std::function<void()> hook) { m_termina = std::move(hook); }

    // 0 rebuilds the whole grid, i rewrites member i's row only.
    void VisualizzaUtenti(qint16 Indice);

    // Server link. The owner connects WSKServer's signals: it sets
    // EstConnessoAServer on connect/close and feeds arrivals to RiceviDalServer.
    bool ConnettiAlServer();
    bool DammiStatoServer() const;
    void DisconnettiDaServer();
    // `chiave`, when given, goes as one more field: the session key members
    // check this room by.
    bool InviaIdentificazione(const QString& Chi, const QString& chiave = {});
    bool InviaDatiUtenti();
    // Whole messages only: text after the last SEP1 is dropped.
    void GestPacServer(const QString& DA);
    // Raw socket bytes: a message cut across arrivals waits for its end.
    // False when the server overflowed the wait buffer (the link is closed).
    bool RiceviDalServer(const QByteArray& bytes);

    QString UltimoCodiceRisposta() const { return m_ultimoCodice; }
    QString UltimiParametriRisposta() const { return m_ultimiParametri; }
    qint32 UltimoNumeroRichiesta() const { return m_ultimoNumero; }

    // Relays one member's payload; false when a send failed (the rest of the
    // payload is then left unhandled).
    bool GestPacUtente(qint32 senderId, const QString& text, InvioSessione& sessione);
    bool GestPacUtente(qint32 senderId, const QList<inroom::Request>& richieste,
                       InvioSessione& sessione);

Q_SIGNALS:
    void PacchettoDiAttesa(QString code, QString params);

private:
    bool condizioneReport() const;
    bool InviaAlServer(const QString& text);
    bool WinsockValido() const;
    bool GrigliaValida() const;
    QString SiNo(bool value) const;
    void scriviRiga(int i);
    int indicePerNick(const QString& nick) const;
    int indicePerID(qint32 id) const;
    bool muta(int index);
    QString reportUtente(const Utente& u) const;
    QString reportNick(QStringView code, const QString& nick) const;

    // One message of a member's payload; false when a send failed.
    bool gestisciMessaggioUtente(qint32 senderId, const Utente& mittente,
                                 const inroom::Request& richiesta, InvioSessione& sessione);

    QList<UtentePtr> m_utenti;
    qint16 m_numUtentiAudio = 0;
    bool m_inConnessione = false;
    qint32 m_contatoreIdentificazione = 0;
    QString m_ultimoCodice;
    QString m_ultimiParametri;
    qint32 m_ultimoNumero = 0;
    StreamReassembler m_riassemblatore;
    std::function<void()> m_termina;
};

} // namespace kalimo
