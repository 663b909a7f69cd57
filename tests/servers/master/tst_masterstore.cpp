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
    TestPostgres m_postgres;
    int m_databases = 0;

    DatabaseConfig freshDatabase(const QString& driver)
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

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_postgres.start(), qPrintable(m_postgres.error())); }

    void hashing()
    {
        QVERIFY(initialisePasswordHashing());
        const QByteArray hash =
            hashPassword("Segreto è", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN)
                .value_or(QByteArray());
        QVERIFY(hash.startsWith("$argon2id$") && verifyPassword(hash, "Segreto è"));
        // Damaged or foreign hash texts never match and never crash.
        for (const QByteArray& bad :
             {QByteArray(), QByteArray("$argon2id$garbage"), QByteArray(500, 'a'), hash.chopped(3)})
            QVERIFY(!verifyPassword(bad, "Segreto è"));
    }

    void accounts_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    void accounts()
    {
        QFETCH(QString, driver);
        QTemporaryDir dir;
        const DatabaseConfig config = freshDatabase(driver);
        AccountStore store(config, dir.filePath("sub/folder"));
        QVERIFY2(store.open(), qPrintable(store.lastError()));
        QCOMPARE(store.find("anna").status, StoreStatus::NotFound);
        AccountRecord r{"anna", "$argon2id$x", "anna@example.org", true, {}};
        QCOMPARE(store.insert(r), StoreStatus::Ok);
        // A second master on the same database sees the account and cannot take the nick again.
        AccountStore other(config, dir.filePath("sub/folder"));
        QCOMPARE(other.insert(r), StoreStatus::Exists);
        const AccountStore::Lookup found = other.find("anna");
        QCOMPARE((QStringList{QString::number(int(found.status)), found.record.hash,
                              found.record.email, QString::number(other.count())}),
                 (QStringList{"0", "$argon2id$x", "anna@example.org", "1"}));
        QVERIFY(found.record.enabled &&
                qAbs(found.record.created.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
        QCOMPARE(other.setEnabled("anna", false), StoreStatus::Ok);
        QVERIFY(!store.find("anna").record.enabled);
        QCOMPARE(store.setEnabled("nobody", false), StoreStatus::NotFound);
        // A look-alike (Cyrillic a) is refused by the database whichever store writes it.
        bool ok = false;
        QCOMPARE(other.lookAlikeOf(QStringLiteral("\u0430nna"), &ok) +
                     other.lookAlikeOf("anna", &ok),
                 "anna");
        QVERIFY(ok);
        QCOMPARE(other.insert(AccountRecord{QStringLiteral("\u0430nna"), "h", "e", true, {}}),
                 StoreStatus::LooksLike);
        QCOMPARE(store.find(QStringLiteral("\u0430nna")).status, StoreStatus::NotFound);

        // The schema is versioned in its own table, once per migration.
        QSqlQuery q(store.database());
        QVERIFY(q.exec("SELECT COUNT(*), MAX(version) FROM kalimo_schema") && q.next());
        QCOMPARE(QPoint(q.value(0).toInt(), q.value(1).toInt()),
                 QPoint(AccountStore::schemaVersion(), AccountStore::schemaVersion()));
        // A schema newer than this program is refused, and nothing is written.
        QVERIFY(q.exec("INSERT INTO kalimo_schema (version, applied) VALUES (99, 'x')"));
        AccountStore newer(config, dir.filePath("sub/folder"));
        QVERIFY(!newer.open() && newer.lastError().contains("newer"));
        QCOMPARE(newer.insert(AccountRecord{"x", "h", "e", true, {}}), StoreStatus::Failed);
        QCOMPARE(newer.count(), -1);
    }

    void olderFileOpens()
    {
        // An accounts file of the days before the version table: version 1 in its header.
        QTemporaryDir dir;
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "older");
            db.setDatabaseName(dir.filePath(AccountStore::fileName()));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("CREATE TABLE accounts (nick TEXT NOT NULL PRIMARY KEY, hash TEXT NOT "
                           "NULL, email TEXT NOT NULL, enabled INTEGER NOT NULL DEFAULT 1, "
                           "created TEXT NOT NULL)"));
            QVERIFY(q.exec(QStringLiteral(
                "INSERT INTO accounts VALUES ('bice', 'h', 'b@example.org', 1, '2025-01-02'), "
                "('bic\u0435', 'h', 'c@example.org', 1, '2025-02-02')")));
            QVERIFY(q.exec("PRAGMA user_version = 1"));
        }
        QSqlDatabase::removeDatabase("older");
        AccountStore store(dir.path());
        QVERIFY2(store.open(), qPrintable(store.lastError()));
        // Look-alikes of before stay; the older one holds the look.
        bool ok = false;
        QCOMPARE(store.find("bice").record.email + store.lookAlikeOf("bic\u0435", &ok) +
                     QString::number(store.count()),
                 "b@example.orgbice2");
        QSqlQuery q(store.database());
        QVERIFY(q.exec("SELECT MIN(version), MAX(version) FROM kalimo_schema") && q.next());
        QCOMPARE(QPoint(q.value(0).toInt(), q.value(1).toInt()),
                 QPoint(1, AccountStore::schemaVersion()));
    }

    void nicks_data()
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
    void nicks()
    {
        QFETCH(QString, typed);
        QTEST(normalisedNewNick(typed), "expected");
    }

    void config()
    {
        QVERIFY(!loadConfig("/nonexistent/kalimo-master.ini").error.isEmpty());
        // The shipped example reads cleanly and states the defaults.
        const ConfigResult e = loadConfig(qEnvironmentVariable("KALIMO_SOURCE_DIR") +
                                          "/servers/master/kalimo-master.example.ini");
        QVERIFY2(e.error.isEmpty() && e.warnings.isEmpty(), qPrintable(e.warnings.join('\n')));
        const MasterConfig d;
        const auto numbers = [](const MasterConfig& c) {
            return QList<qint64>{c.port,
                                 c.maxUsers,
                                 c.checkIntervalMs,
                                 c.roomLastUdpPort,
                                 c.privateTextsPerWindow,
                                 c.masters.size(),
                                 int(c.database.driver)};
        };
        QCOMPARE(numbers(e.config), numbers(d));

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
        const MasterConfig& c = r.config;
        QCOMPARE((QStringList{r.error, c.listenAddress.toString(), c.chiave, c.bannerAddress,
                              c.masters.value(1).nome, c.masters.value(1).chiave, c.database.host}),
                 (QStringList{"", "127.0.0.1", "segreta", "http://b.example/?a=1,2", "Due", "",
                              "db.example"}));
        // Neither port open is no choice: the plain one stays.
        QCOMPARE(
            (QList<qint64>{c.port, c.bannerMinutes, c.checkIntervalMs, c.roomLastUdpPort,
                           c.maxUtentiStanza, c.masters.size(), c.masters.value(1).tls.port,
                           c.plain, c.tls, c.permanentRooms.size(),
                           c.permanentRooms.value(0).maxUtenti, qint64(c.hashMemLimit),
                           int(c.database.driver), c.database.port}),
            (QList<qint64>{7070, 5, 2000, 3000, 20, 2, 7443, 1, 0, 1, 8, crypto_pwhash_MEMLIMIT_MIN,
                           int(DatabaseConfig::Driver::Sqlite), 6543}));
        // Address, port, the TLS flag, no port left, minutes, UDP range, room size, a master,
        // three rooms (no name, a "+", a repeated name), the memory cost, the driver.
        QCOMPARE(r.warnings.size(), 13);
        // Lobbies reach a master bound to every address at the loopback one.
        QCOMPARE(effectiveMasterList({}, QHostAddress::AnyIPv4, 4567).first().indirizzo +
                     effectiveMasterList({}, QHostAddress("192.0.2.5"), 7070).first().indirizzo,
                 "127.0.0.1192.0.2.5");
    }

    void options()
    {
        OptionsResult r = parseOptions({"kalimo-master", "--data", "/tmp/d", "--port", "0",
                                        "--check-interval-ms", "25", "--config", "/tmp/c.ini"});
        QCOMPARE((QStringList{r.error, r.options.dataDir, r.options.configPath,
                              QString::number(*r.options.port + *r.options.checkIntervalMs)}),
                 (QStringList{"", "/tmp/d", "/tmp/c.ini", "25"}));
        QCOMPARE(r.options.action, MasterOptions::Action::Serve);
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
};

QTEST_GUILESS_MAIN(TestMasterStore)
#include "tst_masterstore.moc"
