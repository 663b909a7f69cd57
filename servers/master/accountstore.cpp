#include "servers/master/accountstore.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {
QAtomicInteger<quint64> g_connections;

constexpr int kSchemaVersion = 1;
} // namespace

AccountStore::AccountStore(const QString& dataDir)
    : m_dataDir(dataDir),
      m_connection(u"kalimo-accounts-"_s + QString::number(g_connections.fetchAndAddRelaxed(1)))
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

bool AccountStore::fail(const QString& what, const QString& detail)
{
    m_lastError = what + u": "_s + detail;
    return false;
}

bool AccountStore::open()
{
    if (m_open)
        return true;
    if (!QDir().mkpath(m_dataDir))
        return fail(QCoreApplication::translate("AccountStore", "cannot create data folder"),
                    m_dataDir);
    QSqlDatabase db = QSqlDatabase::contains(m_connection)
                          ? QSqlDatabase::database(m_connection, false)
                          : QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connection);
    if (!db.isValid())
        return fail(QCoreApplication::translate("AccountStore", "no SQLite driver"), QString());
    db.setDatabaseName(QDir(m_dataDir).filePath(fileName()));
    if (!db.open())
        return fail(QCoreApplication::translate("AccountStore", "cannot open the accounts file"),
                    db.lastError().text());

    QSqlQuery q(db);
    // WAL with full sync: a killed process or a power cut loses at most the
    // commit in flight, and the file always reads.
    const QStringList pragmas = {u"PRAGMA busy_timeout = 5000"_s, u"PRAGMA journal_mode = WAL"_s,
                                 u"PRAGMA synchronous = FULL"_s};
    for (const QString& p : pragmas) {
        if (!q.exec(p)) {
            db.close();
            return fail(QCoreApplication::translate("AccountStore", "cannot set up the accounts "
                                                                    "file"),
                        q.lastError().text());
        }
    }
    if (!q.exec(u"PRAGMA user_version"_s) || !q.next()) {
        db.close();
        return fail(QCoreApplication::translate("AccountStore", "cannot read the accounts file"),
                    q.lastError().text());
    }
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion) {
        db.close();
        return fail(
            QCoreApplication::translate("AccountStore", "the accounts file is of a newer version"),
            QString::number(version));
    }
    if (version < kSchemaVersion) {
        const bool ok = db.transaction() &&
                        q.exec(u"CREATE TABLE IF NOT EXISTS accounts ("
                               "nick TEXT NOT NULL PRIMARY KEY, "
                               "hash TEXT NOT NULL, "
                               "email TEXT NOT NULL, "
                               "enabled INTEGER NOT NULL DEFAULT 1, "
                               "created TEXT NOT NULL)"_s) &&
                        q.exec(u"PRAGMA user_version = %1"_s.arg(kSchemaVersion)) && db.commit();
        if (!ok) {
            const QString detail = q.lastError().text();
            db.rollback();
            db.close();
            return fail(
                QCoreApplication::translate("AccountStore", "cannot create the accounts table"),
                detail);
        }
    }
    m_open = true;
    m_lastError.clear();
    return true;
}

AccountStore::Lookup AccountStore::find(const QString& nick)
{
    Lookup result;
    if (!open())
        return result;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(u"SELECT nick, hash, email, enabled, created FROM accounts WHERE nick = ?"_s);
    q.addBindValue(nick);
    if (!q.exec()) {
        fail(QCoreApplication::translate("AccountStore", "lookup failed"), q.lastError().text());
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
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    // Taking the write lock first makes the look-up and the insert one step.
    if (!q.exec(u"BEGIN IMMEDIATE"_s)) {
        fail(QCoreApplication::translate("AccountStore", "cannot start a transaction"),
             q.lastError().text());
        return StoreStatus::Failed;
    }
    q.prepare(u"SELECT 1 FROM accounts WHERE nick = ?"_s);
    q.addBindValue(record.nick);
    if (!q.exec()) {
        fail(QCoreApplication::translate("AccountStore", "lookup failed"), q.lastError().text());
        QSqlQuery(db).exec(u"ROLLBACK"_s);
        return StoreStatus::Failed;
    }
    if (q.next()) {
        q.finish();
        QSqlQuery(db).exec(u"ROLLBACK"_s);
        return StoreStatus::Exists;
    }
    q.finish();
    q.prepare(
        u"INSERT INTO accounts (nick, hash, email, enabled, created) VALUES (?, ?, ?, ?, ?)"_s);
    q.addBindValue(record.nick);
    q.addBindValue(QString::fromLatin1(record.hash));
    q.addBindValue(record.email);
    q.addBindValue(record.enabled ? 1 : 0);
    const QDateTime created =
        record.created.isValid() ? record.created : QDateTime::currentDateTimeUtc();
    q.addBindValue(created.toUTC().toString(Qt::ISODate));
    if (!q.exec() || !QSqlQuery(db).exec(u"COMMIT"_s)) {
        fail(QCoreApplication::translate("AccountStore", "cannot write the account"),
             q.lastError().text());
        QSqlQuery(db).exec(u"ROLLBACK"_s);
        return StoreStatus::Failed;
    }
    return StoreStatus::Ok;
}

StoreStatus AccountStore::setEnabled(const QString& nick, bool enabled)
{
    if (!open())
        return StoreStatus::Failed;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(u"UPDATE accounts SET enabled = ? WHERE nick = ?"_s);
    q.addBindValue(enabled ? 1 : 0);
    q.addBindValue(nick);
    if (!q.exec()) {
        fail(QCoreApplication::translate("AccountStore", "cannot change the account"),
             q.lastError().text());
        return StoreStatus::Failed;
    }
    return q.numRowsAffected() > 0 ? StoreStatus::Ok : StoreStatus::NotFound;
}

qint64 AccountStore::count()
{
    if (!open())
        return -1;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(u"SELECT COUNT(*) FROM accounts"_s) || !q.next()) {
        fail(QCoreApplication::translate("AccountStore", "cannot count accounts"),
             q.lastError().text());
        return -1;
    }
    return q.value(0).toLongLong();
}

} // namespace kalimo::master
