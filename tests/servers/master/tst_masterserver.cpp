#include "masterclient.h"

#include "servers/master/accountstore.h"
#include "servers/master/masterserver.h"
#include "servers/trust/roomticket.h"
#include "tests/servers/roomhost/membro.h"
#include "tests/support/certificato.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace kalimo;
using namespace kalimo::master;
using kalimo::roomhost::test::Membro;
using L = QStringList;

namespace {

constexpr int kWait = 20000;

QStringList g_log;
QtMessageHandler g_testHandler = nullptr;
void keepLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_log.append(text);
    g_testHandler(type, context, text);
}

} // namespace

class TestMasterServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void registration_data();
    void registration();
    void loginOutcomes();
    void loginLimits();
    void configuredReplies();
    void tls();
    void presenceAndPrivateTexts();
    void malformedMessagesIgnored_data();
    void malformedMessagesIgnored();
    void abusiveAndVanishingClients();
    void splitAndJoinedArrivals();
    void checks();
    void storeUnavailable();
    void permanentRoomListedAndRestarted();
    void userRoomFollowsItsMembers();
    void creationRefused_data();
    void creationRefused();
    void creationLimitsAndPrivateRooms();
    void hostThatNeverIdentifiesIsKilled();
    void roomLinkRefusals_data();
    void roomLinkRefusals();
    void floodBrakes();
    void roomPasswordsTicketsAndLookAlikes();

private:
    // Starts the master with these accounts, each with the password "secret".
    void start(const QStringList& accounts = {});
    std::unique_ptr<MasterClient> client();
    std::unique_ptr<MasterClient> loggedIn(const QString& nick);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_data;
    MasterConfig m_config;
    std::unique_ptr<MasterServer> m_server;
    qint64 m_now = 0;
};

void TestMasterServer::init()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=false"));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_data = m_dir->filePath("data");
    m_config = testConfig(8);
    QVERIFY(m_config.roomFirstUdpPort != 0);
    m_config.roomRestartMinMs = 50;
    // Every test client comes from 127.0.0.1: the brakes per address are
    // tested on their own.
    m_config.maxConnectionsPerAddress = 1000;
    m_config.registrationsPerAddress = 1000;
    m_config.roomCreationsPerAddress = 1000;
    m_now = 0;
}

void TestMasterServer::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

void TestMasterServer::start(const QStringList& accounts)
{
    m_server = std::make_unique<MasterServer>(m_config, m_data);
    m_server->setClock([this] { return m_now; });
    QVERIFY(m_server->listen());
    QVERIFY(m_server->rooms().linkPort() != 0);
    for (const QString& nick : accounts)
        QCOMPARE(registerAccount(*client(), nick, "secret"), "00001");
}

std::unique_ptr<MasterClient> TestMasterServer::client()
{
    return MasterClient::to(m_server->port());
}

// A failed login fails the test; the client is there all the same.
std::unique_ptr<MasterClient> TestMasterServer::loggedIn(const QString& nick)
{
    auto c = client();
    [&] { QCOMPARE(login(*c, nick, "secret"), "00001"); }();
    return c;
}

void TestMasterServer::registration_data()
{
    QTest::addColumn<QStringList>("fields"); // nick, password, key, kind, e-mail
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const QStringList& fields, const char* code) {
        QTest::newRow(name) << fields << QString(code);
    };
    const QString mail = "someone@example.org";
    // "anna" / "secret" exists before every row.
    row("new, kept trimmed in lower case", {"  Mario ", "Pw-Caps", "kalimo", "-1", mail}, "00001");
    row("name taken", {"anna", "other", "kalimo", "-1", mail}, "00002");
    row("name taken, other case", {" ANNA ", "x12", "kalimo", "-1", mail}, "00002");
    row("already registered", {"anna", "secret", "kalimo", "0", mail}, "00005");
    row("registered, typed in capitals", {"Anna", "secret", "kalimo", "0", "short"}, "00005");
    row("registered, password case differs", {"anna", "Secret", "kalimo", "0", mail}, "00004");
    row("wrong master key", {"bruno", "pw1", "other", "-1", mail}, "00004");
    row("unknown kind", {"bruno", "pw1", "kalimo", "1", mail}, "00004");
    row("kind not a number", {"bruno", "pw1", "kalimo", "si", mail}, "00004");
    row("unfit name", {"a+b", "pw1", "kalimo", "-1", mail}, "00004");
    row("password too short", {"bruno", "pw", "kalimo", "-1", mail}, "00004");
    row("e-mail of 9", {"bruno", "pw1", "kalimo", "-1", "a@b.c.def"}, "00004");
    row("e-mail of 10, accents", {"niccolò", "pàss", "kalimo", "-1", "a@b.c.defg"}, "00001");
}

