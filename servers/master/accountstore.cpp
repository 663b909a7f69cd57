#include "servers/master/accountstore.h"

#include "servers/trust/names.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {
QAtomicInteger<quint64> g_connections;

QString tr(const char* text)
{
    return QCoreApplication::translate("AccountStore", text);
}

// Each migration brings the schema from the version before it to its own;
// statements run in one transaction with the version's row. Both drivers
// read the same SQL.
struct Migration
{
    int version;
    QStringList statements;
};

const QList<Migration>& migrations()
{
    static const QList<Migration> all = {
        {1,
         {u"CREATE TABLE IF NOT EXISTS accounts ("
          "nick TEXT NOT NULL PRIMARY KEY, "
          "hash TEXT NOT NULL, "
          "email TEXT NOT NULL, "
          "enabled INTEGER NOT NULL DEFAULT 1, "
          "created TEXT NOT NULL)"_s}},
        // The service-wide state of masters that share the database.
        {2,
         {u"CREATE TABLE IF NOT EXISTS masters (id TEXT NOT NULL PRIMARY KEY, name TEXT NOT "
          "NULL, address TEXT NOT NULL, port INTEGER NOT NULL, chiave TEXT NOT NULL, expires "
          "BIGINT NOT NULL)"_s,
          u"CREATE TABLE IF NOT EXISTS online (nick TEXT NOT NULL PRIMARY KEY, master TEXT NOT "
          "NULL, since BIGINT NOT NULL)"_s,
          u"CREATE INDEX IF NOT EXISTS online_master ON online (master)"_s,
          u"CREATE TABLE IF NOT EXISTS rooms (name_key TEXT NOT NULL PRIMARY KEY, name TEXT NOT "
          "NULL, master TEXT NOT NULL, kind INTEGER NOT NULL, members INTEGER NOT NULL, password "
          "TEXT NOT NULL, address TEXT NOT NULL, port INTEGER NOT NULL, max_users INTEGER NOT "
          "NULL, max_speakers INTEGER NOT NULL, live INTEGER NOT NULL, created BIGINT NOT "
          "NULL)"_s,
          u"CREATE INDEX IF NOT EXISTS rooms_master ON rooms (master)"_s}},
        // What each nick looks like: a look-alike of an account is refused
        // by the database itself, whichever master registers it. Filled for
        // the accounts of before by backfillSkeletons().
        {3,
         {u"CREATE TABLE IF NOT EXISTS nick_skeletons (skeleton TEXT NOT NULL PRIMARY KEY, nick "
          "TEXT NOT NULL)"_s,
          // Values every master of the service must share (the room link's secret).
          u"CREATE TABLE IF NOT EXISTS service (name TEXT NOT NULL PRIMARY KEY, value TEXT NOT "
          "NULL)"_s}},
        // Where each master takes TLS, and each room host's session key: any
        // master of the service hands them out, not only the one that knows.
        {4,
         {u"ALTER TABLE masters ADD COLUMN tls TEXT NOT NULL DEFAULT ''"_s,
          u"ALTER TABLE rooms ADD COLUMN host_key TEXT NOT NULL DEFAULT ''"_s}},
    };
    return all;
}

constexpr auto kSchemaTable = "kalimo_schema";

QString skeletonOf(const QString& nick)
{
    const QString s = trust::confusableSkeleton(nick);
    return s.isEmpty() ? nick.toCaseFolded() : s;
}

// Accounts made before the look-alike table: the oldest of two look-alikes
// keeps the skeleton.
bool backfillSkeletons(QSqlQuery& q)
{
    if (!q.exec(u"SELECT nick FROM accounts ORDER BY created, nick"_s))
        return false;
    QStringList nicks;
    while (q.next())
        nicks.append(q.value(0).toString());
    for (const QString& nick : std::as_const(nicks)) {
        q.prepare(u"INSERT INTO nick_skeletons (skeleton, nick) VALUES (?, ?) ON CONFLICT "
                  "(skeleton) DO NOTHING"_s);
        q.addBindValue(skeletonOf(nick));
        q.addBindValue(nick);
        if (!q.exec())
            return false;
    }
    return true;
}
} // namespace

