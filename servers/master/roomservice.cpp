#include "servers/master/roomservice.h"

#include "platform/termination/processes.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"
#include "servers/master/passwordhash.h"
#include "servers/master/roomlink.h"
#include "servers/trust/roomticket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

#include <algorithm>

namespace kalimo::master {

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcRooms, "kalimo.master.rooms")

namespace {

constexpr qsizetype kMaxLogLine = 4096;
// Exit code of kalimo-roomhost when its UDP port cannot be opened.
constexpr int kPortUnavailable = 1;

// A bare program name is looked for beside our own executable first.
QString resolveProgram(const QString& configured)
{
    if (configured.contains(u'/'))
        return configured;
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(configured);
    return QFileInfo(beside).isExecutable() ? beside : configured;
}

QString kindWord(Room::Kind kind)
{
    switch (kind) {
    case Room::Kind::Permanent:
        return u"permanent"_s;
    case Room::Kind::User:
        return u"user"_s;
    case Room::Kind::Private:
        return u"private"_s;
    }
    return {};
}

} // namespace

RoomService::RoomService(const MasterConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_program(resolveProgram(config.roomHostProgram)),
      m_clock(steadyClock()), m_link(new RoomLink(config.roomIdentifyTimeoutMs, this))
{
    m_directory.setClientAddress(config.roomClientAddress);
    m_link->setIdentifyHandler([this](quint64 link, const RoomLink::Identification& id) {
        return identify(link, id, id.peer);
    });
    connect(m_link, &RoomLink::report, this, &RoomService::onReport);
    connect(m_link, &RoomLink::closed, this, &RoomService::onLinkClosed);
}

RoomService::~RoomService()
{
    stop();
}

bool RoomService::start()
{
    const QString where = m_config.roomHostLinkAddress.toString();
    if (!m_link->listen(m_config.roomHostLinkAddress, m_config.roomHostLinkPort)) {
        m_error = m_link->errorString();
        qCWarning(lcRooms).noquote() << u"room link cannot listen on %1:%2: %3; "
                                        u"no rooms on this master"_s.arg(where)
                                            .arg(m_config.roomHostLinkPort)
                                            .arg(m_error);
        return false;
    }
    qCInfo(lcRooms).noquote() << u"room link on %1:%2, room hosts from %3"_s.arg(
        where, QString::number(m_link->port()), m_program);
    m_link->setPlainFromAnywhere(m_config.roomHostLinkPlainFromAnywhere);
    if (m_linkTls) {
        if (!m_link->listenTls(m_config.roomHostLinkAddress, m_config.roomHostLinkTlsPort,
                               *m_linkTls)) {
            m_error = m_link->tlsErrorString();
            qCWarning(lcRooms).noquote()
                << u"room link cannot listen with TLS on %1:%2: %3; no rooms on this master"_s
                       .arg(where)
                       .arg(m_config.roomHostLinkTlsPort)
                       .arg(m_error);
            return false;
        }
        qCInfo(lcRooms).noquote() << u"room link with TLS on %1:%2"_s.arg(where).arg(
            m_link->tlsPort());
    }
    for (const PermanentRoom& p : m_config.permanentRooms) {
        Room& r = m_directory.add(Room::Kind::Permanent, p.nome);
        r.maxUtenti = p.maxUtenti;
        r.maxUtentiAudio = p.maxUtentiAudio;
        r.password = p.password;
        claimAndLaunch(r.key);
    }
    return true;
}

void RoomService::claimAndLaunch(quint64 key)
{
    Room* r = m_directory.find(key);
    if (!r || m_stopped)
        return;
    auto launchOrGiveUp = [this, key] {
        Room* r = m_directory.find(key);
        if (!r)
            return;
        if (launch(key))
            return;
        if (r->kind == Room::Kind::Permanent)
            scheduleRestart(key);
        else
            fail(key, reply::RoomRefused, u"no free UDP port"_s);
    };
    if (!m_shared.claim)
        return launchOrGiveUp();
    m_shared.claim(*r, [this, key, launchOrGiveUp](bool ok, bool taken) {
        Room* r = m_directory.find(key);
        if (!r || m_stopped)
            return;
        if (ok)
            return launchOrGiveUp();
        if (r->kind == Room::Kind::Permanent) {
            // Another master carries it; should that master go, this one
            // takes it over at a later try.
            qCInfo(lcRooms).noquote() << u"room \"%1\": %2; trying again later"_s.arg(
                r->nome, taken ? u"held by another master"_s : u"database unavailable"_s);
            return scheduleRestart(key);
        }
        fail(key, taken ? reply::RoomNameTaken : reply::RoomRefused,
             taken ? u"name in use on another master"_s : u"database unavailable"_s);
    });
}

void RoomService::changed(const Room& r)
{
    if (m_shared.changed)
        m_shared.changed(r);
}

quint16 RoomService::linkPort() const
{
    return m_link->port();
}

RoomService::Host& RoomService::host(quint64 key)
{
    std::unique_ptr<Host>& h = m_hosts[key];
    if (!h) {
        h = std::make_unique<Host>();
        h->identifyTimer.setSingleShot(true);
        connect(&h->identifyTimer, &QTimer::timeout, this, [this, key] { onIdentifyTimeout(key); });
        h->restartTimer.setSingleShot(true);
        connect(&h->restartTimer, &QTimer::timeout, this, [this, key] { claimAndLaunch(key); });
    }
    return *h;
}

QByteArray RoomService::roomData(const Room& r) const
{
    QString data;
    auto line = [&data](QStringView key, const QString& value) {
        if (!value.isEmpty())
            data += key.toString() + u'=' + value + u'\n';
    };
    line(u"name", r.nome);
    line(u"max_users", QString::number(r.maxUtenti));
    line(u"max_speakers", QString::number(r.maxUtentiAudio));
    line(u"password", r.password);
    line(u"permanent", r.kind == Room::Kind::Permanent ? u"true"_s : u"false"_s);
    line(u"port", QString::number(r.port));
    line(u"bind", m_config.roomBindAddress);
    // The processes run here: loopback reaches the link unless it listens
    // on one address only.
    const QHostAddress link = m_config.roomHostLinkAddress;
    line(u"master_host",
         link == QHostAddress::Any || link == QHostAddress::AnyIPv4 || link == QHostAddress::AnyIPv6
             ? u"127.0.0.1"_s
             : link.toString());
    line(u"master_port", QString::number(m_link->port()));
    line(u"server_password", m_config.roomHostLinkPassword);
    // The same secret signs the tickets the lobbies fetch for their users.
    line(u"require_ticket", u"true"_s);
    line(u"identity", r.identity);
    return data.toUtf8();
}

RoomService::Worker* RoomService::workerForNextRoom()
{
    Worker* least = nullptr;
    for (const auto& w : m_workers) {
        if (!least || w->rooms < least->rooms)
            least = w.get();
    }
    // A process of its own for each room while cores are free, then the
    // least busy one.
    const int most = m_config.roomHostProcesses > 0 ? m_config.roomHostProcesses
                                                    : qMax(1, QThread::idealThreadCount());
    if (least && (least->rooms == 0 || int(m_workers.size()) >= most))
        return least;

    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    auto* process = new QProcess(this);
    w->process = process;
    process->setProgram(m_program);
    process->setArguments({u"--rooms"_s});
    // Even a master that is killed outright leaves no room host behind.
    endWithParent(*process);
    connect(process, &QProcess::finished, this, [this, w](int code, QProcess::ExitStatus status) {
        onWorkerEnded(w, status == QProcess::CrashExit ? u"crashed"_s
                                                       : u"ended with exit code %1"_s.arg(code));
    });
    // Queued: a failed start reports from inside start(), while this runs.
    connect(
        process, &QProcess::errorOccurred, this,
        [this, w](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                onWorkerEnded(w, u"could not start"_s);
        },
        Qt::QueuedConnection);
    connect(process, &QProcess::readyReadStandardOutput, this, [this, w] { onWorkerOutput(w); });
    connect(process, &QProcess::readyReadStandardError, this, [this, w] { onWorkerOutput(w); });
    process->start();
    qCInfo(lcRooms).noquote() << u"room host process %1 started (%2 of at most %3)"_s.arg(
        QString::number(process->processId()), QString::number(m_workers.size() + 1),
        QString::number(most));
    m_workers.push_back(std::move(worker));
    return w;
}

bool RoomService::launch(quint64 key)
{
    Room* r = m_directory.find(key);
    if (!r || m_stopped)
        return false;
    Host& h = host(key);
    const QSet<quint16> busy = m_directory.portsInUse() - QSet<quint16>{r->port};
    quint16 port = 0;
    for (quint32 p = m_config.roomFirstUdpPort; p <= m_config.roomLastUdpPort; ++p) {
        if (!busy.contains(quint16(p)) && !h.triedPorts.contains(quint16(p))) {
            port = quint16(p);
            break;
        }
    }
    if (port == 0) {
        qCWarning(lcRooms).noquote() << u"room \"%1\": no free UDP port from %2 to %3"_s.arg(
            r->nome, QString::number(m_config.roomFirstUdpPort),
            QString::number(m_config.roomLastUdpPort));
        return false;
    }
    h.triedPorts.insert(port);
    h.timedOut = false;
    r->port = port;
    r->identity = randomToken();
    r->live = false;
    r->link = 0;
    r->members.clear();

    Worker* w = workerForNextRoom();
    h.worker = w;
    ++w->rooms;
    qCInfo(lcRooms).noquote() << u"room \"%1\" (%2): starting on UDP port %3 in process %4"_s.arg(
        r->nome, kindWord(r->kind), QString::number(port),
        QString::number(w->process->processId()));
    // Room data, password included, goes through the pipe, never the command line.
    w->process->write(roomData(*r) + ".\n");
    h.identifyTimer.start(m_config.roomIdentifyTimeoutMs);
    return true;
}

void RoomService::onWorkerOutput(Worker* w)
{
    const auto lines = [](QByteArray& buffer, const QByteArray& more) {
        buffer += more;
        QList<QByteArray> complete;
        qsizetype end;
        while ((end = buffer.indexOf('\n')) >= 0 || buffer.size() > kMaxLogLine) {
            const qsizetype cut = end >= 0 ? end : kMaxLogLine;
            complete.append(buffer.left(cut));
            buffer.remove(0, end >= 0 ? cut + 1 : cut);
        }
        return complete;
    };
    const QString pid = QString::number(w->process->processId());
    for (const QByteArray& line : lines(w->err, w->process->readAllStandardError()))
        qCInfo(lcRooms).noquote() << u"room host %1: %2"_s.arg(
            pid, stripControlCharacters(QString::fromUtf8(line)));
    // "ended IDENTITY CODE" for each room that ends.
    for (const QByteArray& line : lines(w->out, w->process->readAllStandardOutput())) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        Room* r = f.size() == 3 && f.at(0) == "ended"
                      ? m_directory.byIdentity(QString::fromUtf8(f.at(1)))
                      : nullptr;
        const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
        if (it != m_hosts.end() && it->second->worker == w)
            onHostEnded(r->key, f.at(2).toInt(), false);
    }
}