void TestMasterServer::registration()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, expected);
    start({"anna"});
    auto c = client();
    QCOMPARE(registerAccount(*c, fields[0], fields[1], fields[2], fields[3], fields[4]), expected);
    QVERIFY(c->isConnected()); // free for another try
    if (expected == "00001")
        QCOMPARE(login(*client(), fields[0].trimmed().toLower(), fields[1]), "00001");
}

void TestMasterServer::loginOutcomes()
{
    start({"anna", "bruno"});
    QCOMPARE(AccountStore(m_data).setEnabled("bruno", false), StoreStatus::Ok);
    auto c = client();
    QCOMPARE(login(*c, "anna", "Secret"), "00002");
    QCOMPARE(login(*c, "Anna", "secret"), "00002"); // nicks compare exactly
    QCOMPARE(login(*c, "nobody", "secret"), "00002");
    QCOMPARE(login(*c, "anna", "secret", "notthekey"), "00004");
    // Disabled shows only to who knows the password.
    QCOMPARE(login(*c, "bruno", "wrong"), "00002");
    QCOMPARE(login(*c, "bruno", "secret"), "00004");
    QCOMPARE(m_server->loggedInCount(), 0);
    // The nick in the message header is not the one that logs in.
    c->request(u"0001", {"anna", "kalimo", "secret"}, "bruno");
    QCOMPARE(c->nextCode(), "00001");
    QCOMPARE(m_server->loggedInCount(), 1);
    // A second login on the same connection is refused, whatever the nick.
    QCOMPARE(login(*c, "anna", "secret"), "00005");
    QCOMPARE(login(*c, "bruno", "secret"), "00005");
    // With no master list configured, this master is the list.
    QCOMPARE(c->ask(u"0008"), (L{"00008", "1"}));
    QCOMPARE(c->ask(u"0009", {"1"}),
             (L{"00010", "Locale", "127.0.0.1", QString::number(m_server->port()), "kalimo"}));
    for (const char* outside : {"0", "2", "-1"})
        QCOMPARE(c->replyTo(u"0009", {outside}), "00011");

    // Before its login a connection gets "00000", whatever logged-in nick its header names;
    // "0014 " awaits no reply, so the next one belongs to "0008 ".
    auto d = client();
    d->request(u"0014", {"whatever"});
    for (const char* code : {"0008", "0009", "0011", "0002", "0012", "0013"}) {
        d->request(QString::fromLatin1(code), {"1", "ciao"}, "anna");
        QCOMPARE(d->nextCode(), "00000");
    }
    QVERIFY(d->isConnected());
}

void TestMasterServer::loginLimits()
{
    m_config.maxUsers = 2;
    start({"anna", "bruno", "carla"});
    auto first = loggedIn("anna");
    QCOMPARE(login(*client(), "anna", "secret"), "00005");
    // Without the password nobody learns that anna is on line.
    QCOMPARE(login(*client(), "anna", "wrong"), "00002");
    // Two attempts racing through the password check: only one wins.
    auto x = client();
    auto y = client();
    first.reset();
    QTRY_COMPARE(m_server->loggedInCount(), 0);
    x->request(u"0001", {"anna", "kalimo", "secret"});
    y->request(u"0001", {"anna", "kalimo", "secret"});
    QStringList codes = {x->nextCode(), y->nextCode()};
    codes.sort();
    QCOMPARE(codes, QStringList({"00001", "00005"}));
    auto b = loggedIn("bruno");
    auto c = client();
    QCOMPARE(login(*c, "carla", "secret"), "00003");
    b->abort();
    QTRY_COMPARE(m_server->loggedInCount(), 1);
    QCOMPARE(login(*c, "carla", "secret"), "00001");
}

