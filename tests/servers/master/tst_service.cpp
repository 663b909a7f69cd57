#include "masterclient.h"

#include "servers/master/accountstore.h"
#include "servers/master/masteroptions.h"
#include "servers/master/masterserver.h"
#include "servers/master/passwordhash.h"
#include "tests/servers/roomhost/membro.h"
#include "tests/support/certificato.h"
#include "tests/support/postgres.h"
#include "tests/support/processomaster.h"

#include <QLoggingCategory>

#include <sodium.h>

using namespace kalimo;
using namespace kalimo::master;
using namespace Qt::StringLiterals;
using kalimo::roomhost::test::Membro;
using L = QStringList;

// The accounts' store; two masters on one PostgreSQL database behave as one service.
class TestService : public QObject
{
    Q_OBJECT

    TestPostgres m_postgres;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_database;
    int m_databases = 0;
    std::unique_ptr<MasterServer> m_a;
    std::unique_ptr<MasterServer> m_b;

    MasterConfig configFor(const QString& address)
    {
        MasterConfig c = testConfig(4);
        c.listenAddress = c.roomHostLinkAddress = QHostAddress(address);
        c.database.driver = DatabaseConfig::Driver::Postgresql;
        c.database.port = m_postgres.port();
        c.database.name = m_database;
        c.database.user = TestPostgres::user();
        return c;
    }
    std::unique_ptr<MasterServer> startMaster(const QString& address,
                                              const test::CertificatoProva* tls = nullptr)
    {
        MasterConfig c = configFor(address);
        if (tls) {
            c.tls = c.roomHostLinkTls = true;
            c.tlsPort = 0;
            c.certificateFile = tls->certificato;
            c.privateKeyFile = tls->chiave;
        }
        auto m = std::make_unique<MasterServer>(c, m_dir->filePath(address));
        if (!m->listen() || !QTest::qWaitFor([&] { return m->renewals() > 0; }, kWait))
            return nullptr;
        return m;
    }
    static std::unique_ptr<MasterClient> clientOf(const MasterServer& m)
    {
        return MasterClient::to(m.port(), m.address());
    }
    // A private text: what its sender and its addressee hear, '|' between them.
    static QString text(MasterClient& from, MasterClient& to, const QString& toNick,
                        const QString& body)
    {
        const QString heard = from.replies({QStringList{"0013", toNick, body}}).join(' ');
        return heard + '|' + to.next().join(' ');
    }
    // Logged in, registered first when asked; a refusal fails the test.
    std::unique_ptr<MasterClient> user(MasterServer& m, const QString& nick, bool newOne = false)
    {
        auto c = clientOf(m);
        const QList<QStringList> steps{signUp(nick), loginAs(nick)};
        [&] {
            QCOMPARE(c->replyCodes(steps.mid(newOne ? 0 : 1)), newOne ? "00001 00001" : "00001");
        }();
        return c;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=false"));
        QVERIFY2(m_postgres.start(), qPrintable(m_postgres.error()));
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_database = QStringLiteral("service_%1").arg(++m_databases);
        QVERIFY2(m_postgres.createDatabase(m_database), qPrintable(m_postgres.error()));
    }
    void cleanup()
    {
        m_a.reset();
        m_b.reset();
        m_dir.reset();
    }

