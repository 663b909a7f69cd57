#include "tests/support/fakemaster.h"

#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"

#include <QSslServer>

namespace kalimo::test {

QByteArray FakeMaster::messaggio(QStringView codice, const QStringList& campi)
{
    return encodeText(hostMessage(codice, campi));
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

bool FakeMaster::ascoltaTls(const QSslConfiguration& tls)
{
    auto server = std::make_unique<QSslServer>();
    server->setSslConfiguration(tls);
    QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, &m_contesto,
                     [this] { accetta(); });
    m_server = std::move(server);
    return ascolta();
}

quint16 FakeMaster::portaChiusa()
{
    QTcpServer prova;
    return prova.listen(QHostAddress::LocalHost, 0) ? prova.serverPort() : 0;
}

int FakeMaster::connessioniAperte() const
{
    int n = 0;
    for (const auto& c : m_connessioni)
        n += c->socket && c->socket->state() == QAbstractSocket::ConnectedState;
    return n;
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

void FakeMaster::accetta()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        m_connessioni.push_back(std::make_unique<Connessione>());
        m_connessioni.back()->socket = socket;
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
    for (qsizetype fine; (fine = c.flusso.indexOf(SEP1_BYTE, c.letti)) >= 0;) {
        qsizetype dopo = fine + 1;
        if (dopo < c.flusso.size() && c.flusso.at(dopo) == ' ')
            ++dopo;
        else if (dopo == c.flusso.size())
            c.dopoSep1 = true;
        Richiesta r;
        r.testo = decodeText(c.flusso.mid(c.letti, dopo - c.letti));
        c.letti = dopo;
        const QStringList parti = splitMessages(r.testo + SEP1).value(0);
        r.codice = fieldAt(parti, 0);
        r.utente = fieldAt(parti, 1);
        r.parametri = splitFields(fieldAt(parti, 2));
        if (r.parametri == QStringList{QStringLiteral("No Parametri")})
            r.parametri.clear();
        c.ultimaRichiesta = m_richieste.size();
        m_richieste << r;
        nuove << r;
    }
    for (const Richiesta& r : nuove) {
        auto coda = m_unaVolta.find(r.codice);
        if (coda != m_unaVolta.end() && !coda->isEmpty())
            esegui(indice, coda->dequeue());
        else if (const auto copione = m_copioni.constFind(r.codice); copione != m_copioni.cend())
            esegui(indice, (*copione)(r));
        if (dopoRichiesta)
            dopoRichiesta(r);
    }
}

void FakeMaster::esegui(int indice, const Azione& azione)
{
    if (indice < 1 || indice > int(m_connessioni.size()))
        return;
    QTcpSocket* socket = m_connessioni[size_t(indice - 1)]->socket;
    if (socket && !azione.byte.isEmpty() && socket->write(azione.byte) >= 0)
        socket->flush();
    if (socket && azione.chiudi)
        socket->disconnectFromHost();
}

} // namespace kalimo::test