void TestMasterServer::configuredReplies()
{
    const QByteArray pin(32, '\x5a');
    m_config.masters = {{"Uno", "10.0.0.1", 7070, "k1", {}},
                        {"Due", "host.example", 7171, "k2", {7443, pin}}};
    m_config.maxUtentiStanza = 12;
    m_config.maxUtentiAudioStanza = 3;
    m_config.requiredVersion = "2.1";
    m_config.bannerAddress = "http://banner.example/a,b";
    m_config.bannerMinutes = 7;
    start({"anna"});
    auto c = client();
    c->request(u"0001", {"anna", "kalimo", "secret"});
    QCOMPARE(c->next(), (L{"00001", "http://banner.example/a,b", "7"}));
    QCOMPARE(c->ask(u"0011"), (L{"00012", "12", "3", "2.1"}));
    QCOMPARE(c->ask(u"0008"), (L{"00008", "2"}));
    QCOMPARE(c->ask(u"0009", {"1"}), (L{"00010", "Uno", "10.0.0.1", "7070", "k1"}));
    // A TLS master goes out with a fifth field, which a lobby of four fields ignores.
    QCOMPARE(c->ask(u"0009", {"2"}), (L{"00010", "Due", "host.example", "7171", "k2",
                                        "tls:7443:sha256=" + QString(pin.toHex())}));
    QCOMPARE(c->replyTo(u"0009", {"3"}), "00011");
}

void TestMasterServer::tls()
{
    test::CertificatoProva cert;
    QVERIFY(cert.crea());
    m_config.plain = false;
    m_config.tls = true;
    m_config.tlsPort = 0;
    m_config.certificateFile = cert.certificato;
    m_config.privateKeyFile = cert.chiave;

    // Without a usable key the master does not start half-way.
    m_config.privateKeyFile = cert.certificato;
    m_server = std::make_unique<MasterServer>(m_config, m_data);
    QVERIFY(!m_server->listen());
    QVERIFY(m_server->errorString().contains("no unencrypted PEM"));
    m_config.privateKeyFile = cert.chiave;

    start();
    QCOMPARE(m_server->port(), 0); // the plain port is off
    auto c = MasterClient::toTls(m_server->tlsPort(), cert.impronta());
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    auto d = MasterClient::toTls(m_server->tlsPort(), cert.impronta());
    QCOMPARE(login(*d, "anna", "secret"), "00001");
    // Its own record carries the TLS port and, self-signed, its fingerprint.
    QCOMPARE(d->ask(u"0009", {"1"}),
             (L{"00010", "Locale", "127.0.0.1", QString::number(m_server->tlsPort()), "kalimo",
                "tls:" + QString::number(m_server->tlsPort()) + ":sha256=" + cert.improntaHex()}));

    // A client that does not speak TLS gets nothing and is dropped.
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, m_server->tlsPort());
    QVERIFY(plain.waitForConnected(kWait));
    plain.write(wireBytes("0008 ^ anna ^ No Parametri | "));
    QVERIFY(
        QTest::qWaitFor([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, kWait));
    QVERIFY(!plain.readAll().contains("00008"));
    QCOMPARE(m_server->connectionCount(), 2);
}

