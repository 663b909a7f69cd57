#include "fakemaster.h"
#include "membro.h"

#include "platform/session/wire.h"
#include "servers/roomhost/roomhost.h"
#include "tests/support/rawenet.h"

#include <QTcpServer>

#include <memory>
#include <vector>

using namespace kalimo;
using namespace kalimo::roomhost;
using namespace kalimo::roomhost::test;
using kalimo::test::RawEnet;
using session::SessionResult;

namespace {

RoomHostConfig baseConfig()
{
    RoomHostConfig c;
    c.name = "Sala prova";
    c.maxUsers = 5;
    c.maxSpeakers = 1;
    c.bindAddress = "127.0.0.1";
    c.timings = quickTimings();
    c.firstJoinTimeoutMs = 600000;
    c.reconnectMinMs = 20;
    c.reconnectMaxMs = 80;
    return c;
}

QStringList msg(const QString& code, const QStringList& fields)
{
    return QStringList{code} + fields;
}

} // namespace

class TestRoomHost final : public QObject
{
    Q_OBJECT

    std::unique_ptr<RoomHost> host;
    std::vector<std::unique_ptr<Membro>> members;
    QStringList logLines;
    std::unique_ptr<QSignalSpy> ended;
    qint64 now = 0;

    bool startRoom(const RoomHostConfig& c, bool fakeClock = false)
    {
        host = std::make_unique<RoomHost>(c);
        host->setLogSink([this](const QString& line) { logLines.append(line); });
        if (fakeClock)
            host->setClock([this] { return now; });
        ended = std::make_unique<QSignalSpy>(host.get(), &RoomHost::ended);
        return host->start();
    }
    Membro& member(const QString& name)
    {
        members.push_back(std::make_unique<Membro>(name));
        return *members.back();
    }
    // Joins a new member and waits until it has the room's welcome messages.
    Membro& joined(const QString& name)
    {
        Membro& m = member(name);
        const int result = m.join(host->port());
        if (result != 0)
            qFatal("join of %s failed: %d", qPrintable(name), result);
        // Its own arrival is always among them.
        if (!QTest::qWaitFor(
                [&] {
                    return m.messages.contains(msg("0002", {name, QString::number(m.id)}));
                },
                kWait))
            qFatal("no arrival message for %s", qPrintable(name));
        return m;
    }
    bool logged(const QString& part) const { return !logLines.filter(part).isEmpty(); }

private Q_SLOTS:
    void cleanup()
    {
        members.clear();
        ended.reset();
        host.reset();
        logLines.clear();
        now = 0;
    }

    void arrivalsAndDepartures();
    void floorAndVoice();
    void refusals();
    void hostilePayloads();
    void talkFloodDoesNotStarveOthers();
    void permanentRoomOutlivesItsMembers();
    void endsWhenNobodyJoins();
    void finishClosesTheSession();
    void serverLink();
    void linkedRoomEndsWhenEmpty();
    void linkBacksOffWhileTheMasterIsAway();
};

