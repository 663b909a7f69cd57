#include "masterclient.h"

#include "protocol/separators.h"
#include "servers/master/masterserver.h"
#include "tests/servers/roomhost/membro.h"
#include "tests/support/certificato.h"
#include "tests/support/postgres.h"
#include "tests/support/processomaster.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace kalimo;
using namespace kalimo::master;
using namespace Qt::StringLiterals;
using kalimo::roomhost::test::Membro;
using L = QStringList;

namespace {
constexpr int kWait = 20000;

std::unique_ptr<MasterClient> clientOf(const MasterServer& m)
{
    return MasterClient::to(m.port(), m.address());
}

} // namespace

// Two masters on one PostgreSQL database, the second on another address,
// behave as one service.
class TestService : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void accountsPresenceAndTexts();
    void sameNickOnBothAtOnce();
    void roomsAcrossMasters();
    void roomHostOfItsOwnFailsOver();
    void databaseAwayAtStartAndLater();
    void killedMasterFreesItsNicks();

private:
    MasterConfig configFor(const QString& address);
    std::unique_ptr<MasterServer> startMaster(const QString& address,
                                              const test::CertificatoProva* tls = nullptr);
    std::unique_ptr<MasterClient> loggedIn(MasterServer& m, const QString& nick);

    TestPostgres m_postgres;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_database;
    int m_databases = 0;
    std::unique_ptr<MasterServer> m_a;
    std::unique_ptr<MasterServer> m_b;
};

void TestService::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=false"));
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.error()));
}

void TestService::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_database = QStringLiteral("service_%1").arg(++m_databases);
    QVERIFY2(m_postgres.createDatabase(m_database), qPrintable(m_postgres.error()));
}

void TestService::cleanup()
{
    m_a.reset();
    m_b.reset();
    m_dir.reset();
}

MasterConfig TestService::configFor(const QString& address)
{
    MasterConfig c = testConfig(4);
    c.listenAddress = QHostAddress(address);
    c.roomHostLinkAddress = QHostAddress(address);
    c.database.driver = DatabaseConfig::Driver::Postgresql;
    c.database.port = m_postgres.port();
    c.database.name = m_database;
    c.database.user = TestPostgres::user();
    return c;
}

std::unique_ptr<MasterServer> TestService::startMaster(const QString& address,
                                                       const test::CertificatoProva* tls)
{
    MasterConfig c = configFor(address);
    if (tls) {
        c.tls = true;
        c.tlsPort = 0;
        c.certificateFile = tls->certificato;
        c.privateKeyFile = tls->chiave;
        c.roomHostLinkTls = true;
    }
    auto m = std::make_unique<MasterServer>(c, m_dir->filePath(address));
    if (!m->listen() || !QTest::qWaitFor([&] { return m->renewals() > 0; }, kWait))
        return nullptr;
    return m;
}

std::unique_ptr<MasterClient> TestService::loggedIn(MasterServer& m, const QString& nick)
{
    auto c = clientOf(m);
    const QString code = login(*c, nick, "secret");
    return code == "00001" ? std::move(c) : nullptr;
}