void TestMasterServer::presenceAndPrivateTexts()
{
    m_config.privateTextsPerWindow = 5;
    start({"anna", "bruno", "carla"});
    auto anna = loggedIn("anna");
    auto bruno = loggedIn("bruno");
    QCOMPARE(anna->replyTo(u"0012", {"anna"}), "10012");
    QCOMPARE(anna->replyTo(u"0012", {"carla"}), "00012");
    QCOMPARE(anna->replyTo(u"0012", {"zeno"}), "20012");
    QCOMPARE(anna->replyTo(u"0012", {"Anna"}), "20012");

    // The sender is the connection's nick, whatever the message says.
    anna->request(u"0013", {"bruno", "ciao"}, "mallory");
    QCOMPARE(bruno->next(), (L{"0002", "anna", "ciao"}));
    QCOMPARE(anna->next(), (L{"0003", "bruno", "ciao"}));
    // A leading marker travels and is not echoed; markers elsewhere are taken
    // out; long texts are cut.
    const QString invitation = SEP4 + QString(" L'utente anna ti ha invitato.\r\n Vuoi?");
    anna->request(u"0013", {"bruno", invitation + SEP7});
    QCOMPARE(bruno->next(), (L{"0002", "anna", invitation}));
    anna->request(u"0013", {"bruno", QString(3000, u'x')});
    QCOMPARE(bruno->next(), (L{"0002", "anna", QString(1000, u'x')}));
    QCOMPARE(anna->next(), (L{"0003", "bruno", QString(1000, u'x')}));
    anna->request(u"0013", {"carla", "ci sei?"});
    QCOMPARE(anna->next(), (L{"0003", "carla", "ci sei?"}));
    const QStringList offline = anna->next();
    QCOMPARE(offline.mid(0, 2), (L{"0004", "carla"}));
    QVERIFY(offline.value(2).contains("carla"));

    // Anna's fifth text of the window passes, the sixth is refused.
    anna->request(u"0013", {"bruno", "sei"});
    QCOMPARE(bruno->next(), (L{"0002", "anna", "sei"}));
    QCOMPARE(anna->next(), (L{"0003", "bruno", "sei"}));
    anna->request(u"0013", {"bruno", "sette"});
    QCOMPARE(anna->next().mid(0, 2), (L{"0004", "bruno"}));
    m_now += m_config.privateTextWindowMs;
    anna->request(u"0013", {"bruno", "dopo"});
    QCOMPARE(bruno->next(), (L{"0002", "anna", "dopo"}));
}

void TestMasterServer::malformedMessagesIgnored_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("one part") << wireBytes("0008 |");
    QTest::newRow("two parts") << wireBytes("0008 ^ No Parametri |");
    QTest::newRow("four parts") << wireBytes("0008 ^ x ^ No Parametri ^ y |");
    QTest::newRow("unknown code") << wireBytes("9999 ^ x ^ No Parametri |");
    QTest::newRow("reply code from a client") << wireBytes("00001 ^ x ^ a ~ b |");
    QTest::newRow("empty code") << wireBytes(" ^ x ^ No Parametri |");
    QTest::newRow("login, one field") << wireBytes("0001 ^ anna ^ anna |");
    QTest::newRow("login, no parameters") << wireBytes("0001 ^ anna ^ No Parametri |");
    QTest::newRow("registration, four fields") << wireBytes("0010 ^ x ^ x ~ kalimo ~ pw1 ~ e |");
    QTest::newRow("only separators") << wireBytes("|||^^^~~~|");
    QByteArray noise;
    for (int i = 0; i < 4096; ++i) // every byte value, invalid UTF-8 among them
        noise.append(char((i * 7919 + 13) % 256 == 29 ? 0 : (i * 7919 + 13) % 256));
    QTest::newRow("noise") << noise + SEP1_BYTE;
}

void TestMasterServer::malformedMessagesIgnored()
{
    QFETCH(QByteArray, bytes);
    start({"anna"});
    auto c = loggedIn("anna");
    c->sendRaw(bytes);
    // Also after login, requests with bad or missing fields are ignored.
    c->sendRaw(wireBytes("0009 ^ anna ^ uno |0003 ^ anna ^ No Parametri |0004 ^ anna ^ 1 |"));
    c->sendRaw(
        wireBytes("0013 ^ anna ^ bruno |0007 ^ anna ^ x ~ 2 |0012  ^ anna ^ No Parametri |"));
    // The next reply is the one to the valid request that follows.
    QCOMPARE(c->replyTo(u"0011"), "00012");
    QVERIFY(c->isConnected());
    QCOMPARE(c->queued(), 0);
}

void TestMasterServer::abusiveAndVanishingClients()
{
    start({"anna", "bruno"});
    auto endless = loggedIn("anna");
    const QByteArray chunk(4096, 'x');
    for (int i = 0; i <= MasterServer::kMessageCap / chunk.size() + 1 && endless->isConnected();
         ++i)
        endless->sendRaw(chunk);
    QVERIFY(endless->waitClosed());
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
    b->abort();
    auto r = client();
    b.reset();
    r->request(u"0010", {"carla", "kalimo", "pw1", "carla@example.org", "-1"});
    r->abort();
    QTRY_COMPARE(m_server->connectionCount(), 0);
    QCOMPARE(m_server->loggedInCount(), 0);
    loggedIn("bruno");
}