void TestRoomHost::arrivalsAndDepartures()
{
    RoomHostConfig c = baseConfig();
    c.permanent = true;
    QVERIFY(startRoom(c));
    QVERIFY(host->port() != 0);
    Membro& ana = joined("Ana");
    // The exact bytes of a host message.
    QCOMPARE(ana.payloads.first(), wire("0002 | Ana ~ %1 $ ").arg(ana.id));

    Membro& bea = joined("Bea");
    QVERIFY(ana.waitMessages(2));
    QCOMPARE(bea.messages, (QList<QStringList>{msg("0002", {"Ana", QString::number(ana.id)}),
                                               msg("0002", {"Bea", QString::number(bea.id)})}));
    QCOMPARE(ana.messages.last(), msg("0002", {"Bea", QString::number(bea.id)}));

    QVERIFY(ana.talk(true));
    QVERIFY(bea.waitMessages(3));
    QCOMPARE(bea.messages.last(), msg("0004", {QString::number(ana.id), "true"}));

    Membro& cia = joined("Cia");
    QVERIFY(cia.waitMessages(4));
    QCOMPARE(cia.messages, (QList<QStringList>{msg("0002", {"Ana", QString::number(ana.id)}),
                                               msg("0002", {"Bea", QString::number(bea.id)}),
                                               msg("0002", {"Cia", QString::number(cia.id)}),
                                               msg("0004", {QString::number(ana.id), "true"})}));
    QCOMPARE(host->stanza().NumUtenti(), 3);

    // A plain leave, then the floor holder's leave: the floor is freed first.
    bea.client.Close();
    QVERIFY(cia.waitMessages(5));
    QCOMPARE(cia.messages.last(), msg("0003", {"Bea"}));
    ana.client.Close();
    QVERIFY(cia.waitMessages(7));
    QCOMPARE(cia.messages.mid(5),
             (QList<QStringList>{msg("0004", {QString::number(ana.id), "false"}),
                                 msg("0003", {"Ana"})}));
    QCOMPARE(host->stanza().NumUtenti(), 1);
    QCOMPARE(host->stanza().NumUtentiAudio(), 0);
    QVERIFY(logged("join: \"Bea\""));
    QVERIFY(logged("leave: \"Ana\""));
    QVERIFY(logged("floor freed by"));
    QVERIFY(ended->isEmpty());
}

