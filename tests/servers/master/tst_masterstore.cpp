#include "protocol/separators.h"
#include "servers/master/accountstore.h"
#include "servers/master/masterconfig.h"
#include "servers/master/masteroptions.h"
#include "servers/master/masterserver.h"
#include "servers/master/passwordhash.h"
#include "tests/support/postgres.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

using namespace kalimo::master;

class TestMasterStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void hashing();
    void accounts_data();
    void accounts();
    void olderFileOpens();
    void nicks_data();
    void nicks();
    void configDefaults();
    void configBadValues();
    void masterListFallback();
    void options();

private:
    DatabaseConfig freshDatabase(const QString& driver);

    TestPostgres m_postgres;
    int m_databases = 0;
};

void TestMasterStore::hashing()
{
    QVERIFY(initialisePasswordHashing());
    const QByteArray hash =
        hashPassword("Segreto è", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN)
            .value_or(QByteArray());
    QVERIFY(hash.startsWith("$argon2id$"));
    QVERIFY(verifyPassword(hash, "Segreto è"));
    QVERIFY(!verifyPassword(hash, "segreto è"));
    // Damaged or foreign hash texts never match and never crash.
    for (const QByteArray& damaged : {QByteArray(), QByteArray("$argon2id$garbage"),
                                      QByteArray(500, 'a'), hash.left(hash.size() - 3)})
        QVERIFY(!verifyPassword(damaged, "Segreto è"));
}

void TestMasterStore::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.error()));
}

DatabaseConfig TestMasterStore::freshDatabase(const QString& driver)
{
    DatabaseConfig c;
    if (driver == "sqlite")
        return c;
    const QString name = QStringLiteral("store_%1").arg(++m_databases);
    [&] { QVERIFY2(m_postgres.createDatabase(name), qPrintable(m_postgres.error())); }();
    c.driver = DatabaseConfig::Driver::Postgresql;
    c.port = m_postgres.port();
    c.name = name;
    c.user = TestPostgres::user();
    return c;
}

void TestMasterStore::accounts_data()
{
    QTest::addColumn<QString>("driver");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

void TestMasterStore::accounts()
{
    QFETCH(QString, driver);
    QTemporaryDir dir;
    const DatabaseConfig config = freshDatabase(driver);
    AccountStore store(config, dir.filePath("sub/folder"));
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QCOMPARE(store.find("anna").status, StoreStatus::NotFound);
    AccountRecord r{"anna", "$argon2id$x", "anna@example.org", true, {}};
    QCOMPARE(store.insert(r), StoreStatus::Ok);
    QCOMPARE(store.insert(r), StoreStatus::Exists);
    // A second master on the same database sees the account and cannot
    // take the nick again.
    AccountStore other(config, dir.filePath("sub/folder"));
    QCOMPARE(other.insert(r), StoreStatus::Exists);
    QCOMPARE(other.count(), 1);
    const AccountStore::Lookup found = other.find("anna");
    QCOMPARE(found.status, StoreStatus::Ok);
    QCOMPARE(found.record.hash, QByteArray("$argon2id$x"));
    QCOMPARE(found.record.email, "anna@example.org");
    QVERIFY(found.record.enabled);
    QVERIFY(qAbs(found.record.created.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
    QCOMPARE(other.setEnabled("anna", false), StoreStatus::Ok);
    QVERIFY(!store.find("anna").record.enabled);
    QCOMPARE(store.setEnabled("nobody", false), StoreStatus::NotFound);
    // A look-alike (Cyrillic a) is refused by the database whichever store
    // writes it, and leaves no account behind.
    bool ok = false;
    QCOMPARE(other.lookAlikeOf(QStringLiteral("\u0430nna"), &ok), "anna");
    QVERIFY(ok);
    QCOMPARE(other.lookAlikeOf("anna", &ok), "");
    QCOMPARE(other.insert(AccountRecord{QStringLiteral("\u0430nna"), "h", "e", true, {}}),
             StoreStatus::LooksLike);
    QCOMPARE(store.find(QStringLiteral("\u0430nna")).status, StoreStatus::NotFound);

    // The schema is versioned in its own table, once per migration.
    QSqlQuery q(store.database());
    QVERIFY(q.exec("SELECT version FROM kalimo_schema ORDER BY version"));
    QList<int> versions;
    while (q.next())
        versions.append(q.value(0).toInt());
    QCOMPARE(versions.size(), AccountStore::schemaVersion());
    QCOMPARE(versions.last(), AccountStore::schemaVersion());

    // A schema newer than this program is refused, and nothing is written.
    QVERIFY(q.exec("INSERT INTO kalimo_schema (version, applied) VALUES (99, 'x')"));
    AccountStore newer(config, dir.filePath("sub/folder"));
    QVERIFY(!newer.open());
    QVERIFY(newer.lastError().contains("newer"));
    QCOMPARE(newer.find("x").status, StoreStatus::Failed);
    QCOMPARE(newer.insert(AccountRecord{"x", "h", "e", true, {}}), StoreStatus::Failed);
    QCOMPARE(newer.count(), -1);
}

void TestMasterStore::olderFileOpens()
{
    // An accounts file of the days before the version table: version 1 in
    // its header, its accounts kept.
    QTemporaryDir dir;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "older");
        db.setDatabaseName(dir.filePath(AccountStore::fileName()));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("CREATE TABLE accounts (nick TEXT NOT NULL PRIMARY KEY, hash TEXT NOT "
                       "NULL, email TEXT NOT NULL, enabled INTEGER NOT NULL DEFAULT 1, created "
                       "TEXT NOT NULL)"));
        QVERIFY(q.exec("INSERT INTO accounts VALUES ('bice', 'h', 'b@example.org', 1, "
                       "'2025-01-02T03:04:05Z')"));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO accounts VALUES ('bic\u0435', 'h', "
                                      "'c@example.org', 1, '2025-02-02T03:04:05Z')")));
        QVERIFY(q.exec("PRAGMA user_version = 1"));
    }
    QSqlDatabase::removeDatabase("older");
    AccountStore store(dir.path());
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QCOMPARE(store.find("bice").record.email, "b@example.org");
    QCOMPARE(store.count(), 2);
    // Look-alikes of before stay; the older one holds the look.
    bool ok = false;
    QCOMPARE(store.lookAlikeOf("bic\u0435", &ok), "bice");
    QSqlQuery q(store.database());
    QVERIFY(q.exec("SELECT MIN(version), MAX(version) FROM kalimo_schema") && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    QCOMPARE(q.value(1).toInt(), AccountStore::schemaVersion());
}

