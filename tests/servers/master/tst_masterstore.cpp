#include "servers/master/accountstore.h"
#include "servers/master/masterconfig.h"
#include "servers/master/masteroptions.h"
#include "servers/master/masterserver.h"
#include "servers/master/passwordhash.h"

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
    void accounts();
    void accountsSurviveReopen();
    void newerFileRefused();
    void nicks_data();
    void nicks();
    void configDefaults();
    void configExampleReads();
    void configBadValues();
    void configMissingFile();
    void masterListFallback();
    void options();
};

void TestMasterStore::initTestCase()
{
    QVERIFY(initialisePasswordHashing());
}

void TestMasterStore::hashing()
{
    const auto hash =
        hashPassword("Segreto è", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
    QVERIFY(hash);
    QVERIFY(hash->startsWith("$argon2id$"));
    QVERIFY(verifyPassword(*hash, "Segreto è"));
    QVERIFY(!verifyPassword(*hash, "segreto è"));
    QVERIFY(!verifyPassword(*hash, ""));
    // Two hashes of one password differ by their salt.
    QVERIFY(*hash !=
            *hashPassword("Segreto è", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN));
    // Damaged or foreign hash texts never match and never crash.
    QVERIFY(!verifyPassword(QByteArray(), "x"));
    QVERIFY(!verifyPassword("$argon2id$garbage", "x"));
    QVERIFY(!verifyPassword(QByteArray(500, 'a'), "x"));
    QVERIFY(!verifyPassword(hash->left(hash->size() - 3), "Segreto è"));
    QVERIFY(randomToken() != randomToken());
    QCOMPARE(randomToken().size(), 24);
}

void TestMasterStore::accounts()
{
    QTemporaryDir dir;
    AccountStore store(dir.filePath("sub/folder"));
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QCOMPARE(store.count(), 0);
    QCOMPARE(store.find("anna").status, StoreStatus::NotFound);

    AccountRecord r;
    r.nick = "anna";
    r.hash = "$argon2id$x";
    r.email = "anna@example.org";
    QCOMPARE(store.insert(r), StoreStatus::Ok);
    QCOMPARE(store.insert(r), StoreStatus::Exists);
    r.nick = "Anna"; // nicks compare exactly
    QCOMPARE(store.insert(r), StoreStatus::Ok);
    QCOMPARE(store.count(), 2);

    const AccountStore::Lookup found = store.find("anna");
    QCOMPARE(found.status, StoreStatus::Ok);
    QCOMPARE(found.record.hash, QByteArray("$argon2id$x"));
    QCOMPARE(found.record.email, "anna@example.org");
    QVERIFY(found.record.enabled);
    QVERIFY(found.record.created.isValid());
    QVERIFY(qAbs(found.record.created.secsTo(QDateTime::currentDateTimeUtc())) < 3600);

    QCOMPARE(store.setEnabled("anna", false), StoreStatus::Ok);
    QVERIFY(!store.find("anna").record.enabled);
    QVERIFY(store.find("Anna").record.enabled);
    QCOMPARE(store.setEnabled("nobody", false), StoreStatus::NotFound);
}

void TestMasterStore::accountsSurviveReopen()
{
    QTemporaryDir dir;
    {
        AccountStore store(dir.path());
        AccountRecord r;
        r.nick = "anna";
        r.hash = "h";
        r.email = "e";
        QCOMPARE(store.insert(r), StoreStatus::Ok);
    }
    AccountStore again(dir.path());
    QCOMPARE(again.find("anna").status, StoreStatus::Ok);
    QCOMPARE(again.count(), 1);
}

void TestMasterStore::newerFileRefused()
{
    QTemporaryDir dir;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(dir.filePath(AccountStore::fileName()));
        QVERIFY(db.open());
        QSqlQuery(db).exec("PRAGMA user_version = 99");
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    AccountStore store(dir.path());
    QVERIFY(!store.open());
    QVERIFY(store.lastError().contains("newer"));
    QCOMPARE(store.find("x").status, StoreStatus::Failed);
    AccountRecord r;
    r.nick = "x";
    QCOMPARE(store.insert(r), StoreStatus::Failed);
    QCOMPARE(store.count(), -1);
}

void TestMasterStore::nicks_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "anna"
                           << "anna";
    QTest::newRow("blanks and capitals") << "  Mario  "
                                         << "mario";
    QTest::newRow("three") << "abc"
                           << "abc";
    QTest::newRow("two") << " ab "
                         << "";
    QTest::newRow("twenty") << QString(20, 'z') << QString(20, 'z');
    QTest::newRow("twenty-one") << QString(21, 'z') << "";
    QTest::newRow("inner blank") << "anna maria"
                                 << "anna maria";
    QTest::newRow("plus") << "anna+1"
                          << "";
    QTest::newRow("tab") << "an\tna"
                         << "";
    QTest::newRow("separator") << QString("an") + QChar(30) + "na"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestMasterStore::nicks()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QCOMPARE(normalisedNewNick(typed), expected);
}