void RoomService::onWorkerEnded(Worker* w, const QString& how)
{
    const auto it = std::find_if(m_workers.begin(), m_workers.end(),
                                 [w](const auto& p) { return p.get() == w; });
    if (it == m_workers.end())
        return;
    std::unique_ptr<Worker> gone = std::move(*it);
    m_workers.erase(it);
    onWorkerOutput(w);
    qCInfo(lcRooms).noquote() << u"room host process %1 %2 with %3 rooms"_s.arg(
        QString::number(w->process->processId()), how, QString::number(w->rooms));
    w->process->disconnect(this);
    w->process->deleteLater();
    std::vector<quint64> keys;
    for (const auto& [key, h] : m_hosts) {
        if (h->worker == w)
            keys.push_back(key);
    }
    // Only this process's rooms end; permanent ones come back elsewhere.
    for (quint64 key : keys)
        onHostEnded(key, -1, true);
}

void RoomService::orderStop(const Room& r, Host& h)
{
    if (r.link != 0)
        m_link->orderEnd(r.link);
    else if (h.worker)
        h.worker->process->write("stop=" + r.identity.toUtf8() + "\n.\n");
}

void RoomService::onIdentifyTimeout(quint64 key)
{
    const auto it = m_hosts.find(key);
    Room* r = m_directory.find(key);
    if (it == m_hosts.end() || !r || !it->second->worker || r->live)
        return;
    Host& h = *it->second;
    if (h.timedOut) {
        // Not even the order to end was answered: the process is stuck, and
        // so are its other rooms.
        qCWarning(lcRooms).noquote()
            << u"room \"%1\": its host process does not answer; killed"_s.arg(r->nome);
        h.worker->process->kill();
        return;
    }
    qCWarning(lcRooms).noquote() << u"room \"%1\": its host did not identify within %2 ms; "
                                    u"ended"_s.arg(r->nome)
                                        .arg(m_config.roomIdentifyTimeoutMs);
    h.timedOut = true;
    orderStop(*r, h);
    h.identifyTimer.start(m_config.roomIdentifyTimeoutMs);
}

