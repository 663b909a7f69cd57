#include "membro.h"

#include "platform/session/wire.h"
#include "servers/roomhost/roomhost.h"
#include "servers/trust/roomticket.h"
#include "tests/support/rawenet.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QtEndian>
#include <QUdpSocket>

using namespace kalimo;
using namespace kalimo::roomhost;
using namespace kalimo::roomhost::test;
using session::SessionResult;

class TestRoomHost final : public QObject
{
    Q_OBJECT

    std::unique_ptr<RoomHost> host;
    std::vector<std::unique_ptr<Membro>> members;
    std::unique_ptr<QSignalSpy> ended;
    qint64 now = 0;

    static RoomHostConfig config(const QString& more = {})
    {
        return parseConfig("name=Sala prova\nmax_users=5\nbind=127.0.0.1\n"
                           "first_join_timeout_ms=600000\n" +
                           more)
            .config;
    }
    bool startRoom(const RoomHostConfig& c, bool stoppedClock = false)
    {
        cleanup();
        host = std::make_unique<RoomHost>(c);
        if (stoppedClock)
            host->setClock([this] { return now; });
        ended = std::make_unique<QSignalSpy>(host.get(), &RoomHost::ended);
        return host->start();
    }
    Membro& member(const QString& name)
    {
        return *members.emplace_back(std::make_unique<Membro>(name));
    }
    Membro& joined(const QString& name)
    {
        Membro& m = member(name);
        if (m.join(host->port()) != 0 || !m.await(QString("0002:%1,%2").arg(name).arg(m.id)))
            qFatal("%s could not join", qPrintable(name));
        return m;
    }
    QString endReason() const { return ended->value(0).value(0).toString(); }

private Q_SLOTS:
    void cleanup()
    {
        members.clear();
        ended.reset();
        host.reset();
    }

