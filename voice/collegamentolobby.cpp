#include "voice/collegamentolobby.h"

#include "platform/desktop/attesa.h"
#include "protocol/textcodec.h"

#include <QHostAddress>
#include <QTimer>

namespace kalimo::voce {

CollegamentoLobby::CollegamentoLobby(QTimer& TimerConnessione, QObject* parent)
    : QObject(parent), m_timer(TimerConnessione)
{
    connect(&m_timer, &QTimer::timeout, this, &CollegamentoLobby::TimerConnessione_Timer);
    // Linked: no further attempts; a later loss is the close below.
    connect(&WSKClient, &QTcpSocket::connected, &m_timer, &QTimer::stop);
    connect(&WSKClient, &QTcpSocket::disconnected, this, &CollegamentoLobby::chiusoDallaLobby);
}

CollegamentoLobby::~CollegamentoLobby()
{
    WSKClient.disconnect(this);
}

quint16 CollegamentoLobby::portaLobby()
{
    bool numero = false;
    const uint porta = qEnvironmentVariable(kVariabilePorta).toUInt(&numero);
    return numero && porta >= 1 && porta <= 65535 ? quint16(porta) : kPortaPredefinita;
}

void CollegamentoLobby::avvia()
{
    m_timer.start();
}

void CollegamentoLobby::TimerConnessione_Timer()
{
    if (connesso()) {
        m_timer.stop();
        return;
    }
    WSKClient.abort();
    Attesa::Pausa(0);
    WSKClient.connectToHost(QHostAddress(QHostAddress::LocalHost), portaLobby());
}

void CollegamentoLobby::invia(const QString& testo)
{
    if (!connesso())
        return;
    WSKClient.write(encodeText(testo));
    WSKClient.flush();
    Attesa::Pausa(0);
}

void CollegamentoLobby::chiudi()
{
    m_timer.stop();
    WSKClient.disconnect(this);
    WSKClient.abort();
}

} // namespace kalimo::voce