void RoomService::onHostEnded(quint64 key, int exitCode, bool crashed)
{
    const auto it = m_hosts.find(key);
    if (it == m_hosts.end() || !it->second->worker)
        return;
    Host& h = *it->second;
    --h.worker->rooms;
    h.worker = nullptr;
    h.identifyTimer.stop();
    Room* r = m_directory.find(key);
    if (!r)
        return;
    const bool portBusy = !r->live && !h.timedOut && !crashed && exitCode == kPortUnavailable;
    qCInfo(lcRooms).noquote() << u"room \"%1\": host ended (%2 %3)%4"_s.arg(
        r->nome, crashed ? u"crash"_s : u"exit code"_s, QString::number(exitCode),
        portBusy ? u", its port was taken"_s : QString());
    r->live = false;
    r->link = 0;
    r->members.clear();
    changed(*r);
    if (r->kind == Room::Kind::Permanent) {
        if (!portBusy || !launch(key))
            scheduleRestart(key);
        return;
    }
    if (portBusy && launch(key))
        return;
    fail(key, reply::RoomRefused,
         h.timedOut ? u"its host never identified"_s : u"its host ended"_s);
}

void RoomService::scheduleRestart(quint64 key)
{
    Host& h = host(key);
    if (m_stopped || h.restartTimer.isActive())
        return;
    h.backoffMs = h.backoffMs == 0 ? m_config.roomRestartMinMs
                                   : qMin(h.backoffMs * 2, m_config.roomRestartMaxMs);
    // Every port was tried: the next round may find one free again.
    h.triedPorts.clear();
    h.restartTimer.start(h.backoffMs);
}

