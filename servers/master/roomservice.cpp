#include "servers/master/roomservice.h"

#include "platform/termination/processes.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"
#include "servers/master/passwordhash.h"
#include "servers/master/roomlink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

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
        return identify(link, id.serverPassword, id.port, id.identity);
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
    if (!m_link->listen(QHostAddress::LocalHost, m_config.roomHostLinkPort)) {
        m_error = m_link->errorString();
        qCWarning(lcRooms).noquote() << u"room link cannot listen on 127.0.0.1:%1: %2; "
                                        u"no rooms on this master"_s.arg(m_config.roomHostLinkPort)
                                            .arg(m_error);
        return false;
    }
    qCInfo(lcRooms).noquote() << u"room link on 127.0.0.1:%1, room hosts from %2"_s.arg(
        QString::number(m_link->port()), m_program);
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
    line(u"master_host", u"127.0.0.1"_s);
    line(u"master_port", QString::number(m_link->port()));
    line(u"server_password", m_config.roomHostLinkPassword);
    line(u"identity", r.identity);
    return data.toUtf8();
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
    h.output.clear();
    r->port = port;
    r->identity = randomToken();
    r->live = false;
    r->link = 0;
    r->members.clear();

    auto* process = new QProcess(this);
    h.process = process;
    process->setProgram(m_program);
    process->setProcessChannelMode(QProcess::MergedChannels);
    // Even a master that is killed outright leaves no room host behind.
    endWithParent(*process);
    connect(process, &QProcess::finished, this,
            [this, key, process](int code, QProcess::ExitStatus status) {
                onHostEnded(key, process, code, status == QProcess::CrashExit);
            });
    // Queued: a failed start reports from inside start(), while this runs.
    connect(
        process, &QProcess::errorOccurred, this,
        [this, key, process](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                onHostEnded(key, process, -1, true);
        },
        Qt::QueuedConnection);
    connect(process, &QProcess::readyReadStandardOutput, this, [this, key] {
        const auto it = m_hosts.find(key);
        if (it != m_hosts.end())
            logOutput(key, *it->second);
    });
    qCInfo(lcRooms).noquote() << u"room \"%1\" (%2): starting its host on UDP port %3"_s.arg(
        r->nome, kindWord(r->kind), QString::number(port));
    process->start();
    // Room data, password included, goes through the pipe, never the command line.
    process->write(roomData(*r));
    process->closeWriteChannel();
    h.identifyTimer.start(m_config.roomIdentifyTimeoutMs);
    return true;
}

void RoomService::logOutput(quint64 key, Host& h)
{
    if (!h.process)
        return;
    h.output += h.process->readAll();
    const Room* r = m_directory.find(key);
    const QString nome = r ? r->nome : QString();
    qsizetype end;
    while ((end = h.output.indexOf('\n')) >= 0 || h.output.size() > kMaxLogLine) {
        const qsizetype cut = end >= 0 ? end : kMaxLogLine;
        qCInfo(lcRooms).noquote() << u"room \"%1\": %2"_s.arg(
            nome, stripControlCharacters(QString::fromUtf8(h.output.left(cut))));
        h.output.remove(0, end >= 0 ? cut + 1 : cut);
    }
}

void RoomService::onIdentifyTimeout(quint64 key)
{
    const auto it = m_hosts.find(key);
    Room* r = m_directory.find(key);
    if (it == m_hosts.end() || !r || !it->second->process || r->live)
        return;
    qCWarning(lcRooms).noquote() << u"room \"%1\": its host did not identify within %2 ms; "
                                    u"killed"_s.arg(r->nome)
                                        .arg(m_config.roomIdentifyTimeoutMs);
    it->second->timedOut = true;
    it->second->process->kill();
}