    void accountsPresenceAndTexts()
    {
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        m_a = startMaster("127.0.0.1", &cert);
        m_b = startMaster("127.0.0.2");
        QVERIFY(m_a && m_b && m_b->address() == QHostAddress("127.0.0.2"));
        // Registered on one master, taken on the other; logged in on one, not on the other.
        QCOMPARE(clientOf(*m_a)->replyCodes({signUp("anna")}), "00001");
        QCOMPARE(clientOf(*m_b)->replyCodes({signUp("bruno"), signUp("anna")}), "00001 00002");
        auto anna = user(*m_b, "anna");
        QCOMPARE(clientOf(*m_a)->replyCodes({loginAs("anna")}), "00005");
        auto bruno = user(*m_a, "bruno");

        // Unconfigured, the master list is the masters alive, TLS records from the shared table.
        QCOMPARE(anna->ask(u"0008"), (L{"00008", "2"}));
        QCOMPARE(anna->ask(u"0009", {"2"}).value(2), "127.0.0.2");
        QCOMPARE(anna->ask(u"0009", {"1"}).value(5),
                 u"tls:%1:sha256=%2"_s.arg(m_a->tlsPort()).arg(cert.improntaHex()));
        QCOMPARE(anna->replyCodes({{"0012", "bruno"}, {"0012", "carla"}}) +
                     bruno->replyTo(u"0012", {"anna"}),
                 "10012 2001210012");
        QCOMPARE(text(*bruno, *anna, "anna", "ciao da A"),
                 "0003 anna ciao da A|0002 bruno ciao da A");
        // An invitation keeps its marker across masters.
        const QString invito = QString(SEP4) + " L'utente anna ti ha invitato";
        anna->request(u"0013", {"bruno", invito});
        QCOMPARE(bruno->next(), (L{"0002", "anna", invito}));

        // Room names are unique on the whole service; the other master lists the room, and its
        // ticket names the same room host key.
        const QStringList created = anna->ask(u"0007", {"Sala", "5", "2", ""});
        QCOMPARE(created.value(0) + bruno->replyTo(u"0007", {"SALA", "5", "2", ""}), "0007100072");
        const auto roomOnA = [&] { return listRooms(*bruno, 2).value(0); };
        QCOMPARE(roomOnA().mid(0, 2) << roomOnA().value(5), (L{"Sala", "0", created.value(2)}));
        const QString hostKey = anna->ask(u"0006", {"Sala"}).value(2);
        QVERIFY(hostKey.size() == 64 && bruno->ask(u"0006", {"Sala"}).value(2) == hostKey);
        // Ended, a room leaves every master's directory.
        QVERIFY(m_b->rooms().endRoom("sala"));
        QTRY_VERIFY_WITH_TIMEOUT(roomOnA().isEmpty(), kWait);
        // A private room reaches the invited user on the other master; tickets name one key.
        const QStringList privata =
            anna->ask(u"0007", {"Stanza di anna e bruno", "2", "2", "pw", "bruno"});
        QCOMPARE(privata.value(0), "00071");
        QCOMPARE(bruno->next(), privata);
        const QString key = anna->ask(u"0006", {privata.value(3)}).value(2);
        const QStringList invited = bruno->ask(u"0006", {privata.value(3)});
        QVERIFY(invited.value(0) == "00061" && key.size() == 64 && invited.value(2) == key);

        // Events that are not ours are dropped; ours still pass afterwards.
        for (const char* foreign :
             {"not json", R"({"kalimo":1,"to":"bruno","code":"0005"})",
              R"({"kalimo":2,"to":"bruno","code":"0002","fields":["x","y"]})"})
            QVERIFY(m_postgres.exec(m_database,
                                    u"NOTIFY kalimo_%1, '%2'"_s.arg(m_a->masterId(), foreign)));
        QCOMPARE(text(*anna, *bruno, "bruno", "ancora"), "0003 bruno ancora|0002 anna ancora");

        // Taken for dead (rows cleared), B claims its users back, and keeps who logged in
        // meanwhile.
        const QString b = "'" + m_b->masterId() + "'";
        QVERIFY(m_postgres.exec(m_database, "DELETE FROM online WHERE master = " + b) &&
                m_postgres.exec(m_database, "DELETE FROM masters WHERE id = " + b));
        QCOMPARE(bruno->ask(u"0012", {"anna"}), L{"00012"});
        auto carla = user(*m_b, "carla", true);
        anna->setAnswerChecks(true);
        carla->setAnswerChecks(true);
        // B claims at its next check. Its row lives 1.5 intervals: shorter ones lapse under load.
        m_b->setCheckInterval(1000);
        QTRY_COMPARE_WITH_TIMEOUT(bruno->replyTo(u"0012", {"anna"}), "10012", kWait);
        m_b->setCheckInterval(3600 * 1000);
        QCOMPARE(carla->replyTo(u"0012", {"anna"}), "10012");

        // Logged out on B: free for A, and texts to her tell the sender so.
        anna.reset();
        carla.reset();
        QTRY_COMPARE_WITH_TIMEOUT(bruno->replyTo(u"0012", {"anna"}), "00012", kWait);
        QVERIFY(text(*bruno, *bruno, "anna", "ci sei?").startsWith("0003 anna ci sei?|0004 anna "));
        user(*m_a, "anna");
    }