void RoomService::answer(Host& h, const Reply& reply)
{
    if (h.done) {
        const Done done = std::move(h.done);
        h.done = nullptr;
        done(reply);
    }
    if (!h.invited.isEmpty() && m_notify)
        m_notify(h.invited, reply);
    h.invited.clear();
}

void RoomService::fail(quint64 key, QStringView code, const QString& reason)
{
    const auto it = m_hosts.find(key);
    if (const Room* r = m_directory.find(key))
        qCInfo(lcRooms).noquote() << u"room \"%1\" (%2 of %3) removed: %4"_s.arg(
            r->nome, kindWord(r->kind), r->creator, reason);
    std::unique_ptr<Host> h;
    if (it != m_hosts.end()) {
        h = std::move(it->second);
        m_hosts.erase(it);
    }
    if (const Room* r = m_directory.find(key);
        r && m_shared.removed && code != reply::RoomNameTaken)
        m_shared.removed(*r);
    m_directory.remove(key);
    if (h)
        answer(*h, {code.toString(), {}});
}

void RoomService::create(const QString& creator, const RoomCreation& creation, Done done)
{
    Host pending;
    pending.done = std::move(done);
    // A private room's invited user waits for the outcome too.
    if (!creation.invited.isEmpty() && creation.invited != creator)
        pending.invited = creation.invited;
    int users = 2;
    int speakers = 2;
    std::optional<Refusal> refusal = unfitRoom(creator, creation, users, speakers);
    if (!refusal)
        refusal = unwelcomeCreation(creator, creation.nome);
    if (refusal) {
        qCInfo(lcRooms).noquote() << u"%1 creating \"%2\" refused with %3: %4"_s.arg(
            creator, stripControlCharacters(creation.nome).left(64), refusal->code, refusal->why);
        return answer(pending, {refusal->code.toString(), {}});
    }

    Room& r = m_directory.add(creation.invited.isEmpty() ? Room::Kind::User : Room::Kind::Private,
                              creation.nome);
    r.maxUtenti = users;
    r.maxUtentiAudio = speakers;
    r.password = creation.password;
    r.creator = creator;
    Host& h = host(r.key);
    h.done = std::move(pending.done);
    h.invited = pending.invited;
    claimAndLaunch(r.key);
}

