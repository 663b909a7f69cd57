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
        QCOMPARE(c.name, QString("Sala =uno="));
        QCOMPARE(c.maxUsers, qint16(12));
        QCOMPARE(c.maxSpeakers, qint16(3));
        QCOMPARE(c.password, QString("se:gre=ta"));
        QVERIFY(c.permanent);
        QVERIFY(!c.multiple);
        QCOMPARE(c.port, quint16(2302));
        QCOMPARE(c.bindAddress, QString("127.0.0.1"));
        QCOMPARE(c.masterHost, QString("master.example"));
        QCOMPARE(c.masterPort, quint16(7071));
        QCOMPARE(c.serverPassword, QString("chiave"));
        QCOMPARE(c.identity, QString("Ana"));
        QCOMPARE(c.firstJoinTimeoutMs, 5);
        QCOMPARE(c.reconnectMinMs, 7);
        QCOMPARE(c.reconnectMaxMs, 70);
        QCOMPARE(c.timings.deadPeerMs, 800);
        QCOMPARE(c.timings.helloMs, 900);
        QCOMPARE(c.flood.controlBurst, 4);
        QCOMPARE(c.flood.controlPerSecond, 2);
        QCOMPARE(c.flood.voiceBurst, 9);
        QCOMPARE(c.flood.voicePerSecond, 8);
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

    void badDocuments_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("error");
        const QString ok = "name=Sala\nmax_users=4\n";
        QTest::newRow("empty") << ""
                               << "the room needs a name";
        QTest::newRow("blank name") << "name=   \nmax_users=4"
                                    << "the room needs a name";
        QTest::newRow("no max_users") << "name=Sala"
                                      << "max_users is required";
        QTest::newRow("no equals") << ok + "permanent"
                                   << "line 3: expected key=value";
        QTest::newRow("no key") << "=x\n" + ok << "line 1: expected key=value";
        QTest::newRow("unknown key") << ok + "colour=blue"
                                     << "line 3: unknown key colour";
        QTest::newRow("twice") << ok + "name=Altra"
                               << "line 3: name is given twice";
        QTest::newRow("zero users") << "name=S\nmax_users=0"
                                    << "line 2: max_users: expected a whole number from 1 to 4094";
        QTest::newRow("too many users") << "name=S\nmax_users=4095"
                                        << "from 1 to 4094";
        QTest::newRow("users not a number") << "name=S\nmax_users=4x"
                                            << "max_users: expected";
        QTest::newRow("negative speakers") << ok + "max_speakers=-1"
                                           << "max_speakers: expected";
        QTest::newRow("port too high") << ok + "port=65536"
                                       << "port: expected a whole number from 0 to 65535";
        QTest::newRow("bad flag") << ok + "permanent=forse"
                                  << "permanent: expected true or false";
        QTest::newRow("bind a name") << ok + "bind=localhost"
                                     << "bind: expected an IPv4 address";
        QTest::newRow("bind ipv6") << ok + "bind=::1"
                                   << "bind: expected an IPv4 address";
        QTest::newRow("separator in name") << QString("name=Sa\x1D"
                                                      "la\nmax_users=4")
                                           << "control characters";
        QTest::newRow("separator in password") << ok + "password=a\x1F"
                                                       "b"
                                               << "control characters";
        QTest::newRow("master without port") << ok + "master_host=127.0.0.1"
                                             << "master_host needs master_port";
        QTest::newRow("zero interval") << ok + "first_join_timeout_ms=0"
                                       << "first_join_timeout_ms: expected";
        QTest::newRow("interval overflow") << ok + "dead_peer_ms=99999999999"
                                           << "dead_peer_ms: expected";
        QTest::newRow("backoff upside down") << ok + "reconnect_min_ms=500\nreconnect_max_ms=100"
                                             << "reconnect_max_ms is shorter";
    }

    void badDocuments()
    {
        QFETCH(QString, document);
        QFETCH(QString, error);
        const ConfigResult r = parseConfig(document);
        QVERIFY2(r.error.contains(error), qPrintable(r.error));
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
