#include "platform/session/sessionclient.h"
#include "platform/session/sessionhost.h"
#include "platform/session/wire.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include "tests/support/rawenet.h"

#include <memory>

using namespace kalimo::session;
using kalimo::test::RawEnet;

namespace {

const QUuid kApp = roomApplicationGuid();
constexpr int kWait = 10000;

SessionTimings quick()
{
    SessionTimings t;
    t.enumRetryMs = 50;
    t.connectMs = 8000;
    return t;
}

int resultOf(const QSignalSpy& spy)
{
    return spy.isEmpty() ? -1 : spy.first().first().toInt();
}

} // namespace

class TestSession final : public QObject
{
    Q_OBJECT

    std::unique_ptr<SessionHost> host;
    std::vector<std::unique_ptr<SessionClient>> clients;

    bool listen(int limit = 8, SessionTimings t = quick())
    {
        host = std::make_unique<SessionHost>();
        host->setTimings(t);
        host->setRoomName("Sala prova");
        return host->Listen("127.0.0.1", 0, kApp, limit);
    }

    // Enumerates and connects a new client; returns ConnectComplete's result.
    int join(const QString& name, const QString& password = {}, SessionTimings t = quick())
    {
        auto c = std::make_unique<SessionClient>();
        c->setTimings(t);
        QSignalSpy found(c.get(), &SessionClient::EnumHostsResponse);
        QSignalSpy done(c.get(), &SessionClient::ConnectComplete);
        c->EnumHosts("127.0.0.1", host->port(), kApp);
        if (!QTest::qWaitFor([&] { return !found.isEmpty(); }, kWait))
            return -1;
        c->Connect(name, password);
        (void)QTest::qWaitFor([&] { return !done.isEmpty(); }, kWait);
        clients.push_back(std::move(c));
        return resultOf(done);
    }
    SessionClient* last() { return clients.back().get(); }

private Q_SLOTS:
    void cleanup()
    {
        clients.clear();
        host.reset();
    }

    void enumeration()
    {
        QVERIFY(listen(5));
        QVERIFY(host->port() != 0);
        SessionClient c;
        c.setTimings(quick());
        QSignalSpy found(&c, &SessionClient::EnumHostsResponse);
        c.EnumHosts("localhost", host->port(), kApp);
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, kWait);
        QCOMPARE(found.first().at(0).toString(), QString("Sala prova"));
        QCOMPARE(found.first().at(1).toInt(), 0);
        QCOMPARE(found.first().at(2).toInt(), 5);