void TestMasterStore::configDefaults()
{
    const ConfigResult r = loadConfig(QString());
    QVERIFY(r.error.isEmpty());
    QVERIFY(r.warnings.isEmpty());
    QCOMPARE(r.config.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(r.config.port, 7070);
    QCOMPARE(r.config.chiave, "kalimo");
    QCOMPARE(r.config.bannerMinutes, 5);
    QCOMPARE(r.config.requiredVersion, "2.0b");
    QCOMPARE(r.config.checkIntervalMs, 60000);
    QCOMPARE(r.config.roomFirstUdpPort, 2302);
    QVERIFY(r.config.masters.isEmpty());
}

void TestMasterStore::configExampleReads()
{
    const QString path =
        qEnvironmentVariable("KALIMO_SOURCE_DIR") + "/servers/master/kalimo-master.example.ini";
    QVERIFY(QFile::exists(path));
    const ConfigResult r = loadConfig(path);
    QVERIFY(r.error.isEmpty());
    QVERIFY2(r.warnings.isEmpty(), qPrintable(r.warnings.join('\n')));
    // The example states the defaults.
    const MasterConfig d;
    QCOMPARE(r.config.port, d.port);
    QCOMPARE(r.config.chiave, d.chiave);
    QCOMPARE(r.config.maxUsers, d.maxUsers);
    QCOMPARE(r.config.checkIntervalMs, d.checkIntervalMs);
    QCOMPARE(r.config.maxUtentiStanza, d.maxUtentiStanza);
    QCOMPARE(r.config.roomLastUdpPort, d.roomLastUdpPort);
    QCOMPARE(r.config.roomHostLinkPort, d.roomHostLinkPort);
    QCOMPARE(r.config.roomIdentifyTimeoutMs, d.roomIdentifyTimeoutMs);
    QCOMPARE(r.config.roomCreationsPerWindow, d.roomCreationsPerWindow);
    QCOMPARE(r.config.privateTextsPerWindow, d.privateTextsPerWindow);
    QVERIFY(r.config.masters.isEmpty());
}

void TestMasterStore::configBadValues()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("m.ini");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[Network]\nAddress=not-an-address\nPort=70000\n"
            "[Service]\nChiave=segreta\nBannerAddress=http://b.example/?a=1,2\n"
            "BannerMinutes=tanti\nCheckIntervalSeconds=2\n"
            "[Rooms]\nFirstUdpPort=3000\nLastUdpPort=2000\n"
            "[Masters]\nsize=3\n1\\Name=Uno\n1\\Address=10.0.0.1\n1\\Port=7000\n1\\Key=k\n"
            "2\\Name=Senza porta\n2\\Address=10.0.0.2\n"
            "3\\Name=Due\n3\\Address=h\n3\\Port=7001\n"
            "[PermanentRooms]\nsize=4\n1\\Name=Piazza\n1\\MaxUsers=8\n2\\MaxUsers=4\n"
            "3\\Name=A+B\n4\\Name=piazza\n"
            "[Accounts]\nHashOpsLimit=0\nHashMemLimitKiB=1\n");
    f.close();
    const ConfigResult r = loadConfig(path);
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.config.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(r.config.port, 7070);
    QCOMPARE(r.config.chiave, "segreta");
    QCOMPARE(r.config.bannerAddress, "http://b.example/?a=1,2");
    QCOMPARE(r.config.bannerMinutes, 5);
    QCOMPARE(r.config.checkIntervalMs, 2000);
    QCOMPARE(r.config.roomLastUdpPort, 3000);
    QCOMPARE(r.config.masters.size(), 2);
    QCOMPARE(r.config.masters.at(1).nome, "Due");
    QCOMPARE(r.config.masters.at(1).chiave, "");
    QCOMPARE(r.config.permanentRooms.size(), 1);
    QCOMPARE(r.config.permanentRooms.at(0).maxUtenti, 8);
    QCOMPARE(r.config.hashMemLimit, quint64(crypto_pwhash_MEMLIMIT_MIN));
    // Address, port, minutes, UDP range, a master, three rooms (no name, a
    // "+", a repeated name), the memory cost.
    QCOMPARE(r.warnings.size(), 9);
}

void TestMasterStore::configMissingFile()
{
    const ConfigResult r = loadConfig("/nonexistent/kalimo-master.ini");
    QVERIFY(!r.error.isEmpty());
}

void TestMasterStore::masterListFallback()
{
    MasterConfig c;
    c.chiave = "k";
    QList<MasterEntry> list = effectiveMasterList(c, QHostAddress::AnyIPv4, 4567);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().nome, "Locale");
    QCOMPARE(list.first().indirizzo, "127.0.0.1");
    QCOMPARE(list.first().porta, 4567);
    QCOMPARE(list.first().chiave, "k");
    list = effectiveMasterList(c, QHostAddress("192.0.2.5"), 7070);
    QCOMPARE(list.first().indirizzo, "192.0.2.5");
    c.masters = {{"A", "a", 1, "x"}};
    QCOMPARE(effectiveMasterList(c, QHostAddress::LocalHost, 9).first().nome, "A");
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

    QVERIFY(!parseOptions({"kalimo-master", "--port", "65536"}).error.isEmpty());
    QVERIFY(!parseOptions({"kalimo-master", "--port", "x"}).error.isEmpty());
    QVERIFY(!parseOptions({"kalimo-master", "--check-interval-ms", "0"}).error.isEmpty());
    QVERIFY(!parseOptions({"kalimo-master", "--bogus"}).error.isEmpty());
    QVERIFY(!parseOptions({"kalimo-master", "stray"}).error.isEmpty());
    QVERIFY(!parseOptions({"kalimo-master", "--enable", "a", "--disable", "b"}).error.isEmpty());

    // Without --config the data folder's own ini is used when there is one.
    QTemporaryDir dir;
    QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath, "");
    QFile ini(dir.filePath("kalimo-master.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.close();
    QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath,
             dir.filePath("kalimo-master.ini"));
    QVERIFY(raiseOpenFileLimit() > 0);
}

QTEST_GUILESS_MAIN(TestMasterStore)
#include "tst_masterstore.moc"