void TestMasterStore::nicks_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const QString& typed, const QString& expected) {
        QTest::newRow(name) << typed << expected;
    };
    row("blanks and capitals", "  Mario  ", "mario");
    row("three", "abc", "abc");
    row("two", " ab ", "");
    row("twenty", QString(20, 'z'), QString(20, 'z'));
    row("twenty-one", QString(21, 'z'), "");
    row("inner blank", "anna maria", "anna maria");
    row("plus", "anna+1", "");
    row("tab", "an\tna", "");
    row("separator", QString("an") + kalimo::SEP2 + "na", "");
}

void TestMasterStore::nicks()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QCOMPARE(normalisedNewNick(typed), expected);
}

void TestMasterStore::configDefaults()
{
    QVERIFY(!loadConfig("/nonexistent/kalimo-master.ini").error.isEmpty());
    // The shipped example reads cleanly and states the defaults.
    const ConfigResult e = loadConfig(qEnvironmentVariable("KALIMO_SOURCE_DIR") +
                                      "/servers/master/kalimo-master.example.ini");
    QVERIFY(e.error.isEmpty());
    QVERIFY2(e.warnings.isEmpty(), qPrintable(e.warnings.join('\n')));
    const MasterConfig d;
    QCOMPARE(e.config.port, d.port);
    QCOMPARE(e.config.maxUsers, d.maxUsers);
    QCOMPARE(e.config.checkIntervalMs, d.checkIntervalMs);
    QCOMPARE(e.config.roomLastUdpPort, d.roomLastUdpPort);
    QCOMPARE(e.config.privateTextsPerWindow, d.privateTextsPerWindow);
    QVERIFY(e.config.masters.isEmpty());
    QCOMPARE(e.config.database.driver, DatabaseConfig::Driver::Sqlite);
}

