#pragma once

#include "platform/session/seal.h"
#include "platform/session/sessiontypes.h"
#include "platform/session/voiceimpairment.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>

struct _ENetPeer;
struct _ENetEvent;

namespace kalimo::session {

class EnetPump;

// The client end of a room session. It lives on the thread that created it
// (or that it was moved to before its first use) and reports everything
// through signals on that thread. Results are SessionResult values as int.
//
// Use: EnumHosts(); on EnumHostsResponse, Connect(); on ConnectComplete(0),
// Send() and SendVoice(). Close() ends it all quietly; after it the object
// may enumerate and connect again.
class SessionClient final : public QObject
{
    Q_OBJECT

public:
    explicit SessionClient(QObject* parent = nullptr);
    ~SessionClient() override;

    void setTimings(const SessionTimings& timings) { m_timings = timings; }
    // Test hook: loses and delays arriving voice frames (off by default).
    void setVoiceImpairment(const VoiceImpairment::Settings& settings);

    // Starts asking the host at host:port (a name or an IPv4 address) for a
    // session of the given application, every enumRetryMs until it answers,
    // Connect() or Close(). A name that does not resolve gives EnumHostsFailed.
    void EnumHosts(const QString& host, quint16 port, const QUuid& appGuid);
    void StopEnumHosts();

    // Joins the session of the host last given to EnumHosts. The outcome
    // always arrives later, as ConnectComplete. Everything after the
    // enumeration is sealed under keys agreed with the host's public key:
    // `hostKey` as the room's listing gave it, so that nobody else can pose
    // as the host (BadHello then); empty, the key of the host's enumeration
    // answer, which keeps out listeners but not a host posing as this one.
    void Connect(const QString& playerName, const QString& password,
                 const QByteArray& hostKey = {});
    // The master's ticket for this nick and room, sent with the hello of
    // every later Connect.
    void setTicket(const QString& ticket) { m_ticket = ticket; }

    // Room texts on the reliable channel (guaranteed: delivered, in order;
    // otherwise it may be lost). False when not connected or too large.
    bool Send(const QByteArray& payload, bool guaranteed = true);
    // One voice frame, unsequenced, numbered by this client.
    bool SendVoice(const QByteArray& frame);
    // The same with the sender's own number: a voice engine counts frame
    // periods, silent ones too, so the listener can place each frame in time.
    bool SendVoice(const QByteArray& frame, quint16 seq);

    // Tells a speaker how many of its frames we lost lately (percent).
    bool SendLossReport(qint32 speakerId, int lossPercent);

    // Ends the session: the host sees the disconnect at once. No signal
    // follows. Safe to call at any time, any number of times.
    void Close();

    bool isConnected() const { return m_state == State::Connected; }
    // The id the host gave us; 0 until connected.
    qint32 localPlayerId() const { return m_playerId; }
    // In the user's language: it may reach a box.
    QString errorString() const { return m_error; }
    SessionDrops drops() const { return m_drops; }

Q_SIGNALS:
    void EnumHostsResponse(const QString& roomName, int players, int maxPlayers);
    void EnumHostsFailed(const QString& error);
    void ConnectComplete(int result);
    void Receive(const QByteArray& payload);
    void VoiceReceived(qint32 playerId, quint16 seq, const QByteArray& frame);
    // A listener's report on our frames.
    void LossReported(qint32 listenerId, int lossPercent);
    void TerminateSession(int reason);

private:
    enum class State { Idle, Connecting, Hello, Connected };

    bool ensurePump();
    void resolved(quint64 generation, const QString& ip);
    void sendEnumQuery();
    void startConnect();
    void connectWithCookie();
    QByteArray hostKey() const { return m_pinnedKey.isEmpty() ? m_answeredKey : m_pinnedKey; }
    void sendHello();
    void finishConnect(SessionResult result);
    void onEvent(const _ENetEvent& event);
    void onReceive(int channel, QByteArrayView data);
    void failLater(SessionResult result);
    void reset();

    SessionTimings m_timings;
    EnetPump* m_pump = nullptr;
    _ENetPeer* m_peer = nullptr;
    State m_state = State::Idle;
    // Bumped by Close(): callbacks of an older session see it and stay quiet.
    quint64 m_generation = 0;

    QUuid m_app;
    quint16 m_port = 0;
    QString m_hostIp; // empty until the name is resolved
    bool m_resolving = false;
    bool m_lookupFailed = false;
    bool m_connectWanted = false;
    QString m_playerName;
    QString m_password;
    QString m_ticket;
    // The host's proof that we receive at our address, from its last answer.
    quint32 m_cookie = 0;
    bool m_haveCookie = false;
    bool m_awaitCookie = false;
    QElapsedTimer m_cookieAge;
    QByteArray m_pinnedKey;
    QByteArray m_answeredKey;
    quint8 m_hostCiphers = 0;
    std::optional<SessionSeal> m_seal;
    SessionDrops m_drops;

    QTimer m_enumTimer;
    QTimer m_connectTimer;
    qint32 m_playerId = 0;
    quint16 m_voiceSeq = 0;
    QString m_error;
    std::optional<VoiceImpairment> m_impairment;
};

} // namespace kalimo::session
