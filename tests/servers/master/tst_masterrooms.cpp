#include "masterclient.h"

#include "servers/master/masterserver.h"
#include "tests/servers/roomhost/membro.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sodium.h>

using namespace kalimo;
using namespace kalimo::master;
using kalimo::roomhost::test::Membro;

namespace {

constexpr int kWait = 20000;

// Every record of one room list, the way the lobby fetches it.
QList<QStringList> listRooms(MasterClient& c, int list)
{
    QList<QStringList> rooms;
    c.request(u"0003", {QString::number(list)});
    const auto count = c.next();
    if (!count || count->code != "00004")
        return rooms;
    for (int j = 1; j <= count->fields.value(0).toInt(); ++j) {
        c.request(u"0004", {QString::number(list), QString::number(j)});
        const auto r = c.next();
        if (r && r->code == "00006")
            rooms.append(r->fields);
    }
    return rooms;
}

} // namespace

class TestMasterRooms : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void permanentRoomListedAndRestarted();
    void userRoomFollowsItsMembers();
    void creationRefused_data();
    void creationRefused();
    void creationFloodAndLiveLimit();
    void privateRoomReachesBoth();
    void hostThatNeverIdentifiesIsKilled();
    void roomLinkRefusals_data();
    void roomLinkRefusals();

private:
    void start(bool permanentRoom = false);
    std::unique_ptr<MasterClient> user(const QString& nick);

    std::unique_ptr<QTemporaryDir> m_dir;
    MasterConfig m_config;
    std::unique_ptr<MasterServer> m_server;
    qint64 m_now = 0;
};

void TestMasterRooms::init()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master*.info=false"));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_config = MasterConfig{};
    m_config.port = 0;
    m_config.hashOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    m_config.hashMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    m_config.checkIntervalMs = 3600 * 1000;
    m_config.roomHostProgram = qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-roomhost";
    m_config.roomBindAddress = "127.0.0.1";
    m_config.roomFirstUdpPort = freePortRun(8);
    QVERIFY(m_config.roomFirstUdpPort != 0);
    m_config.roomLastUdpPort = m_config.roomFirstUdpPort + 7;
    m_config.roomHostLinkPassword = "segreto";
    m_config.roomRestartMinMs = 50;
    m_now = 0;
}

void TestMasterRooms::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

void TestMasterRooms::start(bool permanentRoom)
{
    if (permanentRoom)
        m_config.permanentRooms = {PermanentRoom{"Piazza", 10, 3, ""}};
    m_server = std::make_unique<MasterServer>(m_config, m_dir->filePath("data"));
    m_server->setClock([this] { return m_now; });
    QVERIFY(m_server->listen());
    QVERIFY(m_server->rooms().linkPort() != 0);
}

std::unique_ptr<MasterClient> TestMasterRooms::user(const QString& nick)
{
    auto c = std::make_unique<MasterClient>();
    if (!c->connectTo(m_server->port()) || registerAccount(*c, nick, "secret") != "00001" ||
        login(*c, nick, "secret") != "00001")
        return nullptr;
    return c;
}

