#include "servers/master/servicetables.h"

#include "servers/master/accountstore.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <functional>

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {
QString tr(const char* text)
{
    return QCoreApplication::translate("ServiceTables", text);
}

bool run(QSqlQuery& q, const QString& sql, const QVariantList& values)
{
    if (!q.prepare(sql))
        return false;
    // A null text would be bound as NULL; every text column holds a text.
    for (const QVariant& v : values)
        q.addBindValue(v.typeId() == QMetaType::QString && v.toString().isNull()
                           ? QVariant(QString(u""_s))
                           : v);
    return q.exec();
}
} // namespace

bool ServiceTables::failed(const QString& what, const QSqlQuery& q)
{
    m_failed = true;
    return m_store.queryFailed(what, q);
}

bool ServiceTables::transaction(const std::function<bool()>& work, const QString& what)
{
    if (!m_store.open()) {
        m_failed = true;
        return false;
    }
    QSqlDatabase db = m_store.database();
    QSqlQuery q(db);
    if (!db.transaction())
        return failed(what, q);
    if (!work())
        return false; // the failing query rolled back and closed
    if (!db.commit())
        return failed(what, q);
    return true;
}

bool ServiceTables::opened(const std::function<bool()>& work)
{
    // A connection the database dropped (a restart) shows only once used:
    // connected again, the work runs once more.
    const bool mayBeStale = m_store.isOpen();
    if (!m_store.open()) {
        m_failed = true;
        return false;
    }
    if (work())
        return true;
    if (!mayBeStale || !m_store.open())
        return false;
    m_failed = false;
    return work();
}

bool ServiceTables::renewMaster(const MasterRow& self, qint64 now, qint64 expires, bool* revived)
{
    QSqlQuery q(m_store.database());
    const QString what = tr("cannot renew this master");
    return transaction(
        [&] {
            if (!run(q,
                     u"UPDATE masters SET name = ?, address = ?, port = ?, chiave = ?, tls = ?, "
                     "expires = ? WHERE id = ?"_s,
                     {self.name, self.address, int(self.port), self.key, self.tls, expires,
                      self.id}))
                return failed(what, q);
            *revived = q.numRowsAffected() == 0;
            const bool ok =
                (!*revived ||
                 run(q,
                     u"INSERT INTO masters (id, name, address, port, chiave, tls, expires) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?)"_s,
                     {self.id, self.name, self.address, int(self.port), self.key, self.tls,
                      expires})) &&
                run(q, u"DELETE FROM masters WHERE expires < ?"_s, {now}) &&
                run(q, u"DELETE FROM online WHERE master NOT IN (SELECT id FROM masters)"_s, {}) &&
                run(q, u"DELETE FROM rooms WHERE master NOT IN (SELECT id FROM masters)"_s, {});
            return ok || failed(what, q);
        },
        what);
}

bool ServiceTables::forgetMaster(const QString& id)
{
    QSqlQuery q(m_store.database());
    const QString what = tr("cannot remove this master");
    return transaction(
        [&] {
            return (run(q, u"DELETE FROM online WHERE master = ?"_s, {id}) &&
                    run(q, u"DELETE FROM rooms WHERE master = ?"_s, {id}) &&
                    run(q, u"DELETE FROM masters WHERE id = ?"_s, {id})) ||
                   failed(what, q);
        },
        what);
}

bool ServiceTables::clearAll()
{
    QSqlQuery q(m_store.database());
    const QString what = tr("cannot clear what an earlier run left");
    return transaction(
        [&] {
            return (run(q, u"DELETE FROM online"_s, {}) && run(q, u"DELETE FROM rooms"_s, {}) &&
                    run(q, u"DELETE FROM masters"_s, {})) ||
                   failed(what, q);
        },
        what);
}

bool ServiceTables::ping()
{
    // Known to be away: the renewal's retries bring it back, without a log line each time.
    if (!m_store.isOpen())
        return true;
    return opened([&] {
        QSqlQuery q(m_store.database());
        return run(q, u"SELECT 1"_s, {}) || failed(tr("cannot reach the database"), q);
    });
}

