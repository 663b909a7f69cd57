#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QSqlQuery;

namespace kalimo::master {

class AccountStore;
enum class StoreStatus;

// A master of the service as the others see it: where lobbies reach it, and
// until when it counts as alive (it renews that every check interval).
struct MasterRow
{
    QString id;
    QString name;
    QString address;
    quint16 port = 0;
    QString key;
    QString tls; // "tls:PORT[:sha256=HEX]", or empty without TLS
};

// A room of the service-wide directory.
struct RoomRow
{
    QString name;
    QString master;
    int kind = 0; // Room::Kind as a number
    int members = 0;
    QString password;
    QString address;
    quint16 port = 0;
    int maxUsers = 0;
    int maxSpeakers = 0;
    bool live = false;
    QString hostKey; // the room host's session key in hex, as it identified
};

// The tables that make several masters one service: masters with their
// expiry, who is online on which master, the rooms. A row of a master past
// its expiry counts as gone at once and is cleared at the next renewal of
// any master. Runs on the store's thread; every change is one transaction.
class ServiceTables final
{
public:
    explicit ServiceTables(AccountStore& store) : m_store(store) {}

    // *revived: the row was not there (first start, or the others took this
    // master for dead and cleared what it held).
    bool renewMaster(const MasterRow& self, qint64 now, qint64 expires, bool* revived);
    bool forgetMaster(const QString& id);
    // A master alone on its file: what an earlier run left behind is stale.
    bool clearAll();
    // Reconnects (and listens again) when the database dropped the connection.
    bool ping();
    std::optional<QList<MasterRow>> liveMasters(qint64 now);

    // Exists when the nick is online on a live master.
    StoreStatus claimNick(const QString& nick, const QString& master, qint64 now);
    bool releaseNick(const QString& nick, const QString& master);
    struct Where
    {
        StoreStatus status;
        QString master;
    };
    Where whereIs(const QString& nick, qint64 now);
    enum class Presence { Online, Offline, NoAccount, Unknown };
    Presence presenceOf(const QString& nick, qint64 now);

    // Exists when a live master holds a room of that name, in any case.
    StoreStatus claimRoom(const RoomRow& room, qint64 now);
    bool updateRoom(const RoomRow& room);
    bool removeRoom(const QString& name, const QString& master);
    // Live rooms of live masters, oldest first.
    std::optional<QList<RoomRow>> rooms(qint64 now);

    // Passes `payload` on to the master other than `self` where `nick` is
    // online, in one round trip: Ok with that master, or NotFound.
    Where notifyWhereOnline(const QString& nick, const QString& self, const QString& payload,
                            qint64 now);

    // The room link's secret of the service: the first master's `offered`
    // one, which every later master reads; nothing when the store fails.
    std::optional<QString> linkSecret(const QString& offered);

    // Whether a query of this object failed (the store has the reason).
    bool failed() const { return m_failed; }

    static QString roomKey(const QString& name) { return name.toCaseFolded(); }

private:
    bool transaction(const std::function<bool()>& work, const QString& what);
    // Statements without a transaction: one round trip each, no BEGIN/COMMIT.
    bool opened(const std::function<bool()>& work);

    bool failed(const QString& what, const QSqlQuery& q);

    AccountStore& m_store;
    bool m_failed = false;
};

} // namespace kalimo::master