void TestService::accountsPresenceAndTexts()
{
    test::CertificatoProva cert;
    QVERIFY(cert.crea());
    m_a = startMaster("127.0.0.1", &cert);
    m_b = startMaster("127.0.0.2");
    QVERIFY(m_a && m_b);
    QCOMPARE(m_b->address(), QHostAddress("127.0.0.2"));
    QCOMPARE(registerAccount(*clientOf(*m_a), "anna", "secret"), "00001");
    QCOMPARE(registerAccount(*clientOf(*m_b), "bruno", "secret"), "00001");
    // Registered on one master, taken on the other.
    QCOMPARE(registerAccount(*clientOf(*m_b), "anna", "altro"), "00002");

    auto anna = loggedIn(*m_b, "anna");
    QVERIFY(anna);
    QCOMPARE(login(*clientOf(*m_a), "anna", "secret"), "00005");
    auto bruno = loggedIn(*m_a, "bruno");
    QVERIFY(bruno);

    // Without a configured list, a master lists the masters alive.
    QCOMPARE(anna->ask(u"0008"), (L{"00008", "2"}));
    QCOMPARE(anna->ask(u"0009", {"2"}).value(2), "127.0.0.2");
    // Each master's TLS record comes from the shared table, not only its own.
    QCOMPARE(anna->ask(u"0009", {"1"}).value(5),
             u"tls:%1:sha256=%2"_s.arg(m_a->tlsPort()).arg(cert.improntaHex()));
    QCOMPARE(bruno->ask(u"0012", {"anna"}), L{"10012"});
    QCOMPARE(anna->ask(u"0012", {"bruno"}), L{"10012"});
    QCOMPARE(anna->ask(u"0012", {"carla"}), L{"20012"});

    bruno->request(u"0013", {"anna", "ciao da A"});
    QCOMPARE(bruno->next(), (L{"0003", "anna", "ciao da A"}));
    QCOMPARE(anna->next(), (L{"0002", "bruno", "ciao da A"}));
    // An invitation keeps its marker across masters.
    const QString invito = QString(SEP4) + " L'utente anna ti ha invitato";
    anna->request(u"0013", {"bruno", invito});
    QCOMPARE(bruno->next(), (L{"0002", "anna", invito}));

    // Events that are not ours are dropped; ours still pass afterwards.
    const QString channel = "kalimo_" + m_a->masterId();
    for (const QString& foreign :
         {QString("not json"), QString("{\"kalimo\":1,\"to\":\"bruno\",\"code\":\"0005\"}"),
          QString("{\"kalimo\":2,\"to\":\"bruno\",\"code\":\"0002\",\"fields\":[\"x\",\"y\"]}")})
        QVERIFY(m_postgres.exec(m_database, "NOTIFY " + channel + ", '" + foreign + "'"));
    anna->request(u"0013", {"bruno", "ancora"});
    QCOMPARE(bruno->next(), (L{"0002", "anna", "ancora"}));

    // Taken for dead by the others (its rows cleared), B claims its users back.
    const QString b = "'" + m_b->masterId() + "'";
    QVERIFY(m_postgres.exec(m_database, "DELETE FROM online WHERE master = " + b));
    QVERIFY(m_postgres.exec(m_database, "DELETE FROM masters WHERE id = " + b));
    QCOMPARE(bruno->ask(u"0012", {"anna"}), L{"00012"});
    // Who logs in on B meanwhile is B's own, and stays.
    QCOMPARE(registerAccount(*clientOf(*m_b), "carla", "secret"), "00001");
    auto carla = loggedIn(*m_b, "carla");
    QVERIFY(carla);
    anna->setAnswerChecks(true);
    carla->setAnswerChecks(true);
    m_b->setCheckInterval(100);
    QVERIFY(QTest::qWaitFor([&] { return bruno->ask(u"0012", {"anna"}) == L{"10012"}; }, kWait));
    m_b->setCheckInterval(3600 * 1000);
    QCOMPARE(carla->ask(u"0012", {"anna"}), L{"10012"});

    // Logged out on B: free for A, and texts to her tell the sender so.
    anna.reset();
    carla.reset();
    QVERIFY(QTest::qWaitFor([&] { return m_b->loggedInCount() == 0; }, kWait));
    QVERIFY(QTest::qWaitFor([&] { return bruno->ask(u"0012", {"anna"}) == L{"00012"}; }, kWait));
    bruno->request(u"0013", {"anna", "ci sei?"});
    QCOMPARE(bruno->next(), (L{"0003", "anna", "ci sei?"}));
    QCOMPARE(bruno->next().value(0), "0004");
    QVERIFY(loggedIn(*m_a, "anna"));
}

void TestService::sameNickOnBothAtOnce()
{
    m_a = startMaster("127.0.0.1");
    m_b = startMaster("127.0.0.2");
    QVERIFY(m_a && m_b);
    // The same nick, then a look-alike (Cyrillic e), registered on the two masters at once.
    for (const auto& [onA, onB] :
         {std::pair<QString, QString>{"dora", "dora"},
          std::pair<QString, QString>{"elio", QStringLiteral("\u0435lio")}}) {
        auto x = clientOf(*m_a);
        auto y = clientOf(*m_b);
        x->request(u"0010", {onA, "kalimo", "secret", "someone@example.org", "-1"}, onA);
        y->request(u"0010", {onB, "kalimo", "secret", "someone@example.org", "-1"}, onB);
        QStringList codes{x->nextCode(), y->nextCode()};
        codes.sort();
        QCOMPARE(codes, (L{"00001", "00002"}));
    }
}