void TestMasterServer::splitAndJoinedArrivals()
{
    start({"anna"});
    auto c = client();
    // A login cut into single bytes, each its own arrival.
    for (char byte : wireBytes("0001 ^ anna ^ anna ~ kalimo ~ secret | ")) {
        c->sendRaw(QByteArray(1, byte));
        QCoreApplication::processEvents();
    }
    QCOMPARE(c->nextCode(), "00001");
    // Three requests in one arrival are answered in order.
    c->sendRaw(wireBytes("0008 ^ anna ^ No Parametri | 0009 ^ anna ^ 1 | 0009 ^ anna ^ 5 | "));
    QCOMPARE(c->nextCode(), "00008");
    QCOMPARE(c->nextCode(), "00010");
    QCOMPARE(c->nextCode(), "00011");
    // The tail of one arrival completed by the next.
    for (const char* piece :
         {"0011 ^ anna ^ No Par", "ametri | 0008 ^ an", "na ^ No Parametri |"}) {
        c->sendRaw(wireBytes(piece));
        QCoreApplication::processEvents();
    }
    QCOMPARE(c->nextCode(), "00012");
    QCOMPARE(c->nextCode(), "00008");
}

void TestMasterServer::checks()
{
    start({"anna", "bruno", "carla"});
    auto silent = loggedIn("anna");
    auto lobby = loggedIn("bruno");
    auto wrong = loggedIn("carla");
    auto idle = client();
    lobby->setAnswerChecks(true);
    connect(&wrong->socket(), &QTcpSocket::readyRead, wrong.get(),
            [&] { wrong->request(u"0014", {"not-the-token"}); });
    // The answering lobby lives in this process: between ticks it must read a check, answer, and
    // the master read that answer. A fifth of a second outlasts any stall of a loaded machine.
    m_server->setCheckInterval(200);
    QVERIFY(silent->waitClosed());
    QCOMPARE(silent->checkTokens().size(), 2);
    QVERIFY(wrong->waitClosed());
    QVERIFY(idle->waitClosed()); // never logged in
    QTRY_VERIFY_WITH_TIMEOUT(lobby->checkTokens().size() >= 8, 20000);
    QVERIFY(lobby->isConnected());
    QCOMPARE(m_server->connectionCount(), 1);
    // Every check carries a token of its own, and never takes a reply's place.
    const QStringList tokens = lobby->checkTokens();
    QCOMPARE(QSet<QString>(tokens.begin(), tokens.end()).size(), tokens.size());
    QCOMPARE(lobby->queued(), 0);
    loggedIn("anna"); // a dropped lobby frees its nick
}

void TestMasterServer::storeUnavailable()
{
    // A data "folder" that is a file: the accounts cannot open.
    QFile blocker(m_data);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    start();
    auto c = client();
    QCOMPARE(login(*c, "anna", "secret"), "00006");
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00003");
    QCOMPARE(registerAccount(*c, "anna", "secret", "kalimo", "0"), "00003");
    // The service comes back with its folder, without a restart.
    QVERIFY(QFile::remove(m_data));
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    QCOMPARE(login(*c, "anna", "secret"), "00001");
}

