#include "platform/session/wire.h"

#include <QRandomGenerator>
#include <QTest>

using namespace kalimo::session;

class TestSessionWire final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrips()
    {
        const QUuid app = QUuid::createUuid();
        QCOMPARE(wire::parseEnumQuery(wire::enumQuery(app)), app);
        QVERIFY(wire::looksLikeEnumeration(wire::enumQuery(app)));

        const auto answer = wire::parseEnumAnswer(wire::enumAnswer({app, "Sala è", 3, 10}));
        QVERIFY(answer);
        QCOMPARE(answer->application, app);
        QCOMPARE(answer->roomName, QString("Sala è"));
        QCOMPARE(answer->players, 3u);
        QCOMPARE(answer->maxPlayers, 10u);

        const auto hello = wire::parseHello(wire::hello({app, "Zoë", "pass word"}));
        QVERIFY(hello);
        QCOMPARE(hello->application, app);
        QCOMPARE(hello->name, QString("Zoë"));
        QCOMPARE(hello->password, QString("pass word"));
        QVERIFY(wire::parseHello(wire::hello({app, "a", ""})));

        QCOMPARE(wire::parseWelcome(wire::welcome(7)), 7);
        QCOMPARE(wire::parseWelcome(wire::welcome(0x7fffffff)), 0x7fffffff);

        const auto up = wire::parseClientVoice(wire::clientVoice(65535, "opus"));
        QVERIFY(up);
        QCOMPARE(up->seq, quint16(65535));
        QCOMPARE(up->frame, QByteArray("opus"));
        const auto down = wire::parseHostVoice(wire::hostVoice(42, 9, "frame"));
        QVERIFY(down);
        QCOMPARE(down->from, 42);
        QCOMPARE(down->seq, quint16(9));
        QCOMPARE(down->frame, QByteArray("frame"));

        // 200 two-byte characters exceed the cap; the cut must stay valid UTF-8.
        const auto cut = wire::parseEnumAnswer(wire::enumAnswer({app, QString(200, u'è'), 0, 1}));
        QVERIFY(cut);
        QCOMPARE(cut->roomName, QString(wire::kMaxRoomNameBytes / 2, u'è'));
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QUuid app = QUuid::createUuid();
        const QByteArray hello = wire::hello({app, "nick", "pw"});
        QByteArray badUtf8 = hello;
        badUtf8[4 + 1 + 16 + 2] = char(0xC3); // a lead byte followed by ASCII
        QByteArray longName = "KLMH";
        longName += char(1) + app.toRfc4122() + QByteArray("\x00\x81", 2) + QByteArray(129, 'a') +
                    QByteArray("\x00\x00", 2);
        QByteArray nameOverrun = hello;
        nameOverrun[4 + 1 + 16 + 1] = char(100); // claims more bytes than follow

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("hello truncated") << hello.left(hello.size() - 1);
        QTest::newRow("hello trailing byte") << hello + 'x';
        QTest::newRow("hello bad utf8 name") << badUtf8;
        QTest::newRow("hello name over cap") << longName;
        QTest::newRow("hello length overrun") << nameOverrun;
        QTest::newRow("hello password over cap")
            << wire::hello({app, "nick", QString(wire::kMaxPasswordBytes + 1, 'p')});
        QTest::newRow("hello control char name") << wire::hello({app,
                                                                 "a\x1e"
                                                                 "b",
                                                                 ""});
        QTest::newRow("hello blank name") << wire::hello({app, "   ", ""});
        QTest::newRow("hello wrong version") << QByteArray(hello).replace(4, 1, "\x02");
        QTest::newRow("welcome zero id") << wire::welcome(0);
        QTest::newRow("welcome short") << wire::welcome(5).left(6);
        QTest::newRow("query short") << wire::enumQuery(app).left(20);
        QTest::newRow("answer short") << wire::enumAnswer({app, "room", 1, 2}).chopped(1);
    }

    void malformed()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!wire::parseHello(bytes));
        QVERIFY(!wire::parseWelcome(bytes));
        QVERIFY(!wire::parseEnumQuery(bytes));
        QVERIFY(!wire::parseEnumAnswer(bytes));
    }

    void voiceLimitsAndNames()
    {
        QVERIFY(!wire::parseClientVoice(QByteArray("\x00\x01", 2))); // no frame
        QVERIFY(!wire::parseClientVoice("\x01"));                    // short seq
        QVERIFY(!wire::parseHostVoice(QByteArray(6, '\0') + 'x'));   // speaker 0
        QVERIFY(!wire::parseHostVoice(wire::hostVoice(1, 1, "")));
        const QByteArray big(wire::kMaxVoiceFrame, 'v');
        QVERIFY(wire::parseClientVoice(wire::clientVoice(1, big)));
        QVERIFY(!wire::parseClientVoice(wire::clientVoice(1, big + 'v')));
        QVERIFY(wire::parseHostVoice(wire::hostVoice(3, 1, big)));
        QVERIFY(!wire::parseHostVoice(wire::hostVoice(3, 1, big + 'v')));

        QVERIFY(wire::acceptablePlayerName("Mario Rossi"));
        QVERIFY(wire::acceptablePlayerName(QString(wire::kMaxNameBytes, 'n')));
        for (const QString& bad : {QString(wire::kMaxNameBytes + 1, 'n'), QString(), QString("  "),
                                   QString("tab\there"), QString("sep") + QChar(29)})
            QVERIFY2(!wire::acceptablePlayerName(bad), qPrintable(bad));
    }

    void randomBytesNeverParse()
    {
        // Random input must neither crash a parser nor pass as an enumeration.
        auto* rng = QRandomGenerator::global();
        for (int i = 0; i < 5000; ++i) {
            QByteArray bytes(rng->bounded(0, 80), Qt::Uninitialized);
            for (char& c : bytes)
                c = static_cast<char>(rng->bounded(256));
            QVERIFY(!wire::parseEnumQuery(bytes) || wire::looksLikeEnumeration(bytes));
            wire::parseEnumAnswer(bytes);
            wire::parseHello(bytes);
            wire::parseWelcome(bytes);
            wire::parseClientVoice(bytes);
            wire::parseHostVoice(bytes);
        }
    }
};

QTEST_GUILESS_MAIN(TestSessionWire)
#include "tst_sessionwire.moc"