void TestService::roomsAcrossMasters()
{
    m_a = startMaster("127.0.0.1");
    m_b = startMaster("127.0.0.2");
    QVERIFY(m_a && m_b);
    for (const char* nick : {"anna", "bruno"})
        QCOMPARE(registerAccount(*clientOf(*m_a), nick, "secret"), "00001");
    auto anna = loggedIn(*m_a, "anna");
    auto bruno = loggedIn(*m_b, "bruno");
    QVERIFY(anna && bruno);

    const QStringList created = anna->ask(u"0007", {"Sala", "5", "2", ""});
    QCOMPARE(created.value(0), "00071");
    // Names are unique on the whole service, whatever the case.
    QCOMPARE(bruno->replyTo(u"0007", {"SALA", "5", "2", ""}), "00072");

    // The listing first, as a lobby does, then a ticket from another master of the service.
    const auto roomOnB = [&] { return listRooms(*bruno, 2).value(0); };
    QCOMPARE(roomOnB().mid(0, 2), (L{"Sala", "0"}));
    QCOMPARE(roomOnB().value(5), created.value(2));
    Membro member("bruno");
    const QStringList ticket = bruno->ask(u"0006", {"Sala"});
    // The room host's key, whichever master hands out the ticket.
    QCOMPARE(ticket.value(2).size(), 64);
    QCOMPARE(ticket.value(2), anna->ask(u"0006", {"Sala"}).value(2));
    member.ticket = ticket.value(1);
    member.hostKey = QByteArray::fromHex(ticket.value(2).toLatin1());
    QCOMPARE(member.join(quint16(created.value(2).toUInt())), 0);
    QVERIFY(QTest::qWaitFor([&] { return roomOnB().value(1) == "1"; }, kWait));
    member.client.Close();
    // Emptied, a user's room ends, and leaves every master's directory.
    QVERIFY(QTest::qWaitFor([&] { return roomOnB().isEmpty(); }, kWait));

    // A private room made through A reaches the invited user on B unasked.
    const QStringList privata =
        anna->ask(u"0007", {"Stanza di anna e bruno", "2", "2", "pw", "bruno"});
    QCOMPARE(privata.value(0), "00071");
    QCOMPARE(bruno->next(), privata);
    // Its tickets on either master name the same room host key.
    const QString key = anna->ask(u"0006", {privata.value(3)}).value(2);
    QCOMPARE(key.size(), 64);
    const QStringList invitedTicket = bruno->ask(u"0006", {privata.value(3)});
    QCOMPARE(invitedTicket.value(0), "00061");
    QCOMPARE(invitedTicket.value(2), key);
}

void TestService::roomHostOfItsOwnFailsOver()
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
    QVERIFY(
        QTest::qWaitFor([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, kWait));
    QCOMPARE(plain.readAll().left(5), "00005");

    QCOMPARE(registerAccount(*clientOf(*m_b), "bruno", "secret"), "00001");
    auto bruno = loggedIn(*m_b, "bruno");
    QVERIFY(bruno);

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
    QVERIFY(QTest::qWaitFor([&] { return listedOnB() == expected; }, kWait));

    // A goes: the room host moves to B, its room stays in the directory with
    // its members, and they keep talking.
    m_a.reset();
    QVERIFY(QTest::qWaitFor([&] { return listedOnB() == expected; }, kWait));
    QVERIFY(ana.chat("ancora qui") && bea.await("0005:ana,ancora qui"));
}

