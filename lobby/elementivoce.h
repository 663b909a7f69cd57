#pragma once

#include "protocol/reassembler.h"

#include <QObject>
#include <QString>
#include <QTcpServer>

#include <map>
#include <memory>

class QTcpSocket;

namespace kalimo::lobby {

// The voice-link sockets of the main window, as an array: element 0 listens
// on the local host, every accepted link is a further element with an index
// of its own. Elements are never reused; a closed one is gone.
class ElementiVoce final : public QObject
{
    Q_OBJECT

public:
    explicit ElementiVoce(QObject* parent = nullptr);
    ~ElementiVoce() override;

    // Element 0.
    bool InAscolto() const { return m_ascolto.isListening(); }
    bool Ascolta(quint16 porta);
    quint16 portaAscolto() const { return m_ascolto.serverPort(); }
    QString erroreAscolto() const { return m_ascolto.errorString(); }

    // Connections waiting to be accepted or refused.
    bool InAttesa() const { return m_ascolto.hasPendingConnections(); }
    // Takes the next waiting connection as element `indice`.
    bool Accetta(int indice);
    void Rifiuta();

    // Closes element `indice` (0: the listener) from our side: no close event.
    void Chiudi(int indice);
    bool Aperto(int indice) const;
    int collegamentiAperti() const { return int(m_elementi.size()); }

Q_SIGNALS:
    void RichiestaConnessione();
    // The other end closed element `indice`.
    void Chiusura(int indice);
    // Whole messages arrived on element `indice` (text up to its last SEP1).
    void DatiArrivati(int indice, const QString& dati);

private:
    struct Elemento
    {
        QTcpSocket* socket = nullptr;
        StreamReassembler ricomposizione;
    };

    void leggi(int indice);
    void chiusoDallAltro(int indice);

    QTcpServer m_ascolto;
    std::map<int, std::unique_ptr<Elemento>> m_elementi;
};

} // namespace kalimo::lobby
