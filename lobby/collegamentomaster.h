#pragma once

#include "protocol/message.h"
#include "protocol/reassembler.h"
#include "protocol/tlsfield.h"

#include <QObject>
#include <QSslSocket>
#include <QTimer>

#include <functional>
#include <list>
#include <memory>

namespace kalimo::lobby {

// How an exchange with the master ended.
enum class EsitoRichiesta {
    Risposta,  // the reply is in RispostaMaster::messaggio
    TimeOut,   // the reply timer ticked first
    Interrotta // stopped by the caller, the connection dropped or the program is ending
};

// The outcome of one exchange, with its reply decoded.
struct RispostaMaster
{
    EsitoRichiesta esito = EsitoRichiesta::Interrotta;
    Message messaggio;

    bool risposta() const { return esito == EsitoRichiesta::Risposta; }
    // A reply with this code.
    bool e(QStringView codice) const { return risposta() && messaggio.code == codice; }
    const QString& codice() const { return messaggio.code; }
    QString campo(qsizetype i) const { return messaggio.field(i); }
};

// One connection to a master: the socket, the reassembly of its stream and
// the reply timer. Requests go out one at a time, in the order they were
// asked; a request asked while another waits for its reply is sent as soon as
// that reply (or its time-out) is in. Unasked messages come out as signals.
// Waiting is cooperative: the caller's events keep running meanwhile.
class CollegamentoMaster final : public QObject
{
    Q_OBJECT

public:
    explicit CollegamentoMaster(QObject* parent = nullptr);
    ~CollegamentoMaster() override;

    // Opens the connection and waits until it is up, refused, `intervallo`
    // ms have passed or `fermo` holds. A connection still open is closed first.
    // With a TLS port in `tls` the connection goes there instead, encrypted,
    // and is up only once the master's certificate has passed: the given
    // fingerprint, or else the system's authorities and the host name. A
    // certificate that fails ends it like a refusal; motivoRifiuto() says why.
    bool connetti(const QString& host, quint16 porta, int intervallo,
                  const std::function<bool()>& fermo = {}, const TlsEndpoint& tls = {});
    // Why the last connetti() failed on the certificate or the encryption,
    // in words for the status line; empty after a plain refusal.
    QString motivoRifiuto() const { return m_motivo; }
    bool connesso() const;
    // Our own close: chiusoDalMaster() is not raised for it, and every
    // exchange still waiting ends as interrupted.
    void chiudi();
    QString indirizzoLocale() const;

    // Sends `testo` unchanged and lets pending events run once, outside the
    // request queue (texts no reply is awaited for). False when not connected.
    bool invia(const QString& testo);
    // The request/response cycle: waits for its turn, sends `testo`, waits up
    // to `intervallo` ms for a reply (five-digit code).
    RispostaMaster richiesta(const QString& testo, int intervallo,
                             const std::function<bool()>& fermo = {});
    // The same cycle for a reply that comes unasked: nothing is sent.
    RispostaMaster attendi(int intervallo, const std::function<bool()>& fermo = {});

    // An exchange is waiting for its reply.
    bool occupato() const { return !m_turni.empty(); }
    // Exchanges asked and not yet ended, the running one included.
    int inCoda() const { return int(m_turni.size()); }
    const QTimer& tmrControllo() const { return m_tmrControllo; }

    // Handles data that is waiting unread. Waits call it: the socket does not
    // signal new data while its own signal is being handled.
    void leggiInSospeso();
    // Handles arrived text as if it came from the master (whole messages).
    void gestisciArrivo(const QString& testo);

Q_SIGNALS:
    // A private text: "0002" from the partner, "0003" our own, "0004" from the system.
    void testoPrivato(const QString& partner, const QString& testo, bool daPartner, bool diSistema);
    // The master's check "0005", to be answered with its block unchanged.
    void controllo(const QString& parametri);
    // The master closed the connection, or sent what cannot be a message.
    void chiusoDalMaster();

private:
    struct Turno
    {
        QString testo;
        bool invia = true;
        int intervallo = 0;
        std::function<bool()> fermo;
        bool avviato = false;
        bool finito = false;
        RispostaMaster esito;
    };
    RispostaMaster scambio(std::shared_ptr<Turno> turno);
    // Ends every exchange whose caller asked to stop, waiting or running:
    // a caller deeper in the stack cannot unwind while a later one waits.
    void verificaFermi();
    // Starts the first exchange of the queue when it is not running yet.
    void avviaProssimo();
    // Ends the running exchange with `esito` and starts the next.
    void concludi(EsitoRichiesta esito, const Message& risposta = {});
    void interrompiTutti();
    void datiArrivati();
    void chiusoDallAltraParte();
    void erroriCertificato(const QList<QSslError>& errori);
    bool improntaGiusta() const;

    QSslSocket WSKMaster;
    TlsEndpoint m_tls;
    QString m_motivo;
    // connetti() is waiting: a close then is a failed attempt, not a loss.
    bool m_apertura = false;
    StreamReassembler m_ricomposizione;
    QTimer m_tmrControllo;
    std::list<std::shared_ptr<Turno>> m_turni;
};

} // namespace kalimo::lobby
