#include "room/invio_sessione.h"
#include "room/stanza.h"

#include <QtTest>

using namespace kalimo;

namespace {

// Records every send as "id:payload"; sends fail from the `failFrom`-th on.
struct FakeSessione final : InvioSessione
{
    QStringList sent;
    int failFrom = -1;

    bool SendTo(qint32 playerId, const QString& payload) override
    {
        if (failFrom >= 0 && sent.size() >= failFrom)
            return false;
        sent.append(QString::number(playerId) + u':' + payload);
        return true;
    }
};

QString wire(const char* text)
{
    QString out = QString::fromUtf8(text);
    out.replace(u'|', QChar(30)).replace(u'^', QChar(31)).replace(u'$', QChar(29));
    return out;
}

// Room 100 with anna (7), bob (8) and carla (9); one speaker at most.
void fill(Stanza& s)
{
    s.ID = 100;
    s.MaxUtenti = 10;
    s.MaxUtentiAudio = 1;
    s.AggiungiUtente(7, "anna");
    s.AggiungiUtente(8, "bob");
    s.AggiungiUtente(9, "carla");
}

} // namespace

class TestPacchetti : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relays_data()
    {
        QTest::addColumn<int>("sender");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("speakers");

        QTest::newRow("talk") << 7 << wire("0001 | anna | true $")
                              << QStringList{wire("100:0004 | 7 ^ true $ ")} << "anna";
        QTest::newRow("talk twice")
            << 7 << wire("0001 | anna | true $0001 | anna | true $")
            << QStringList{wire("100:0004 | 7 ^ true $ "), wire("7:0001 | true $ ")} << "anna";
        QTest::newRow("silent stops anyway") << 9 << wire("0001 | carla | False $")
                                             << QStringList{wire("100:0004 | 9 ^ False $ ")} << "";
        QTest::newRow("talk then stop")
            << 7 << wire("0001 | anna | true $ 0001 | anna | false $ ")
            << QStringList{wire("100:0004 | 7 ^ true $ "), wire("100:0004 | 7 ^ false $ ")} << "";
        QTest::newRow("public chat") << 8 << wire("0002 | bob | bob ^ ciao a tutti $ ")
                                     << QStringList{wire("100:0005 | bob ^ ciao a tutti $ ")} << "";
        QTest::newRow("private line") << 7 << wire("0003 | anna | anna ^ carla ^ solo per te $ ")
                                      << QStringList{wire("9:0006 | anna ^ solo per te $ "),
                                                     wire("7:0007 | carla ^ solo per te $ ")}
                                      << "";
        QTest::newRow("invite") << 7 << wire("0004 | anna |bob$ ")
                                << QStringList{wire("8:0008 | anna $ ")} << "";
        QTest::newRow("accept") << 8 << wire("0005 | bob |anna$ ")
                                << QStringList{wire("7:0009 | bob $ ")} << "";
        QTest::newRow("refuse") << 8 << wire("0006 | bob |anna$ ")
                                << QStringList{wire("7:0010 | bob $ ")} << "";

        // The sender is who the session says, whatever nick the message carries.
        QTest::newRow("spoofed talk") << 8 << wire("0001 | anna | true $")
                                      << QStringList{wire("100:0004 | 8 ^ true $ ")} << "bob";
        QTest::newRow("spoofed chat") << 8 << wire("0002 | anna | anna ^ x $")
                                      << QStringList{wire("100:0005 | bob ^ x $ ")} << "";
        QTest::newRow("spoofed private")
            << 8 << wire("0003 | anna | anna ^ carla ^ x $")
            << QStringList{wire("9:0006 | bob ^ x $ "), wire("8:0007 | carla ^ x $ ")} << "";
        QTest::newRow("spoofed invite")
            << 9 << wire("0004 | anna |bob$") << QStringList{wire("8:0008 | carla $ ")} << "";

        // Dropped: never sent to id 0, which reaches everybody.
        QTest::newRow("private to stranger")
            << 7 << wire("0003 | anna | anna ^ zed ^ x $") << QStringList{} << "";
        QTest::newRow("invite stranger") << 7 << wire("0004 | anna | Bob $") << QStringList{} << "";
        QTest::newRow("stranger sender")
            << 55 << wire("0001 | anna | true $0002 | a | a ^ x $") << QStringList{} << "";
        QTest::newRow("sender id zero") << 0 << wire("0002 | a | a ^ x $") << QStringList{} << "";

        // Malformed: ignored, the rest of the payload still handled.
        QTest::newRow("no end") << 7 << wire("0001 | anna | true ") << QStringList{} << "";
        QTest::newRow("two parts")
            << 7 << wire("0001 | true $0005 | anna $") << QStringList{} << "";
        QTest::newRow("not a boolean")
            << 7 << wire("0001 | anna | forse $0001 | anna | $") << QStringList{} << "";
        QTest::newRow("short chat block")
            << 7 << wire("0002 | anna | ciao $") << QStringList{} << "";
        QTest::newRow("short private block")
            << 7 << wire("0003 | anna | anna ^ carla $0002 | anna | anna ^ dopo $")
            << QStringList{wire("100:0005 | anna ^ dopo $ ")} << "";
        QTest::newRow("unknown code")
            << 7 << wire("0007 | anna | bob $0011 | anna | bob $") << QStringList{} << "";
        QTest::newRow("empty") << 7 << QString() << QStringList{} << "";
    }
    void relays()
    {
        QFETCH(int, sender);
        QFETCH(QString, payload);
        QFETCH(QStringList, expected);
        QFETCH(QString, speakers);
        Stanza s;
        fill(s);
        FakeSessione session;
        QVERIFY(s.GestPacUtente(sender, payload, session));
        QCOMPARE(session.sent, expected);
        QStringList speaking;
        for (int i = 1; i <= s.NumUtenti(); ++i) {
            if (s.Utenti(i)->Parlante)
                speaking.append(s.Utenti(i)->NickName);
        }
        QCOMPARE(speaking.join(u','), speakers);
        QCOMPARE(s.NumUtentiAudio(), speaking.size());
    }

    void talkRefusedAtCapacity()
    {
        Stanza s;
        fill(s);
        FakeSessione session;
        QVERIFY(s.GestPacUtente(7, wire("0001 | anna | true $"), session));
        session.sent.clear();
        QVERIFY(s.GestPacUtente(8, wire("0001 | bob | TRUE $"), session));
        QCOMPARE(session.sent, QStringList{wire("8:0001 | true $ ")});
        QCOMPARE(s.NumUtentiAudio(), 1);
        QVERIFY(!s.Utenti(2)->Parlante);
    }

    void roomWideGoesToRoomId()
    {
        Stanza s;
        fill(s);
        s.ID = 0;
        FakeSessione session;
        QVERIFY(s.GestPacUtente(7, wire("0002 | anna | anna ^ x $"), session));
        QCOMPARE(session.sent, QStringList{wire("0:0005 | anna ^ x $ ")});
    }

    void failedSendStopsPayload()
    {
        Stanza s;
        fill(s);
        s.MaxUtentiAudio = 3;
        FakeSessione session;
        session.failFrom = 0;
        QVERIFY(!s.GestPacUtente(7, wire("0003 | anna | anna ^ bob ^ x $0001 | anna | true $"),
                                 session));
        QVERIFY(session.sent.isEmpty()); // no echo of an undelivered line
        QCOMPARE(s.NumUtentiAudio(), 0); // and nothing after it handled

        session.failFrom = 1;
        QVERIFY(!s.GestPacUtente(7, wire("0003 | anna | anna ^ bob ^ x $"), session));
        QCOMPARE(session.sent, QStringList{wire("8:0006 | anna ^ x $ ")});
    }

    void memberLeavingMidPayload()
    {
        // A session may deliver a departure while sending.
        struct Leaving final : InvioSessione
        {
            Stanza* room = nullptr;
            QStringList sent;
            bool SendTo(qint32 id, const QString& payload) override
            {
                sent.append(QString::number(id) + u':' + payload);
                room->EliminaUtente("anna");
                return true;
            }
        } session;
        Stanza s;
        fill(s);
        session.room = &s;
        QVERIFY(
            s.GestPacUtente(7, wire("0002 | anna | anna ^ x $0002 | anna | anna ^ y $"), session));
        QCOMPARE(session.sent, QStringList{wire("100:0005 | anna ^ x $ ")});
    }

    void randomPayloadsStayInsideRoom()
    {
        Stanza s;
        fill(s);
        s.MaxUtentiAudio = 2;
        const QString alphabet = wire("0123456 annabobcarlatruefalse|^$");
        QRandomGenerator rng(4321);
        FakeSessione session;
        for (int round = 0; round < 3000; ++round) {
            QString text;
            const int len = int(rng.bounded(60));
            for (int i = 0; i < len; ++i)
                text += round % 3 ? alphabet.at(rng.bounded(int(alphabet.size())))
                                  : QChar(char16_t(rng.bounded(0x3000)));
            QVERIFY(s.GestPacUtente(7 + int(rng.bounded(3)), text, session));
        }
        // Every send went to a member or to the room, never to everybody.
        for (const QString& line : std::as_const(session.sent)) {
            const QString id = line.section(u':', 0, 0);
            QVERIFY2(QStringList({"7", "8", "9", "100"}).contains(id), qPrintable(line));
        }
        int speaking = 0;
        for (int i = 1; i <= s.NumUtenti(); ++i)
            speaking += s.Utenti(i)->Parlante ? 1 : 0;
        QCOMPARE(s.NumUtentiAudio(), speaking);
        QVERIFY(speaking <= 2);
    }
};

QTEST_GUILESS_MAIN(TestPacchetti)
#include "tst_pacchetti.moc"