    void roomHostOfItsOwnFailsOver()
    {
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        m_a = startMaster("127.0.0.1", &cert);
        m_b = startMaster("127.0.0.2", &cert);
        QVERIFY(m_a && m_b);
        // From "another machine" the link's secret in clear is refused.
        QTcpSocket plain;
        QVERIFY(plain.bind(QHostAddress("127.0.0.3")));
        plain.connectToHost(QHostAddress::LocalHost, m_a->rooms().linkPort());
        QVERIFY(plain.waitForConnected(kWait));
        plain.write(
            test::wireBytes("0001 ^ 1 ^ Esterna ~ 5 ~ 2 ~ False ~  ~ segreto ~ True ~ 2302 ~ x |"));
        QTRY_VERIFY_WITH_TIMEOUT(plain.state() == QAbstractSocket::UnconnectedState, kWait);
        QCOMPARE(plain.readAll().left(5), "00005");

        auto bruno = user(*m_b, "bruno", true);
        // Started by hand on "another machine", linked to A, B next in its list.
        const quint16 port = freePortRun(1);
        QProcess host;
        host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        host.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-roomhost", {});
        host.write(QString("name=Esterna\nmax_users=5\nmax_speakers=2\npermanent=true\nport=%1\n"
                           "bind=127.0.0.3\nmaster_host=127.0.0.1\nmaster_port=%2\n"
                           "more_masters=127.0.0.2:%3\nserver_password=segreto\n"
                           "master_tls=true\nmaster_tls_sha256=%4\n"
                           "reconnect_min_ms=50\nreconnect_max_ms=200\n")
                       .arg(port)
                       .arg(m_a->rooms().linkTlsPort())
                       .arg(m_b->rooms().linkTlsPort())
                       .arg(cert.improntaHex())
                       .toUtf8());
        host.closeWriteChannel();
        const auto listedOnB = [&] { return listRooms(*bruno, 1).value(0); };
        Membro ana("ana"), bea("bea");
        QCOMPARE(ana.join(port, {}, "127.0.0.3"), 0);
        QCOMPARE(bea.join(port, {}, "127.0.0.3"), 0);
        const QStringList expected{"Esterna", "2", "True", "", "127.0.0.3", QString::number(port),
                                   "False",   "5", "2"};
        QTRY_VERIFY_WITH_TIMEOUT(listedOnB() == expected, kWait);

        // A goes: the room host moves to B, listed with its members, who keep talking.
        m_a.reset();
        QTRY_VERIFY_WITH_TIMEOUT(listedOnB() == expected, kWait);
        QVERIFY(ana.chat("ancora qui") && bea.await("0005:ana,ancora qui"));
    }

