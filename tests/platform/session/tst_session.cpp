#include "platform/session/enetsend.h"
#include "platform/session/seal.h"
#include "platform/session/sessionclient.h"
#include "platform/session/sessionhost.h"
#include "platform/session/wire.h"
#include "tests/support/rawenet.h"
#include "tests/support/seme.h"

#include <QNetworkDatagram>
#include <QtTest>
#include <QUdpSocket>

using namespace kalimo::session;
using kalimo::test::RawEnet;

namespace {

const QUuid kApp = roomApplicationGuid();
constexpr int kWait = 10000;

SessionTimings quick(int deadPeerMs = 9000, int helloMs = 10000)
{
    return {.deadPeerMs = deadPeerMs, .enumRetryMs = 50, .connectMs = 8000, .helloMs = helloMs};
}

int resultOf(const QSignalSpy& spy)
{
    return spy.value(0).value(0, -1).toInt();
}

// The payloads a spy on Receive or VoiceReceived saw, ';' between them.
QByteArray payloads(const QSignalSpy& spy, int column)
{
    QByteArrayList out;
    for (const QList<QVariant>& args : spy)
        out.append(args.at(column).toByteArray());
    return out.join(';');
}

// Enumerates `port` on the loopback and connects as `name`: ConnectComplete's result, or -1.
int reach(SessionClient& c, const QSignalSpy& done, quint16 port, const QString& name,
          const QString& password = {}, const QByteArray& hostKey = {})
{
    c.EnumHosts("127.0.0.1", port, kApp);
    c.Connect(name, password, hostKey);
    (void)QTest::qWaitFor([&] { return !done.isEmpty(); }, kWait);
    return resultOf(done);
}

// Every datagram between one client and the host passes here, both ways, and is kept; cut, none.
struct Intercettatore
{
    QUdpSocket versoClient, versoHost;
    quint16 host = 0, client = 0;
    QByteArrayList catturati;
    bool taglia = false;

