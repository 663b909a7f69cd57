#include "servers/roomhost/ratelimit.h"
#include "servers/roomhost/roomconfig.h"

#include <QTest>

using namespace kalimo::roomhost;

class TestRoomConfig final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fullDocument()
    {
        const ConfigResult r = parseConfig("# a room\n"
                                           "; another comment\n"
                                           "\n"
                                           "  Name = Sala =uno= \r\n"
                                           "max_users=12\n"
                                           "MAX_SPEAKERS = 3\n"
                                           "password = se:gre=ta\n"
                                           "permanent = yes\n"
                                           "multiple = False\n"
                                           "port = 2302\n"
                                           "bind = 127.0.0.1\n"
                                           "master_host = master.example\n"
                                           "master_port = 7071\n"
                                           "server_password = chiave\n"
                                           "identity = Ana\n"
                                           "first_join_timeout_ms = 5\n"
                                           "reconnect_min_ms = 7\n"
                                           "reconnect_max_ms = 70\n"
                                           "dead_peer_ms = 800\n"
                                           "hello_ms = 900\n"
                                           "control_burst = 4\n"
                                           "control_per_second = 2\n"
                                           "voice_burst = 9\n"
                                           "voice_per_second = 8\n");
        QCOMPARE(r.error, QString());
        const RoomHostConfig& c = r.config;
        QCOMPARE((QStringList{c.name, c.password, c.bindAddress, c.masterHost, c.serverPassword,
                              c.identity}),
                 (QStringList{"Sala =uno=", "se:gre=ta", "127.0.0.1", "master.example", "chiave",
                              "Ana"}));
        QVERIFY(c.permanent && !c.multiple);
        QCOMPARE((QList<int>{c.maxUsers, c.maxSpeakers, c.port, c.masterPort, c.firstJoinTimeoutMs,
                             c.reconnectMinMs, c.reconnectMaxMs, c.timings.deadPeerMs,
                             c.timings.helloMs, c.flood.controlBurst, c.flood.controlPerSecond,
                             c.flood.voiceBurst, c.flood.voicePerSecond}),
                 (QList<int>{12, 3, 2302, 7071, 5, 7, 70, 800, 900, 4, 2, 9, 8}));
    }

    void defaults()
    {
        const ConfigResult r = parseConfig("name=Sala\nmax_users=4\n");
        QCOMPARE(r.error, QString());
        QCOMPARE(r.config.maxSpeakers, qint16(1));
        QVERIFY(!r.config.permanent);
        QCOMPARE(r.config.port, quint16(0));
        QVERIFY(r.config.bindAddress.isEmpty());
        QVERIFY(r.config.masterHost.isEmpty());
        QCOMPARE(r.config.firstJoinTimeoutMs, 60000);
        QCOMPARE(r.config.timings.deadPeerMs, 9000);
    }

    void badDocuments()
    {
        const QString ok = "name=Sala\nmax_users=4\n";
        const struct
        {
            QString document;
            const char* error;
        } rows[] = {
            {"", "the room needs a name"},
            {"name=   \nmax_users=4", "the room needs a name"},
            {"name=Sala", "max_users is required"},
            {ok + "permanent", "line 3: expected key=value"},
            {"=x\n" + ok, "line 1: expected key=value"},
            {ok + "colour=blue", "line 3: unknown key colour"},
            {ok + "name=Altra", "line 3: name is given twice"},
            {"name=S\nmax_users=0", "line 2: max_users: expected a whole number from 1 to 4094"},
            {"name=S\nmax_users=4095", "from 1 to 4094"},
            {"name=S\nmax_users=4x", "max_users: expected"},
            {ok + "max_speakers=-1", "max_speakers: expected"},
            {ok + "port=65536", "port: expected a whole number from 0 to 65535"},
            {ok + "permanent=forse", "permanent: expected true or false"},
            {ok + "bind=localhost", "bind: expected an IPv4 address"},
            {ok + "bind=::1", "bind: expected an IPv4 address"},
            {"name=Sa\x1Dla\nmax_users=4", "control characters"},
            {ok + "password=a\x1F"
                  "b",
             "control characters"},
            {ok + "master_host=127.0.0.1", "master_host needs master_port"},
            {ok + "first_join_timeout_ms=0", "first_join_timeout_ms: expected"},
            {ok + "dead_peer_ms=99999999999", "dead_peer_ms: expected"},
            {ok + "reconnect_min_ms=500\nreconnect_max_ms=100", "reconnect_max_ms is shorter"},
        };
        for (const auto& r : rows) {
            const QString error = parseConfig(r.document).error;
            QVERIFY2(error.contains(r.error), qPrintable(r.document + " -> " + error));
        }
    }

    void commandLine()
    {
        Options o = parseOptions({"kalimo-roomhost"});
        QCOMPARE(o.error, QString());
        QVERIFY(o.configPath.isEmpty() && !o.help);

        o = parseOptions({"kalimo-roomhost", "--config", "/tmp/room.conf"});
        QCOMPARE(o.configPath, QString("/tmp/room.conf"));
        o = parseOptions({"kalimo-roomhost", "-c", "-"});
        QCOMPARE(o.configPath, QString("-"));

        o = parseOptions({"kalimo-roomhost", "--help"});
        QVERIFY(o.help);
        QVERIFY(o.helpText.contains("first_join_timeout_ms"));
        QVERIFY(o.helpText.contains("--config"));

        QVERIFY(!parseOptions({"kalimo-roomhost", "--password", "x"}).error.isEmpty());
        QVERIFY(!parseOptions({"kalimo-roomhost", "stray"}).error.isEmpty());
    }

    void tokenBucket()
    {
        qint64 now = 1000;
        const Clock clock = [&] { return now; };
        TokenBucket b(3, 10, &clock);
        QVERIFY(!b.take(4)); // more than the burst: nothing taken
        QVERIFY(b.take());
        QVERIFY(b.take(2));
        QVERIFY(!b.take());
        QCOMPARE(b.available(), 0);
        now += 99; // 0.99 of a token
        QVERIFY(!b.take());
        now += 1;
        QVERIFY(b.take());
        now += 60000; // refills up to the burst, no further
        QCOMPARE(b.available(), 3);
        now -= 50000; // a clock going back takes nothing away
        QCOMPARE(b.available(), 3);
        QVERIFY(!b.take(-1));
    }
};

QTEST_GUILESS_MAIN(TestRoomConfig)
#include "tst_roomconfig.moc"