std::optional<RoomService::Refusal> RoomService::unfitRoom(const QString& creator,
                                                           const RoomCreation& creation, int& users,
                                                           int& speakers) const
{
    if (!m_link->isListening())
        return Refusal{reply::RoomRefused, u"rooms unavailable"_s};
    if (!fitRoomText(creation.nome, false) || !fitRoomText(creation.password, true))
        return Refusal{reply::RoomRefused, u"unfit name or password"_s};
    if (!creation.invited.isEmpty()) {
        // A room for the two of them, whatever numbers came along.
        if (creation.invited == creator)
            return Refusal{reply::RoomRefused, u"invites himself"_s};
        return std::nullopt;
    }
    const std::optional<int> u = creation.maxUsers;
    const std::optional<int> s = creation.maxSpeakers;
    if (!u || !s || *u < 2 || *u > m_config.maxUtentiStanza || *s < 1 ||
        *s > m_config.maxUtentiAudioStanza || *s > *u)
        return Refusal{reply::RoomRefused, u"limits exceeded or not numbers"_s};
    users = *u;
    speakers = *s;
    return std::nullopt;
}

std::optional<RoomService::Refusal> RoomService::unwelcomeCreation(const QString& creator,
                                                                   const QString& nome)
{
    if (m_directory.byName(nome))
        return Refusal{reply::RoomNameTaken, u"name in use"_s};
    if (m_directory.roomsOf(creator) >= m_config.roomLiveRoomsPerUser)
        return Refusal{reply::RoomRefused,
                       u"already has %1 rooms"_s.arg(m_config.roomLiveRoomsPerUser)};
    if (!creationAllowed(creator))
        return Refusal{reply::RoomRefused, u"too many rooms in a short time"_s};
    return std::nullopt;
}

bool RoomService::creationAllowed(const QString& creator)
{
    const qint64 now = m_clock();
    if (m_creations.size() > 1024) {
        for (auto it = m_creations.begin(); it != m_creations.end();)
            it = it->idle(now) ? m_creations.erase(it) : std::next(it);
    }
    auto window = m_creations.find(creator);
    if (window == m_creations.end())
        window = m_creations.insert(
            creator, RateWindow(m_config.roomCreationsPerWindow, m_config.roomCreationWindowMs));
    return window->allow(now);
}

QStringView RoomService::identify(quint64 link, const RoomLink::Identification& id,
                                  const QString& peer)
{
    if (!trust::sameSecret(id.serverPassword, m_config.roomHostLinkPassword))
        return roomlink::WrongPassword;
    Room* r = m_directory.byIdentity(id.identity);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    if (!r && !m_config.roomHostLinkPassword.isEmpty())
        return adopt(link, id, peer);
    if (!r || it == m_hosts.end() || !it->second->worker)
        return roomlink::UnknownRoom;
    Host& h = *it->second;
    if (r->link != 0 && r->link != link)
        m_link->close(r->link, u"replaced by a newer link of its room"_s);
    r->link = link;
    r->hostKey = id.hostKey;
    // The room host sends every member again right after identifying.
    r->members.clear();
    if (id.port && *id.port >= 1 && *id.port <= 65535)
        r->port = quint16(*id.port);
    if (!r->live) {
        r->live = true;
        h.identifyTimer.stop();
        h.backoffMs = 0;
        h.triedPorts.clear();
        qCInfo(lcRooms).noquote() << u"room \"%1\" (%2) open at %3:%4"_s.arg(
            r->nome, kindWord(r->kind), m_directory.addressOf(*r), QString::number(r->port));
        QStringList fields{m_directory.addressOf(*r), QString::number(r->port)};
        if (r->kind == Room::Kind::Private)
            fields << r->nome << r->password;
        changed(*r);
        answer(h, {reply::RoomCreated.toString(), fields});
    } else {
        changed(*r);
    }
    return roomlink::Accepted;
}