void TestMasterServer::permanentRoomListedAndRestarted()
{
    m_config.permanentRooms = {PermanentRoom{"Piazza", 10, 3, ""}};
    start({"anna"});
    auto anna = loggedIn("anna");
    QCOMPARE(anna->ask(u"0002"), (QStringList{"00002", "2"}));

    QList<QStringList> rooms;
    QVERIFY(QTest::qWaitFor([&] { return (rooms = listRooms(*anna, 1)).size() == 1; }, kWait));
    const int port = rooms.first().value(5).toInt();
    QVERIFY(port >= m_config.roomFirstUdpPort && port <= m_config.roomLastUdpPort);
    QCOMPARE(rooms.first(), (QStringList{"Piazza", "0", "True", "", "127.0.0.1",
                                         QString::number(port), "False", "10", "3"}));
    QCOMPARE(anna->replyTo(u"0003", {"2"}), "00005");

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

void TestMasterServer::userRoomFollowsItsMembers()
{
    start({"anna", "bruno"});
    auto anna = loggedIn("anna");
    const QStringList created = anna->ask(u"0007", {"Sala", "5", "2", "pw"});
    QCOMPARE(created.mid(0, 2), (QStringList{"00071", "127.0.0.1"}));
    QCOMPARE(created.size(), 3);
    const quint16 port = created.at(2).toUShort();

    QCOMPARE(listRooms(*anna, 2),
             QList<QStringList>{(QStringList{"Sala", "0", "False", "*", "127.0.0.1",
                                             QString::number(port), "False", "5", "2"})});
    QCOMPARE(anna->replyTo(u"0007", {"SALA", "5", "2", ""}), "00072");

    // Only with the master's ticket for the room: a nick cannot be borrowed.
    Membro intruder("bruno");
    QCOMPARE(intruder.join(port, "pw"), int(session::SessionResult::BadTicket));
    // The ticket carries the key the room host identified with: a host
    // posing as it with another key is refused.
    Membro bruno("bruno"), fooled("bruno");
    const QStringList ticket = loggedIn("bruno")->ask(u"0006", {"Sala"});
    bruno.ticket = fooled.ticket = ticket.value(1);
    bruno.hostKey = QByteArray::fromHex(ticket.value(2).toLatin1());
    fooled.hostKey = session::HostKeys::generate().publicKey;
    QCOMPARE(fooled.join(port, "pw"), int(session::SessionResult::BadHello));
    QCOMPARE(bruno.join(port, "pw"), 0);
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto rooms = listRooms(*anna, 2);
            return rooms.size() == 1 && rooms.first().value(1) == "1";
        },
        kWait));

    bruno.client.Close();
    QVERIFY(QTest::qWaitFor([&] { return anna->replyTo(u"0003", {"2"}) == "00005"; }, kWait));
    QCOMPARE(anna->replyTo(u"0004", {"2", "1"}), "00007");
    QVERIFY(QTest::qWaitFor([&] { return m_server->rooms().runningHosts() == 0; }, kWait));
    // The name is free again; a room ordered to end goes at once.
    QCOMPARE(anna->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
    QVERIFY(m_server->rooms().endRoom("sala"));
    QVERIFY(QTest::qWaitFor([&] { return anna->replyTo(u"0003", {"2"}) == "00005"; }, kWait));
    QCOMPARE(m_server->rooms().runningHosts(), 0);
}

void TestMasterServer::creationRefused_data()
{
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const QStringList& params, const char* code) {
        QTest::newRow(name) << params << QString(code);
    };
    row("plus in name", {"A+B", "5", "2", ""}, "00073");
    row("plus in password", {"Sala", "5", "2", "a+b"}, "00073");
    row("control character", {"Sa\x01la", "5", "2", ""}, "00073");
    row("too many users", {"Sala", "21", "2", ""}, "00073");
    row("too few users", {"Sala", "1", "1", ""}, "00073");
    row("speakers over limit", {"Sala", "20", "6", ""}, "00073");
    row("speakers over users", {"Sala", "3", "4", ""}, "00073");
    row("not a number", {"Sala", "dieci", "2", ""}, "00073");
    row("invites himself", {"Sala", "2", "2", "", "anna"}, "00073");
    row("permanent name, other case", {"piazza", "5", "2", ""}, "00072");
}

void TestMasterServer::creationRefused()
{
    QFETCH(QStringList, params);
    QFETCH(QString, expected);
    m_config.permanentRooms = {PermanentRoom{"Piazza", 10, 3, ""}};
    start({"anna"});
    auto anna = loggedIn("anna");
    QCOMPARE(anna->replyTo(u"0007", params), expected);
    QCOMPARE(m_server->rooms().runningHosts(), 1); // Piazza alone
}

void TestMasterServer::creationLimitsAndPrivateRooms()
{
    m_config.roomCreationsPerWindow = 2;
    m_config.roomLiveRoomsPerUser = 3;
    start({"anna", "bruno"});
    auto anna = loggedIn("anna");
    QCOMPARE(anna->replyTo(u"0007", {"R1", "5", "2", ""}), "00071");
    QCOMPARE(anna->replyTo(u"0007", {"R2", "5", "2", ""}), "00071");
    QCOMPARE(anna->replyTo(u"0007", {"R3", "5", "2", ""}), "00073");
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
    QCOMPARE(bruno->replyTo(u"0007", {"Stanza di anna e bruno", "2", "2", "x", "anna"}), "00072");
    QCOMPARE(anna->nextCode(), "00072");
}

