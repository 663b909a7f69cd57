#pragma once

#include "platform/session/sessionhost.h"
#include "room/stanza.h"
#include "servers/roomhost/ratelimit.h"
#include "servers/roomhost/roomconfig.h"

#include <QObject>
#include <QSet>
#include <QSslSocket>
#include <QTimer>
#include <unordered_map>

#include <functional>
#include <memory>
#include <optional>

namespace kalimo::roomhost {

class SessionSender;

// One room: hosts its session, keeps its members in a Stanza, relays their
// messages and the floor holders' voice, and reports to the master when a
// master is configured. Single-threaded; everything runs on its thread.
class RoomHost final : public QObject
{
    Q_OBJECT

public:
    using LogSink = std::function<void(const QString&)>;

    explicit RoomHost(const RoomHostConfig& config, QObject* parent = nullptr);
    ~RoomHost() override;

    // Where log lines go; standard error by default.
    void setLogSink(LogSink sink) { m_log = std::move(sink); }
    // Tests drive the flood limits with their own clock.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Opens the session (and the master link); false with errorString().
    bool start();
    quint16 port() const { return m_session.port(); }
    // What members check the room host by.
    QByteArray publicKey() const { return m_session.publicKey(); }
    QString errorString() const { return m_error; }

    // Ends the room: every member sees the session end, the link closes.
    // `ended` follows from the event loop. Safe to call more than once.
    void finish(const QString& reason);
    bool isFinished() const { return m_finished; }

    const Stanza& stanza() const { return m_stanza; }
    bool linkConnected() const { return m_stanza.EstConnessoAServer; }
    // Only nicks with the master's ticket for this room get in.
    bool requiresTicket() const;
    const session::SessionHost& session() const { return m_session; }
    // Members' payloads dropped for flooding or size, since the start.
    qint64 droppedPayloads() const { return m_dropped; }

Q_SIGNALS:
    void ended(const QString& reason);

private:
    struct Member
    {
        TokenBucket control;
        TokenBucket voice;
        std::optional<bool> heldTalk; // a talk state the limit held back
        bool floodLogged = false;
    };

    session::SessionResult checkHello(const QString& name, const QString& password,
                                      const QString& ticket) const;
    void onCreatePlayer(qint32 id, const QString& name);
    void onDestroyPlayer(qint32 id);
    void onReceive(qint32 id, const QByteArray& payload);
    void onVoice(qint32 id, quint16 seq, const QByteArray& frame);
    void relay(qint32 id, const QList<inroom::Request>& messages);
    void applyHeldTalk();
    void noteFloor();
    void send(qint32 id, const QString& message);

    void connectLink();
    void onLinkConnected();
    // Identifies once the link is up: at once in clear, after the handshake in TLS.
    void onLinkReady();
    void onCertificateErrors(const QList<QSslError>& errors);
    void onLinkClosed();
    void scheduleReconnect();
    void nextMaster();
    void onTermina();

    void log(const QString& line) const;
    QString who(qint32 id) const;

    RoomHostConfig m_config;
    Clock m_clock;
    LogSink m_log;
    Stanza m_stanza;
    session::SessionHost m_session;
    std::unique_ptr<SessionSender> m_sender;
    std::unordered_map<qint32, Member> m_members;
    QSet<qint32> m_speakers;
    QTimer m_firstJoin;
    QTimer m_heldTimer;
    QSslSocket m_link;
    QTimer m_reconnect;
    int m_backoffMs = 0;
    int m_master = 0; // which master of the list the link goes to
    qint64 m_dropped = 0;
    bool m_linkUp = false;
    bool m_departing = false;
    bool m_everJoined = false;
    bool m_finished = false;
    QString m_error;
};

} // namespace kalimo::roomhost
