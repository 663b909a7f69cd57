#include "tests/support/fakemaster.h"

#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"

#include <QSslServer>
#include <QTimer>

namespace kalimo::test {

QByteArray FakeMaster::messaggio(QStringView codice, const QStringList& campi)
{
    return encodeText(hostMessage(codice, campi));
}

FakeMaster::Azione FakeMaster::rispondi(QStringView codice, const QStringList& campi)
{
    return grezzo(messaggio(codice, campi));
}

FakeMaster::Azione FakeMaster::grezzo(const QByteArray& byte)
{
    Azione a;
    a.pezzi = {byte};
    return a;
}

FakeMaster::Azione FakeMaster::aPezzi(const QList<QByteArray>& pezzi, int pausaMs)
{
    Azione a;
    a.pezzi = pezzi;
    a.pausaMs = pausaMs;
    return a;
}

FakeMaster::Azione FakeMaster::niente()
{
    return {};
}

FakeMaster::Azione FakeMaster::chiudi()
{
    Azione a;
    a.chiudi = true;
    return a;
}

FakeMaster::FakeMaster() : m_server(std::make_unique<QTcpServer>())
{
    // Raised when a connection is ready to read: after the handshake for TLS.
    QObject::connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, &m_contesto,
                     [this] { accetta(); });
}

FakeMaster::~FakeMaster()
{
    for (auto& c : m_connessioni) {
        if (c->socket) {
            c->socket->disconnect();
            c->socket->abort();
            delete c->socket.data();
        }
    }
}

bool FakeMaster::ascolta()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

bool FakeMaster::ascoltaTls(const QSslConfiguration& tls)
{
    auto server = std::make_unique<QSslServer>();
    server->setSslConfiguration(tls);
    QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, &m_contesto,
                     [this] { accetta(); });
    m_server = std::move(server);
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakeMaster::portaChiusa()
{
    QTcpServer prova;
    if (!prova.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 porta = prova.serverPort();
    prova.close();
    return porta;
}

void FakeMaster::quando(const QString& codice, const Azione& azione)
{
    m_copioni.insert(codice, [azione](const Richiesta&) { return azione; });
}

void FakeMaster::quando(const QString& codice, Copione copione)
{
    m_copioni.insert(codice, std::move(copione));
}

void FakeMaster::unaVolta(const QString& codice, const Azione& azione)
{
    m_unaVolta[codice].enqueue(azione);
}

QStringList FakeMaster::testi() const
{
    QStringList t;
    for (const Richiesta& r : m_richieste)
        t.append(r.testo);
    return t;
}

QStringList FakeMaster::codici() const
{
    QStringList t;
    for (const Richiesta& r : m_richieste)
        t.append(r.codice);
    return t;
}

int FakeMaster::connessioniAperte() const
{
    int n = 0;
    for (const auto& c : m_connessioni) {
        if (c->socket && c->socket->state() == QAbstractSocket::ConnectedState)
            ++n;
    }
    return n;
}

QByteArray FakeMaster::ricevuto(int connessione) const
{
    if (connessione < 1 || connessione > int(m_connessioni.size()))
        return {};
    return m_connessioni[size_t(connessione - 1)]->flusso;
}

int FakeMaster::ultimaAperta() const
{
    for (int i = int(m_connessioni.size()); i >= 1; --i) {
        const auto& c = m_connessioni[size_t(i - 1)];
        if (c->socket && c->socket->state() == QAbstractSocket::ConnectedState)
            return i;
    }
    return 0;
}

void FakeMaster::invia(const QByteArray& byte, int connessione)
{
    Azione a;
    a.pezzi = {byte};
    esegui(connessione == 0 ? ultimaAperta() : connessione, a);
}

void FakeMaster::chiudiConnessione(int connessione)
{
    esegui(connessione == 0 ? ultimaAperta() : connessione, chiudi());
}

void FakeMaster::accetta()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto c = std::make_unique<Connessione>();
        c->socket = socket;
        m_connessioni.push_back(std::move(c));
        const int indice = int(m_connessioni.size());
        QObject::connect(socket, &QTcpSocket::readyRead, &m_contesto,
                         [this, indice] { leggi(indice); });
    }
}

void FakeMaster::leggi(int indice)
{
    Connessione& c = *m_connessioni[size_t(indice - 1)];
    if (!c.socket)
        return;
    c.flusso += c.socket->readAll();
    // A blank right after SEP1 still belongs to the request it ends.
    if (c.dopoSep1 && c.letti < c.flusso.size()) {
        if (c.flusso.at(c.letti) == ' ' && c.ultimaRichiesta >= 0) {
            m_richieste[c.ultimaRichiesta].testo += u' ';
            ++c.letti;
        }
        c.dopoSep1 = false;
    }
    QList<Richiesta> nuove;
    while (true) {
        const qsizetype fine = c.flusso.indexOf(SEP1_BYTE, c.letti);
        if (fine < 0)
            break;
        qsizetype dopo = fine + 1;
        if (dopo < c.flusso.size() && c.flusso.at(dopo) == ' ')
            ++dopo;
        else if (dopo == c.flusso.size())
            c.dopoSep1 = true;
        Richiesta r;
        r.connessione = indice;
        r.testo = decodeText(c.flusso.mid(c.letti, dopo - c.letti));
        c.letti = dopo;
        const QList<QStringList> messaggi = splitMessages(r.testo + SEP1);
        const QStringList parti = messaggi.isEmpty() ? QStringList() : messaggi.first();
        r.parti = int(parti.size());
        r.codice = fieldAt(parti, 0);
        r.utente = fieldAt(parti, 1);
        r.parametri = splitFields(fieldAt(parti, 2));
        if (r.parametri == QStringList{QStringLiteral("No Parametri")})
            r.parametri.clear();
        c.ultimaRichiesta = m_richieste.size();
        m_richieste.append(r);
        nuove.append(r);
    }
    for (const Richiesta& r : nuove) {
        Azione azione;
        auto coda = m_unaVolta.find(r.codice);
        if (coda != m_unaVolta.end() && !coda->isEmpty())
            azione = coda->dequeue();
        else if (const auto copione = m_copioni.constFind(r.codice); copione != m_copioni.cend())
            azione = (*copione)(r);
        esegui(indice, azione);
        if (dopoRichiesta)
            dopoRichiesta(r);
    }
}

void FakeMaster::esegui(int indice, const Azione& azione)
{
    if (indice < 1 || indice > int(m_connessioni.size()))
        return;
    QPointer<QTcpSocket> socket = m_connessioni[size_t(indice - 1)]->socket;
    if (!socket)
        return;
    const auto finale = [socket, chiudi = azione.chiudi] {
        if (socket && chiudi)
            socket->disconnectFromHost();
    };
    if (azione.pezzi.isEmpty()) {
        finale();
        return;
    }
    socket->write(azione.pezzi.first());
    socket->flush();
    if (azione.pezzi.size() == 1) {
        finale();
        return;
    }
    for (qsizetype i = 1; i < azione.pezzi.size(); ++i) {
        const bool ultimo = i + 1 == azione.pezzi.size();
        QTimer::singleShot(int(i) * azione.pausaMs, &m_contesto,
                           [socket, pezzo = azione.pezzi.at(i), ultimo, finale] {
                               if (!socket)
                                   return;
                               socket->write(pezzo);
                               socket->flush();
                               if (ultimo)
                                   finale();
                           });
    }
}

} // namespace kalimo::test