void TestMasterServer::hostThatNeverIdentifiesIsKilled()
{
    const QString script = m_dir->filePath("sleeper.sh");
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\nexec sleep 60\n") > 0);
    f.close();
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_config.roomHostProgram = script;
    m_config.roomIdentifyTimeoutMs = 300;
    start({"anna", "bruno"});
    auto anna = loggedIn("anna");
    anna->request(u"0007", {"Sala", "5", "2", ""});
    qint64 pid = 0;
    QVERIFY(QTest::qWaitFor([&] { return (pid = m_server->rooms().hostPid("Sala")) != 0; }));
    QCOMPARE(anna->nextCode(), "00073");
    QCOMPARE(m_server->rooms().runningHosts(), 0);
    QVERIFY(processGone(pid));
}

void TestMasterServer::roomLinkRefusals_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reply");
    const QByteArray id = "0001 ^ 1 ^ Sala ~ 5 ~ 2 ~ False ~  ~ %PW% ~ False ~ 2302 ~ %ID% |";
    QTest::newRow("silent") << QByteArray() << "";
    QTest::newRow("garbage") << QByteArray("hello|") << "";
    QTest::newRow("report first") << QByteArray("0002 ^ Sala ~ 1 ~ bob ~  ~ False |") << "";
    QTest::newRow("endless") << QByteArray(20000, 'x') << "";
    QTest::newRow("short") << QByteArray("0001 ^ 1 ^ Sala ~ 5 |") << "00004";
    QTest::newRow("wrong password")
        << QByteArray(id).replace("%PW%", "indovina-7f3").replace("%ID%", "abc") << "00002";
    // The right password admits a room host of its own, but not without a port.
    QTest::newRow("own host without a port")
        << QByteArray(id).replace("%PW%", "segreto").replace("2302", "0").replace("%ID%", "abc")
        << "00004";
}

void TestMasterServer::roomLinkRefusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reply);
    m_config.roomIdentifyTimeoutMs = 300;
    start();
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=true"));
    g_log.clear();
    g_testHandler = qInstallMessageHandler(keepLog);
    QTcpSocket link;
    link.connectToHost(QHostAddress::LocalHost, m_server->rooms().linkPort());
    QVERIFY(link.waitForConnected(kWait));
    link.write(wireBytes(bytes));
    QVERIFY(
        QTest::qWaitFor([&] { return link.state() == QAbstractSocket::UnconnectedState; }, kWait));
    const QList<QStringList> got = splitMessages(decodeText(link.readAll()));
    QCOMPARE(got.isEmpty() ? QString() : got.first().value(0), reply);
    qInstallMessageHandler(g_testHandler);
    // Every refusal is logged, a link password never.
    QVERIFY(!g_log.filter("room link").filter("closed").isEmpty());
    QVERIFY(g_log.filter("indovina").isEmpty() && g_log.filter("segreto").isEmpty());
}

void TestMasterServer::floodBrakes()
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
    QCOMPARE(registerAccount(*r, "anna", "secret"), "00001");
    QCOMPARE(registerAccount(*r, "bruno", "secret"), "00001");
    QCOMPARE(registerAccount(*r, "carla", "secret"), "00003");
    QCOMPARE(registerAccount(*client(), "carla", "secret"), "00001");
    QCOMPARE(registerAccount(*client(), "dario", "secret"), "00003");
    m_now += m_config.registrationWindowMs;
    QCOMPARE(registerAccount(*client(), "dario", "secret"), "00001");

    // Connections per address: the fifth is closed at once.
    QTRY_COMPARE(m_server->connectionCount(), 1);
    std::vector<std::unique_ptr<MasterClient>> open;
    for (int i = 0; i < 3; ++i)
        open.push_back(client());
    QVERIFY(client()->waitClosed());
    open.clear();
    r.reset();
    QTRY_COMPARE(m_server->connectionCount(), 0);

    // Failed logins: free ones, then each must wait a growing delay, and an
    // attempt made sooner is refused unchecked, even with the right password.
    auto g = client();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(login(*g, "anna", "guess"), "00002");
    QCOMPARE(login(*g, "anna", "secret"), "00002");
    m_now += 1000;
    QCOMPARE(login(*g, "anna", "guess"), "00002");
    m_now += 1000; // the delay has doubled
    QCOMPARE(login(*g, "anna", "secret"), "00002");
    m_now += 1000;
    // No lock-out: once the delay has passed the owner gets in.
    QCOMPARE(login(*g, "anna", "secret"), "00001");

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

    // Rooms from one address, whoever creates them; then the memory all
    // room hosts may use.
    auto dario = loggedIn("dario");
    QCOMPARE(g->replyTo(u"0007", {"R1", "5", "2", ""}), "00071");
    QCOMPARE(dario->replyTo(u"0007", {"R2", "5", "2", ""}), "00071");
    QCOMPARE(g->replyTo(u"0007", {"R3", "5", "2", ""}), "00073");
    m_config.roomCreationsPerAddress = 1000;
    m_config.roomHostMemoryMiB = 1;
    g.reset();
    start();
    g = loggedIn("anna");
    QCOMPARE(g->replyTo(u"0007", {"R4", "5", "2", ""}), "00071");
    QCOMPARE(g->replyTo(u"0007", {"R5", "5", "2", ""}), "00073");
}

