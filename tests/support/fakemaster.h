#pragma once

#include "tests/support/wire.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSslConfiguration>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <vector>

namespace kalimo::test {

// A master server on 127.0.0.1 whose answers a test writes in advance. It
// records every request exactly as it arrived (the blank after SEP1
// included), answers each by its code from a script, and can push
// notifications or drop the connection.
class FakeMaster final
{
public:
    // One request as received on connection `connessione` (from 1).
    struct Richiesta
    {
        int connessione = 0;
        QString testo;  // exact text, framing included
        QString codice; // four digits, trimmed
        QString utente;
        QStringList parametri; // none for " No Parametri "
        int parti = 0;         // parts between SEP2s
    };

    // What the master does on a request.
    struct Azione
    {
        // Sent in order; from the second on, each after `pausaMs`.
        QList<QByteArray> pezzi;
        int pausaMs = 0;
        bool chiudi = false; // closes the connection after the pieces
    };
    using Copione = std::function<Azione(const Richiesta&)>;

    // A reply framed the way our master frames it.
    static QByteArray messaggio(QStringView codice, const QStringList& campi = {});
    static Azione rispondi(QStringView codice, const QStringList& campi = {});
    static Azione grezzo(const QByteArray& byte);
    // The same bytes cut into pieces that go out `pausaMs` apart.
    static Azione aPezzi(const QList<QByteArray>& pezzi, int pausaMs = 100);
    static Azione niente();
    static Azione chiudi();

    FakeMaster();
    ~FakeMaster();
    FakeMaster(const FakeMaster&) = delete;
    FakeMaster& operator=(const FakeMaster&) = delete;

    bool ascolta();
    // The same master behind TLS with `tls`'s certificate and key.
    bool ascoltaTls(const QSslConfiguration& tls);
    quint16 porta() const { return m_server->serverPort(); }
    void smettiDiAscoltare() { m_server->close(); }
    // A loopback port nobody listens on: connecting to it is refused.
    static quint16 portaChiusa();

    // Every request with `codice` gets `azione` (or what `copione` says).
    void quando(const QString& codice, const Azione& azione);
    void quando(const QString& codice, Copione copione);
    // The next request with `codice` gets `azione`, before the standing script.
    void unaVolta(const QString& codice, const Azione& azione);
    // Called after each request has been answered.
    std::function<void(const Richiesta&)> dopoRichiesta;

    // Sends to connection `connessione` (0: the newest open one).
    void invia(const QByteArray& byte, int connessione = 0);
    // Closes connection `connessione` (0: the newest open one).
    void chiudiConnessione(int connessione = 0);

    QList<Richiesta> richieste() const { return m_richieste; }
    QStringList testi() const;
    QStringList codici() const;
    int connessioni() const { return int(m_connessioni.size()); }
    int connessioniAperte() const;
    // Everything that arrived on `connessione`, byte for byte.
    QByteArray ricevuto(int connessione) const;

private:
    struct Connessione
    {
        QPointer<QTcpSocket> socket;
        QByteArray flusso;
        qsizetype letti = 0;
        bool dopoSep1 = false; // the last message ended the stream with SEP1
        qsizetype ultimaRichiesta = -1;
    };

    void accetta();
    void leggi(int indice);
    void esegui(int indice, const Azione& azione);
    int ultimaAperta() const;

    std::unique_ptr<QTcpServer> m_server;
    QObject m_contesto; // owns the timers of delayed pieces
    std::vector<std::unique_ptr<Connessione>> m_connessioni;
    QList<Richiesta> m_richieste;
    QHash<QString, Copione> m_copioni;
    QHash<QString, QQueue<Azione>> m_unaVolta;
};

} // namespace kalimo::test