AccountStore::AccountStore(const QString& dataDir) : AccountStore(DatabaseConfig(), dataDir) {}

AccountStore::AccountStore(const DatabaseConfig& database, const QString& dataDir)
    : m_config(database), m_dataDir(dataDir),
      m_connection(u"kalimo-store-"_s + QString::number(g_connections.fetchAndAddRelaxed(1)))
{
}

AccountStore::~AccountStore()
{
    if (QSqlDatabase::contains(m_connection)) {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString AccountStore::fileName()
{
    return u"accounts.sqlite"_s;
}

int AccountStore::schemaVersion()
{
    return migrations().last().version;
}

QSqlDatabase AccountStore::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool AccountStore::fail(const QString& what, const QString& detail)
{
    m_lastError = detail.isEmpty() ? what : what + u": "_s + detail;
    return false;
}

bool AccountStore::queryFailed(const QString& what, const QSqlQuery& q)
{
    fail(what, q.lastError().text());
    QSqlDatabase db = database();
    if (db.isValid() && db.isOpen() && db.driver()->hasFeature(QSqlDriver::Transactions))
        db.rollback();
    db.close();
    m_open = false;
    return false;
}

bool AccountStore::connect()
{
    QSqlDatabase db;
    if (isShared()) {
        db = QSqlDatabase::contains(m_connection)
                 ? database()
                 : QSqlDatabase::addDatabase(u"QPSQL"_s, m_connection);
        if (!db.isValid())
            return fail(tr("no PostgreSQL driver (install libqt6sql6-psql)"), QString());
        db.setHostName(m_config.host);
        db.setPort(m_config.port);
        db.setDatabaseName(m_config.name);
        db.setUserName(m_config.user);
        db.setPassword(m_config.password);
        // A database that does not answer must not hold logins for long.
        db.setConnectOptions(u"connect_timeout=5;application_name=kalimo-master"_s);
        if (!db.open())
            return fail(tr("cannot reach the database %1 at %2:%3")
                            .arg(m_config.name, m_config.host)
                            .arg(m_config.port),
                        db.lastError().text());
        return true;
    }
    if (!QDir().mkpath(m_dataDir))
        return fail(tr("cannot create data folder"), m_dataDir);
    db = QSqlDatabase::contains(m_connection)
             ? database()
             : QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connection);
    if (!db.isValid())
        return fail(tr("no SQLite driver"), QString());
    db.setDatabaseName(QDir(m_dataDir).filePath(fileName()));
    if (!db.open())
        return fail(tr("cannot open the accounts file"), db.lastError().text());
    QSqlQuery q(db);
    // WAL with full sync: a killed process or a power cut loses at most the
    // commit in flight, and the file always reads.
    const QStringList pragmas = {u"PRAGMA busy_timeout = 5000"_s, u"PRAGMA journal_mode = WAL"_s,
                                 u"PRAGMA synchronous = FULL"_s};
    for (const QString& p : pragmas) {
        if (!q.exec(p))
            return queryFailed(tr("cannot set up the accounts file"), q);
    }
    return true;
}

int AccountStore::appliedVersion(QSqlQuery& q, bool* ok)
{
    *ok = false;
    const bool hasTable = database().tables().contains(QString::fromLatin1(kSchemaTable));
    if (hasTable) {
        if (!q.exec(u"SELECT MAX(version) FROM kalimo_schema"_s) || !q.next())
            return 0;
        *ok = true;
        return q.value(0).toInt();
    }
    if (isShared()) {
        *ok = true;
        return 0;
    }
    // Files written before the version table kept the version in the header.
    if (!q.exec(u"PRAGMA user_version"_s) || !q.next())
        return 0;
    *ok = true;
    return q.value(0).toInt();
}

bool AccountStore::migrate()
{
    QSqlDatabase db = database();
    QSqlQuery q(db);
    bool ok = false;
    int version = appliedVersion(q, &ok);
    if (!ok)
        return queryFailed(tr("cannot read the schema version"), q);
    if (version > schemaVersion()) {
        db.close();
        return fail(tr("the database is of a newer version"), QString::number(version));
    }
    // A file of the header-only days gets its version table even when its
    // tables are current.
    if (version == schemaVersion() &&
        database().tables().contains(QString::fromLatin1(kSchemaTable)))
        return true;

    // Masters starting together on an empty database: one migrates, the
    // others wait for it and then find nothing left to do.
    const bool begun = isShared()
                           ? db.transaction() && q.exec(u"SELECT pg_advisory_xact_lock(70707070)"_s)
                           : q.exec(u"BEGIN IMMEDIATE"_s);
    if (!begun)
        return queryFailed(tr("cannot start a transaction"), q);
    q.finish();
    if (!q.exec(u"CREATE TABLE IF NOT EXISTS kalimo_schema (version INTEGER NOT NULL PRIMARY "
                "KEY, applied TEXT NOT NULL)"_s))
        return queryFailed(tr("cannot create the schema table"), q);
    if (!q.exec(u"SELECT MAX(version) FROM kalimo_schema"_s) || !q.next())
        return queryFailed(tr("cannot read the schema version"), q);
    if (!q.value(0).isNull())
        version = q.value(0).toInt();
    q.finish();
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    auto record = [&](int v) {
        q.prepare(u"INSERT INTO kalimo_schema (version, applied) VALUES (?, ?)"_s);
        q.addBindValue(v);
        q.addBindValue(now);
        return q.exec();
    };
    // A file of the header-only days: its tables exist, its version is noted.
    if (version > 0 && !q.exec(u"SELECT 1 FROM kalimo_schema WHERE version = %1"_s.arg(version)))
        return queryFailed(tr("cannot read the schema version"), q);
    if (version > 0 && !q.next() && !record(version))
        return queryFailed(tr("cannot record the schema version"), q);
    for (const Migration& m : migrations()) {
        if (m.version <= version)
            continue;
        for (const QString& statement : m.statements) {
            if (!q.exec(statement))
                return queryFailed(tr("cannot bring the schema to version %1").arg(m.version), q);
        }
        if (m.version == 3 && !backfillSkeletons(q))
            return queryFailed(tr("cannot bring the schema to version %1").arg(m.version), q);
        if (!record(m.version))
            return queryFailed(tr("cannot record the schema version"), q);
    }
    if (!isShared() && !q.exec(u"PRAGMA user_version = %1"_s.arg(schemaVersion())))
        return queryFailed(tr("cannot record the schema version"), q);
    const bool committed = isShared() ? db.commit() : q.exec(u"COMMIT"_s);
    if (!committed)
        return queryFailed(tr("cannot record the schema version"), q);
    return true;
}

bool AccountStore::open()
{
    if (m_open)
        return true;
    if (!connect())
        return false;
    if (!migrate())
        return false;
    m_open = true;
    subscribe();
    m_lastError.clear();
    return true;
}

void AccountStore::listen(const QString& channel, std::function<void(const QString&)> onPayload)
{
    m_channel = channel;
    m_onPayload = std::move(onPayload);
    if (m_open)
        subscribe();
}

void AccountStore::subscribe()
{
    if (!isShared() || m_channel.isEmpty())
        return;
    QSqlDriver* driver = database().driver();
    if (!driver->subscribedToNotifications().contains(m_channel) &&
        !driver->subscribeToNotification(m_channel)) {
        fail(tr("cannot listen for events"), driver->lastError().text());
        return;
    }
    // One connection per driver object, which outlives reconnections.
    if (driver->property("kalimoListening").toBool())
        return;
    driver->setProperty("kalimoListening", true);
    QObject::connect(
        driver, &QSqlDriver::notification, driver,
        [this](const QString& name, QSqlDriver::NotificationSource, const QVariant& payload) {
            if (name == m_channel && m_onPayload)
                m_onPayload(payload.toString());
        });
}

AccountStore::Lookup AccountStore::find(const QString& nick)
{
    Lookup result;
    if (!open())
        return result;
    QSqlQuery q(database());
    q.prepare(u"SELECT nick, hash, email, enabled, created FROM accounts WHERE nick = ?"_s);
    q.addBindValue(nick);
    if (!q.exec()) {
        queryFailed(tr("lookup failed"), q);
        return result;
    }
    if (!q.next()) {
        result.status = StoreStatus::NotFound;
        return result;
    }
    result.status = StoreStatus::Ok;
    result.record.nick = q.value(0).toString();
    result.record.hash = q.value(1).toString().toLatin1();
    result.record.email = q.value(2).toString();
    result.record.enabled = q.value(3).toInt() != 0;
    result.record.created = QDateTime::fromString(q.value(4).toString(), Qt::ISODate);
    return result;
}

StoreStatus AccountStore::insert(const AccountRecord& record)
{
    if (!open())
        return StoreStatus::Failed;
    QSqlDatabase db = database();
    QSqlQuery q(db);
    if (!db.transaction()) {
        queryFailed(tr("cannot write the account"), q);
        return StoreStatus::Failed;
    }
    // Of two masters inserting the same nick, or two look-alikes, at once,
    // the database lets exactly one in.
    q.prepare(u"INSERT INTO accounts (nick, hash, email, enabled, created) VALUES (?, ?, ?, ?, ?) "
              "ON CONFLICT (nick) DO NOTHING"_s);
    q.addBindValue(record.nick);
    q.addBindValue(QString::fromLatin1(record.hash));
    q.addBindValue(record.email);
    q.addBindValue(record.enabled ? 1 : 0);
    const QDateTime created =
        record.created.isValid() ? record.created : QDateTime::currentDateTimeUtc();
    q.addBindValue(created.toUTC().toString(Qt::ISODate));
    if (!q.exec()) {
        queryFailed(tr("cannot write the account"), q);
        return StoreStatus::Failed;
    }
    StoreStatus status = q.numRowsAffected() > 0 ? StoreStatus::Ok : StoreStatus::Exists;
    if (status == StoreStatus::Ok) {
        q.prepare(u"INSERT INTO nick_skeletons (skeleton, nick) VALUES (?, ?) ON CONFLICT "
                  "(skeleton) DO NOTHING"_s);
        q.addBindValue(skeletonOf(record.nick));
        q.addBindValue(record.nick);
        if (!q.exec()) {
            queryFailed(tr("cannot write the account"), q);
            return StoreStatus::Failed;
        }
        if (q.numRowsAffected() == 0)
            status = StoreStatus::LooksLike;
    }
    q.finish();
    if (status == StoreStatus::Ok ? !db.commit() : !db.rollback()) {
        queryFailed(tr("cannot write the account"), q);
        return StoreStatus::Failed;
    }
    return status;
}

QString AccountStore::lookAlikeOf(const QString& nick, bool* ok)
{
    *ok = false;
    if (!open())
        return {};
    QSqlQuery q(database());
    q.prepare(u"SELECT nick FROM nick_skeletons WHERE skeleton = ? AND nick <> ?"_s);
    q.addBindValue(skeletonOf(nick));
    q.addBindValue(nick);
    if (!q.exec()) {
        queryFailed(tr("lookup failed"), q);
        return {};
    }
    *ok = true;
    return q.next() ? q.value(0).toString() : QString();
}

StoreStatus AccountStore::setEnabled(const QString& nick, bool enabled)
{
    if (!open())
        return StoreStatus::Failed;
    QSqlQuery q(database());
    q.prepare(u"UPDATE accounts SET enabled = ? WHERE nick = ?"_s);
    q.addBindValue(enabled ? 1 : 0);
    q.addBindValue(nick);
    if (!q.exec()) {
        queryFailed(tr("cannot change the account"), q);
        return StoreStatus::Failed;
    }
    return q.numRowsAffected() > 0 ? StoreStatus::Ok : StoreStatus::NotFound;
}

qint64 AccountStore::count()
{
    if (!open())
        return -1;
    QSqlQuery q(database());
    if (!q.exec(u"SELECT COUNT(*) FROM accounts"_s) || !q.next()) {
        queryFailed(tr("cannot count accounts"), q);
        return -1;
    }
    return q.value(0).toLongLong();
}

} // namespace kalimo::master