void TestMasterServer::roomPasswordsTicketsAndLookAlikes()
{
    m_config.roomPasswordGuessesPerMinute = 3;
    start({"anna", "admin", "victim"});
    auto anna = loggedIn("anna");
    // Look-alike nicks: invisible or direction-changing characters, and
    // letters from another script.
    for (const QString& nick : {QStringLiteral("vict\u200bim"), QStringLiteral("\u202emitciv")})
        QCOMPARE(registerAccount(*client(), nick, "secret"), "00004");
    QCOMPARE(registerAccount(*client(), QStringLiteral("\u0430dmin"), "secret"), "00002");
    QCOMPARE(registerAccount(*client(), QStringLiteral("v\u0456ctim"), "secret"), "00002");
    QCOMPARE(registerAccount(*client(), QStringLiteral("victoria"), "secret"), "00001");
    // Rooms too.
    QCOMPARE(anna->replyTo(u"0007", {"Sala", "5", "2", "pw"}), "00071");
    QCOMPARE(anna->replyTo(u"0007", {QStringLiteral("\u0405ala"), "5", "2", ""}), "00072");
    QCOMPARE(anna->replyTo(u"0007", {QStringLiteral("Sa\u200bla 2"), "5", "2", ""}), "00073");

    // The listing says only that there is a password; the master checks it.
    QCOMPARE(listRooms(*anna, 2).value(0).value(3), "*");
    QCOMPARE(anna->ask(u"0005", {"Sala", "pw"}), (L{"00051"}));
    QCOMPARE(anna->ask(u"0005", {"sala", "PW"}), (L{"00052"}));
    QCOMPARE(anna->ask(u"0005", {"Nessuna", "pw"}), (L{"00052"}));
    QCOMPARE(anna->replyTo(u"0005", {"Sala", "x"}), "00052");
    // Three guesses a minute on a room: then even the right one is refused.
    QCOMPARE(anna->replyTo(u"0005", {"Sala", "pw"}), "00052");
    m_now += 60000;
    QCOMPARE(anna->replyTo(u"0005", {"Sala", "pw"}), "00051");

    // A ticket for the connection's nick, whatever the message names.
    anna->request(u"0006", {"sala"}, "admin");
    const QStringList ticket = anna->next();
    QCOMPARE(ticket.value(0), "00061");
    const QByteArray secret = m_config.roomHostLinkPassword.toUtf8();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(trust::checkRoomTicket(secret, ticket.value(1), "anna", "Sala", now, 600),
             trust::TicketCheck::Valid);
    QCOMPARE(trust::checkRoomTicket(secret, ticket.value(1), "admin", "Sala", now, 600),
             trust::TicketCheck::Forged);
    QCOMPARE(trust::checkRoomTicket(secret, ticket.value(1), "anna", "Sala", now + 3600, 600),
             trust::TicketCheck::Expired);
    QCOMPARE(anna->replyTo(u"0006", {"Nessuna"}), "00062");
    QCOMPARE(client()->replyTo(u"0006", {"Sala"}), "00000");
}

QTEST_GUILESS_MAIN(TestMasterServer)
#include "tst_masterserver.moc"