    void roomLife()
    {
        QVERIFY(startRoom(config("control_burst=1000"))); // content here, not rate
        Membro &ana = joined("Ana"), &bea = joined("Bea");
        const QString a = QString::number(ana.id), b = QString::number(bea.id);

        // Voice goes only from the floor holder, and the floor holds one.
        QVERIFY(bea.client.SendVoice("bea-1"));
        QVERIFY(ana.talk(true) && bea.await("0004:" + a + ",true"));
        Membro& cia = joined("Cia");
        QVERIFY(ana.client.SendVoice("ana-1"));
        QVERIFY(bea.talk(true) && bea.client.SendVoice("bea-2") && bea.chat("dopo"));
        QVERIFY(cia.await("0005:Bea,dopo") && ana.await("0005:Bea,dopo") &&
                bea.messages.contains("0001:true"));
        QTRY_COMPARE_WITH_TIMEOUT(cia.voices + bea.voices,
                                  QStringList({a + ":ana-1", a + ":ana-1"}), kWait);

        // Just over the payload cap (ENet lets it through): dropped whole.
        kalimo::test::RawEnet raw;
        QVERIFY(raw.join(host->port(), "Raw") != 0);
        const qsizetype frame = encodeText(masterRequest(u"0002", u"Raw", {""})).size();
        const QString over(session::wire::kMaxPayload + 10 - frame, u'r');
        const int control = session::wire::kChannelControl;
        raw.send(control,
                 raw.seal->seal(control, encodeText(masterRequest(u"0002", u"Raw", {over}))));
        QTRY_COMPARE_WITH_TIMEOUT(host->droppedPayloads(), 1, kWait);
        // Junk is ignored; a long line still fits a relay.
        QVERIFY(ana.client.Send(QByteArray("\xff\xfe\x00\x1d\x1e\x1f garbage", 15)));
        const QString longLine(60 * 1024, u'x');
        QVERIFY(ana.chat(longLine));

        // Released, Ana's voice stops; a floor holder who leaves frees it first.
        QVERIFY(ana.talk(false) && ana.client.SendVoice("ana-2") && ana.chat("fine"));
        QVERIFY(cia.await("0005:Ana,fine"));
        bea.client.Close();
        QVERIFY(cia.await("0003:Bea") && ana.talk(true) && ana.chat("via"));
        QVERIFY(cia.await("0005:Ana,via"));
        ana.client.Close();
        QVERIFY(cia.await("0003:Ana"));
        QCOMPARE(
            cia.messages,
            (QStringList{"0002:Ana," + a, "0002:Bea," + b, "0002:Cia," + QString::number(cia.id),
                         "0004:" + a + ",true", "0005:Bea,dopo",
                         QString("0002:Raw,%1").arg(raw.welcomed), "0005:Ana," + longLine,
                         "0004:" + a + ",false", "0005:Ana,fine", "0003:Bea", "0004:" + a + ",true",
                         "0005:Ana,via", "0004:" + a + ",false", "0003:Ana"}));
        QCOMPARE(ana.voices + bea.voices + cia.voices, QStringList({a + ":ana-1", a + ":ana-1"}));
        QCOMPARE(host->droppedPayloads(), 1);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("ticket"); // "-": the room asks for none
        QTest::addColumn<int>("result");
        const auto row = [](const char* what, const QString& name, const char* password,
                            SessionResult r, const QString& ticket = "-") {
            QTest::newRow(what) << name << QString(password) << ticket << int(r);
        };
        row("wrong password", "Eva", "sbagliata", SessionResult::WrongPassword);
        row("name in use", "Ana", "segreta", SessionResult::NameInUse);
        row("blanks around", "Eva ", "segreta", SessionResult::BadHello);
        row("unseen character", "E\u200bva", "segreta", SessionResult::BadHello);
        row("Cyrillic A", "\u0410na", "segreta", SessionResult::NameInUse);
        row("room full", "Zoe", "segreta", SessionResult::RoomFull);
        // Only a ticket of the room's master, for this nick and room and still valid, lets in
        // (a wrong room or key fails the same check as another's nick).
        const qint64 soon = QDateTime::currentSecsSinceEpoch() + 60;
        const auto ticket = [soon](const char* nick, qint64 until = 0) {
            return trust::makeRoomTicket("segreto", nick, "Sala prova", until ? until : soon);
        };
        const SessionResult bad = SessionResult::BadTicket;
        row("good ticket", "Eva", "segreta", SessionResult::Accepted, ticket("Eva"));
        row("no ticket", "Eva", "segreta", bad, "");
        row("another's ticket", "Eva", "segreta", bad, ticket("Ana"));
        row("expired", "Eva", "segreta", bad, ticket("Eva", soon - 120));
    }
    void refusals()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, ticket);
        QFETCH(int, result);
        RoomHostConfig c =
            config(ticket == "-" ? "" : "server_password=segreto\nrequire_ticket=true");
        c.password = "segreta";
        c.maxUsers = result == int(SessionResult::RoomFull) ? 1 : 3;
        QVERIFY(startRoom(c));
        Membro& ana = member("Ana");
        ana.ticket = trust::makeRoomTicket("segreto", "Ana", "Sala prova",
                                           QDateTime::currentSecsSinceEpoch() + 60);
        QCOMPARE(ana.join(host->port(), "segreta"), 0);
        Membro& other = member(name);
        other.ticket = ticket;
        QCOMPARE(other.join(host->port(), password), result);
        // The refused one never appears to the members.
        QVERIFY(ana.chat("ancora qui") && ana.await("0005:Ana,ancora qui"));
        QCOMPARE(ana.messages.filter("0002:").size(), result == 0 ? 2 : 1);
    }

    // Forged connects cost no slot nor reply; real ones are capped per source and swept.
    void admission()
    {
        RoomHostConfig c = config("hello_ms=3000\nhalf_open_per_source=3\n");
        c.maxUsers = 2;
        QVERIFY(startRoom(c));
        QUdpSocket forgers[50];
        for (int i = 0; i < 50; ++i)
            QVERIFY(forgers[i].bind(QHostAddress(QString("127.0.1.%1").arg(2 + i)), 0));
        // No peer yet, sent time; connect, acknowledge.
        QByteArray connect = QByteArray::fromHex("8fff000082ff") + QByteArray(46, '\0');
        // In rounds, so that no datagram is lost before the host reads it.
        qint64 forged = 0;
        for (int round = 0; round < 20; ++round) {
            for (auto& s : forgers) {
                qToBigEndian<quint32>(quint32(round * 7919 + 1), connect.data() + 48);
                s.writeDatagram(connect, QHostAddress::LocalHost, host->port());
            }
            forged += 50;
            QTRY_COMPARE_WITH_TIMEOUT(host->session().droppedConnects(), forged, kWait);
        }
        joined("Ana");
        for (auto& s : forgers)
            QVERIFY(!s.hasPendingDatagrams()); // nothing reflected

        // Silent real members: three at most, swept after the hello time.
        kalimo::test::RawEnet silent[4];
        for (int i = 0; i < 3; ++i)
            QVERIFY(silent[i].connect(host->port()));
        QCOMPARE(host->session().halfOpen(), 3);
        const qint64 before = host->session().droppedConnects();
        const auto cookie = silent[3].cookie(host->port());
        QVERIFY(cookie);
        silent[3].startConnect(host->port(), *cookie);
        QTRY_COMPARE_WITH_TIMEOUT(host->session().droppedConnects(), before + 1, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(host->session().halfOpen(), 0, kWait);
        QVERIFY(silent[3].connect(host->port()));
        joined("Bea");

        // Enumeration: no answer larger than its query, and a rate per source.
        QUdpSocket asker;
        QVERIFY(asker.bind(QHostAddress(QStringLiteral("127.0.3.1")), 0));
        const QByteArray query = session::wire::enumQuery(session::roomApplicationGuid());
        const qint64 unanswered = host->session().unansweredQueries();
        asker.writeDatagram(query.left(24), QHostAddress::LocalHost, host->port());
        for (int i = 0; i < 40; ++i)
            asker.writeDatagram(query, QHostAddress::LocalHost, host->port());
        QTRY_VERIFY_WITH_TIMEOUT(
            host->session().unansweredQueries() - unanswered >= 1 + 40 - 16 - 4, kWait);
        int answers = 0;
        for (; asker.hasPendingDatagrams(); ++answers) {
            const QByteArray d = asker.receiveDatagram().data();
            QVERIFY(d.size() <= query.size() && session::wire::parseEnumAnswer(d));
        }
        QVERIFY(answers >= 1 && answers < 40);
    }

    void talkFloodDoesNotStarveOthers()
    {
        RoomHostConfig c = config();
        c.flood.retryMs = 5;
        QVERIFY(startRoom(c, true)); // no tokens come back until the test moves the clock
        Membro &ana = joined("Ana"), &bea = joined("Bea");
        // 1,000 toggles ending on "true", then one payload of 500 ending on "false".
        for (int i = 0; i < 1000; ++i)
            QVERIFY(ana.talk(i % 2 == 1));
        QString packed;
        for (int i = 0; i < 500; ++i)
            packed += masterRequest(u"0001", u"Ana", {i % 2 ? "false" : "true"});
        QVERIFY(ana.sendRaw(packed));
        // All but the burst of 20 are dropped; the last state asked for waits.
        QTRY_COMPARE_WITH_TIMEOUT(host->droppedPayloads(), 1001 - 20, kWait);
        QVERIFY(bea.chat("io ci sono") && bea.await("0005:Bea,io ci sono"));
        const QString on = "0004:" + QString::number(ana.id) + ",true";
        QCOMPARE(bea.messages.filter("0004:").size(), 20);
        QCOMPARE(bea.messages.filter("0004:").last(), on);
        now += 1000;
        QTRY_COMPARE_WITH_TIMEOUT(bea.messages.filter("0004:").size(), 21, kWait);
        QCOMPARE(bea.messages.last(), QString(on).replace("true", "false"));
    }

    void endings()
    {
        RoomHostConfig c = config();
        c.permanent = true;
        c.firstJoinTimeoutMs = 1; // a permanent room does not wait for its first member
        QVERIFY(startRoom(c));
        joined("Bea").client.Close();
        QTRY_COMPARE_WITH_TIMEOUT(host->stanza().NumUtenti(), 0, kWait);
        QCOMPARE(joined("Cia").messages.size(), 1); // still there, and empty
        QVERIFY(ended->isEmpty());

        c.permanent = false;
        c.firstJoinTimeoutMs = 30;
        QVERIFY(startRoom(c));
        QTRY_COMPARE_WITH_TIMEOUT(endReason(), "nobody joined within 30 ms", kWait);

        c.firstJoinTimeoutMs = 600000;
        QVERIFY(startRoom(c));
        Membro& bea = joined("Bea");
        host->finish("stop");
        host->finish("again");
        QTRY_COMPARE_WITH_TIMEOUT(bea.terminated, int(SessionResult::HostClosed), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(ended->size(), 1, kWait);
        QCOMPARE(endReason(), "stop");
    }

    void serverLink()
    {
        // The master's side of the link records everything sent to it.
        QString received;
        QTcpSocket* link = nullptr;
        QTcpServer master;
        QVERIFY(master.listen(QHostAddress::LocalHost));
        connect(&master, &QTcpServer::newConnection, this, [&] {
            link = master.nextPendingConnection();
            connect(link, &QTcpSocket::readyRead, this,
                    [&, s = link] { received += decodeText(s->readAll()); });
        });
        QVERIFY(startRoom(config(QString("password=pw\nmaster_host=127.0.0.1\nmaster_port=%1\n"
                                         "server_password=spw\nidentity=creatore\n"
                                         "reconnect_min_ms=20")
                                     .arg(master.serverPort()))));
        const QString hello = "0001 ^ %1 ^ Sala prova ~ 5 ~ 1 ~ False ~ pw ~ spw ~ False ~ " +
                              QString::number(host->port()) + " ~ creatore ~ " +
                              QString::fromLatin1(host->publicKey().toHex()) + " | ";
        QTRY_COMPARE_WITH_TIMEOUT(received, wire(hello.arg(1)), kWait);
        Membro& ana = member("Ana");
        QCOMPARE(ana.join(host->port(), "pw"), 0);
        QVERIFY(ana.talk(true));
        const QString room = "^ Sala prova ~ " + QString::number(ana.id) + " ~ Ana ~  ~ ";
        QTRY_COMPARE_WITH_TIMEOUT(
            received, wire(hello.arg(1) + "0002 " + room + "False | 0004 ^ Sala prova ~ Ana | "),
            kWait);

        // The master goes away and comes back: identification, then the whole room.
        received.clear();
        link->abort();
        QTRY_COMPARE_WITH_TIMEOUT(
            received, wire(hello.arg(2) + "0002 " + room + "True | 0004 ^ Sala prova ~ Ana | "),
            kWait);

        // A linked room that empties reports it and ends.
        received.clear();
        ana.client.Close();
        QTRY_COMPARE_WITH_TIMEOUT(endReason(), "the last member left", kWait);
        QTRY_COMPARE_WITH_TIMEOUT(
            received, wire("0005 ^ Sala prova ~ Ana | 0003 ^ Sala prova ~ Ana | "), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(link->state(), QAbstractSocket::UnconnectedState, kWait);
    }

    void documents()
    {
        // Comments, blank lines, blanks around, capitals in keys, '=' and ':' within values.
        const ConfigResult r =
            parseConfig("# a room\n; another comment\n\n  Name = Sala =uno= \r\n"
                        "MAX_USERS = 12\npassword = se:gre=ta\npermanent = yes\n");
        const RoomHostConfig& c = r.config;
        QCOMPARE((QStringList{r.error, c.name, c.password, QString::number(c.maxUsers),
                              QString::number(c.permanent), QString::number(c.maxSpeakers)}),
                 (QStringList{"", "Sala =uno=", "se:gre=ta", "12", "1", "1"}));
    }

    void badDocuments_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("error");
        const auto row = [](const char* name, const QString& document, const char* error) {
            QTest::newRow(name) << document << QString(error);
        };
        const QString ok = "name=Sala\nmax_users=4\n";
        row("no name", "", "the room needs a name");
        row("no max_users", "name=Sala", "max_users is required");
        row("no value", ok + "permanent", "line 3: expected key=value");
        row("unknown key", ok + "colour=blue", "line 3: unknown key colour");
        row("name twice", ok + "name=Altra", "line 3: name is given twice");
        row("max_users 0", "name=S\nmax_users=0",
            "line 2: max_users: expected a whole number from 1 to 4094");
        row("not a flag", ok + "permanent=forse", "permanent: expected true or false");
        row("bind IPv6", ok + "bind=::1", "bind: expected an IPv4 address");
        row("control character", ok + "password=a\x1F b",
            "password: control characters are not allowed");
        row("master_host alone", ok + "master_host=127.0.0.1", "master_host needs master_port");
        row("pin not hex", ok + "master_tls=true\nmaster_tls_sha256=ab:cd",
            "expected 64 hex digits");
        row("pin without TLS", ok + "master_tls_sha256=" + QString(64, 'a'),
            "needs master_tls=true");
        row("dead_peer too long", ok + "dead_peer_ms=99999999999", "dead_peer_ms: expected");
        row("reconnect backwards", ok + "reconnect_min_ms=500\nreconnect_max_ms=100",
            "reconnect_max_ms is shorter");
        row("bad options: password", "--password x", "");
    }
    void badDocuments()
    {
        QFETCH(QString, document);
        QFETCH(QString, error);
        const QString got =
            QByteArray(QTest::currentDataTag()).startsWith("bad options")
                ? parseOptions(QStringList{"kalimo-roomhost"} + document.split(' ')).error
                : parseConfig(document).error;
        QVERIFY2(!got.isEmpty() && got.contains(error), qPrintable(got));
    }

    void tokenBucket()
    {
        qint64 now = 1000;
        const Clock clock = [&] { return now; };
        TokenBucket b(3, 10, &clock);
        const auto after = [&](int ms) { return (now += ms, b.take()); };
        QVERIFY(!b.take(4) && b.take() && b.take(2) && !b.take()); // more than there: none taken
        QVERIFY(!after(99) && after(1));                           // 0.99 of a token, then one
        now += 60000; // up to the burst, no further; a clock going back takes nothing away
        const int full = b.available();
        now -= 50000;
        QCOMPARE(QPoint(full, b.available()), QPoint(3, 3));
        QVERIFY(!b.take(-1));
    }
};

QTEST_GUILESS_MAIN(TestRoomHost)
#include "tst_roomhost.moc"