        // The host answers datagrams in order, and loopback delivers at once:
        // an answer to the wrong GUID would be waiting before the right one.
        QUdpSocket wrong, right;
        QVERIFY(wrong.bind(QHostAddress::LocalHost, 0) && right.bind(QHostAddress::LocalHost, 0));
        const QHostAddress to(QHostAddress::LocalHost);
        wrong.writeDatagram(wire::enumQuery(QUuid::createUuid()), to, host->port());
        right.writeDatagram(wire::enumQuery(kApp), to, host->port());
        QTRY_VERIFY_WITH_TIMEOUT(right.hasPendingDatagrams(), kWait);
        const auto answer = wire::parseEnumAnswer(right.receiveDatagram().data());
        QVERIFY(answer);
        QCOMPARE(answer->application, kApp);
        QVERIFY(!wrong.hasPendingDatagrams());
    }

    void clientFiltersAnswers()
    {
        // A socket plays the host, to answer exactly as the test wants.
        QUdpSocket fake;
        QVERIFY(fake.bind(QHostAddress::LocalHost, 0));
        SessionClient c;
        c.setTimings(quick());
        QSignalSpy found(&c, &SessionClient::EnumHostsResponse);
        c.EnumHosts("127.0.0.1", fake.localPort(), kApp);
        QTRY_VERIFY_WITH_TIMEOUT(fake.hasPendingDatagrams(), kWait);
        const QNetworkDatagram query = fake.receiveDatagram();
        QCOMPARE(wire::parseEnumQuery(query.data()), kApp);
        QUdpSocket elsewhere;
        QVERIFY(elsewhere.bind(QHostAddress::LocalHost, 0));
        elsewhere.writeDatagram(wire::enumAnswer({kApp, "Impostore", 1, 2}), query.senderAddress(),
                                query.senderPort());
        fake.writeDatagram(wire::enumAnswer({QUuid::createUuid(), "Altra", 1, 2}),
                           query.senderAddress(), query.senderPort());
        fake.writeDatagram(wire::enumAnswer({kApp, "Giusta", 1, 2}), query.senderAddress(),
                           query.senderPort());
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, kWait);
        QCOMPARE(found.first().first().toString(), QString("Giusta"));
    }

    void connectFailures()
    {
        SessionClient c;
        SessionTimings t = quick();
        t.connectMs = 300;
        c.setTimings(t);
        QSignalSpy failed(&c, &SessionClient::EnumHostsFailed);
        QSignalSpy done(&c, &SessionClient::ConnectComplete);
        c.Connect("nobody", {}); // no host given
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), int(SessionResult::NoAnswer));

        c.EnumHosts("::1", 2302, kApp); // ENet speaks IPv4 only
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, kWait);
        QVERIFY(!failed.first().first().toString().isEmpty());

        // A port held by a socket that never answers.
        QUdpSocket silent;
        QVERIFY(silent.bind(QHostAddress::LocalHost, 0));
        done.clear();
        c.EnumHosts("127.0.0.1", silent.localPort(), kApp);
        c.Connect("nobody", {});
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), int(SessionResult::NoAnswer));
        QVERIFY(!c.isConnected());
        QVERIFY(!c.Send("x"));

        // A name the room protocol cannot carry is refused before sending.
        done.clear();
        c.Connect(QString("Anna") + QChar(30), {});
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), int(SessionResult::BadHello));
    }

    void clientOnMediaThread()
    {
        QVERIFY(listen());
        QThread media;
        auto* c = new SessionClient;
        c->setTimings(quick());
        c->moveToThread(&media);
        media.start();
        QSignalSpy done(c, &SessionClient::ConnectComplete);
        QSignalSpy got(c, &SessionClient::Receive);
        const quint16 port = host->port();
        connect(c, &SessionClient::EnumHostsResponse, c, [c] { c->Connect("Anna", {}); });
        QMetaObject::invokeMethod(c, [c, port] { c->EnumHosts("127.0.0.1", port, kApp); });
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), 0);
        QCOMPARE(host->playerCount(), 1);
        QVERIFY(host->SendTo(0, "dal main"));
        QTRY_COMPARE_WITH_TIMEOUT(got.count(), 1, kWait);
        QSignalSpy hostGot(host.get(), &SessionHost::Receive);
        QMetaObject::invokeMethod(c, [c] { c->Send("dal media"); });
        QTRY_COMPARE_WITH_TIMEOUT(hostGot.count(), 1, kWait);
        QCOMPARE(hostGot.first().at(1).toByteArray(), QByteArray("dal media"));
        // Ended and freed on its own thread.
        QMetaObject::invokeMethod(c, [c] { delete c; });
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 0, kWait);
        media.quit();
        QVERIFY(media.wait(kWait));
    }

    void connectAccepted()
    {
        QVERIFY(listen());
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        QCOMPARE(join("Anna"), 0);
        QCOMPARE(join("Bruno"), 0);
        const qint32 anna = clients[0]->localPlayerId();
        const qint32 bruno = clients[1]->localPlayerId();
        QVERIFY(anna > 0 && bruno > 0 && anna != bruno);
        QCOMPARE(created.count(), 2);
        QCOMPARE(created[0].at(0).value<qint32>(), anna);
        QCOMPARE(created[0].at(1).toString(), QString("Anna"));
        QCOMPARE(host->playerName(bruno), QString("Bruno"));
        QCOMPARE(host->playerCount(), 2);

        // A departed player's id is not handed out again.
        clients[0]->Close();
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 1, kWait);
        QCOMPARE(join("Anna"), 0);
        QVERIFY(last()->localPlayerId() != anna && last()->localPlayerId() != bruno);
    }

    void refusals()
    {
        const struct
        {
            int limit;
            const char *name, *password;
            SessionResult expected;
        } rows[] = {{1, "Bruno", "segreta", SessionResult::RoomFull},
                    {4, "Anna", "segreta", SessionResult::NameInUse},
                    {4, "Bruno", "sbagliata", SessionResult::WrongPassword},
                    {4, "Nessuno", "segreta", SessionResult::NameInUse}}; // the check refuses
        for (const auto& r : rows) {
            cleanup();
            QVERIFY(listen(r.limit));
            host->setHelloCheck([](const QString& name, const QString& pw) {
                if (pw != "segreta")
                    return SessionResult::WrongPassword;
                return name == "Nessuno" ? SessionResult::NameInUse : SessionResult::Accepted;
            });
            QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
            QSignalSpy destroyed(host.get(), &SessionHost::DestroyPlayer);
            QCOMPARE(join("Anna", "segreta"), 0);
            // Twice: the spare slot must be free again after a refusal.
            QCOMPARE(join(r.name, r.password), int(r.expected));
            QCOMPARE(join(r.name, r.password), int(r.expected));
            QCOMPARE(last()->localPlayerId(), 0);
            QVERIFY(!last()->isConnected());
            QCOMPARE(created.count(), 1);
            QCOMPARE(destroyed.count(), 0);
            QCOMPARE(host->playerCount(), 1);
        }
    }

    void checkMayCloseTheHost()
    {
        QVERIFY(listen());
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        host->setHelloCheck([this](const QString&, const QString&) {
            host->Close();
            return SessionResult::Accepted;
        });
        QCOMPARE(join("Anna"), int(SessionResult::HostClosed));
        QCOMPARE(created.count(), 0);
        QVERIFY(!host->isListening());
    }

    void guaranteedInOrder()
    {
        QVERIFY(listen());
        QSignalSpy hostGot(host.get(), &SessionHost::Receive);
        QCOMPARE(join("Anna"), 0);
        QSignalSpy clientGot(last(), &SessionClient::Receive);
        const int n = 500;
        for (int i = 0; i < n; ++i) {
            QVERIFY(last()->Send(QByteArray::number(i)));
            QVERIFY(host->SendTo(last()->localPlayerId(), QByteArray::number(i)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(hostGot.count(), n, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(clientGot.count(), n, kWait);
        for (int i = 0; i < n; ++i) {
            QCOMPARE(hostGot[i].at(0).value<qint32>(), last()->localPlayerId());
            QCOMPARE(hostGot[i].at(1).toByteArray(), QByteArray::number(i));
            QCOMPARE(clientGot[i].at(0).toByteArray(), QByteArray::number(i));
        }
        QVERIFY(!last()->Send(QByteArray(wire::kMaxPayload + 1, 'x')));
        QVERIFY(!last()->Send({}));
    }

    void voiceCarriesSenderIds()
    {
        QVERIFY(listen());
        QCOMPARE(join("Anna"), 0);
        QCOMPARE(join("Bruno"), 0);
        SessionClient* anna = clients[0].get();
        SessionClient* bruno = clients[1].get();
        // Forwarding is the caller's decision: here, to everybody else.
        QSignalSpy spoken(host.get(), &SessionHost::VoiceReceived);
        connect(host.get(), &SessionHost::VoiceReceived, this,
                [this](qint32 id, quint16 seq, const QByteArray& f) {
                    host->SendVoiceTo(0, id, seq, f);
                });
        QSignalSpy annaHeard(anna, &SessionClient::VoiceReceived);
        QSignalSpy brunoHeard(bruno, &SessionClient::VoiceReceived);
        const int n = 20;
        for (int i = 0; i < n; ++i)
            QVERIFY(anna->SendVoice("frame" + QByteArray::number(i)));
        QTRY_COMPARE_WITH_TIMEOUT(brunoHeard.count(), n, kWait);
        QCOMPARE(spoken.first().at(0).value<qint32>(), anna->localPlayerId());
        for (const auto& args : std::as_const(brunoHeard)) {
            QCOMPARE(args.at(0).value<qint32>(), anna->localPlayerId());
            const int seq = args.at(1).value<quint16>();
            QCOMPARE(args.at(2).toByteArray(), "frame" + QByteArray::number(seq));
        }
        // A sender's own numbers pass through untouched, gaps and all.
        QVERIFY(anna->SendVoice("late", 400));
        QTRY_COMPARE_WITH_TIMEOUT(brunoHeard.count(), n + 1, kWait);
        QCOMPARE(brunoHeard.last().at(1).value<quint16>(), quint16(400));
        // Anything wrongly sent back to the speaker would precede this marker.
        QVERIFY(host->SendVoiceTo(anna->localPlayerId(), bruno->localPlayerId(), 1, "marker"));
        QTRY_COMPARE_WITH_TIMEOUT(annaHeard.count(), 1, kWait);
        QCOMPARE(annaHeard.first().at(2).toByteArray(), QByteArray("marker"));
        QVERIFY(!anna->SendVoice(QByteArray(wire::kMaxVoiceFrame + 1, 'v')));
        QVERIFY(!host->SendVoiceTo(0, 0, 1, "no speaker"));
    }

    void sendToAll()
    {
        QVERIFY(listen());
        std::vector<std::unique_ptr<QSignalSpy>> got;
        for (const char* name : {"Anna", "Bruno", "Carla"}) {
            QCOMPARE(join(name), 0);
            got.push_back(std::make_unique<QSignalSpy>(last(), &SessionClient::Receive));
        }
        QVERIFY(host->SendTo(0, "a tutti"));
        QVERIFY(!host->SendTo(9999, "nessuno"));
        for (auto& spy : got) {
            QTRY_COMPARE_WITH_TIMEOUT(spy->count(), 1, kWait);
            QCOMPARE(spy->first().first().toByteArray(), QByteArray("a tutti"));
        }
    }

    void hostCloseEndsSession()
    {
        QVERIFY(listen());
        QCOMPARE(join("Anna"), 0);
        QSignalSpy ended(last(), &SessionClient::TerminateSession);
        host->Close();
        host->Close();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kWait);
        QCOMPARE(resultOf(ended), int(SessionResult::HostClosed));
        QVERIFY(!last()->isConnected());
        QCOMPARE(last()->localPlayerId(), 0);
    }

    void vanishedClientIsDestroyed()
    {
        SessionTimings t = quick();
        t.deadPeerMs = 1000;
        QVERIFY(listen(8, t));
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        QSignalSpy destroyed(host.get(), &SessionHost::DestroyPlayer);
        RawEnet raw;
        QVERIFY(raw.join(host->port(), "Fantasma") != 0);
        QCOMPARE(created.count(), 1);
        raw.vanish();
        // Well before ENet's own 5 s minimum: the injected timeout is in force.
        QTRY_COMPARE_WITH_TIMEOUT(destroyed.count(), 1, 4500);
        QCOMPARE(destroyed.first().first(), created.first().first());
        QCOMPARE(host->playerCount(), 0);
    }

    void vanishedHostEndsSession()
    {
        RawEnet fakeHost(true);
        fakeHost.welcomeId = 77;
        SessionTimings t = quick();
        t.deadPeerMs = 1000;
        SessionClient c;
        c.setTimings(t);
        QSignalSpy done(&c, &SessionClient::ConnectComplete);
        QSignalSpy ended(&c, &SessionClient::TerminateSession);
        c.EnumHosts("127.0.0.1", fakeHost.port(), kApp);
        c.Connect("Anna", {});
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), 0);
        QCOMPARE(c.localPlayerId(), 77);
        fakeHost.vanish();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 4500);
        QCOMPARE(resultOf(ended), int(SessionResult::ConnectionLost));
    }

    void clientCloseIsSeenAtOnce()
    {
        SessionTimings t = quick();
        t.deadPeerMs = 60000; // so only the disconnect itself can end the player
        QVERIFY(listen(8, t));
        QSignalSpy destroyed(host.get(), &SessionHost::DestroyPlayer);
        QCOMPARE(join("Anna", {}, t), 0);
        QSignalSpy ended(last(), &SessionClient::TerminateSession);
        last()->Close();
        last()->Close();
        QTRY_COMPARE_WITH_TIMEOUT(destroyed.count(), 1, kWait);
        QCOMPARE(ended.count(), 0);

        // Closing mid-connect silences that attempt; the object connects anew.
        SessionClient c;
        c.setTimings(t);
        QSignalSpy done(&c, &SessionClient::ConnectComplete);
        c.EnumHosts("127.0.0.1", host->port(), kApp);
        c.Connect("Bruno", {});
        c.Close();
        c.EnumHosts("127.0.0.1", host->port(), kApp);
        c.Connect("Carla", {});
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, kWait);
        QCOMPARE(resultOf(done), 0);
        QCOMPARE(host->playerName(c.localPlayerId()), QString("Carla"));
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 1, kWait);
    }

    void closeFromOwnSlot()
    {
        QVERIFY(listen());
        QCOMPARE(join("Anna"), 0);
        SessionClient* c = last();
        QSignalSpy got(c, &SessionClient::Receive);
        connect(c, &SessionClient::Receive, c, &SessionClient::Close);
        for (int i = 0; i < 5; ++i)
            host->SendTo(0, "msg");
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 0, kWait);
        QCOMPARE(got.count(), 1);
    }

    void silentPeerIsDropped()
    {
        SessionTimings t = quick();
        t.helloMs = 300;
        QVERIFY(listen(1, t));
        // One never speaks; the other's hello is too large for the host to
        // take in, which is the same as none.
        for (const QByteArray& hello : {QByteArray(), QByteArray(200000, 'h')}) {
            RawEnet raw;
            QVERIFY(raw.connect(host->port()));
            if (!hello.isEmpty())
                raw.send(wire::kChannelControl, hello);
            QVERIFY(raw.waitDisconnected());
            QCOMPARE(raw.disconnectData, enet_uint32(SessionResult::BadHello));
        }
        QCOMPARE(join("Anna"), 0);
    }

    void garbageNeverHurtsTheHost()
    {
        QVERIFY(listen());
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);

        QUdpSocket junk;
        auto* rng = QRandomGenerator::global();
        const QHostAddress to(QHostAddress::LocalHost);
        for (int i = 0; i < 300; ++i) {
            QByteArray d(rng->bounded(0, 1500), Qt::Uninitialized);
            for (char& ch : d)
                ch = static_cast<char>(rng->bounded(256));
            junk.writeDatagram(d, to, host->port());
        }
        junk.writeDatagram(QByteArray(9000, 'x'), to, host->port());
        junk.writeDatagram(wire::enumQuery(kApp).left(10), to, host->port());
        junk.writeDatagram(wire::enumQuery(kApp) + "x", to, host->port());

        // Malformed, and well formed for another application.
        for (const QByteArray& bad : {wire::hello({kApp, "Anna", ""}).left(10),
                                      wire::hello({QUuid::createUuid(), "Anna", ""})}) {
            RawEnet raw;
            QVERIFY(raw.connect(host->port()));
            raw.send(wire::kChannelVoice, "voice before hello", ENET_PACKET_FLAG_UNSEQUENCED);
            raw.send(wire::kChannelControl, bad);
            QVERIFY(raw.waitDisconnected());
            QCOMPARE(raw.disconnectData, enet_uint32(SessionResult::BadHello));
        }
        {
            RawEnet stranger; // not a Kalimo peer at all
            QVERIFY(stranger.connect(host->port(), 0));
            QVERIFY(stranger.waitDisconnected());
            QCOMPARE(stranger.disconnectData, enet_uint32(SessionResult::BadHello));
        }
        {
            RawEnet member; // a player sending junk and oversized packets
            QVERIFY(member.join(host->port(), "Rumoroso") != 0);
            member.send(wire::kChannelVoice, "x", ENET_PACKET_FLAG_UNSEQUENCED);
            member.send(wire::kChannelControl, QByteArray(300000, 'z'));
        }

        QCOMPARE(join("Buono"), 0);
        QSignalSpy hostGot(host.get(), &SessionHost::Receive);
        QSignalSpy clientGot(last(), &SessionClient::Receive);
        QVERIFY(last()->Send("ciao"));
        QTRY_COMPARE_WITH_TIMEOUT(hostGot.count(), 1, kWait);
        QVERIFY(host->SendTo(last()->localPlayerId(), "benvenuto"));
        QTRY_COMPARE_WITH_TIMEOUT(clientGot.count(), 1, kWait);
        QCOMPARE(created.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
