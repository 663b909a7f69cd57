#pragma once

#include "protocol/requests.h"
#include "servers/master/masterconfig.h"
#include "servers/master/ratewindow.h"
#include "servers/master/roomdirectory.h"
#include "servers/master/roomlink.h"

#include <QHash>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QSslConfiguration>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kalimo::master {

// The rooms this master runs, spread over a few kalimo-roomhost processes
// (at most one per core) that each carry many rooms: a room's data goes down
// a process's standard input, and the room is listed once it has identified
// on the room link. Permanent rooms start with the master and are restarted
// when they die; a user room leaves the directory when it ends. A process
// that crashes ends only its own rooms. Room hosts started elsewhere join the
// directory by identifying with the room link's password.
class RoomService final : public QObject
{
    Q_OBJECT
public:
    using Done = std::function<void(const Reply&)>;
    using Notify = std::function<void(const QString& nick, const Reply&)>;

    explicit RoomService(const MasterConfig& config, QObject* parent = nullptr);
    // Ends every room host it started.
    ~RoomService() override;

    // Opens the room link and starts the permanent rooms. False when the
    // link cannot listen: the master then serves without rooms.
    bool start();
    QString errorString() const { return m_error; }
    // Orders every room to end and kills what is still running after the
    // grace period. Blocks for at most about that long.
    void stop();

    void setClock(Clock clock) { m_clock = std::move(clock); }
    // The secret room hosts link with and tickets are signed with, before start().
    void setLinkPassword(const QString& secret) { m_config.roomHostLinkPassword = secret; }
    // The certificate and key the room link's TLS port presents, before start().
    void setLinkTls(const QSslConfiguration& tls) { m_linkTls = tls; }
    // How a reply reaches a user who did not ask (the invited one).
    void setNotify(Notify notify) { m_notify = std::move(notify); }

    // The service-wide directory: a room's name is claimed there before its
    // host starts, and the room is kept current there while it lives.
    struct Directory
    {
        std::function<void(const Room&, std::function<void(bool ok, bool taken)>)> claim;
        std::function<void(const Room&)> changed;
        std::function<void(const Room&)> removed;
    };
    void setSharedDirectory(Directory directory) { m_shared = std::move(directory); }

    // "0007 ": name; max users; max speakers; password [; invited nick].
    // `done` gets the reply, at once or when the room host has identified.
    void create(const QString& creator, const RoomCreation& creation, Done done);
    // Orders the room to end; a permanent room comes back. False: no such room.
    bool endRoom(const QString& nome);

    const RoomDirectory& directory() const { return m_directory; }
    quint16 linkPort() const;
    quint16 linkTlsPort() const { return m_link->tlsPort(); }
    // Rooms whose host runs.
    int runningHosts() const;
    // Memory the running room hosts use together (resident, where the system
    // tells; otherwise a typical figure per host).
    qint64 hostMemoryBytes() const;
    // Room host processes running.
    int hostProcesses() const { return int(m_workers.size()); }
    // The process id of a room's host, 0 when none runs.
    qint64 hostPid(const QString& nome);

private:
    // A room host process and the rooms it carries.
    struct Worker
    {
        QProcess* process = nullptr;
        int rooms = 0;
        QByteArray out; // unfinished lines
        QByteArray err;
    };

    struct Host
    {
        Worker* worker = nullptr; // where the room runs; null when it does not
        QTimer identifyTimer;
        QTimer restartTimer;
        int backoffMs = 0;
        QSet<quint16> triedPorts;
        bool timedOut = false;
        Done done; // the creation waiting for the identification
        QString invited;
    };

    struct Refusal
    {
        QStringView code;
        QString why;
    };
    // Why the room cannot be, or its numbers of users and speakers.
    std::optional<Refusal> unfitRoom(const QString& creator, const RoomCreation& creation,
                                     int& users, int& speakers) const;
    // Why `creator` may not create a room named `nome` now.
    std::optional<Refusal> unwelcomeCreation(const QString& creator, const QString& nome);
    bool creationAllowed(const QString& creator);

    Host& host(quint64 key);
    // Claims the name service-wide, then starts the room's host.
    void claimAndLaunch(quint64 key);
    void changed(const Room& r);
    bool launch(quint64 key);
    QByteArray roomData(const Room& room) const;
    Worker* workerForNextRoom();
    void onWorkerOutput(Worker* w);
    void onWorkerEnded(Worker* w, const QString& how);
    void orderStop(const Room& r, Host& h);
    void onHostEnded(quint64 key, int exitCode, bool crashed);
    void onIdentifyTimeout(quint64 key);
    void scheduleRestart(quint64 key);
    void answer(Host& h, const Reply& reply);
    void fail(quint64 key, QStringView code, const QString& reason);
    QStringView identify(quint64 link, const RoomLink::Identification& id, const QString& peer);
    QStringView adopt(quint64 link, const RoomLink::Identification& id, const QString& peer);
    void onReport(quint64 link, const roomlink::HostMessage& report);
    void onLinkClosed(quint64 link);

    MasterConfig m_config;
    QString m_program;
    Clock m_clock;
    Notify m_notify;
    Directory m_shared;
    RoomDirectory m_directory;
    RoomLink* m_link;
    std::optional<QSslConfiguration> m_linkTls;
    std::map<quint64, std::unique_ptr<Host>> m_hosts;
    std::vector<std::unique_ptr<Worker>> m_workers;
    QHash<QString, RateWindow> m_creations; // by creator
    bool m_stopped = false;
    QString m_error;
};

} // namespace kalimo::master