std::optional<QList<MasterRow>> ServiceTables::liveMasters(qint64 now)
{
    if (!m_store.open()) {
        m_failed = true;
        return std::nullopt;
    }
    QSqlQuery q(m_store.database());
    if (!run(q,
             u"SELECT id, name, address, port, chiave, tls FROM masters WHERE expires >= ? "
             "ORDER BY name, id"_s,
             {now})) {
        failed(tr("cannot list the masters"), q);
        return std::nullopt;
    }
    QList<MasterRow> rows;
    while (q.next())
        rows.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                     quint16(q.value(3).toUInt()), q.value(4).toString(), q.value(5).toString()});
    return rows;
}

StoreStatus ServiceTables::claimNick(const QString& nick, const QString& master, qint64 now)
{
    QSqlQuery q(m_store.database());
    bool taken = false;
    const QString what = tr("cannot note the login");
    // Two statements of their own: clearing a dead master's row is right
    // whatever follows, and the insert alone decides.
    const bool ok = opened([&] {
        // A nick left behind by a master past its expiry is free again.
        if (!run(q,
                 u"DELETE FROM online WHERE nick = ? AND master NOT IN (SELECT id FROM "
                 "masters WHERE expires >= ?)"_s,
                 {nick, now}) ||
            !run(q,
                 u"INSERT INTO online (nick, master, since) VALUES (?, ?, ?) ON CONFLICT "
                 "(nick) DO NOTHING"_s,
                 {nick, master, now}))
            return failed(what, q);
        taken = q.numRowsAffected() == 0;
        return true;
    });
    if (!ok)
        return StoreStatus::Failed;
    return taken ? StoreStatus::Exists : StoreStatus::Ok;
}

bool ServiceTables::releaseNick(const QString& nick, const QString& master)
{
    if (!m_store.open()) {
        m_failed = true;
        return false;
    }
    QSqlQuery q(m_store.database());
    return run(q, u"DELETE FROM online WHERE nick = ? AND master = ?"_s, {nick, master}) ||
           failed(tr("cannot note the logout"), q);
}

ServiceTables::Where ServiceTables::whereIs(const QString& nick, qint64 now)
{
    Where where{StoreStatus::Failed, {}};
    opened([&] {
        QSqlQuery q(m_store.database());
        if (!run(q,
                 u"SELECT o.master FROM online o JOIN masters m ON m.id = o.master WHERE o.nick "
                 "= ? AND m.expires >= ?"_s,
                 {nick, now}))
            return failed(tr("cannot look the user up"), q);
        where = q.next() ? Where{StoreStatus::Ok, q.value(0).toString()}
                         : Where{StoreStatus::NotFound, {}};
        return true;
    });
    return where;
}

ServiceTables::Presence ServiceTables::presenceOf(const QString& nick, qint64 now)
{
    const Where where = whereIs(nick, now);
    if (where.status == StoreStatus::Ok)
        return Presence::Online;
    if (where.status == StoreStatus::Failed)
        return Presence::Unknown;
    switch (m_store.find(nick).status) {
    case StoreStatus::NotFound:
        return Presence::NoAccount;
    case StoreStatus::Ok:
        return Presence::Offline;
    default:
        return Presence::Unknown;
    }
}

StoreStatus ServiceTables::claimRoom(const RoomRow& r, qint64 now)
{
    QSqlQuery q(m_store.database());
    bool taken = false;
    const QString what = tr("cannot note the room");
    // Two statements of their own: clearing a dead master's row is right
    // whatever follows, and the insert alone decides.
    const bool ok = opened([&] {
        if (!run(q,
                 u"DELETE FROM rooms WHERE name_key = ? AND master NOT IN (SELECT id FROM "
                 "masters WHERE expires >= ?)"_s,
                 {roomKey(r.name), now}) ||
            !run(q,
                 u"INSERT INTO rooms (name_key, name, master, kind, members, password, "
                 "address, port, max_users, max_speakers, live, host_key, created) VALUES (?, "
                 "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (name_key) DO UPDATE SET live "
                 "= excluded.live WHERE rooms.master = excluded.master"_s,
                 {roomKey(r.name), r.name, r.master, r.kind, r.members, r.password, r.address,
                  int(r.port), r.maxUsers, r.maxSpeakers, r.live ? 1 : 0, r.hostKey, now}))
            return failed(what, q);
        // Its own room again (a permanent one restarting) counts as claimed.
        taken = q.numRowsAffected() == 0;
        return true;
    });
    if (!ok)
        return StoreStatus::Failed;
    return taken ? StoreStatus::Exists : StoreStatus::Ok;
}

