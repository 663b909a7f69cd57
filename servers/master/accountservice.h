#pragma once

#include "servers/master/servicetables.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <optional>

namespace kalimo::master {

class AccountStore;
struct DatabaseConfig;
enum class StoreStatus;

enum class LoginCheck { Accepted, WrongCredentials, Disabled, Unavailable };
enum class RegistrationOutcome {
    Created,
    NameTaken,
    LooksLike,
    Unavailable,
    WrongCredentials,
    Confirmed
};

// Account work off the event loop: the store on one thread of its
// own, argon2id on a pool of at most two threads (each hash holds its whole
// memory cost while it runs). Every answer comes back as a queued call on
// the thread that owns this object.
class AccountService final : public QObject
{
    Q_OBJECT
public:
    AccountService(const DatabaseConfig& database, const QString& dataDir, quint64 hashOpsLimit,
                   quint64 hashMemLimit, QObject* parent = nullptr);
    ~AccountService() override;

    void checkLogin(const QString& nick, const QString& password,
                    std::function<void(LoginCheck)> done);
    // A new account (the registration window's "Nuovo utente").
    void registerNew(const QString& nick, const QString& password, const QString& email,
                     std::function<void(RegistrationOutcome)> done);
    // An account the user says he already has ("Utente già registrato").
    void confirmRegistered(const QString& nick, const QString& password,
                           std::function<void(RegistrationOutcome)> done);

    // Whether an account of that nick exists: Ok, NotFound or Failed.
    void lookUpAccount(const QString& nick, std::function<void(StoreStatus)> done);

    // Work on the service-wide tables, on the store's thread; `done` (may
    // be empty) gets the result on this object's thread.
    template <class R>
    void shared(std::function<R(ServiceTables&)> work, std::function<void(R)> done = {})
    {
        ++m_pending;
        onStore([this, work = std::move(work), done = std::move(done)](AccountStore* store) {
            R result{};
            if (store) {
                ServiceTables tables(*store);
                result = work(tables);
                if (tables.failed())
                    logFailure(store);
            }
            deliver([done, result] {
                if (done)
                    done(result);
            });
        });
    }
    // Events other masters send to `channel` arrive as event().
    void listenForEvents(const QString& channel);

    // Queued answers not yet delivered, for tests and a clean shutdown log.
    int pending() const { return m_pending; }

Q_SIGNALS:
    void event(const QString& payload);
    // The shared database's connection is lost (or was never there).
    void storeLost();

private:
    static void logFailure(const AccountStore* store);
    void onStore(std::function<void(AccountStore*)> work);
    void onPool(std::function<void()> work);
    void deliver(std::function<void()> answer);

    QString m_dataDir;
    std::unique_ptr<DatabaseConfig> m_database;
    quint64 m_opsLimit;
    quint64 m_memLimit;
    QThread m_thread;
    QObject* m_worker;
    QThreadPool m_pool;
    std::unique_ptr<AccountStore> m_store; // touched on m_thread only
    int m_pending = 0;
};

} // namespace kalimo::master
