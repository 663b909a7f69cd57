#include "lobby/elementivoce.h"

#include "protocol/textcodec.h"

#include <QTcpSocket>

namespace kalimo::lobby {

ElementiVoce::ElementiVoce(QObject* parent) : QObject(parent)
{
    connect(&m_ascolto, &QTcpServer::newConnection, this, &ElementiVoce::RichiestaConnessione);
}

ElementiVoce::~ElementiVoce()
{
    for (auto& [indice, elemento] : m_elementi) {
        elemento->socket->disconnect(this);
        elemento->socket->abort();
        delete elemento->socket;
    }
}

bool ElementiVoce::Ascolta(quint16 porta)
{
    if (m_ascolto.isListening())
        return true;
    // Only the voice client on this machine may link.
    return m_ascolto.listen(QHostAddress::LocalHost, porta);
}

bool ElementiVoce::Accetta(int indice)
{
    QTcpSocket* socket = m_ascolto.nextPendingConnection();
    if (!socket)
        return false;
    if (indice <= 0 || m_elementi.contains(indice)) {
        socket->abort();
        socket->deleteLater();
        return false;
    }
    socket->setParent(this);
    auto elemento = std::make_unique<Elemento>();
    elemento->socket = socket;
    m_elementi.emplace(indice, std::move(elemento));
    connect(socket, &QTcpSocket::readyRead, this, [this, indice] { leggi(indice); });
    connect(socket, &QTcpSocket::disconnected, this, [this, indice] { chiusoDallAltro(indice); });
    // Data or a close that came with the connection is not lost.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this, indice] { leggi(indice); }, Qt::QueuedConnection);
    if (socket->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(
            this, [this, indice] { chiusoDallAltro(indice); }, Qt::QueuedConnection);
    return true;
}

void ElementiVoce::Rifiuta()
{
    if (QTcpSocket* socket = m_ascolto.nextPendingConnection()) {
        socket->abort();
        socket->deleteLater();
    }
}

void ElementiVoce::Chiudi(int indice)
{
    if (indice == 0) {
        m_ascolto.close();
        return;
    }
    const auto it = m_elementi.find(indice);
    if (it == m_elementi.end())
        return;
    QTcpSocket* socket = it->second->socket;
    m_elementi.erase(it);
    socket->disconnect(this);
    // Sends what is queued, then closes; the other end sees its link end.
    socket->disconnectFromHost();
    socket->deleteLater();
}

bool ElementiVoce::Aperto(int indice) const
{
    if (indice == 0)
        return m_ascolto.isListening();
    return m_elementi.contains(indice);
}

void ElementiVoce::leggi(int indice)
{
    const auto it = m_elementi.find(indice);
    if (it == m_elementi.end())
        return;
    Elemento& elemento = *it->second;
    const QByteArray completi = elemento.ricomposizione.feed(elemento.socket->readAll());
    const bool troppoLungo = elemento.ricomposizione.overflowed();
    if (!completi.isEmpty())
        Q_EMIT DatiArrivati(indice, decodeText(completi));
    if (troppoLungo && m_elementi.contains(indice)) {
        // A peer that never ends a message is not a voice client of ours.
        Chiudi(indice);
        Q_EMIT Chiusura(indice);
    }
}

void ElementiVoce::chiusoDallAltro(int indice)
{
    const auto it = m_elementi.find(indice);
    if (it == m_elementi.end())
        return;
    // What arrived just before the close is still handled.
    if (it->second->socket->bytesAvailable() > 0)
        leggi(indice);
    if (!m_elementi.contains(indice))
        return;
    Q_EMIT Chiusura(indice);
}

} // namespace kalimo::lobby