void TestMasterStore::configBadValues()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("m.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[Network]\nAddress=not-an-address\nPort=70000\nPlain=false\nTls=maybe\n"
            "[Service]\nChiave=segreta\nBannerAddress=http://b.example/?a=1,2\n"
            "BannerMinutes=tanti\nCheckIntervalSeconds=2\n"
            "[Rooms]\nFirstUdpPort=3000\nLastUdpPort=2000\nMaxUsersPerRoom=5000\n"
            "[Masters]\nsize=3\n1\\Name=Uno\n1\\Address=10.0.0.1\n1\\Port=7000\n1\\Key=k\n"
            "2\\Name=Senza porta\n2\\Address=10.0.0.2\n"
            "3\\Name=Due\n3\\Address=h\n3\\Port=7001\n3\\Tls=TLS:7443\n"
            "[PermanentRooms]\nsize=4\n1\\Name=Piazza\n1\\MaxUsers=8\n2\\MaxUsers=4\n"
            "3\\Name=A+B\n4\\Name=piazza\n"
            "[Accounts]\nHashOpsLimit=0\nHashMemLimitKiB=1\n"
            "[Database]\nDriver=oracle\nHost=db.example\nPort=6543\n");
    f.close();
    const ConfigResult r = loadConfig(f.fileName());
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.config.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(r.config.port, 7070);
    QCOMPARE(r.config.chiave, "segreta");
    QCOMPARE(r.config.bannerAddress, "http://b.example/?a=1,2");
    QCOMPARE(r.config.bannerMinutes, 5);
    QCOMPARE(r.config.checkIntervalMs, 2000);
    QCOMPARE(r.config.roomLastUdpPort, 3000);
    QCOMPARE(r.config.maxUtentiStanza, 20);
    QCOMPARE(r.config.masters.size(), 2);
    QCOMPARE(r.config.masters.at(1).nome, "Due");
    QCOMPARE(r.config.masters.at(1).chiave, "");
    QCOMPARE(r.config.masters.at(1).tls.port, 7443);
    // Neither port open is no choice: the plain one stays.
    QVERIFY(r.config.plain && !r.config.tls);
    QCOMPARE(r.config.permanentRooms.size(), 1);
    QCOMPARE(r.config.permanentRooms.at(0).maxUtenti, 8);
    QCOMPARE(r.config.hashMemLimit, quint64(crypto_pwhash_MEMLIMIT_MIN));
    QCOMPARE(r.config.database.driver, DatabaseConfig::Driver::Sqlite);
    QCOMPARE(r.config.database.host, "db.example");
    QCOMPARE(r.config.database.port, 6543);
    // Address, port, the TLS flag, no port left, minutes, UDP range, room
    // size, a master, three rooms (no name, a "+", a repeated name), the
    // memory cost, the driver.
    QCOMPARE(r.warnings.size(), 13);
}

void TestMasterStore::masterListFallback()
{
    // Lobbies reach a master bound to every address at the loopback one.
    QCOMPARE(effectiveMasterList({}, QHostAddress::AnyIPv4, 4567).first().indirizzo, "127.0.0.1");
    QCOMPARE(effectiveMasterList({}, QHostAddress("192.0.2.5"), 7070).first().indirizzo,
             "192.0.2.5");
}

void TestMasterStore::options()
{
    OptionsResult r = parseOptions({"kalimo-master", "--data", "/tmp/d", "--port", "0",
                                    "--check-interval-ms", "25", "--config", "/tmp/c.ini"});
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.options.action, MasterOptions::Action::Serve);
    QCOMPARE(r.options.dataDir, "/tmp/d");
    QCOMPARE(r.options.port.value(), 0);
    QCOMPARE(r.options.checkIntervalMs.value(), 25);
    QCOMPARE(r.options.configPath, "/tmp/c.ini");
    r = parseOptions({"kalimo-master", "--data", "/tmp/d", "--disable", " anna "});
    QCOMPARE(r.options.action, MasterOptions::Action::DisableAccount);
    QCOMPARE(r.options.account, "anna");
    for (const QStringList& bad : {QStringList{"--port", "65536"},
                                   {"--port", "x"},
                                   {"--check-interval-ms", "0"},
                                   {"--bogus"},
                                   {"stray"},
                                   {"--enable", "a", "--disable", "b"}})
        QVERIFY2(!parseOptions(QStringList{"kalimo-master"} + bad).error.isEmpty(),
                 qPrintable(bad.join(' ')));

    // Without --config the data folder's own ini is used when there is one.
    QTemporaryDir dir;
    QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath, "");
    QFile ini(dir.filePath("kalimo-master.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.close();
    QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath,
             ini.fileName());
}

QTEST_GUILESS_MAIN(TestMasterStore)
#include "tst_masterstore.moc"
