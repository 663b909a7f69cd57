#pragma once

#include "tests/support/wire.h"

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

// A master server on 127.0.0.1 whose answers a test writes in advance. It records every request
// exactly as it arrived (the blank after SEP1 included), answers each by its code from a script,
// and can push notifications or drop the connection.
class FakeMaster final
{
public:
    struct Richiesta
    {
        QString testo;  // exact text, framing included
        QString codice; // four digits, trimmed
        QString utente;
        QStringList parametri; // none for " No Parametri "
    };
    // Bytes sent, then maybe a close.
    struct Azione
    {
        QByteArray byte;
        bool chiudi = false;
    };
    using Copione = std::function<Azione(const Richiesta&)>;

    // A reply framed the way our master frames it.
    static QByteArray messaggio(QStringView codice, const QStringList& campi = {});
    static Azione rispondi(QStringView codice, const QStringList& campi = {})
    {
        return grezzo(messaggio(codice, campi));
    }
    static Azione grezzo(const QByteArray& byte) { return {byte}; }
    static Azione niente() { return {}; }
    static Azione chiudi() { return {{}, true}; }

    FakeMaster();
    ~FakeMaster();
    FakeMaster(const FakeMaster&) = delete;
    FakeMaster& operator=(const FakeMaster&) = delete;

    bool ascolta() { return m_server->listen(QHostAddress::LocalHost, 0); }
    // The same master behind TLS with `tls`'s certificate and key.
    bool ascoltaTls(const QSslConfiguration& tls);
    quint16 porta() const { return m_server->serverPort(); }
    // A loopback port nobody listens on: connecting to it is refused.
    static quint16 portaChiusa();

    // Every request with `codice` gets `azione` (or what `copione` says).
    void quando(const QString& codice, const Azione& azione)
    {
        m_copioni.insert(codice, [azione](const Richiesta&) { return azione; });
    }
    void quando(const QString& codice, Copione copione) { m_copioni.insert(codice, copione); }
    // The next request with `codice` gets `azione`, before the standing script.
    void unaVolta(const QString& codice, const Azione& azione) { m_unaVolta[codice] << azione; }
    // Called after each request has been answered.
    std::function<void(const Richiesta&)> dopoRichiesta;

    // Sends to, or closes, the newest open connection.
    void invia(const QByteArray& byte) { esegui(ultimaAperta(), grezzo(byte)); }
    void chiudiConnessione() { esegui(ultimaAperta(), chiudi()); }

    QList<Richiesta> richieste() const { return m_richieste; }
    QStringList testi() const { return campo(&Richiesta::testo); }
    QStringList codici() const { return campo(&Richiesta::codice); }
    int connessioni() const { return int(m_connessioni.size()); }
    int connessioniAperte() const;

private:
    struct Connessione
    {
        QPointer<QTcpSocket> socket;
        QByteArray flusso;
        qsizetype letti = 0;
        bool dopoSep1 = false; // the last message ended the stream with SEP1
        qsizetype ultimaRichiesta = -1;
    };

    QStringList campo(QString Richiesta::*c) const
    {
        QStringList t;
        for (const Richiesta& r : m_richieste)
            t << r.*c;
        return t;
    }
    void accetta();
    void leggi(int indice);
    void esegui(int indice, const Azione& azione);
    int ultimaAperta() const;

    std::unique_ptr<QTcpServer> m_server;
    QObject m_contesto;
    std::vector<std::unique_ptr<Connessione>> m_connessioni;
    QList<Richiesta> m_richieste;
    QHash<QString, Copione> m_copioni;
    QHash<QString, QQueue<Azione>> m_unaVolta;
};

} // namespace kalimo::test
