#pragma once

#include "servers/master/masterconfig.h"
#include "servers/master/ratewindow.h"
#include "servers/master/roomdirectory.h"

#include <QHash>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

namespace kalimo::master {

class RoomLink;

// The rooms this master runs: one kalimo-roomhost process per room, started
// with the room data on its standard input, listed once it has identified on
// the room link. Permanent rooms start with the master and are restarted
// when they die; a user room leaves the directory when its process ends.
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
    void create(const QString& creator, const QStringList& params, Done done);
    // Orders the room to end; a permanent room comes back. False: no such room.
    bool endRoom(const QString& nome);

    const RoomDirectory& directory() const { return m_directory; }
    quint16 linkPort() const;
    int runningHosts() const;
    // Memory the running room hosts use together (resident, where the system
    // tells; otherwise a typical figure per host).
    qint64 hostMemoryBytes() const;
    // The process id of a room's host, 0 when none runs.
    qint64 hostPid(const QString& nome);

private:
    struct Host
    {
        QProcess* process = nullptr;
        QTimer identifyTimer;
        QTimer restartTimer;
        int backoffMs = 0;
        QSet<quint16> triedPorts;
        bool timedOut = false;
        QByteArray output; // an unfinished line of its log
        Done done;         // the creation waiting for the identification
        QString invited;
    };

    Host& host(quint64 key);
    // Claims the name service-wide, then starts the room's host.
    void claimAndLaunch(quint64 key);
    void changed(const Room& r);
    bool launch(quint64 key);
    QByteArray roomData(const Room& room) const;
    void onHostEnded(quint64 key, QProcess* process, int exitCode, bool crashed);
    void onIdentifyTimeout(quint64 key);
    void scheduleRestart(quint64 key);
    void answer(Host& h, const Reply& reply);
    void fail(quint64 key, QStringView code, const QString& reason);
    void logOutput(quint64 key, Host& h);
    QStringView identify(quint64 link, const QString& serverPassword,
                         const std::optional<int>& port, const QString& identity);
    void onReport(quint64 link, const QString& code, const QStringList& fields);
    void onLinkClosed(quint64 link);

    MasterConfig m_config;
    QString m_program;
    Clock m_clock;
    Notify m_notify;
    Directory m_shared;
    RoomDirectory m_directory;
    RoomLink* m_link;
    std::map<quint64, std::unique_ptr<Host>> m_hosts;
    QHash<QString, RateWindow> m_creations; // by creator
    bool m_stopped = false;
    QString m_error;
};

} // namespace kalimo::master
