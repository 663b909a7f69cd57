#include "masterclient.h"

#include "servers/master/accountstore.h"
#include "servers/master/masterserver.h"
#include "servers/trust/roomticket.h"
#include "tests/servers/roomhost/membro.h"
#include "tests/support/certificato.h"
#include "tests/support/processomaster.h"

#include <QLoggingCategory>
#include <QSqlQuery>
#include <QTcpServer>

#include <csignal>

using namespace kalimo;
using namespace kalimo::master;
using namespace Qt::StringLiterals;
using kalimo::roomhost::test::Membro;
using kalimo::test::ProcessoMaster;
using L = QStringList;

namespace {

QStringList g_log;
void keepLog(QtMsgType, const QMessageLogContext&, const QString& text)
{
    g_log.append(text);
}

// Many accounts from one address.
const QByteArray kIni = "[Service]\nChiave=kalimo\nMaxUsers=5000\n"
                        "[Brakes]\nConnectionsPerAddress=5000\nRegistrationsPerAddress=5000\n";

} // namespace

class TestMasterServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_data;
    MasterConfig m_config;
    std::unique_ptr<MasterServer> m_server;
    qint64 m_now = 0;

    // Starts the master with these accounts, each with the password "secret".
    void start(const QStringList& accounts = {})
    {
        m_server = std::make_unique<MasterServer>(m_config, m_data);
        m_server->setClock([this] { return m_now; });
        QVERIFY(m_server->listen());
        for (const QString& nick : accounts)
            QCOMPARE(client()->replyCodes({signUp(nick)}), "00001");
    }
    std::unique_ptr<MasterClient> client() { return MasterClient::to(m_server->port()); }
    // A failed login fails the test; the client is there all the same.
    std::unique_ptr<MasterClient> loggedIn(const QString& nick)
    {
        auto c = client();
        [&] { QCOMPARE(c->replyCodes({loginAs(nick)}), "00001"); }();
        return c;
    }