QStringView RoomService::adopt(quint64 link, const RoomLink::Identification& id,
                               const QString& peer)
{
    // A room host started by hand or by systemd, maybe on another machine.
    if (!fitRoomText(id.nome, false) || !fitRoomText(id.roomPassword, true) || !id.port ||
        *id.port < 1 || *id.port > 65535 || id.maxUsers < 1 || id.maxUsers > kMostRoomUsers)
        return roomlink::Malformed;
    Room* r = m_directory.byName(id.nome);
    if (r && !r->external)
        return roomlink::UnknownRoom;
    if (!r) {
        r = &m_directory.add(id.permanent ? Room::Kind::Permanent : Room::Kind::User, id.nome);
        r->external = true;
    }
    if (r->link != 0 && r->link != link)
        m_link->close(r->link, u"replaced by a newer link of its room"_s);
    r->link = link;
    r->identity = id.identity;
    r->hostKey = id.hostKey;
    r->address = peer;
    r->port = quint16(*id.port);
    r->maxUtenti = id.maxUsers;
    r->maxUtentiAudio = qMax(1, id.maxSpeakers);
    r->password = id.roomPassword;
    r->members.clear();
    const quint64 key = r->key;
    auto open = [this, key] {
        Room* r = m_directory.find(key);
        if (!r)
            return;
        r->live = true;
        qCInfo(lcRooms).noquote() << u"room \"%1\" (%2, its own host) open at %3:%4"_s.arg(
            r->nome, kindWord(r->kind), r->address, QString::number(r->port));
        changed(*r);
    };
    if (!m_shared.claim || r->live) {
        open();
        return roomlink::Accepted;
    }
    m_shared.claim(*r, [this, key, link, open](bool ok, bool) {
        Room* r = m_directory.find(key);
        if (!r || r->link != link)
            return;
        if (ok)
            return open();
        // Another master still holds the name (a dead one, until it
        // expires): the room host tries again after its back-off.
        m_link->close(link, u"the name of \"%1\" is held on the service"_s.arg(r->nome));
    });
    return roomlink::Accepted;
}

void RoomService::onReport(quint64 link, const roomlink::HostMessage& report)
{
    using K = roomlink::HostMessage::Kind;
    Room* r = m_directory.byLink(link);
    if (!r)
        return;
    switch (report.kind) {
    case K::MemberJoined:
        if (!report.nick.isEmpty() && r->members.size() < RoomDirectory::kMaxMembers)
            r->members.insert(report.nick);
        break;
    case K::MemberLeft:
        r->members.remove(report.nick);
        break;
    default:
        return;
    }
    changed(*r);
}

void RoomService::onLinkClosed(quint64 link)
{
    // The room goes on; its host links again and reports its members anew.
    // A room host of its own may link to another master instead: its room
    // leaves this master's directory until it comes back.
    Room* r = m_directory.byLink(link);
    if (!r)
        return;
    r->link = 0;
    if (r->external) {
        const quint64 key = r->key;
        if (r->live && m_shared.removed)
            m_shared.removed(*r);
        m_directory.remove(key);
    }
}

bool RoomService::endRoom(const QString& nome)
{
    Room* r = m_directory.byName(nome);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    if (!r || it == m_hosts.end() || !it->second->worker)
        return false;
    orderStop(*r, *it->second);
    return true;
}

int RoomService::runningHosts() const
{
    int n = 0;
    for (const auto& [key, h] : m_hosts)
        n += h->worker ? 1 : 0;
    return n;
}

qint64 RoomService::hostMemoryBytes() const
{
    constexpr qint64 kTypicalHost = 20 * 1024 * 1024;
    qint64 total = 0;
    for (const auto& w : m_workers) {
        if (!w->process)
            continue;
        const qint64 resident = residentBytes(w->process->processId());
        const qint64 bytes = resident > 0 ? resident : kTypicalHost;
        total += bytes;
    }
    return total;
}

qint64 RoomService::hostPid(const QString& nome)
{
    Room* r = m_directory.byName(nome);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    return it != m_hosts.end() && it->second->worker ? it->second->worker->process->processId() : 0;
}

void RoomService::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    for (auto& [key, h] : m_hosts) {
        h->identifyTimer.stop();
        h->restartTimer.stop();
        const Room* r = m_directory.find(key);
        if (r && r->link != 0)
            m_link->orderEnd(r->link);
    }
    if (!m_workers.empty())
        qCInfo(lcRooms).noquote() << u"ending %1 room host processes"_s.arg(m_workers.size());
    // The end of its input tells a process to end every room it carries.
    for (const auto& w : m_workers) {
        w->process->disconnect(this);
        w->process->closeWriteChannel();
    }
    const QDeadlineTimer grace(m_config.roomStopGraceMs);
    for (const auto& w : m_workers) {
        if (!w->process->waitForFinished(int(qMax<qint64>(1, grace.remainingTime())))) {
            w->process->kill();
            w->process->waitForFinished(2000);
        }
        delete w->process;
    }
    m_workers.clear();
    for (auto& [key, h] : m_hosts)
        h->worker = nullptr;
}

} // namespace kalimo::master