    void databaseAwayAtStartAndLater()
    {
        m_postgres.stop();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^accounts unavailable: cannot reach"));
        m_a = std::make_unique<MasterServer>(configFor("127.0.0.1"), m_dir->filePath("a"));
        QVERIFY(m_a->listen());
        QCOMPARE(clientOf(*m_a)->replyCodes({loginAs("anna"), signUp("anna")}), "00006 00003");
        QVERIFY2(m_postgres.launch(), qPrintable(m_postgres.error()));
        // It tries again by itself, soon, and joins the service with its events and rooms.
        QTRY_VERIFY_WITH_TIMEOUT(m_a->renewals() > 0, kWait);
        QCOMPARE(clientOf(*m_a)->replyCodes({signUp("anna")}), "00001");
        QVERIFY((m_b = startMaster("127.0.0.2")));
        auto anna = user(*m_a, "anna"), bruno = user(*m_b, "bruno", true);
        QCOMPARE(anna->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
        const QString reached = "0003 anna ci sei?|0002 bruno ci sei?";
        QCOMPARE(text(*bruno, *anna, "anna", "ci sei?"), reached);

        // Gone while they are logged in: they keep being served.
        m_postgres.stop();
        QCOMPARE(clientOf(*m_a)->replyCodes({loginAs("carla"), signUp("carla")}), "00006 00003");
        QCOMPARE(anna->ask(u"0012", {"anna"}) + anna->ask(u"0002"), (L{"10012", "00002", "2"}));
        const int renewals = m_a->renewals();
        QVERIFY2(m_postgres.launch(), qPrintable(m_postgres.error()));
        // A is back by itself; the refused registration left nothing behind.
        QTRY_VERIFY_WITH_TIMEOUT(m_a->renewals() > renewals, kWait);
        // B, idle meanwhile, finds its dropped connection by itself and listens again.
        QVERIFY(QTest::qWaitFor(
            [&] {
                anna->request(u"0013", {"bruno", "e tu?"});
                return anna->next() == L{"0003", "bruno", "e tu?"} &&
                       bruno->next(500) == L{"0002", "anna", "e tu?"};
            },
            kWait));
        while (!bruno->next(300).isEmpty()) {
        }
        QCOMPARE(text(*bruno, *anna, "anna", "ci sei?"), reached);
        QCOMPARE(clientOf(*m_a)->replyCodes({loginAs("carla"), signUp("carla"), loginAs("carla")}),
                 "00002 00001 00001");
    }

    void killedMasterFreesItsNicks()
    {
        const QByteArray ini =
            QString("[Database]\nDriver=postgresql\nPort=%1\nName=%2\nUser=%3\n"
                    "[Rooms]\nHostLinkPassword=segreto\n")
                .arg(QString::number(m_postgres.port()), m_database, TestPostgres::user())
                .toUtf8();
        test::ProcessoMaster b;
        QVERIFY2(b.avvia(ini, {"--check-interval-ms", "1000"}), qPrintable(b.registro()));
        auto anna = MasterClient::to(b.porta());
        anna->setAnswerChecks(true);
        QCOMPARE(anna->replyCodes({signUp("anna"), loginAs("anna"), newRoom("Sala di B")}),
                 "00001 00001 00071");
        QVERIFY((m_a = startMaster("127.0.0.2")));
        QCOMPARE(clientOf(*m_a)->replyCodes({loginAs("anna")}), "00005");
        auto bruno = user(*m_a, "bruno", true);
        QTRY_COMPARE_WITH_TIMEOUT(bruno->ask(u"0003", {"2"}), (L{"00004", "1"}), kWait);
        ::kill(pid_t(b.pid()), SIGKILL);
        // Within two intervals the dead master's nicks and rooms are gone.
        QVERIFY(QTest::qWaitFor(
            [&] { return clientOf(*m_a)->replyCodes({loginAs("anna")}) == "00001"; }, kWait));
        QCOMPARE(bruno->ask(u"0003", {"2"}), L{"00005"});
    }

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
        const DatabaseConfig config =
            driver == "sqlite" ? DatabaseConfig() : configFor("127.0.0.1").database;
        AccountStore store(config, dir.filePath("sub/folder"));
        QVERIFY2(store.open(), qPrintable(store.lastError()));
        const AccountRecord r{"anna", "$argon2id$x", "anna@example.org", true, {}};
        // A second master on the same database sees the account and cannot take the nick again;
        // a look-alike (Cyrillic a) is refused by the database whichever store writes it.
        AccountStore other(config, dir.filePath("sub/folder"));
        using S = StoreStatus;
        QCOMPARE((QList<S>{store.find("anna").status, store.insert(r), other.insert(r),
                           other.setEnabled("anna", false), store.setEnabled("nobody", false),
                           other.insert(AccountRecord{u"\u0430nna"_s, "h", "e", true, {}}),
                           store.find(u"\u0430nna"_s).status}),
                 (QList<S>{S::NotFound, S::Ok, S::Exists, S::Ok, S::NotFound, S::LooksLike,
                           S::NotFound}));
        const AccountStore::Lookup found = store.find("anna");
        QCOMPARE(found.record.hash + QString::number(found.record.enabled), "$argon2id$x0");
        bool ok = false;
        QCOMPARE(other.lookAlikeOf(u"\u0430nna"_s, &ok) + other.lookAlikeOf("anna", &ok), "anna");
        QVERIFY(ok);

        // The schema is versioned in its own table, once per migration.
        QSqlQuery q(store.database());
        QVERIFY(q.exec("SELECT COUNT(*), MAX(version) FROM kalimo_schema") && q.next());
        QCOMPARE(QPoint(q.value(0).toInt(), q.value(1).toInt()),
                 QPoint(AccountStore::schemaVersion(), AccountStore::schemaVersion()));
        // A schema newer than this program is refused, and nothing is written.
        QVERIFY(q.exec("INSERT INTO kalimo_schema (version, applied) VALUES (99, 'x')"));
        AccountStore newer(config, dir.filePath("sub/folder"));
        QVERIFY(!newer.open() && newer.lastError().contains("newer"));
        QCOMPARE(QPoint(int(newer.insert(AccountRecord{"x", "h", "e", true, {}})), newer.count()),
                 QPoint(int(StoreStatus::Failed), -1));
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
            for (const QString& statement : QStringList{
                     "CREATE TABLE accounts (nick TEXT NOT NULL PRIMARY KEY, hash TEXT NOT "
                     "NULL, email TEXT NOT NULL, enabled INTEGER NOT NULL DEFAULT 1, "
                     "created TEXT NOT NULL)",
                     u"INSERT INTO accounts VALUES ('bice', 'h', 'b@example.org', 1, "
                     "'2025-01-02'), ('bic\u0435', 'h', 'c@example.org', 1, '2025-02-02')"_s,
                     "PRAGMA user_version = 1"})
                QVERIFY(q.exec(statement));
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
        QTest::newRow("three") << u"abc"_s << u"abc"_s;
        QTest::newRow("two") << u" ab "_s << QString();
        QTest::newRow("twenty") << QString(20, 'z') << QString(20, 'z');
        QTest::newRow("twenty-one") << QString(21, 'z') << QString();
        QTest::newRow("inner blank") << u"anna maria"_s << u"anna maria"_s;
        QTest::newRow("separator") << QString("an") + kalimo::SEP2 + "na" << QString();
    }
    void nicks()
    {
        QFETCH(QString, typed);
        QTEST(normalisedNewNick(typed), "expected");
    }