void RoomService::onHostEnded(quint64 key, QProcess* process, int exitCode, bool crashed)
{
    const auto it = m_hosts.find(key);
    if (it == m_hosts.end() || it->second->process != process)
        return; // an older process of the room, already dealt with
    Host& h = *it->second;
    logOutput(key, h);
    h.process = nullptr;
    process->deleteLater();
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

void RoomService::create(const QString& creator, const QStringList& params, Done done)
{
    const QString nome = fieldAt(params, 0);
    const QString password = fieldAt(params, 3);
    const QString invited = stripControlCharacters(fieldAt(params, 4));
    const bool isPrivate = !invited.isEmpty();
    Host refused;
    refused.done = std::move(done);
    // A private room's invited user waits for the outcome too.
    if (isPrivate && invited != creator)
        refused.invited = invited;
    auto refuse = [&](QStringView code, const QString& why) {
        qCInfo(lcRooms).noquote() << u"%1 creating \"%2\" refused with %3: %4"_s.arg(
            creator, stripControlCharacters(nome).left(64), code, why);
        answer(refused, {code.toString(), {}});
    };

    if (!m_link->isListening())
        return refuse(reply::RoomRefused, u"rooms unavailable"_s);
    if (!fitRoomText(nome, false) || !fitRoomText(password, true))
        return refuse(reply::RoomRefused, u"unfit name or password"_s);
    int users = 2;
    int speakers = 2;
    if (isPrivate) {
        // A room for the two of them, whatever numbers came along.
        if (invited == creator)
            return refuse(reply::RoomRefused, u"invites himself"_s);
    } else {
        const std::optional<int> u = parseInt(fieldAt(params, 1));
        const std::optional<int> s = parseInt(fieldAt(params, 2));
        if (!u || !s || *u < 2 || *u > m_config.maxUtentiStanza || *s < 1 ||
            *s > m_config.maxUtentiAudioStanza || *s > *u)
            return refuse(reply::RoomRefused, u"limits exceeded or not numbers"_s);
        users = *u;
        speakers = *s;
    }
    if (m_directory.byName(nome))
        return refuse(reply::RoomNameTaken, u"name in use"_s);
    if (m_directory.roomsOf(creator) >= m_config.roomLiveRoomsPerUser)
        return refuse(reply::RoomRefused,
                      u"already has %1 rooms"_s.arg(m_config.roomLiveRoomsPerUser));
    const qint64 now = m_clock();
    if (m_creations.size() > 1024) {
        for (auto it = m_creations.begin(); it != m_creations.end();)
            it = it->idle(now) ? m_creations.erase(it) : std::next(it);
    }
    auto window = m_creations.find(creator);
    if (window == m_creations.end())
        window = m_creations.insert(
            creator, RateWindow(m_config.roomCreationsPerWindow, m_config.roomCreationWindowMs));
    if (!window->allow(now))
        return refuse(reply::RoomRefused, u"too many rooms in a short time"_s);

    Room& r = m_directory.add(isPrivate ? Room::Kind::Private : Room::Kind::User, nome);
    r.maxUtenti = users;
    r.maxUtentiAudio = speakers;
    r.password = password;
    r.creator = creator;
    Host& h = host(r.key);
    h.done = std::move(refused.done);
    h.invited = refused.invited;
    claimAndLaunch(r.key);
}

QStringView RoomService::identify(quint64 link, const QString& serverPassword,
                                  const std::optional<int>& port, const QString& identity)
{
    if (serverPassword != m_config.roomHostLinkPassword)
        return roomlink::WrongPassword;
    Room* r = m_directory.byIdentity(identity);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    if (!r || it == m_hosts.end() || !it->second->process)
        return roomlink::UnknownRoom;
    Host& h = *it->second;
    if (r->link != 0 && r->link != link)
        m_link->close(r->link, u"replaced by a newer link of its room"_s);
    r->link = link;
    // The room host sends every member again right after identifying.
    r->members.clear();
    if (port && *port >= 1 && *port <= 65535)
        r->port = quint16(*port);
    if (!r->live) {
        r->live = true;
        h.identifyTimer.stop();
        h.backoffMs = 0;
        h.triedPorts.clear();
        qCInfo(lcRooms).noquote() << u"room \"%1\" (%2) open at %3:%4"_s.arg(
            r->nome, kindWord(r->kind), m_directory.clientAddress(), QString::number(r->port));
        QStringList fields{m_directory.clientAddress(), QString::number(r->port)};
        if (r->kind == Room::Kind::Private)
            fields << r->nome << r->password;
        changed(*r);
        answer(h, {reply::RoomCreated.toString(), fields});
    } else {
        changed(*r);
    }
    return roomlink::Accepted;
}

void RoomService::onReport(quint64 link, const QString& code, const QStringList& fields)
{
    Room* r = m_directory.byLink(link);
    if (!r)
        return;
    if (code == roomlink::MemberJoined) {
        const QString nick = fieldAt(fields, 2);
        if (!nick.isEmpty() && r->members.size() < RoomDirectory::kMaxMembers)
            r->members.insert(nick);
    } else if (code == roomlink::MemberLeft) {
        r->members.remove(fieldAt(fields, 1));
    } else {
        return;
    }
    changed(*r);
}

void RoomService::onLinkClosed(quint64 link)
{
    // The room goes on; its host links again and reports its members anew.
    if (Room* r = m_directory.byLink(link))
        r->link = 0;
}

bool RoomService::endRoom(const QString& nome)
{
    Room* r = m_directory.byName(nome);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    if (!r || it == m_hosts.end() || !it->second->process)
        return false;
    if (r->link != 0)
        m_link->orderEnd(r->link);
    else
        it->second->process->terminate();
    return true;
}

int RoomService::runningHosts() const
{
    int n = 0;
    for (const auto& [key, h] : m_hosts)
        n += h->process ? 1 : 0;
    return n;
}

qint64 RoomService::hostPid(const QString& nome)
{
    Room* r = m_directory.byName(nome);
    const auto it = r ? m_hosts.find(r->key) : m_hosts.end();
    return it != m_hosts.end() && it->second->process ? it->second->process->processId() : 0;
}

void RoomService::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    QList<QProcess*> running;
    for (auto& [key, h] : m_hosts) {
        h->identifyTimer.stop();
        h->restartTimer.stop();
        if (!h->process)
            continue;
        h->process->disconnect(this);
        running.append(h->process);
        const Room* r = m_directory.find(key);
        if (r && r->link != 0)
            m_link->orderEnd(r->link);
        else
            h->process->terminate();
    }
    if (!running.isEmpty())
        qCInfo(lcRooms).noquote() << u"ending %1 room hosts"_s.arg(running.size());
    const QDeadlineTimer grace(m_config.roomStopGraceMs);
    for (QProcess* p : running) {
        if (!p->waitForFinished(int(qMax<qint64>(1, grace.remainingTime())))) {
            p->kill();
            p->waitForFinished(2000);
        }
    }
    for (auto& [key, h] : m_hosts) {
        delete h->process;
        h->process = nullptr;
    }
}

} // namespace kalimo::master
