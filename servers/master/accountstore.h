#pragma once

#include "servers/master/masterconfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

#include <functional>

class QSqlDatabase;
class QSqlQuery;

namespace kalimo::master {

struct AccountRecord
{
    QString nick;
    QByteArray hash;
    QString email;
    bool enabled = true;
    QDateTime created;
};

enum class StoreStatus { Ok, NotFound, Exists, LooksLike, Failed };

// The master's database: an SQLite file of the data folder, or a PostgreSQL
// database that several masters share. The schema is created on the first
// open and brought up to date by numbered migrations. One instance belongs
// to the thread that made it (QSqlDatabase is bound to its thread). A store
// that could not open, or lost its server, tries again on the next call, so
// a database that comes back brings the service back without a restart.
class AccountStore final
{
public:
    // The SQLite file of `dataDir`.
    explicit AccountStore(const QString& dataDir);
    AccountStore(const DatabaseConfig& database, const QString& dataDir);
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    static QString fileName();
    static int schemaVersion();

    bool open();
    bool isOpen() const { return m_open; }
    bool isShared() const { return m_config.driver == DatabaseConfig::Driver::Postgresql; }
    QString lastError() const { return m_lastError; }
    // The open connection, for the notifications of a shared database.
    QSqlDatabase database() const;

    struct Lookup
    {
        StoreStatus status = StoreStatus::Failed;
        AccountRecord record;
    };
    Lookup find(const QString& nick);
    // Exists when the nick is taken, LooksLike when an account's nick looks
    // the same (ICU's skeleton), also when another master inserts it at the
    // same moment; nothing is half-written on failure.
    StoreStatus insert(const AccountRecord& record);
    // The nick of another account that looks like `nick`, or an empty text;
    // *ok false when the store cannot answer.
    QString lookAlikeOf(const QString& nick, bool* ok);
    StoreStatus setEnabled(const QString& nick, bool enabled);
    // -1 when the store is unavailable.
    qint64 count();

    // Keeps the failure for lastError() and, since the connection may be
    // what failed, rolls back and closes it so the next call opens it
    // again. Always false.
    bool queryFailed(const QString& what, const QSqlQuery& q);

    // A shared database passes the payloads sent to `channel` on, from the
    // next open on (and again after every reconnection).
    void listen(const QString& channel, std::function<void(const QString&)> onPayload);

private:
    bool fail(const QString& what, const QString& detail);
    void subscribe();
    bool connect();
    bool migrate();
    int appliedVersion(QSqlQuery& q, bool* ok);

    DatabaseConfig m_config;
    QString m_dataDir;
    QString m_connection;
    bool m_open = false;
    QString m_lastError;
    QString m_channel;
    std::function<void(const QString&)> m_onPayload;
};

} // namespace kalimo::master
