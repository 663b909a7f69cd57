#pragma once

#include "platform/session/seal.h"
#include "platform/session/sessiontypes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>
#include <unordered_map>

class QTimer;

struct _ENetPeer;
struct _ENetEvent;
struct _ENetAddress;

namespace kalimo::session {

class EnetPump;

// The host end of a room session: one UDP port, one application GUID, a
// player limit. It lives on the thread that created it (or that it was moved
// to before Listen) and reports through signals on that thread.
//
// Player ids are positive 32-bit numbers, never given twice while the
// process runs; 0 addresses every player. A peer becomes a player only once
// its hello is accepted: only players get CreatePlayer and DestroyPlayer.
class SessionHost final : public QObject
{
    Q_OBJECT

public:
    // Decides on a hello that passed the host's own checks (well formed,
    // right application, room not full, name not in use). Returns Accepted
    // or the reason to refuse with. It must not destroy the host.
    using HelloCheck = std::function<SessionResult(const QString& name, const QString& password,
                                                   const QString& ticket)>;

    explicit SessionHost(QObject* parent = nullptr);
    ~SessionHost() override;

    void setTimings(const SessionTimings& timings) { m_timings = timings; }
    // Before Listen: how many connect attempts strangers may hold open.
    void setAdmission(const AdmissionLimits& limits) { m_admission = limits; }
    void setHelloCheck(HelloCheck check) { m_check = std::move(check); }
    // What enumeration answers carry besides the live player count.
    void setRoomName(const QString& name) { m_roomName = name; }
    // Within the capacity given to Listen once listening.
    void setMaxPlayers(int maxPlayers);
    int maxPlayers() const { return m_maxPlayers; }
    // The key pair members check the host by; Listen makes one when none
    // was given. Its public half goes to the lobbies with the room's listing.
    void setHostKeys(const HostKeys& keys) { m_keys = keys; }
    QByteArray publicKey() const { return m_keys.publicKey; }
    SessionDrops drops() const { return m_drops; }

    // Opens the room's UDP port on an IPv4 address (empty: every address);
    // port 0 picks a free one, see port(). False with errorString() set when
    // the port cannot be opened or the limit is out of range (1..4094).
    bool Listen(const QString& address, quint16 port, const QUuid& appGuid, int maxPlayers);
    bool isListening() const { return m_pump != nullptr; }
    quint16 port() const;

    int playerCount() const { return static_cast<int>(m_players.size()); }
    QList<qint32> playerIds() const { return m_players.keys(); }
    QString playerName(qint32 id) const;

    // To one player, or to every player with id 0. False when the id is not
    // a player, the payload is empty or too large, or nobody could be sent to.
    bool SendTo(qint32 id, const QByteArray& payload, bool guaranteed = true);
    // Forwards a voice frame spoken by fromId to one player, or with id 0 to
    // every player but the speaker.
    bool SendVoiceTo(qint32 id, qint32 fromId, quint16 seq, const QByteArray& frame);

    // Ends the session for everybody at once (they see HostClosed). No
    // signal follows. Safe to call at any time, any number of times.
    void Close();

    // English: it goes to the room host's log.
    QString errorString() const { return m_error; }
    // Connect datagrams dropped before ENet saw them, and enumeration
    // queries left unanswered, since Listen.
    qint64 droppedConnects() const { return m_droppedConnects; }
    qint64 unansweredQueries() const { return m_unansweredQueries; }
    // Connect attempts from addresses that proved they receive, not yet members.
    int halfOpen() const;

Q_SIGNALS:
    void CreatePlayer(qint32 id, const QString& name);
    void DestroyPlayer(qint32 id);
    void Receive(qint32 id, const QByteArray& payload);
    void VoiceReceived(qint32 id, quint16 seq, const QByteArray& frame);

private:
    struct Peer
    {
        quint32 connectId = 0;
        qint32 playerId = 0; // 0 while the hello is awaited
        bool refused = false;
        std::optional<SessionSeal> seal; // from the hello on
    };
    struct Player
    {
        _ENetPeer* peer = nullptr;
        QString name;
        // Its peer's, which outlives it: no look-up per relayed frame.
        SessionSeal* seal = nullptr;
    };

    void onEvent(const _ENetEvent& event);
    void onConnect(_ENetPeer* peer);
    void onReceive(_ENetPeer* peer, quint8 channel, unsigned char* sealed, qsizetype size);
    void onLossReport(qint32 listener, QByteArrayView data);
    void onDisconnect(_ENetPeer* peer);
    void onHello(_ENetPeer* peer, QByteArrayView data);
    void refuse(_ENetPeer* peer, Peer& state, SessionResult reason);
    // The host's own conditions: room not full, name not in use.
    SessionResult ownVerdict(const QString& name) const;
    // To one player, or with id 0 to every player but `except`.
    bool sendOn(qint32 id, qint32 except, int channel, QByteArrayView bytes, quint32 flags);
    qint32 nextPlayerId();
    void answerEnumeration(const _ENetAddress& from, QByteArrayView query);
    bool admitConnect(const _ENetAddress& from, quint32 data);
    quint32 cookieFor(quint32 host, qint64 period) const;
    bool enumAllowed(quint32 host);
    // Drops what has been half open for longer than the hello time.
    void sweep();
    void forget(_ENetPeer* peer);

    struct Bucket
    {
        double tokens = 0;
        qint64 last = 0;
    };
    struct Attempt
    {
        quint32 connectId = 0;
        qint64 since = 0;
    };

    SessionTimings m_timings;
    AdmissionLimits m_admission;
    HelloCheck m_check;
    QByteArray m_cookieKey;
    QElapsedTimer m_clock;
    QTimer* m_sweeper = nullptr;
    std::unordered_map<_ENetPeer*, Attempt> m_attempts;
    QHash<quint32, Bucket> m_enumBuckets;
    Bucket m_enumTotal;
    qint64 m_droppedConnects = 0;
    qint64 m_unansweredQueries = 0;
    EnetPump* m_pump = nullptr;
    QUuid m_app;
    QString m_roomName;
    int m_maxPlayers = 0;
    int m_capacity = 0; // players ENet has room for, the spare slot aside
    quint64 m_generation = 0;
    qint32 m_lastId = 0;
    std::unordered_map<_ENetPeer*, Peer> m_peers;
    QMap<qint32, Player> m_players;
    HostKeys m_keys;
    SessionDrops m_drops;
    QString m_error;
};

} // namespace kalimo::session