private Q_SLOTS:
    void init()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=false"));
        m_dir = std::make_unique<QTemporaryDir>();
        m_data = m_dir->filePath("data");
        m_config = testConfig(8);
        m_config.roomRestartMinMs = 50;
        // Every test client comes from 127.0.0.1: the brakes per address are tested on their own.
        m_config.maxConnectionsPerAddress = m_config.registrationsPerConnection = 1000;
        m_config.registrationsPerAddress = m_config.roomCreationsPerAddress = 1000;
        m_now = 0;
    }
    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
    }

    // A registration on a new connection, or a room created by "anna", logged in.
    void requests_data()
    {
        // Registration: nick, key, password, e-mail, kind; room: name, users, speakers, password.
        QTest::addColumn<QStringList>("request");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const QStringList& request, const char* code) {
            QTest::newRow(name) << request << QString(code);
        };
        const QString mail = "someone@example.org";
        // "anna" / "secret" exists before every row.
        row("new, trimmed, lower case", {"  Mario ", "kalimo", "Pw-Caps", mail, "-1"}, "00001");
        row("name taken, other case", {" ANNA ", "kalimo", "x12", mail, "-1"}, "00002");
        row("already registered", {"anna", "kalimo", "secret", mail, "0"}, "00005");
        row("registered, password case differs", {"anna", "kalimo", "Secret", mail, "0"}, "00004");
        row("wrong master key", {"bruno", "other", "pw1", mail, "-1"}, "00004");
        row("unknown kind", {"bruno", "kalimo", "pw1", mail, "1"}, "00004");
        row("unfit name", {"a+b", "kalimo", "pw1", mail, "-1"}, "00004");
        row("password too short", {"bruno", "kalimo", "pw", mail, "-1"}, "00004");
        row("e-mail of 9", {"bruno", "kalimo", "pw1", "a@b.c.def", "-1"}, "00004");
        row("e-mail of 10, accents", {"niccolò", "kalimo", "pàss", "a@b.c.defg", "-1"}, "00001");
        row("room: plus in name", {"A+B", "5", "2", ""}, "00073");
        row("room: plus in password", {"Sala", "5", "2", "a+b"}, "00073");
        row("room: control character", {"Sa\x01la", "5", "2", ""}, "00073");
        row("room: too many users", {"Sala", "21", "2", ""}, "00073");
        row("room: too few users", {"Sala", "1", "1", ""}, "00073");
        row("room: speakers over limit", {"Sala", "20", "6", ""}, "00073");
        row("room: speakers over users", {"Sala", "3", "4", ""}, "00073");
        row("room: not a number", {"Sala", "dieci", "2", ""}, "00073");
        row("room: invites himself", {"Sala", "2", "2", "", "anna"}, "00073");
        row("room: permanent name, other case", {"piazza", "5", "2", ""}, "00072");
    }
    void requests()
    {
        QFETCH(QStringList, request);
        QFETCH(QString, expected);
        m_config.permanentRooms = {PermanentRoom{"Piazza", 10, 3, ""}};
        start({"anna"});
        const bool room = QByteArray(QTest::currentDataTag()).startsWith("room");
        auto c = room ? loggedIn("anna") : client();
        QCOMPARE(c->replyTo(room ? u"0007" : u"0010", request), expected);
        QVERIFY(c->isConnected());                     // free for another try
        QCOMPARE(m_server->rooms().runningHosts(), 1); // Piazza alone
        if (!room && expected == "00001")
            QCOMPARE(client()->replyCodes({loginAs(request[0].trimmed().toLower(), request[2])}),
                     "00001");
    }

    void loginOutcomes()
    {
        const QByteArray pin(32, '\x5a');
        m_config.masters = {{"Uno", "10.0.0.1", 7070, "k1", {}},
                            {"Due", "host.example", 7171, "k2", {7443, pin}}};
        m_config.maxUtentiStanza = 12;
        m_config.maxUtentiAudioStanza = 3;
        m_config.requiredVersion = "2.1";
        m_config.bannerAddress = "http://banner.example/a,b";
        m_config.bannerMinutes = 7;
        start({"anna", "bruno"});
        QCOMPARE(AccountStore(m_data).setEnabled("bruno", false), StoreStatus::Ok);
        auto c = client();
        // Nicks compare exactly; disabled shows only to who knows the password.
        QList<QStringList> asked{loginAs("anna", "Secret"), loginAs("Anna"), loginAs("nobody")};
        asked << QStringList{"0001", "anna", "notthekey", "secret"} << loginAs("bruno", "wrong")
              << loginAs("bruno");
        QCOMPARE(c->replyCodes(asked), "00002 00002 00002 00004 00002 00004");
        // A header's nick is not who logs in; no second login on a connection.
        QCOMPARE(c->replies({loginAs("anna"), loginAs("anna"), loginAs("bruno")}, "bruno"),
                 (L{"00001 http://banner.example/a,b 7", "00005", "00005"}));
        QCOMPARE(m_server->loggedInCount(), 1);
        // A TLS master goes out with a fifth field, which a lobby of four fields ignores.
        asked = {{"0011"},      {"0008"},      {"0009", "1"}, {"0009", "2"},
                 {"0009", "3"}, {"0009", "0"}, {"0009", "-1"}};
        QCOMPARE(c->replies(asked),
                 (L{"00012 12 3 2.1", "00008 2", "00010 Uno 10.0.0.1 7070 k1",
                    "00010 Due host.example 7171 k2 tls:7443:sha256=" + pin.toHex(), "00011",
                    "00011", "00011"}));

        // Before login: "00000" whatever nick the header names ("0014 " gets no reply).
        auto d = client();
        d->request(u"0014", {"whatever"});
        asked = {{"0008"}, {"0009", "1"}, {"0011"}, {"0002"}, {"0012", "bruno"}};
        asked.append(QStringList{"0013", "bruno", "ciao"});
        QCOMPARE(d->replyCodes(asked, "anna"), "00000 00000 00000 00000 00000 00000");
        QVERIFY(d->isConnected());
    }

    void loginLimits()
    {
        m_config.maxUsers = 2;
        start({"anna", "bruno", "carla"});
        auto first = loggedIn("anna");
        // Without the password nobody learns that anna is on line.
        QCOMPARE(client()->replyCodes({loginAs("anna"), loginAs("anna", "wrong")}), "00005 00002");
        // Two attempts racing through the password check: only one wins.
        auto x = client(), y = client();
        first.reset();
        QTRY_COMPARE(m_server->loggedInCount(), 0);
        x->request(u"0001", {"anna", "kalimo", "secret"});
        y->request(u"0001", {"anna", "kalimo", "secret"});
        QCOMPARE(QSet<QString>({x->nextCode(), y->nextCode()}), QSet<QString>({"00001", "00005"}));
        auto b = loggedIn("bruno"), c = client();
        QCOMPARE(c->replyCodes({loginAs("carla")}), "00003");
        b->socket().abort();
        QTRY_COMPARE(m_server->loggedInCount(), 1);
        QCOMPARE(c->replyCodes({loginAs("carla")}), "00001");
    }

    void tls()
    {
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        m_config.plain = false;
        m_config.tls = true;
        m_config.tlsPort = 0;
        m_config.certificateFile = cert.certificato;
        // Without a usable key the master does not start half-way.
        m_config.privateKeyFile = cert.certificato;
        m_server = std::make_unique<MasterServer>(m_config, m_data);
        QVERIFY(!m_server->listen() && m_server->errorString().contains("no unencrypted PEM"));
        m_config.privateKeyFile = cert.chiave;

        start();
        QCOMPARE(m_server->port(), 0); // the plain port is off
        const QString port = QString::number(m_server->tlsPort());
        auto c = std::make_unique<MasterClient>();
        // Only the certificate made here is let through.
        c->socket().ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, cert.cert)});
        c->socket().connectToHostEncrypted("127.0.0.1", m_server->tlsPort());
        QTRY_VERIFY(c->isConnected());
        QCOMPARE(c->replyCodes({signUp("anna"), loginAs("anna")}), "00001 00001");
        // Its own record carries the TLS port and, self-signed, its fingerprint.
        QCOMPARE(c->ask(u"0009", {"1"}), (L{"00010", "Locale", "127.0.0.1", port, "kalimo",
                                            "tls:" + port + ":sha256=" + cert.improntaHex()}));
        // A client that does not speak TLS gets nothing and is dropped.
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, m_server->tlsPort());
        QVERIFY(plain.waitForConnected(kWait));
        plain.write(wireBytes("0008 ^ anna ^ No Parametri | "));
        QTRY_VERIFY_WITH_TIMEOUT(plain.state() == QAbstractSocket::UnconnectedState, kWait);
        QVERIFY(!plain.readAll().contains("00008"));
        QCOMPARE(m_server->connectionCount(), 1);
    }

    void presenceAndPrivateTexts()
    {
        m_config.privateTextsPerWindow = 5;
        start({"anna", "bruno", "carla"});
        auto anna = loggedIn("anna"), bruno = loggedIn("bruno");
        QCOMPARE(anna->replyCodes(
                     {{"0012", "anna"}, {"0012", "carla"}, {"0012", "zeno"}, {"0012", "Anna"}}),
                 "10012 00012 20012 20012");
        // The sender is the connection's nick, whatever the message says.
        anna->request(u"0013", {"bruno", "ciao"}, "mallory");
        QCOMPARE(bruno->next(), (L{"0002", "anna", "ciao"}));
        QCOMPARE(anna->next(), (L{"0003", "bruno", "ciao"}));
        // A leading marker travels, unechoed; other markers go; long texts are cut.
        const QString invitation = SEP4 + QString(" L'utente anna ti ha invitato.\r\n Vuoi?");
        anna->request(u"0013", {"bruno", invitation + SEP7});
        QCOMPARE(bruno->next(), (L{"0002", "anna", invitation}));
        anna->request(u"0013", {"bruno", QString(3000, u'x')});
        QCOMPARE(bruno->next(), (L{"0002", "anna", QString(1000, u'x')}));
        QCOMPARE(anna->next(), (L{"0003", "bruno", QString(1000, u'x')}));
        anna->request(u"0013", {"carla", "ci sei?"});
        QCOMPARE(anna->next(), (L{"0003", "carla", "ci sei?"}));
        const QStringList offline = anna->next();
        QVERIFY(offline.mid(0, 2) == (L{"0004", "carla"}) && offline.value(2).contains("carla"));
        // Anna's fifth text of the window passes, the sixth is refused.
        for (const char* text : {"sei", "sette"})
            anna->request(u"0013", {"bruno", text});
        QCOMPARE(bruno->next(), (L{"0002", "anna", "sei"}));
        QCOMPARE(anna->nextCode(), "0003");
        QCOMPARE(anna->next().mid(0, 2), (L{"0004", "bruno"}));
        m_now += m_config.privateTextWindowMs;
        anna->request(u"0013", {"bruno", "dopo"});
        QCOMPARE(bruno->next(), (L{"0002", "anna", "dopo"}));
    }

    void malformedMessagesIgnored()
    {
        start({"anna"});
        auto c = loggedIn("anna");
        QByteArray noise; // every byte value, invalid UTF-8 among them
        for (int i = 0; i < 4096; ++i)
            noise.append(char((i * 7919 + 13) % 256 == 29 ? 0 : (i * 7919 + 13) % 256));
        // Unknown codes, requests with bad or missing fields, noise: all ignored.
        c->sendRaw(
            wireBytes(
                "9999 ^ x ^ No Parametri |0001 ^ anna ^ anna |0010 ^ x ^ x ~ kalimo ~ pw1 ~ e |"
                "0009 ^ anna ^ uno |0003 ^ anna ^ No Parametri |0004 ^ anna ^ 1 |"
                "0013 ^ anna ^ bruno |0007 ^ anna ^ x ~ 2 |0012  ^ anna ^ No Parametri |") +
            noise + SEP1_BYTE);
        // The next reply is the one to the valid request that follows.
        QCOMPARE(c->replyTo(u"0011"), "00012");
        QVERIFY(c->isConnected() && c->queued() == 0);
    }

    void abusiveAndVanishingClients()
    {
        start({"anna", "bruno"});
        auto deaf = loggedIn("bruno");
        deaf->socket().setReadBufferSize(1);
        // Each short request draws a longer reply; the replies pile up unread.
        const QByteArray many = wireBytes("0013 ^ bruno ^ anna ~ x |").repeated(2000);
        for (int round = 0; round < 200 && deaf->isConnected(); ++round) {
            deaf->sendRaw(many);
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_server->loggedInCount(), 0, 60000);
        QCOMPARE(m_server->connectionCount(), 0);
        loggedIn("anna"); // nicks are free again

        // Gone while its password or its registration was checked: the answer finds nobody.
        auto b = client();
        b->request(u"0001", {"bruno", "kalimo", "secret"});
        b->socket().abort();
        auto r = client();
        b.reset();
        r->request(u"0010", {"carla", "kalimo", "pw1", "carla@example.org", "-1"});
        r->socket().abort();
        QTRY_COMPARE(m_server->connectionCount(), 0);
        QCOMPARE(m_server->loggedInCount(), 0);
        loggedIn("bruno");
    }

    void checks()
    {
        start({"anna", "bruno"});
        auto silent = loggedIn("anna"), lobby = loggedIn("bruno"), idle = client();
        lobby->setAnswerChecks(true);
        // Long enough for this process to read a check and answer it on a loaded machine.
        m_server->setCheckInterval(200);
        QVERIFY(silent->waitClosed());
        QCOMPARE(silent->checkTokens().size(), 2);
        QVERIFY(idle->waitClosed()); // never logged in
        QTRY_VERIFY_WITH_TIMEOUT(lobby->checkTokens().size() >= 8, 20000);
        QVERIFY(lobby->isConnected() && m_server->connectionCount() == 1);
        // Every check carries a token of its own, and never takes a reply's place.
        const QStringList tokens = lobby->checkTokens();
        QCOMPARE(QSet<QString>(tokens.begin(), tokens.end()).size(), tokens.size());
        QCOMPARE(lobby->queued(), 0);
        loggedIn("anna"); // a dropped lobby frees its nick
    }

    void roomsListedFollowedAndRestarted()
    {
        m_config.permanentRooms = {PermanentRoom{"Piazza", 10, 3, ""}};
        start({"anna", "bruno"});
        auto anna = loggedIn("anna");
        QCOMPARE(anna->ask(u"0002"), (L{"00002", "2"}));
        QList<QStringList> rooms;
        QTRY_VERIFY_WITH_TIMEOUT((rooms = listRooms(*anna, 1)).size() == 1, kWait);
        const int piazza = rooms.first().value(5).toInt();
        QVERIFY(piazza >= m_config.roomFirstUdpPort && piazza <= m_config.roomLastUdpPort);
        QCOMPARE(rooms.first(), (L{"Piazza", "0", "True", "", "127.0.0.1", QString::number(piazza),
                                   "False", "10", "3"}));
        QCOMPARE(anna->replyTo(u"0003", {"2"}), "00005");

        const QStringList created = anna->ask(u"0007", {"Sala", "5", "2", "pw"});
        QCOMPARE(created.mid(0, 2) + L{QString::number(created.size())},
                 (L{"00071", "127.0.0.1", "3"}));
        const quint16 port = created.at(2).toUShort();
        QCOMPARE(listRooms(*anna, 2), QList<QStringList>{(L{"Sala", "0", "False", "*", "127.0.0.1",
                                                            created.at(2), "False", "5", "2"})});
        QCOMPARE(anna->replyTo(u"0007", {"SALA", "5", "2", ""}), "00072");
        // Only the master's ticket lets in, and it names the key the room host identified with.
        Membro intruder("bruno"), bruno("bruno");
        QCOMPARE(intruder.join(port, "pw"), int(session::SessionResult::BadTicket));
        const QStringList ticket = loggedIn("bruno")->ask(u"0006", {"Sala"});
        bruno.ticket = ticket.value(1);
        bruno.hostKey = QByteArray::fromHex(ticket.value(2).toLatin1());
        QCOMPARE(bruno.join(port, "pw"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(listRooms(*anna, 2).value(0).value(1) == "1", kWait);
        // A user's room follows its members; the name is free again.
        bruno.client.Close();
        QVERIFY(QTest::qWaitFor([&] { return anna->replyTo(u"0003", {"2"}) == "00005"; }, kWait));
        QCOMPARE(anna->replyTo(u"0004", {"2", "1"}), "00007");
        QTRY_VERIFY_WITH_TIMEOUT(m_server->rooms().runningHosts() == 1, kWait);
        QCOMPARE(anna->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
        // A room ordered to end goes at once.
        QVERIFY(m_server->rooms().endRoom("sala"));
        QVERIFY(QTest::qWaitFor([&] { return anna->replyTo(u"0003", {"2"}) == "00005"; }, kWait));
        QCOMPARE(m_server->rooms().runningHosts(), 1);

        // A permanent room's host that dies is started again.
        const qint64 pid = m_server->rooms().hostPid("Piazza");
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qint64 now = m_server->rooms().hostPid("Piazza");
                return now != 0 && now != pid && listRooms(*anna, 1).size() == 1;
            },
            kWait));
    }

    void creationLimitsAndPrivateRooms()
    {
        m_config.roomCreationsPerWindow = 2;
        m_config.roomLiveRoomsPerUser = 3;
        start({"anna", "bruno"});
        auto anna = loggedIn("anna");
        QCOMPARE(anna->replyCodes({newRoom("R1"), newRoom("R2"), newRoom("R3")}),
                 "00071 00071 00073");
        m_now += m_config.roomCreationWindowMs;
        QCOMPARE(anna->replyTo(u"0007", {"R3", "5", "2", ""}), "00071");
        m_now += m_config.roomCreationWindowMs;
        QCOMPARE(anna->replyTo(u"0007", {"R4", "5", "2", ""}), "00073");
        auto bruno = loggedIn("bruno");
        QCOMPARE(bruno->replyTo(u"0007", {"R4", "5", "2", ""}), "00071");

        // A private room reaches the invited user unasked, and is never listed.
        const QStringList ours =
            bruno->ask(u"0007", {"Stanza di anna e bruno", "2", "2", "anna<->bruno", "anna"});
        QCOMPARE(ours.value(0), "00071");
        QCOMPARE(ours.mid(3), (L{"Stanza di anna e bruno", "anna<->bruno"}));
        QCOMPARE(anna->next(), ours);
        QCOMPARE(listRooms(*anna, 2).size(), 4);
        // The invited user also hears of a refusal instead of waiting it out.
        QCOMPARE(bruno->replyTo(u"0007", {"Stanza di anna e bruno", "2", "2", "x", "anna"}),
                 "00072");
        QCOMPARE(anna->nextCode(), "00072");
    }

    void roomLinkRefusals_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reply");
        const QByteArray id = "0001 ^ 1 ^ Sala ~ 5 ~ 2 ~ False ~  ~ %PW% ~ False ~ 2302 ~ abc |";
        QTest::newRow("silent") << QByteArray() << "";
        QTest::newRow("garbage") << QByteArray("hello|") << "";
        QTest::newRow("short") << QByteArray("0001 ^ 1 ^ Sala ~ 5 |") << "00004";
        QTest::newRow("wrong password")
            << QByteArray(id).replace("%PW%", "indovina-7f3") << "00002";
        // The right password admits a room host of its own, but not without a port.
        QTest::newRow("own host without a port")
            << QByteArray(id).replace("%PW%", "segreto").replace("2302", "0") << "00004";
    }
    void roomLinkRefusals()
    {
        QFETCH(QByteArray, bytes);
        m_config.roomIdentifyTimeoutMs = 300;
        start();
        QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=true"));
        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(keepLog);
        QTcpSocket link;
        link.connectToHost(QHostAddress::LocalHost, m_server->rooms().linkPort());
        QVERIFY(link.waitForConnected(kWait));
        link.write(wireBytes(bytes));
        QTRY_VERIFY_WITH_TIMEOUT(link.state() == QAbstractSocket::UnconnectedState, kWait);
        QTEST(splitMessages(decodeText(link.readAll())).value(0).value(0), "reply");
        qInstallMessageHandler(previous);
        // Refusals are logged, a link password never.
        QVERIFY(!g_log.filter("room link").isEmpty() && g_log.filter("indovina").isEmpty() &&
                g_log.filter("segreto").isEmpty());
    }

    void floodBrakes()
    {
        m_config.maxConnectionsPerAddress = 4;
        m_config.registrationsPerConnection = 2;
        m_config.registrationsPerAddress = 3;
        m_config.loginFreeFailuresPerAddress = 3;
        m_config.loginMinDelayMs = 1000;
        m_config.lookupsInFlight = 2;
        m_config.refusalsPerPeriod = 50;
        m_config.roomCreationsPerAddress = 2;
        start();
        // Registrations: two on one connection, three from one address.
        auto r = client();
        QCOMPARE(r->replyCodes({signUp("anna"), signUp("bruno"), signUp("carla")}),
                 "00001 00001 00003");
        QCOMPARE(client()->replyCodes({signUp("carla")}), "00001");
        QCOMPARE(client()->replyCodes({signUp("dario")}), "00003");
        m_now += m_config.registrationWindowMs;
        QCOMPARE(client()->replyCodes({signUp("dario")}), "00001");

        // Connections per address: the fifth is closed at once.
        QTRY_COMPARE(m_server->connectionCount(), 1);
        {
            const std::unique_ptr<MasterClient> open[] = {client(), client(), client()};
            QVERIFY(client()->waitClosed());
        }
        r.reset();
        QTRY_COMPARE(m_server->connectionCount(), 0);

        // Failed logins: free ones, then a doubling delay (sooner: refused unchecked), no lock-out.
        auto g = client();
        QStringList codes;
        const std::pair<int, const char*> attempts[] = {
            {0, "guess"},    {0, "guess"},     {0, "guess"},    {0, "secret"},
            {1000, "guess"}, {1000, "secret"}, {1000, "secret"}};
        for (const auto& [wait, password] : attempts) {
            m_now += wait;
            codes.append(g->replyCodes({loginAs("anna", password)}));
        }
        QCOMPARE(codes.join(' '), "00002 00002 00002 00002 00002 00002 00001");

        // Look-ups waiting for the store are bounded; one more closes.
        auto flood = loggedIn("bruno");
        flood->sendRaw(wireBytes("0012 ^ bruno ^ nobody1 |").repeated(200));
        QVERIFY(flood->waitClosed());

        // A flood of malformed messages is closed and writes a bounded log.
        QTRY_COMPARE(m_server->connectionCount(), 1);
        auto junk = client();
        const qint64 linesBefore = m_server->refusalLogLines();
        junk->sendRaw(wireBytes("||").repeated(5000));
        QVERIFY(junk->waitClosed());
        QVERIFY(m_server->refusalLogLines() - linesBefore <= m_config.logLinesPerConnection + 2);

        // Rooms from one address, whoever creates them; then the memory all room hosts may use.
        auto dario = loggedIn("dario");
        QCOMPARE(g->replyTo(u"0007", {"R1", "5", "2", ""}), "00071");
        QCOMPARE(dario->replyTo(u"0007", {"R2", "5", "2", ""}), "00071");
        QCOMPARE(g->replyTo(u"0007", {"R3", "5", "2", ""}), "00073");
        m_config.roomCreationsPerAddress = 1000;
        m_config.roomHostMemoryMiB = 1;
        g.reset();
        start();
        QCOMPARE(loggedIn("anna")->replyCodes({newRoom("R4"), newRoom("R5")}), "00071 00073");
    }

    void roomPasswordsTicketsAndLookAlikes()
    {
        m_config.roomPasswordGuessesPerMinute = 3;
        start({"anna", "admin", "victim"});
        auto anna = loggedIn("anna");
        // Look-alikes: invisible or direction marks, another script's letters; rooms too.
        QCOMPARE(
            client()->replyCodes({signUp("vict\u200bim"), signUp("\u202emitciv"),
                                  signUp("\u0430dmin"), signUp("v\u0456ctim"), signUp("victoria")}),
            "00004 00004 00002 00002 00001");
        QCOMPARE(anna->replyCodes(
                     {newRoom("Sala", "pw"), newRoom("\u0405ala"), newRoom("Sa\u200bla 2")}),
                 "00071 00072 00073");

        // The master checks room passwords, three guesses a minute, then even the right one fails.
        QCOMPARE(listRooms(*anna, 2).value(0).value(3), "*");
        QList<QStringList> guesses;
        for (const QString& g : QString("Sala pw,sala PW,Nessuna pw,Sala x,Sala pw").split(','))
            guesses.append(QStringList{"0005"} + g.split(' '));
        QCOMPARE(anna->replyCodes(guesses), "00051 00052 00052 00052 00052");
        m_now += 60000;
        QCOMPARE(anna->ask(u"0005", {"Sala", "pw"}), (L{"00051"}));

        // A ticket for the connection's nick, whatever the message names.
        anna->request(u"0006", {"sala"}, "admin");
        const QStringList ticket = anna->next();
        QCOMPARE(ticket.value(0), "00061");
        const QByteArray secret = m_config.roomHostLinkPassword.toUtf8();
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        using T = trust::TicketCheck;
        QCOMPARE(
            (QList<T>{trust::checkRoomTicket(secret, ticket[1], "anna", "Sala", now, 600),
                      trust::checkRoomTicket(secret, ticket[1], "admin", "Sala", now, 600),
                      trust::checkRoomTicket(secret, ticket[1], "anna", "Sala", now + 3600, 600)}),
            (QList<T>{T::Valid, T::Forged, T::Expired}));
        QCOMPARE(anna->replyTo(u"0006", {"Nessuna"}) + client()->replyTo(u"0006", {"Sala"}),
                 "0006200000");
    }

    void accountsSurviveAKill()
    {
        QStringList confirmed;
        ProcessoMaster m;
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        std::vector<std::unique_ptr<MasterClient>> batch;
        for (int i = 0; i < 40; ++i) {
            batch.push_back(MasterClient::to(m.porta()));
            batch.back()->request(u"0010", signUp(QString("utente%1").arg(i)).mid(1));
        }
        // Killed once some of the batch are confirmed and others still run.
        QTRY_VERIFY_WITH_TIMEOUT(batch.front()->queued() > 0, kWait);
        m.uccidi();
        for (int i = 0; i < 40; ++i)
            if (batch[i]->nextCode(0) == "00001")
                confirmed << QString("utente%1").arg(i);
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(QDir(m.dati()).filePath(AccountStore::fileName()));
            QSqlQuery q(db);
            QVERIFY(db.open() && q.exec("PRAGMA integrity_check") && q.next());
            QCOMPARE(q.value(0).toString(), "ok");
        }
        QSqlDatabase::removeDatabase("check");
        QCOMPARE(confirmed.value(0), "utente0");
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        for (const QString& nick : confirmed)
            QCOMPARE(MasterClient::to(m.porta())->replyCodes({loginAs(nick)}), "00001");
        QVERIFY(m.ferma());
    }

    // Both programs: 0 when stopped, 1 when they cannot run, 2 for bad options or room data.
    void exitCodes_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args"); // %D a data folder, %P a taken port, %F room data
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected"); // the code, ':', a part of what it wrote
        const auto row = [](const char* name, const char* program, const QStringList& args,
                            const QByteArray& input, const char* expected) {
            QTest::newRow(name) << program << args << input << QString(expected);
        };
        const char* master = "kalimo-master";
        row("master: no such config", master, {"--config", "%D/none.ini", "--data", "%D"}, {},
            "1:not found");
        row("master: bad option", master, {"--port", "banana"}, {}, "2:banana");
        row("master: port taken", master, {"--data", "%D", "--port", "%P"}, {}, "1:cannot listen");
        row("master: unknown account", master, {"--data", "%D", "--disable", "nobody"}, {},
            "1:nobody");
        row("room host: bad room data", "kalimo-roomhost", {},
            "name=Sala\nmax_users=4\npassword=x\nport=70000\n", "2:bad room data: line 4: port");
        // Room data from a file; SIGTERM once it listens.
        row("room host: stopped", "kalimo-roomhost", {"--config", "%F"}, {}, "0:listening on");
    }
    void exitCodes()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QTcpServer taken;
        QFile data(m_dir->filePath("room.txt"));
        QVERIFY(taken.listen(QHostAddress::LocalHost) && data.open(QIODevice::WriteOnly) &&
                data.write("name=Sala\nmax_users=4\nbind=127.0.0.1\n") > 0);
        data.close();
        args.replaceInStrings("%D", m_dir->path())
            .replaceInStrings("%P", QString::number(taken.serverPort()))
            .replaceInStrings("%F", data.fileName());
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(qEnvironmentVariable("KALIMO_BIN_DIR") + '/' + program, args);
        p.write(input);
        p.closeWriteChannel();
        (void)QTest::qWaitFor(
            [&] {
                return p.state() == QProcess::NotRunning ||
                       p.peek(1 << 20).contains("listening on");
            },
            kWait);
        p.terminate();
        QVERIFY(p.waitForFinished(kWait) || p.state() == QProcess::NotRunning);
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        const QString out = QString::fromLocal8Bit(p.readAll());
        QVERIFY2(out.contains(expected.section(':', 1)), qPrintable(out));
        QCOMPARE(p.exitCode(), expected.section(':', 0, 0).toInt());
    }

    void stopEndsRoomHosts()
    {
        const quint16 first = freePortRun(4);
        QVERIFY(first != 0);
        ProcessoMaster m;
        QVERIFY2(m.avvia(kIni + QString("[Rooms]\nBindAddress=127.0.0.1\nFirstUdpPort=%1\n"
                                        "LastUdpPort=%2\n[PermanentRooms]\nsize=1\n1\\Name=P\n")
                                    .arg(first)
                                    .arg(first + 3)
                                    .toUtf8()),
                 qPrintable(m.registro()));
        // The account tool works beside a running master.
        const auto tool = [&](const char* option) {
            QProcess p;
            p.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master",
                    {"--data", m.dati(), option, "anna"});
            return p.waitForFinished(kWait) && p.exitCode() == 0;
        };
        auto c = MasterClient::to(m.porta());
        QCOMPARE(c->replyCodes({signUp("anna")}), "00001");
        QVERIFY(tool("--disable"));
        QCOMPARE(c->replyCodes({loginAs("anna")}), "00004");
        QVERIFY(tool("--enable"));
        QCOMPARE(c->replyCodes({loginAs("anna"), newRoom("Sala")}), "00001 00071");
        QTRY_VERIFY_WITH_TIMEOUT(m.registro().contains("\"P\" (permanent) open"), 5000);
        QFile children(QString("/proc/%1/task/%1/children").arg(m.pid()));
        QVERIFY(children.open(QIODevice::ReadOnly));
        const QStringList hosts =
            QString::fromLatin1(children.readAll()).split(' ', Qt::SkipEmptyParts);
        QCOMPARE(hosts.size(), 2);
        QVERIFY(m.ferma());
        for (const QString& host : hosts)
            QVERIFY2(::kill(pid_t(host.toLongLong()), 0) != 0, qPrintable(m.registro()));
    }
};

QTEST_GUILESS_MAIN(TestMasterServer)
#include "tst_masterserver.moc"
