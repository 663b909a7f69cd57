#pragma once

#include <QObject>
#include <QTcpSocket>

class QTimer;

namespace kalimo::voce {

// The voice link from the voice client's side: connects to the lobby that
// started us on the local host, retrying on every tick of its timer until it
// succeeds; carries our private-room requests; tells when the lobby closed it.
class CollegamentoLobby final : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kPortaPredefinita = 13000;
    // The lobby passes the port it listens on to the voice clients it starts.
    static constexpr const char* kVariabilePorta = "KALIMO_VOICE_LINK_PORT";

    // `TimerConnessione` paces the attempts; its interval is the caller's.
    explicit CollegamentoLobby(QTimer& TimerConnessione, QObject* parent = nullptr);
    ~CollegamentoLobby() override;

    // KALIMO_VOICE_LINK_PORT when it holds a port, else 13000.
    static quint16 portaLobby();

    void avvia();
    bool connesso() const { return WSKClient.state() == QAbstractSocket::ConnectedState; }
    // Sent as it is; lost when the link is down, as the lobby expects no reply.
    void invia(const QString& testo);
    // Our own close: not reported.
    void chiudi();

Q_SIGNALS:
    void chiusoDallaLobby();

private:
    void TimerConnessione_Timer();

    QTimer& m_timer;
    QTcpSocket WSKClient;
};

} // namespace kalimo::voce
