#include "servers/master/accountservice.h"

#include "servers/master/accountstore.h"
#include "servers/master/passwordhash.h"

#include <QLoggingCategory>

namespace kalimo::master {

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcAccounts, "kalimo.master.accounts")

namespace {
// The account or why there is none; a failing store is logged here.
AccountStore::Lookup lookUp(AccountStore* store, const QString& nick)
{
    if (!store)
        return {};
    AccountStore::Lookup found = store->find(nick);
    if (found.status == StoreStatus::Failed)
        qCWarning(lcAccounts).noquote() << store->lastError();
    return found;
}
} // namespace

AccountService::AccountService(const DatabaseConfig& database, const QString& dataDir,
                               quint64 hashOpsLimit, quint64 hashMemLimit, QObject* parent)
    : QObject(parent), m_dataDir(dataDir), m_database(std::make_unique<DatabaseConfig>(database)),
      m_opsLimit(hashOpsLimit), m_memLimit(hashMemLimit), m_worker(new QObject)
{
    initialisePasswordHashing();
    m_pool.setMaxThreadCount(2);
    m_thread.setObjectName(u"kalimo-accounts"_s);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    onStore([this](AccountStore*) {
        m_store = std::make_unique<AccountStore>(*m_database, m_dataDir);
        if (!m_store->open())
            qCWarning(lcAccounts).noquote()
                << u"accounts unavailable: %1"_s.arg(m_store->lastError());
    });
}

AccountService::~AccountService()
{
    // Stop the store thread first, then the pool: a pool task that posts to
    // the stopped thread only leaves an event that is never run.
    QMetaObject::invokeMethod(
        m_worker, [this] { m_store.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    m_pool.waitForDone();
    delete m_worker;
}

void AccountService::listenForEvents(const QString& channel)
{
    onStore([this, channel](AccountStore* store) {
        if (!store)
            return;
        store->listen(channel, [this](const QString& payload) {
            QMetaObject::invokeMethod(
                this, [this, payload] { Q_EMIT event(payload); }, Qt::QueuedConnection);
        });
        if (!store->open())
            qCWarning(lcAccounts).noquote() << store->lastError();
    });
}

void AccountService::logFailure(const AccountStore* store)
{
    qCWarning(lcAccounts).noquote() << store->lastError();
}

void AccountService::onStore(std::function<void(AccountStore*)> work)
{
    QMetaObject::invokeMethod(
        m_worker,
        [this, work = std::move(work)] {
            work(m_store.get());
            if (m_store && m_store->isShared() && !m_store->isOpen())
                QMetaObject::invokeMethod(this, &AccountService::storeLost, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void AccountService::onPool(std::function<void()> work)
{
    m_pool.start(std::move(work));
}

void AccountService::deliver(std::function<void()> answer)
{
    QMetaObject::invokeMethod(
        this,
        [this, answer = std::move(answer)] {
            --m_pending;
            answer();
        },
        Qt::QueuedConnection);
}

void AccountService::checkLogin(const QString& nick, const QString& password,
                                std::function<void(LoginCheck)> done)
{
    ++m_pending;
    auto finish = [this, done](LoginCheck result) { deliver([done, result] { done(result); }); };
    onStore([this, nick, password, finish](AccountStore* store) {
        const AccountStore::Lookup found = lookUp(store, nick);
        if (found.status == StoreStatus::NotFound)
            return finish(LoginCheck::WrongCredentials);
        if (found.status != StoreStatus::Ok)
            return finish(LoginCheck::Unavailable);
        onPool([found, password, finish] {
            if (!verifyPassword(found.record.hash, password))
                return finish(LoginCheck::WrongCredentials);
            // Only a caller who knows the password learns the account is disabled.
            finish(found.record.enabled ? LoginCheck::Accepted : LoginCheck::Disabled);
        });
    });
}

void AccountService::lookUpAccount(const QString& nick, std::function<void(StoreStatus)> done)
{
    ++m_pending;
    onStore([this, nick, done](AccountStore* store) {
        const StoreStatus status = lookUp(store, nick).status;
        deliver([done, status] { done(status); });
    });
}

void AccountService::registerNew(const QString& nick, const QString& password, const QString& email,
                                 std::function<void(RegistrationOutcome)> done)
{
    ++m_pending;
    auto finish = [this, done](RegistrationOutcome result) {
        deliver([done, result] { done(result); });
    };
    onStore([this, nick, password, email, finish](AccountStore* store) {
        // A taken name is answered before paying for a hash.
        const AccountStore::Lookup found = lookUp(store, nick);
        if (found.status == StoreStatus::Ok)
            return finish(RegistrationOutcome::NameTaken);
        if (found.status != StoreStatus::NotFound)
            return finish(RegistrationOutcome::Unavailable);
        // Every master's accounts count: the look is kept in the database.
        bool ok = false;
        const QString twin = store->lookAlikeOf(nick, &ok);
        if (!ok)
            return finish(RegistrationOutcome::Unavailable);
        if (!twin.isEmpty()) {
            qCInfo(lcAccounts).noquote() << u"registration %1 looks like %2"_s.arg(nick, twin);
            return finish(RegistrationOutcome::LooksLike);
        }
        onPool([this, nick, password, email, finish] {
            const std::optional<QByteArray> hash = hashPassword(password, m_opsLimit, m_memLimit);
            if (!hash) {
                qCWarning(lcAccounts) << "password hashing failed (out of memory?)";
                return finish(RegistrationOutcome::Unavailable);
            }
            onStore([nick, email, hash, finish](AccountStore* store) {
                AccountRecord record;
                record.nick = nick;
                record.hash = *hash;
                record.email = email;
                const StoreStatus status = store ? store->insert(record) : StoreStatus::Failed;
                if (status == StoreStatus::Ok)
                    return finish(RegistrationOutcome::Created);
                if (status == StoreStatus::Exists)
                    return finish(RegistrationOutcome::NameTaken);
                if (status == StoreStatus::LooksLike)
                    return finish(RegistrationOutcome::LooksLike);
                if (store)
                    qCWarning(lcAccounts).noquote() << store->lastError();
                finish(RegistrationOutcome::Unavailable);
            });
        });
    });
}

void AccountService::confirmRegistered(const QString& nick, const QString& password,
                                       std::function<void(RegistrationOutcome)> done)
{
    checkLogin(nick, password, [done](LoginCheck check) {
        switch (check) {
        case LoginCheck::Accepted:
        case LoginCheck::Disabled: // the login will tell him; his data are right
            return done(RegistrationOutcome::Confirmed);
        case LoginCheck::WrongCredentials:
            return done(RegistrationOutcome::WrongCredentials);
        case LoginCheck::Unavailable:
            return done(RegistrationOutcome::Unavailable);
        }
    });
}

} // namespace kalimo::master