bool ServiceTables::updateRoom(const RoomRow& r)
{
    if (!m_store.open()) {
        m_failed = true;
        return false;
    }
    QSqlQuery q(m_store.database());
    return run(q,
               u"UPDATE rooms SET members = ?, address = ?, port = ?, live = ?, host_key = ? WHERE "
               "name_key = ? AND master = ?"_s,
               {r.members, r.address, int(r.port), r.live ? 1 : 0, r.hostKey, roomKey(r.name),
                r.master}) ||
           failed(tr("cannot update the room"), q);
}

bool ServiceTables::removeRoom(const QString& name, const QString& master)
{
    if (!m_store.open()) {
        m_failed = true;
        return false;
    }
    QSqlQuery q(m_store.database());
    return run(q, u"DELETE FROM rooms WHERE name_key = ? AND master = ?"_s,
               {roomKey(name), master}) ||
           failed(tr("cannot remove the room"), q);
}

std::optional<QList<RoomRow>> ServiceTables::rooms(qint64 now)
{
    if (!m_store.open()) {
        m_failed = true;
        return std::nullopt;
    }
    QSqlQuery q(m_store.database());
    if (!run(q,
             u"SELECT r.name, r.master, r.kind, r.members, r.password, r.address, r.port, "
             "r.max_users, r.max_speakers, r.host_key FROM rooms r JOIN masters m ON m.id = "
             "r.master WHERE "
             "m.expires >= ? AND r.live = 1 ORDER BY r.created, r.name_key"_s,
             {now})) {
        failed(tr("cannot list the rooms"), q);
        return std::nullopt;
    }
    QList<RoomRow> rows;
    while (q.next()) {
        RoomRow r;
        r.name = q.value(0).toString();
        r.master = q.value(1).toString();
        r.kind = q.value(2).toInt();
        r.members = q.value(3).toInt();
        r.password = q.value(4).toString();
        r.address = q.value(5).toString();
        r.port = quint16(q.value(6).toUInt());
        r.maxUsers = q.value(7).toInt();
        r.maxSpeakers = q.value(8).toInt();
        r.hostKey = q.value(9).toString();
        r.live = true;
        rows.append(r);
    }
    return rows;
}

std::optional<QString> ServiceTables::linkSecret(const QString& offered)
{
    if (!m_store.open()) {
        m_failed = true;
        return std::nullopt;
    }
    QSqlQuery q(m_store.database());
    if (!run(q,
             u"INSERT INTO service (name, value) VALUES ('room_link', ?) ON CONFLICT (name) DO "
             "NOTHING"_s,
             {offered}) ||
        !run(q, u"SELECT value FROM service WHERE name = 'room_link'"_s, {}) || !q.next()) {
        failed(tr("cannot read the room link's secret"), q);
        return std::nullopt;
    }
    return q.value(0).toString();
}

ServiceTables::Where ServiceTables::notifyWhereOnline(const QString& nick, const QString& self,
                                                      const QString& payload, qint64 now)
{
    if (!m_store.isShared())
        return {StoreStatus::NotFound, {}};
    Where where{StoreStatus::Failed, {}};
    opened([&] {
        QSqlQuery q(m_store.database());
        if (!run(q,
                 u"SELECT o.master, pg_notify('kalimo_' || o.master, ?) FROM online o JOIN "
                 "masters m ON m.id = o.master WHERE o.nick = ? AND o.master <> ? AND m.expires "
                 ">= ?"_s,
                 {payload, nick, self, now}))
            return failed(tr("cannot pass the event on"), q);
        where = q.next() ? Where{StoreStatus::Ok, q.value(0).toString()}
                         : Where{StoreStatus::NotFound, {}};
        return true;
    });
    return where;
}

} // namespace kalimo::master
