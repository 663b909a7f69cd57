#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace kalimo::master {

struct AccountRecord
{
    QString nick;
    QByteArray hash;
    QString email;
    bool enabled = true;
    QDateTime created;
};

enum class StoreStatus { Ok, NotFound, Exists, Failed };

// The accounts table in an SQLite file of the data folder. One instance
// belongs to the thread that made it (QSqlDatabase is bound to its thread).
// A store that could not open tries again on the next call, so a data
// folder that comes back brings the service back without a restart.
class AccountStore final
{
public:
    explicit AccountStore(const QString& dataDir);
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    static QString fileName();

    bool open();
    QString lastError() const { return m_lastError; }

    struct Lookup
    {
        StoreStatus status = StoreStatus::Failed;
        AccountRecord record;
    };
    Lookup find(const QString& nick);
    // Exists when the nick is taken; nothing is half-written on failure.
    StoreStatus insert(const AccountRecord& record);
    StoreStatus setEnabled(const QString& nick, bool enabled);
    // -1 when the store is unavailable.
    qint64 count();

private:
    bool fail(const QString& what, const QString& detail);

    QString m_dataDir;
    QString m_connection;
    bool m_open = false;
    QString m_lastError;
};

} // namespace kalimo::master