    void config()
    {
        QVERIFY(!loadConfig("/nonexistent/kalimo-master.ini").error.isEmpty());
        // The shipped example reads cleanly.
        const ConfigResult e = loadConfig(qEnvironmentVariable("KALIMO_SOURCE_DIR") +
                                          "/servers/master/kalimo-master.example.ini");
        QVERIFY2(e.error.isEmpty() && e.warnings.isEmpty(), qPrintable(e.warnings.join('\n')));

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
        // One warning per bad value above.
        QCOMPARE(r.warnings.size(), 13);
        // Lobbies reach a master bound to every address at the loopback one.
        QCOMPARE(effectiveMasterList({}, QHostAddress::AnyIPv4, 4567).first().indirizzo +
                     effectiveMasterList({}, QHostAddress("192.0.2.5"), 7070).first().indirizzo,
                 "127.0.0.1192.0.2.5");
    }

    void options()
    {
        for (const QString& bad : QString("--port 65536,--check-interval-ms 0,--bogus,stray,"
                                          "--enable a --disable b")
                                      .split(','))
            QVERIFY2(!parseOptions(("kalimo-master " + bad).split(' ')).error.isEmpty(),
                     qPrintable(bad));
        // Without --config the data folder's own ini is used when there is one.
        QTemporaryDir dir;
        QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath, "");
        QFile ini(dir.filePath("kalimo-master.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        QCOMPARE(parseOptions({"kalimo-master", "--data", dir.path()}).options.configPath,
                 ini.fileName());
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