    bool apri(quint16 portaHost)
    {
        host = portaHost;
        const auto inoltra = [this](QUdpSocket& da, QUdpSocket& a, bool dalClient) {
            while (da.hasPendingDatagrams()) {
                const QNetworkDatagram d = da.receiveDatagram();
                client = dalClient ? d.senderPort() : client;
                catturati.append(d.data());
                if (!taglia)
                    a.writeDatagram(d.data(), QHostAddress::LocalHost, dalClient ? host : client);
            }
        };
        QObject::connect(&versoClient, &QUdpSocket::readyRead,
                         [=, this] { inoltra(versoClient, versoHost, true); });
        QObject::connect(&versoHost, &QUdpSocket::readyRead,
                         [=, this] { inoltra(versoHost, versoClient, false); });
        return versoClient.bind(QHostAddress::LocalHost, 0) &&
               versoHost.bind(QHostAddress::LocalHost, 0);
    }
};

template <typename Parse> void refuses(Parse parse, const QByteArrayList& bytes)
{
    for (const QByteArray& b : bytes)
        QVERIFY2(!parse(b), b.toHex().constData());
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
    // A new client's ConnectComplete result; by default the host's port and announced key.
    int join(const QString& name, const QString& password = {}, quint16 port = 0,
             const QByteArray& hostKey = {})
    {
        clients.push_back(std::make_unique<SessionClient>());
        last()->setTimings(quick());
        QSignalSpy done(last(), &SessionClient::ConnectComplete);
        return reach(*last(), done, port != 0 ? port : host->port(), name, password, hostKey);
    }
    SessionClient* last() { return clients.back().get(); }

private Q_SLOTS:
    void cleanup()
    {
        clients.clear();
        host.reset();
    }

    void wire()
    {
        const QUuid app = QUuid::createUuid();
        const QByteArray key(wire::kKeyBytes, 'k'), big(wire::kMaxVoiceFrame, 'v');
        const QByteArray hello = wire::hello({app, "nick", "pw", {}});
        QByteArray badUtf8 = hello, overrun = hello;
        badUtf8[4 + 1 + 16 + 2] = char(0xC3); // a lead byte followed by ASCII
        overrun[4 + 1 + 16 + 1] = char(100);  // claims more bytes than follow
        // Whole messages are read back by the sessions below; here the edges.
        QVERIFY(wire::parseClientVoice(wire::clientVoice(1, big)) &&
                wire::parseHostVoice(wire::hostVoice(3, 1, big)));
        QCOMPARE(wire::parseLossReport(wire::lossReport({77, 250}))->lossPercent, 100);
        refuses(wire::parseSealedHello,
                {wire::sealedHello({1, key, {}}), wire::sealedHello({1, key.left(31), "x"})});
        refuses(wire::parseClientVoice,
                {QByteArray("\x00\x01", 2), "\x01", wire::clientVoice(1, big + 'v')});
        // speaker 0, no frame, too large
        refuses(wire::parseHostVoice, {QByteArray(6, '\0') + 'x', wire::hostVoice(1, 1, ""),
                                       wire::hostVoice(3, 1, big + 'v')});
        // nobody, trailing, short, over 100 %
        refuses(wire::parseLossReport, {wire::lossReport({0, 5}), wire::lossReport({1, 5}) + 'x',
                                        "\x01\x00\x00", QByteArray("\0\0\0\1\x65", 5)});
        // A name over its cap; the last one of another version.
        const QByteArray longName = "KLMH\x01" + app.toRfc4122() + QByteArray("\x00\x81", 2) +
                                    QByteArray(129, 'a') + QByteArray(2, '\0');
        refuses(wire::parseHello,
                {QByteArray(), hello.chopped(1), hello + 'x', badUtf8, overrun, longName,
                 wire::hello({app, "nick", QString(wire::kMaxPasswordBytes + 1, 'p'), {}}),
                 wire::hello({app, "a\x1e b", "", {}}), wire::hello({app, "   ", "", {}}),
                 QByteArray(hello).replace(4, 1, "\x03")});
        refuses(wire::parseWelcome, {{}, wire::welcome(0), wire::welcome(5).left(6)});
        refuses(wire::parseEnumQuery, {wire::enumQuery(app).left(20)});
        refuses(wire::parseEnumAnswer,
                {wire::enumAnswer({app, "room", 1, 2, 0, {}, 1}).chopped(1)});
        QVERIFY(wire::looksLikeEnumeration(wire::enumQuery(kApp)));
        // 200 two-byte characters exceed the cap; the cut must stay valid UTF-8.
        const auto cut =
            wire::parseEnumAnswer(wire::enumAnswer({kApp, QString(200, u'è'), 0, 1, 0, {}, 1}));
        QCOMPARE(cut.value_or(wire::EnumAnswer{}).roomName,
                 QString(wire::kMaxRoomNameBytes / 2, u'è'));
        QVERIFY(wire::acceptablePlayerName(QString(wire::kMaxNameBytes, 'n')));
        for (const QString& bad : {QString(wire::kMaxNameBytes + 1, 'n'), QString(), QString("  "),
                                   QString("tab\there"), QString("sep") + QChar(29)})
            QVERIFY2(!wire::acceptablePlayerName(bad), qPrintable(bad));
    }

    void enumeration()
    {
        QVERIFY(listen(5));
        SessionClient c;
        c.setTimings(quick());
        QSignalSpy found(&c, &SessionClient::EnumHostsResponse);
        c.EnumHosts("localhost", host->port(), kApp);
        QTRY_COMPARE_WITH_TIMEOUT(found.value(0), (QVariantList{"Sala prova", 0, 5}), kWait);

        // Answers come in order: one to the wrong GUID would wait before the right one.
        QUdpSocket wrong, right, fake, elsewhere;
        for (QUdpSocket* s : {&wrong, &right, &fake, &elsewhere})
            QVERIFY(s->bind(QHostAddress::LocalHost, 0));
        wrong.writeDatagram(wire::enumQuery(QUuid::createUuid()), QHostAddress::LocalHost,
                            host->port());
        right.writeDatagram(wire::enumQuery(kApp), QHostAddress::LocalHost, host->port());
        QTRY_VERIFY_WITH_TIMEOUT(right.hasPendingDatagrams(), kWait);
        QVERIFY(wire::parseEnumAnswer(right.receiveDatagram().data()) &&
                !wrong.hasPendingDatagrams());

        // A socket plays a host: only a matching answer from the asked port counts.
        found.clear();
        c.EnumHosts("127.0.0.1", fake.localPort(), kApp);
        QTRY_VERIFY_WITH_TIMEOUT(fake.hasPendingDatagrams(), kWait);
        const QNetworkDatagram query = fake.receiveDatagram();
        QCOMPARE(wire::parseEnumQuery(query.data()), kApp);
        const auto answer = [&](QUdpSocket& from, const QUuid& app, const char* room) {
            from.writeDatagram(wire::enumAnswer({app, room, 1, 2, 0, {}, 1}), query.senderAddress(),
                               query.senderPort());
        };
        answer(elsewhere, kApp, "Impostore");
        answer(fake, QUuid::createUuid(), "Altra");
        answer(fake, kApp, "Giusta");
        // The other two come first: taken, they would be the first found.
        QTRY_COMPARE_WITH_TIMEOUT(found.value(0).value(0).toString(), "Giusta", kWait);
    }

    void connectFailures()
    {
        SessionClient c;
        c.setTimings({.deadPeerMs = 9000, .enumRetryMs = 50, .connectMs = 300, .helloMs = 10000});
        QSignalSpy failed(&c, &SessionClient::EnumHostsFailed);
        QSignalSpy done(&c, &SessionClient::ConnectComplete);
        QUdpSocket silent; // a port held by a socket that never answers
        QVERIFY(silent.bind(QHostAddress::LocalHost, 0));
        // A name the room protocol cannot carry is refused before sending.
        const std::pair<QString, SessionResult> rows[] = {
            {"nobody", SessionResult::NoAnswer},
            {QString("Anna") + QChar(30), SessionResult::BadHello}};
        for (const auto& [name, result] : rows) {
            done.clear();
            QCOMPARE(reach(c, done, silent.localPort(), name), int(result));
            QVERIFY(!c.isConnected() && !c.Send("x"));
        }
        c.EnumHosts("::1", 2302, kApp); // ENet speaks IPv4 only
        QTRY_VERIFY_WITH_TIMEOUT(!failed.value(0).value(0).toString().isEmpty(), kWait);
    }

    void playersAndSends()
    {
        QVERIFY(listen());
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        QSignalSpy hostGot(host.get(), &SessionHost::Receive);
        std::vector<std::unique_ptr<QSignalSpy>> got;
        for (const char* name : {"Anna", "Bruno", "Carla"}) {
            QCOMPARE(join(name), 0);
            got.push_back(std::make_unique<QSignalSpy>(last(), &SessionClient::Receive));
        }
        const qint32 anna = clients[0]->localPlayerId(), bruno = clients[1]->localPlayerId();
        QVERIFY(anna > 0 && bruno > 0 && anna != bruno);
        QCOMPARE(created.first(), (QVariantList{anna, "Anna"}));
        QCOMPARE(host->playerName(bruno) + QString::number(host->playerCount()), "Bruno3");

        QVERIFY(host->SendTo(0, "a tutti") && !host->SendTo(9999, "nessuno"));
        for (auto& spy : got)
            QTRY_COMPARE_WITH_TIMEOUT(payloads(*spy, 0), "a tutti", kWait);
        // Guaranteed sends arrive whole and in order, both ways.
        QByteArrayList sent;
        for (int i = 0; i < 500; ++i) {
            sent.append(QByteArray::number(i));
            QVERIFY(clients[0]->Send(sent.last()) && host->SendTo(anna, sent.last()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(payloads(hostGot, 1), sent.join(';'), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(payloads(*got[0], 0), "a tutti;" + sent.join(';'), kWait);
        QCOMPARE(hostGot.last().first().value<qint32>(), anna);
        QVERIFY(!clients[0]->Send(QByteArray(wire::kMaxPayload + 1, 'x')) && !clients[0]->Send({}));

        // A departed player's id is not handed out again.
        clients[0]->Close();
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 2, kWait);
        QCOMPARE(join("Anna"), 0);
        const qint32 again = last()->localPlayerId();
        QVERIFY(again > 0 && again != anna && again != bruno &&
                again != clients[2]->localPlayerId());
    }

    void refusals()
    {
        const std::tuple<int, const char*, const char*, SessionResult> rows[] = {
            {1, "Bruno", "sbagliata", SessionResult::RoomFull}, // before the password counts
            {4, "Anna", "segreta", SessionResult::NameInUse},
            {4, "Bruno", "sbagliata", SessionResult::WrongPassword}}; // the check refuses
        for (const auto& [limit, name, password, result] : rows) {
            cleanup();
            QVERIFY(listen(limit));
            host->setHelloCheck([](const QString&, const QString& pw, const QString&) {
                return pw == "segreta" ? SessionResult::Accepted : SessionResult::WrongPassword;
            });
            QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
            QSignalSpy destroyed(host.get(), &SessionHost::DestroyPlayer);
            QCOMPARE(join("Anna", "segreta"), 0);
            // Twice: the spare slot must be free again after a refusal.
            QCOMPARE(QList<int>({join(name, password), join(name, password)}),
                     QList<int>(2, int(result)));
            QVERIFY(last()->localPlayerId() == 0 && !last()->isConnected());
            QCOMPARE(QList<qsizetype>({created.count(), destroyed.count(), host->playerCount()}),
                     QList<qsizetype>({1, 0, 1}));
        }

        // The check may close the host.
        cleanup();
        QVERIFY(listen());
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        host->setHelloCheck([this](const QString&, const QString&, const QString&) {
            host->Close();
            return SessionResult::Accepted;
        });
        QCOMPARE(join("Anna"), int(SessionResult::HostClosed));
        QVERIFY(created.isEmpty() && !host->isListening());
    }

    void voiceCarriesSenderIds()
    {
        QVERIFY(listen());
        QCOMPARE(join("Anna"), 0);
        QCOMPARE(join("Bruno"), 0);
        SessionClient* anna = clients[0].get();
        SessionClient* bruno = clients[1].get();
        // Forwarding is the caller's decision: here, to everybody else.
        connect(host.get(), &SessionHost::VoiceReceived, this,
                [this](qint32 id, quint16 seq, const QByteArray& f) {
                    host->SendVoiceTo(0, id, seq, f);
                });
        QSignalSpy annaHeard(anna, &SessionClient::VoiceReceived);
        QSignalSpy brunoHeard(bruno, &SessionClient::VoiceReceived);
        for (int i = 0; i < 20; ++i)
            QVERIFY(anna->SendVoice("frame" + QByteArray::number(i)));
        QTRY_COMPARE_WITH_TIMEOUT(brunoHeard.count(), 20, kWait);
        for (const auto& args : std::as_const(brunoHeard)) {
            QCOMPARE(args.at(0).value<qint32>(), anna->localPlayerId());
            QCOMPARE(args.at(2).toByteArray(), "frame" + args.at(1).toByteArray());
        }
        // A sender's own numbers pass through untouched, gaps and all.
        QVERIFY(anna->SendVoice("late", 400));
        QTRY_COMPARE_WITH_TIMEOUT(brunoHeard.count(), 21, kWait);
        QCOMPARE(brunoHeard.last().at(1).value<quint16>(), quint16(400));
        // Anything wrongly sent back to the speaker would precede this marker.
        QVERIFY(host->SendVoiceTo(anna->localPlayerId(), bruno->localPlayerId(), 1, "marker"));
        QTRY_COMPARE_WITH_TIMEOUT(payloads(annaHeard, 2), "marker", kWait);
        QVERIFY(!anna->SendVoice(QByteArray(wire::kMaxVoiceFrame + 1, 'v')));
        QVERIFY(!host->SendVoiceTo(0, 0, 1, "no speaker"));

        // Loss reports reach the speaker they name, signed with the listener.
        QSignalSpy annaReports(anna, &SessionClient::LossReported);
        QSignalSpy brunoReports(bruno, &SessionClient::LossReported);
        QVERIFY(!bruno->SendLossReport(bruno->localPlayerId(), 5) &&
                bruno->SendLossReport(anna->localPlayerId() + 1000, 7) && // nobody: dropped
                bruno->SendLossReport(anna->localPlayerId(), 12));
        QTRY_COMPARE_WITH_TIMEOUT(annaReports.value(0), (QVariantList{bruno->localPlayerId(), 12}),
                                  kWait);
        QCOMPARE(brunoReports.count(), 0);
    }

    void endings()
    {
        QVERIFY(listen(8, quick(1000)));
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        QSignalSpy destroyed(host.get(), &SessionHost::DestroyPlayer);
        // A vanished member is dropped: after the session's interval, not ENet's own 5 to 30 s.
        ENetHost* h = enet_host_create(nullptr, 1, wire::kChannelCount, 0, 0);
        ENetAddress a{0, 9};
        ENetPeer* p = enet_host_connect(h, &a, wire::kChannelCount, 0);
        configurePeer(p, 1234);
        const QList<enet_uint32> set{p->timeoutMinimum, p->timeoutMaximum};
        enet_host_destroy(h);
        QCOMPARE(set, QList<enet_uint32>({1234, 1234}));
        RawEnet raw;
        QVERIFY(raw.join(host->port(), "Fantasma") != 0);
        raw.vanish();
        QTRY_COMPARE_WITH_TIMEOUT(destroyed.value(0).value(0), created.value(0).value(0), kWait);

        // A member that closes is seen at once, with no signal to itself.
        cleanup();
        QVERIFY(listen(8, quick(60000)));
        QSignalSpy gone(host.get(), &SessionHost::DestroyPlayer);
        QCOMPARE(join("Anna"), 0);
        QSignalSpy ended(last(), &SessionClient::TerminateSession);
        last()->Close();
        last()->Close();
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, kWait);
        // Closing mid-connect silences that attempt; the object connects anew.
        SessionClient c;
        c.setTimings(quick(60000));
        QSignalSpy done(&c, &SessionClient::ConnectComplete);
        c.EnumHosts("127.0.0.1", host->port(), kApp);
        c.Connect("Bruno", {});
        c.Close();
        QCOMPARE(reach(c, done, host->port(), "Carla") + ended.count(), 0);
        QCOMPARE(host->playerName(c.localPlayerId()), "Carla");
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 1, kWait);

        // A client closing from its own slot gets nothing more.
        QCOMPARE(join("Dario"), 0);
        QSignalSpy got(last(), &SessionClient::Receive);
        connect(last(), &SessionClient::Receive, last(), &SessionClient::Close);
        for (int i = 0; i < 5; ++i)
            host->SendTo(last()->localPlayerId(), "msg");
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 1, kWait);
        QCOMPARE(got.count(), 1);

        // The host closing ends the session for its members.
        QSignalSpy closed(&c, &SessionClient::TerminateSession);
        host->Close();
        host->Close();
        QTRY_COMPARE_WITH_TIMEOUT(resultOf(closed), int(SessionResult::HostClosed), kWait);
        QVERIFY(!c.isConnected() && c.localPlayerId() == 0);
        // A new host asked before its answer came is not offered the last host's cookie.
        QVERIFY(listen());
        done.clear();
        QCOMPARE(reach(c, done, host->port(), "Elena"), 0);
        c.Close();

        // A vanished host ends the session as lost.
        Intercettatore spia;
        QVERIFY(spia.apri(host->port()));
        c.setTimings(quick(1000));
        done.clear();
        QSignalSpy lost(&c, &SessionClient::TerminateSession);
        QVERIFY(reach(c, done, spia.versoClient.localPort(), "Anna") == 0 &&
                c.localPlayerId() != 0);
        spia.taglia = true;
        QTRY_COMPARE_WITH_TIMEOUT(resultOf(lost), int(SessionResult::ConnectionLost), kWait);
    }

    void hostilePeers()
    {
        QVERIFY(listen(1, quick(3000, 1000)));
        QSignalSpy created(host.get(), &SessionHost::CreatePlayer);
        QUdpSocket junk;
        QRandomGenerator rng = kalimo::test::generatoreProva(2);
        for (int i = 0; i < 300; ++i) {
            QByteArray d(rng.bounded(0, 1500), Qt::Uninitialized);
            for (char& ch : d)
                ch = static_cast<char>(rng.bounded(256));
            junk.writeDatagram(d, QHostAddress::LocalHost, host->port());
        }
        for (const QByteArray& d :
             {QByteArray(9000, 'x'), wire::enumQuery(kApp).left(10), wire::enumQuery(kApp) + "x"})
            junk.writeDatagram(d, QHostAddress::LocalHost, host->port());

        // Bad hellos: none, too large, malformed, another application's.
        const QByteArray hellos[] = {QByteArray(), QByteArray(200000, 'h'),
                                     wire::hello({kApp, "Anna", "", {}}).left(10),
                                     wire::hello({QUuid::createUuid(), "Anna", "", {}})};
        for (const QByteArray& hello : hellos) {
            RawEnet raw;
            QVERIFY(raw.connect(host->port()));
            if (!hello.isEmpty()) {
                raw.send(wire::kChannelVoice, "voice before hello", ENET_PACKET_FLAG_UNSEQUENCED);
                raw.send(wire::kChannelControl, hello);
            }
            QVERIFY(QTest::qWaitFor([&] { return raw.disconnected; }, kWait));
            QCOMPARE(raw.disconnectData, enet_uint32(SessionResult::BadHello));
        }
        {
            RawEnet member; // a player sending junk and oversized packets
            QVERIFY(member.join(host->port(), "Rumoroso") != 0);
            member.send(wire::kChannelVoice, "x", ENET_PACKET_FLAG_UNSEQUENCED);
            member.send(wire::kChannelControl, QByteArray(300000, 'z'));
        }
        QTRY_COMPARE_WITH_TIMEOUT(host->playerCount(), 0, kWait);

        QCOMPARE(join("Buono"), 0);
        QSignalSpy hostGot(host.get(), &SessionHost::Receive);
        QSignalSpy clientGot(last(), &SessionClient::Receive);
        QVERIFY(last()->Send("ciao") && host->SendTo(last()->localPlayerId(), "benvenuto"));
        QTRY_COMPARE_WITH_TIMEOUT(payloads(hostGot, 1), "ciao", kWait);
        QTRY_COMPARE_WITH_TIMEOUT(payloads(clientGot, 0), "benvenuto", kWait);
        QCOMPARE(created.count(), 2);
    }

    void onTheWire()
    {
        QVERIFY(listen(4));
        Intercettatore spia;
        QVERIFY(spia.apri(host->port()));
        // The host returns each text and frame to its sender.
        connect(host.get(), &SessionHost::Receive, this,
                [this](qint32 id, const QByteArray& p) { host->SendTo(id, p); });
        connect(host.get(), &SessionHost::VoiceReceived, this,
                [this](qint32 id, quint16 seq, const QByteArray& f) {
                    host->SendVoiceTo(id, id, seq, f);
                });
        QCOMPARE(join("Anna", "parola d'ordine", spia.versoClient.localPort(), host->publicKey()),
                 0);
        SessionClient& c = *last();
        QSignalSpy testi(&c, &SessionClient::Receive), voci(&c, &SessionClient::VoiceReceived);
        const QByteArray riga = "Ciao a tutti, sono Anna e questa riga e' segreta";
        const QByteArray trama(80, '\x5c');
        QVERIFY(c.Send(riga) && c.SendVoice(trama));
        QTRY_COMPARE_WITH_TIMEOUT(payloads(testi, 0), riga, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(payloads(voci, 2), trama, kWait);
        QVERIFY(spia.catturati.size() > 4);
        for (const QByteArray& chiaro :
             {riga, riga.left(12), trama.left(16), QByteArray("Anna"), QByteArray("parola")})
            for (const QByteArray& d : std::as_const(spia.catturati))
                QVERIFY2(!d.contains(chiaro), chiaro.constData());

        // A member that sends a datagram twice, or altered, gets neither through.
        RawEnet m;
        QVERIFY(m.join(host->port(), "Bruno") != 0);
        QSignalSpy arrivati(host.get(), &SessionHost::Receive);
        QSignalSpy parlati(host.get(), &SessionHost::VoiceReceived);
        const QByteArray voce = m.seal->seal(wire::kChannelVoice, wire::clientVoice(1, "trama"));
        QByteArray alterata = m.seal->seal(wire::kChannelVoice, wire::clientVoice(2, "trama"));
        alterata[alterata.size() - 1] = char(alterata.back() ^ 0x20);
        const QByteArray testo = m.seal->seal(wire::kChannelControl, "uno");
        for (const QByteArray& d : {voce, voce, alterata})
            m.send(wire::kChannelVoice, d, ENET_PACKET_FLAG_UNSEQUENCED);
        m.send(wire::kChannelControl, testo);
        m.send(wire::kChannelControl, testo);
        m.send(wire::kChannelControl, m.seal->seal(wire::kChannelControl, "due"));
        QTRY_COMPARE_WITH_TIMEOUT(payloads(arrivati, 1), "uno;due", kWait);
        QCOMPARE(payloads(parlati, 2), "trama");
        QCOMPARE(QList<quint64>({host->drops().forged, host->drops().replayed}),
                 QList<quint64>({1, 2}));

        // A member holding another key for the host is not let in.
        QCOMPARE(join("Carla", {}, 0, HostKeys::generate().publicKey),
                 int(SessionResult::BadHello));
        QCOMPARE(host->playerCount(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