void TestRoomHost::floorAndVoice()
{
    QVERIFY(startRoom(baseConfig()));
    Membro& ana = joined("Ana");
    Membro& bea = joined("Bea");
    Membro& cia = joined("Cia");

    // Nobody holds the floor: Bea's frame goes nowhere.
    QVERIFY(bea.client.SendVoice("bea-1"));
    QVERIFY(ana.talk(true));
    QVERIFY(cia.waitMessages(4));
    const qsizetype anaBefore = ana.messages.size();
    const qsizetype ciaBefore = cia.messages.size();
    QVERIFY(ana.client.SendVoice("ana-1"));
    // The floor is full: only Bea hears the refusal, and her voice still goes nowhere.
    QVERIFY(bea.talk(true));
    QVERIFY(bea.client.SendVoice("bea-2"));
    QVERIFY(bea.chat("dopo")); // behind it all on the same channels' order
    QVERIFY(ana.waitChat("Bea", "dopo"));
    QVERIFY(cia.waitChat("Bea", "dopo"));
    QVERIFY(bea.payloads.contains(wire("0001 | true $ ")));
    QCOMPARE(ana.messages.size(), anaBefore + 1);
    QCOMPARE(cia.messages.size(), ciaBefore + 1);
    QTRY_COMPARE_WITH_TIMEOUT(cia.voices.size(), 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(bea.voices.size(), 1, kWait);
    QCOMPARE(bea.voices.first().from, ana.id);
    QCOMPARE(cia.voices.first().frame, QByteArray("ana-1"));
    QVERIFY(logged("floor refused to \"Bea\""));

    // Released: Ana's frames stop too.
    QVERIFY(ana.talk(false));
    QVERIFY(ana.client.SendVoice("ana-2"));
    QVERIFY(ana.chat("fine"));
    QVERIFY(bea.waitChat("Ana", "fine"));
    QVERIFY(cia.waitChat("Ana", "fine"));
    QVERIFY(ana.voices.isEmpty());
    QCOMPARE(bea.voices.size(), 1);
    QCOMPARE(cia.voices.size(), 1);
    QCOMPARE(host->stanza().NumUtentiAudio(), 0);
}

void TestRoomHost::refusals()
{
    const struct
    {
        const char *name, *password;
        SessionResult result;
        const char* logPart;
    } rows[] = {{"Eva", "sbagliata", SessionResult::WrongPassword, "wrong room password"},
                {"Eva", "", SessionResult::WrongPassword, "wrong room password"},
                {"Ana", "segreta", SessionResult::NameInUse, nullptr},
                {"Eva ", "segreta", SessionResult::BadHello, "blanks around the name"},
                {"Zoe", "segreta", SessionResult::RoomFull, nullptr}};
    for (const auto& r : rows) {
        cleanup();
        RoomHostConfig c = baseConfig();
        c.password = "segreta";
        c.maxUsers = r.result == SessionResult::RoomFull ? 1 : 3;
        QVERIFY(startRoom(c));
        Membro& ana = member("Ana");
        QCOMPARE(ana.join(host->port(), "segreta"), 0);
        QCOMPARE(member(r.name).join(host->port(), r.password), int(r.result));
        QCOMPARE(host->stanza().NumUtenti(), 1);
        if (r.logPart)
            QVERIFY2(logged(r.logPart), r.logPart);
        // The refused one never appears to the members.
        QVERIFY(ana.chat("ancora qui"));
        QVERIFY(ana.waitChat("Ana", "ancora qui"));
        QCOMPARE(ana.codes("0002").size(), 1);
    }
}

void TestRoomHost::hostilePayloads()
{
    RoomHostConfig c = baseConfig();
    c.flood.controlBurst = 100000; // this test is about content, not rate
    QVERIFY(startRoom(c));
    Membro& ana = joined("Ana");
    Membro& bea = joined("Bea");
    RawEnet raw; // sends what a real client never would
    QVERIFY(raw.join(host->port(), "Raw") != 0);
    QVERIFY(bea.waitMessages(3));
    const qsizetype beaBefore = bea.messages.size();

    // Larger than any payload a client may send: dropped whole.
    const qsizetype frame = encodeText(masterRequest(u"0002", u"Raw", {"Raw", ""})).size();
    raw.send(
        session::wire::kChannelControl,
        encodeText(masterRequest(u"0002", u"Raw",
                                 {"Raw", QString(session::wire::kMaxPayload + 10 - frame, u'r')})));
    QTRY_COMPARE_WITH_TIMEOUT(host->droppedPayloads(), 1, kWait);
    QVERIFY(logged("dropped an oversized message of \"Raw\""));

    QVERIFY(ana.sendRaw("0002 " + QString(SEP2) + " Ana " + SEP2 + " Ana " + SEP3 + " no end"));
    QVERIFY(ana.sendRaw(wire("0002 | Ana | x | y | z $ ")));
    QVERIFY(ana.sendRaw(wire("0002 nothing $ ")));
    QVERIFY(ana.sendRaw(wire("$$$$ | | $")));
    QVERIFY(ana.sendRaw(wire("0003 | Ana | Ana ~ Nessuno ~ ciao $ ")));
    QVERIFY(ana.sendRaw(wire("0004 | Ana | Nessuno $ 0009 | Ana | Bea $ ")));
    QVERIFY(ana.sendRaw(wire("0001 | Ana | forse $ ")));
    QVERIFY(ana.client.Send(QByteArray("\xff\xfe\x00\x1d\x1e\x1f garbage", 15)));
    // A long line still fits a relay.
    const QString longLine(60 * 1024, u'x');
    QVERIFY(ana.chat(longLine));
    // Speaking or chatting in Bea's name acts for Ana only.
    QVERIFY(ana.sendRaw(wire("0001 | Bea | true $ ")));
    QVERIFY(ana.sendRaw(wire("0002 | Bea | Bea ~ sono Bea $ ")));

    QVERIFY(ana.chat("fine"));
    QVERIFY(bea.waitChat("Ana", "fine"));
    QCOMPARE(bea.messages.mid(beaBefore),
             (QList<QStringList>{msg("0005", {"Ana", longLine}),
                                 msg("0004", {QString::number(ana.id), "true"}),
                                 msg("0005", {"Ana", "sono Bea"}), msg("0005", {"Ana", "fine"})}));
    QCOMPARE(host->stanza().Utenti(1)->Parlante, true);
    QCOMPARE(host->stanza().Utenti(2)->Parlante, false);
    QVERIFY(ended->isEmpty());
}

void TestRoomHost::talkFloodDoesNotStarveOthers()
{
    RoomHostConfig c = baseConfig();
    c.flood.controlBurst = 20;
    c.flood.controlPerSecond = 10;
    c.flood.retryMs = 5;
    QVERIFY(startRoom(c, true)); // the clock stands still until the test moves it
    Membro& ana = joined("Ana");
    Membro& bea = joined("Bea");
    QVERIFY(ana.waitMessages(2));

    // 1,000 toggles in as many payloads, ending on "true"; then one payload
    // of 500 toggles, ending on "false".
    for (int i = 0; i < 1000; ++i)
        QVERIFY(ana.talk(i % 2 == 1));
    QString packed;
    for (int i = 0; i < 500; ++i)
        packed += masterRequest(u"0001", u"Ana", {i % 2 ? "false" : "true"});
    QVERIFY(ana.sendRaw(packed));
    // Every payload but the burst's is dropped; the last state asked for waits.
    QTRY_COMPARE_WITH_TIMEOUT(host->droppedPayloads(), 1001 - 20, kWait);
    // Bea is not held back by Ana's flood, and sees only the burst's marks.
    QVERIFY(bea.chat("io ci sono"));
    QVERIFY(bea.waitChat("Bea", "io ci sono"));
    QVERIFY(ana.waitChat("Bea", "io ci sono"));
    QCOMPARE(bea.codes("0004").size(), 20);
    QCOMPARE(bea.codes("0004").last(), msg("0004", {QString::number(ana.id), "true"}));
    QCOMPARE(host->stanza().NumUtentiAudio(), 1);
    QVERIFY(logged("\"Ana\" (id " + QString::number(ana.id) + ") sends too fast"));

    now += 1000; // tokens for the held talk state
    QTRY_COMPARE_WITH_TIMEOUT(bea.codes("0004").size(), 21, kWait);
    QCOMPARE(bea.codes("0004").last(), msg("0004", {QString::number(ana.id), "false"}));
    QCOMPARE(host->stanza().NumUtentiAudio(), 0);
}

void TestRoomHost::permanentRoomOutlivesItsMembers()
{
    RoomHostConfig c = baseConfig();
    c.permanent = true;
    c.firstJoinTimeoutMs = 1; // a permanent room does not wait for its first member
    QVERIFY(startRoom(c));
    joined("Bea").client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(host->stanza().NumUtenti(), 0, kWait);
    // Still there: a new member gets in and finds an empty room.
    Membro& cia = joined("Cia");
    QCOMPARE(cia.messages, (QList<QStringList>{msg("0002", {"Cia", QString::number(cia.id)})}));
    QVERIFY(ended->isEmpty());
}

void TestRoomHost::endsWhenNobodyJoins()
{
    RoomHostConfig c = baseConfig();
    c.firstJoinTimeoutMs = 30;
    QVERIFY(startRoom(c));
    QTRY_COMPARE_WITH_TIMEOUT(ended->size(), 1, kWait);
    QVERIFY(ended->first().first().toString().startsWith("nobody joined"));
    QVERIFY(host->isFinished());
    QVERIFY(logged("ends: nobody joined within 30 ms"));
}

void TestRoomHost::finishClosesTheSession()
{
    QVERIFY(startRoom(baseConfig()));
    Membro& ana = joined("Ana");
    Membro& bea = joined("Bea");
    host->finish("stop");
    host->finish("again");
    QTRY_COMPARE_WITH_TIMEOUT(ana.terminated, int(SessionResult::HostClosed), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(bea.terminated, int(SessionResult::HostClosed), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(ended->size(), 1, kWait);
    QCOMPARE(ended->first().first().toString(), QString("stop"));
}

void TestRoomHost::serverLink()
{
    FakeMaster master;
    QVERIFY(master.server.isListening());
    RoomHostConfig c = baseConfig();
    c.maxUsers = 3;
    c.password = "pw";
    c.masterHost = "127.0.0.1";
    c.masterPort = master.server.serverPort();
    c.serverPassword = "spw";
    c.identity = "creatore";
    QVERIFY(startRoom(c));
    QTRY_VERIFY_WITH_TIMEOUT(host->linkConnected(), kWait);
    QVERIFY(master.waitMessages(1));
    QCOMPARE(master.received,
             wire("0001 | 1 | Sala prova ~ 3 ~ 1 ~ False ~ pw ~ spw ~ False ~ %1 ~ creatore $ ")
                 .arg(host->port()));

    Membro& ana = member("Ana");
    QCOMPARE(ana.join(host->port(), "pw"), 0);
    QVERIFY(ana.talk(true));
    QVERIFY(master.waitMessages(3));
    QCOMPARE(master.messages().mid(1),
             (QList<QStringList>{
                 msg("0002", {"Sala prova", QString::number(ana.id), "Ana", "", "False"}),
                 msg("0004", {"Sala prova", "Ana"})}));
    // A reply is taken and logged.
    master.socket->write(encodeText(wire("00001 | 1 | ok $ ")));
    QTRY_VERIFY_WITH_TIMEOUT(logged("master replied 00001 ok"), kWait);

    // The master goes away and comes back: identification again, then the
    // whole room.
    master.received.clear();
    master.socket->abort();
    QTRY_COMPARE_WITH_TIMEOUT(master.connections, 2, kWait);
    QVERIFY(master.waitMessages(3));
    QCOMPARE(master.messages().at(0).mid(0, 3), (QStringList{"0001", "2", "Sala prova"}));
    QCOMPARE(
        master.messages().mid(1),
        (QList<QStringList>{msg("0002", {"Sala prova", QString::number(ana.id), "Ana", "", "True"}),
                            msg("0004", {"Sala prova", "Ana"})}));

    // The master orders the end.
    master.socket->write(encodeText(wire("0001 | $ ")));
    QTRY_COMPARE_WITH_TIMEOUT(ended->size(), 1, kWait);
    QCOMPARE(ended->first().first().toString(), QString("the master ordered the room to end"));
    QTRY_COMPARE_WITH_TIMEOUT(ana.terminated, int(SessionResult::HostClosed), kWait);
}

void TestRoomHost::linkedRoomEndsWhenEmpty()
{
    FakeMaster master;
    RoomHostConfig c = baseConfig();
    c.masterHost = "127.0.0.1";
    c.masterPort = master.server.serverPort();
    QVERIFY(startRoom(c));
    QTRY_VERIFY_WITH_TIMEOUT(host->linkConnected(), kWait);
    Membro& ana = joined("Ana");
    QVERIFY(master.waitMessages(2));
    ana.client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(ended->size(), 1, kWait);
    QCOMPARE(ended->first().first().toString(), QString("the last member left"));
    QVERIFY(host->isFinished());
    QVERIFY(master.waitMessages(3));
    QCOMPARE(master.messages().last(), msg("0003", {"Sala prova", "Ana"}));
    QTRY_COMPARE_WITH_TIMEOUT(master.socket->state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY(!logged("linking again"));
}

void TestRoomHost::linkBacksOffWhileTheMasterIsAway()
{
    QTcpServer gone;
    QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
    const quint16 port = gone.serverPort();
    gone.close();
    RoomHostConfig c = baseConfig();
    c.permanent = true;
    c.masterHost = "127.0.0.1";
    c.masterPort = port;
    c.reconnectMinMs = 5;
    c.reconnectMaxMs = 20;
    QVERIFY(startRoom(c));
    QTRY_VERIFY_WITH_TIMEOUT(logLines.filter("linking again in").size() >= 5, kWait);
    QCOMPARE(
        logLines.filter("linking again in").mid(0, 5),
        (QStringList{"linking again in 5 ms", "linking again in 10 ms", "linking again in 20 ms",
                     "linking again in 20 ms", "linking again in 20 ms"}));
    // Members are served meanwhile.
    Membro& ana = joined("Ana");
    QVERIFY(!host->linkConnected());
    QCOMPARE(ana.messages.size(), 1);
}

QTEST_GUILESS_MAIN(TestRoomHost)
#include "tst_roomhost.moc"