void TestService::databaseAwayAtStartAndLater()
{
    m_postgres.stop();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^accounts unavailable: cannot reach"));
    m_a = std::make_unique<MasterServer>(configFor("127.0.0.1"), m_dir->filePath("a"));
    QVERIFY(m_a->listen());
    QCOMPARE(login(*clientOf(*m_a), "anna", "secret"), "00006");
    QCOMPARE(registerAccount(*clientOf(*m_a), "anna", "secret"), "00003");
    QVERIFY2(m_postgres.launch(), qPrintable(m_postgres.error()));
    // It tries again by itself, soon, and joins the service with its events and rooms.
    QVERIFY(QTest::qWaitFor([&] { return m_a->renewals() > 0; }, kWait));
    QCOMPARE(registerAccount(*clientOf(*m_a), "anna", "secret"), "00001");
    m_b = startMaster("127.0.0.2");
    QVERIFY(m_b);
    QCOMPARE(registerAccount(*clientOf(*m_b), "bruno", "secret"), "00001");
    auto anna = loggedIn(*m_a, "anna");
    auto bruno = loggedIn(*m_b, "bruno");
    QVERIFY(anna && bruno);
    QCOMPARE(anna->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
    const auto textReachesAnna = [&] {
        bruno->request(u"0013", {"anna", "ci sei?"});
        return bruno->next() == L{"0003", "anna", "ci sei?"} &&
               anna->next() == L{"0002", "bruno", "ci sei?"};
    };
    QVERIFY(textReachesAnna());

    // Gone while they are logged in: they keep being served.
    m_postgres.stop();
    QCOMPARE(login(*clientOf(*m_a), "carla", "secret"), "00006");
    QCOMPARE(registerAccount(*clientOf(*m_a), "carla", "secret"), "00003");
    QCOMPARE(anna->ask(u"0012", {"anna"}), L{"10012"});
    QCOMPARE(anna->ask(u"0002"), (L{"00002", "2"}));
    const int renewals = m_a->renewals();
    QVERIFY2(m_postgres.launch(), qPrintable(m_postgres.error()));
    // A is back by itself, listening again, and so is B where nothing used the dropped
    // connection meanwhile; the refused registration left nothing behind.
    QVERIFY(QTest::qWaitFor([&] { return m_a->renewals() > renewals; }, kWait));
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
    QVERIFY(textReachesAnna());
    QCOMPARE(login(*clientOf(*m_a), "carla", "secret"), "00002");
    QCOMPARE(registerAccount(*clientOf(*m_a), "carla", "secret"), "00001");
    QVERIFY(loggedIn(*m_a, "carla"));
}

void TestService::killedMasterFreesItsNicks()
{
    const QByteArray ini = QString("[Database]\nDriver=postgresql\nPort=%1\nName=%2\nUser=%3\n"
                                   "[Rooms]\nHostLinkPassword=segreto\n")
                               .arg(m_postgres.port())
                               .arg(m_database, TestPostgres::user())
                               .toUtf8();
    test::ProcessoMaster b;
    QVERIFY2(b.avvia(ini, {"--check-interval-ms", "300"}), qPrintable(b.registro()));
    QCOMPARE(registerAccount(*MasterClient::to(b.porta()), "anna", "secret"), "00001");
    auto anna = MasterClient::to(b.porta());
    anna->setAnswerChecks(true);
    QCOMPARE(login(*anna, "anna", "secret"), "00001");
    QCOMPARE(anna->ask(u"0007", {"Sala di B", "5", "2", ""}).value(0), "00071");

    m_a = startMaster("127.0.0.2");
    QVERIFY(m_a);
    QCOMPARE(login(*clientOf(*m_a), "anna", "secret"), "00005");
    QCOMPARE(registerAccount(*clientOf(*m_a), "bruno", "secret"), "00001");
    auto bruno = loggedIn(*m_a, "bruno");
    QVERIFY(bruno);
    QVERIFY(QTest::qWaitFor([&] { return bruno->ask(u"0003", {"2"}) == L{"00004", "1"}; }, kWait));
    ::kill(pid_t(b.pid()), SIGKILL);
    // Within two of its intervals the dead master's nick is free again, and
    // its rooms have left the directory.
    QVERIFY(QTest::qWaitFor([&] { return login(*clientOf(*m_a), "anna", "secret") == "00001"; },
                            kWait));
    QCOMPARE(bruno->ask(u"0003", {"2"}), L{"00005"});
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