void TestMasterRooms::permanentRoomListedAndRestarted()
{
    start(true);
    auto anna = user("anna");
    QVERIFY(anna);
    anna->request(u"0002");
    const auto lists = anna->next();
    QVERIFY(lists);
    QCOMPARE(lists->code, "00002");
    QCOMPARE(lists->fields, QStringList{"2"});

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

void TestMasterRooms::userRoomFollowsItsMembers()
{
    start();
    auto anna = user("anna");
    QVERIFY(anna);
    anna->request(u"0007", {"Sala", "5", "2", "pw"});
    const auto created = anna->next();
    QVERIFY(created);
    QCOMPARE(created->code, "00071");
    QCOMPARE(created->fields.size(), 2);
    QCOMPARE(created->fields.at(0), "127.0.0.1");
    const quint16 port = created->fields.at(1).toUShort();

    QCOMPARE(listRooms(*anna, 2),
             QList<QStringList>{(QStringList{"Sala", "0", "False", "pw", "127.0.0.1",
                                             QString::number(port), "False", "5", "2"})});
    QCOMPARE(anna->replyTo(u"0007", {"SALA", "5", "2", ""}), "00072");

    Membro bruno("bruno");
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

void TestMasterRooms::creationRefused_data()
{
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plus in name") << QStringList{"A+B", "5", "2", ""} << "00073";
    QTest::newRow("plus in password") << QStringList{"Sala", "5", "2", "a+b"} << "00073";
    QTest::newRow("control character") << QStringList{"Sa\x01la", "5", "2", ""} << "00073";
    QTest::newRow("too many users") << QStringList{"Sala", "21", "2", ""} << "00073";
    QTest::newRow("too few users") << QStringList{"Sala", "1", "1", ""} << "00073";
    QTest::newRow("speakers over limit") << QStringList{"Sala", "20", "6", ""} << "00073";
    QTest::newRow("speakers over users") << QStringList{"Sala", "3", "4", ""} << "00073";
    QTest::newRow("not a number") << QStringList{"Sala", "dieci", "2", ""} << "00073";
    QTest::newRow("invites himself") << QStringList{"Sala", "2", "2", "", "anna"} << "00073";
    QTest::newRow("permanent name, other case") << QStringList{"piazza", "5", "2", ""} << "00072";
}

void TestMasterRooms::creationRefused()
{
    QFETCH(QStringList, params);
    QFETCH(QString, expected);
    start(true);
    auto anna = user("anna");
    QVERIFY(anna);
    QCOMPARE(anna->replyTo(u"0007", params), expected);
    QCOMPARE(m_server->rooms().runningHosts(), 1); // Piazza alone
}

void TestMasterRooms::creationFloodAndLiveLimit()
{
    m_config.roomCreationsPerWindow = 2;
    m_config.roomLiveRoomsPerUser = 3;
    start();
    auto anna = user("anna");
    QVERIFY(anna);
    QCOMPARE(anna->replyTo(u"0007", {"R1", "5", "2", ""}), "00071");
    QCOMPARE(anna->replyTo(u"0007", {"R2", "5", "2", ""}), "00071");
    QCOMPARE(anna->replyTo(u"0007", {"R3", "5", "2", ""}), "00073");
    m_now += m_config.roomCreationWindowMs;
    QCOMPARE(anna->replyTo(u"0007", {"R3", "5", "2", ""}), "00071");
    m_now += m_config.roomCreationWindowMs;
    QCOMPARE(anna->replyTo(u"0007", {"R4", "5", "2", ""}), "00073");
    auto bruno = user("bruno");
    QVERIFY(bruno);
    QCOMPARE(bruno->replyTo(u"0007", {"R4", "5", "2", ""}), "00071");
}

void TestMasterRooms::privateRoomReachesBoth()
{
    start();
    auto anna = user("anna");
    auto bruno = user("bruno");
    QVERIFY(anna && bruno);
    anna->request(u"0007", {"Stanza di anna e bruno", "2", "2", "anna<->bruno", "bruno"});
    const auto mine = anna->next();
    const auto theirs = bruno->next();
    QVERIFY(mine && theirs);
    QCOMPARE(mine->code, "00071");
    QCOMPARE(mine->fields.mid(2), (QStringList{"Stanza di anna e bruno", "anna<->bruno"}));
    QCOMPARE(theirs->code, mine->code);
    QCOMPARE(theirs->fields, mine->fields);
    QCOMPARE(anna->replyTo(u"0003", {"2"}), "00005");
    // The invited user also hears of a refusal instead of waiting it out.
    anna->request(u"0007", {"Stanza di anna e bruno", "2", "2", "x", "bruno"});
    QCOMPARE(anna->nextCode(), "00072");
    QCOMPARE(bruno->nextCode(), "00072");
}

void TestMasterRooms::hostThatNeverIdentifiesIsKilled()
{
    const QString script = m_dir->filePath("sleeper.sh");
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nexec sleep 60\n");
    f.close();
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_config.roomHostProgram = script;
    m_config.roomIdentifyTimeoutMs = 300;
    start();
    auto anna = user("anna");
    QVERIFY(anna);
    anna->request(u"0007", {"Sala", "5", "2", ""});
    qint64 pid = 0;
    QVERIFY(QTest::qWaitFor([&] { return (pid = m_server->rooms().hostPid("Sala")) != 0; }));
    QCOMPARE(anna->nextCode(), "00073");
    QCOMPARE(m_server->rooms().runningHosts(), 0);
    QVERIFY(processGone(pid));
}

void TestMasterRooms::roomLinkRefusals_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reply");
    // '|' = SEP1, '^' = SEP2, '~' = SEP3.
    const QByteArray id = "0001 ^ 1 ^ Sala ~ 5 ~ 2 ~ False ~  ~ %PW% ~ False ~ 2302 ~ %ID% |";
    QTest::newRow("silent") << QByteArray() << "";
    QTest::newRow("garbage") << QByteArray("hello|") << "";
    QTest::newRow("report first") << QByteArray("0002 ^ Sala ~ 1 ~ bob ~  ~ False |") << "";
    QTest::newRow("endless") << QByteArray(20000, 'x') << "";
    QTest::newRow("short") << QByteArray("0001 ^ 1 ^ Sala ~ 5 |") << "00004";
    QTest::newRow("wrong password")
        << QByteArray(id).replace("%PW%", "x").replace("%ID%", "abc") << "00002";
    QTest::newRow("unknown room")
        << QByteArray(id).replace("%PW%", "segreto").replace("%ID%", "abc") << "00003";
}

void TestMasterRooms::roomLinkRefusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reply);
    m_config.roomIdentifyTimeoutMs = 300;
    start();
    QTcpSocket link;
    link.connectToHost(QHostAddress::LocalHost, m_server->rooms().linkPort());
    QVERIFY(link.waitForConnected(kWait));
    link.write(bytes.replace('|', char(29)).replace('^', char(30)).replace('~', char(31)));
    QVERIFY(
        QTest::qWaitFor([&] { return link.state() == QAbstractSocket::UnconnectedState; }, kWait));
    const QList<QStringList> got = splitMessages(decodeText(link.readAll()));
    QCOMPARE(got.isEmpty() ? QString() : got.first().value(0), reply);
}

QTEST_GUILESS_MAIN(TestMasterRooms)
#include "tst_masterrooms.moc"
