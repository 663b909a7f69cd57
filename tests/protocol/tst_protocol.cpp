#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"
#include "protocol/values.h"

#include <QRandomGenerator>
#include <QTest>

using namespace kalimo;

namespace {
QString S(const char* ascii)
{
    // Test notation: '|' = SEP1, '^' = SEP2, '~' = SEP3.
    QString s = QString::fromLatin1(ascii);
    s.replace(u'|', SEP1).replace(u'^', SEP2).replace(u'~', SEP3);
    return s;
}
} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void masterRequests_data();
    void masterRequests();
    void hostMessages();
    void splitting_data();
    void splitting();
    void fields();
    void reassemblyAtEveryByte();
    void reassemblyCap();
    void reassemblyRandomChunks();
    void codec();
    void values();
    void stripControls();
};

void TestProtocol::masterRequests_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no parameters") << "0011" << QStringList{} << S("0011 ^ anna ^ No Parametri | ");
    QTest::newRow("two parameters") << "0004" << QStringList{"1", "3"} << S("0004 ^ anna ^ 1 ~ 3 | ");
    QTest::newRow("list count has no tail blank")
        << "0002" << QStringList{} << S("0002 ^ anna ^ No Parametri |");
    QTest::newRow("presence has two blanks and no tail")
        << "0012" << QStringList{"bob"} << S("0012  ^ anna ^ bob |");
    QTest::newRow("login") << "0001" << QStringList{"anna", "K", "pw"}
                           << S("0001 ^ anna ^ anna ~ K ~ pw | ");
    QTest::newRow("empty parameter kept")
        << "0007" << QStringList{"Sala", "10", "3", ""} << S("0007 ^ anna ^ Sala ~ 10 ~ 3 ~  | ");
}

void TestProtocol::masterRequests()
{
    QFETCH(QString, code);
    QFETCH(QStringList, params);
    QFETCH(QString, expected);
    QCOMPARE(masterRequest(code, u"anna", params), expected);
}

void TestProtocol::hostMessages()
{
    QCOMPARE(hostMessage(u"0004", {"7", "true"}), S("0004 ^ 7 ~ true | "));
    QCOMPARE(hostMessage(u"0001", {"true"}), S("0001 ^ true | "));
    QCOMPARE(joinFields({}), QString());
}

void TestProtocol::splitting_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QList<QStringList>>("expected");
    QTest::newRow("reply with three fields")
        << S("  00012^ 10 ~ 5 ~ 2.0b |  ")
        << QList<QStringList>{{"00012", S("10 ~ 5 ~ 2.0b")}};
    QTest::newRow("two messages in order")
        << S("0002^a~b|0004^c~d|")
        << QList<QStringList>{{"0002", S("a~b")}, {"0004", S("c~d")}};
    QTest::newRow("no SEP1 at all") << S("00012^x") << QList<QStringList>{};
    QTest::newRow("text after last SEP1 dropped")
        << S("00001^x|00002^y") << QList<QStringList>{{"00001", "x"}};
    QTest::newRow("three parts kept as three") << S("a^b^c|") << QList<QStringList>{{"a", "b", "c"}};
    QTest::newRow("no SEP2 gives one part") << S("abc|") << QList<QStringList>{{"abc"}};
    QTest::newRow("empty") << QString() << QList<QStringList>{};
    QTest::newRow("only separators") << S("|||") << QList<QStringList>{{""}, {""}, {""}};
}

void TestProtocol::splitting()
{
    QFETCH(QString, data);
    QFETCH(QList<QStringList>, expected);
    QCOMPARE(splitMessages(data), expected);
}

void TestProtocol::fields()
{
    QCOMPARE(splitFields(S(" a ~ b c ~~ ")), (QStringList{"a", "b c", "", ""}));
    QCOMPARE(splitFields(u""), QStringList{});
    QCOMPARE(fieldAt({"a"}, 0), QStringLiteral("a"));
    QCOMPARE(fieldAt({"a"}, 1), QString());
    QCOMPARE(fieldAt({"a"}, -1), QString());
}

void TestProtocol::reassemblyAtEveryByte()
{
    const QByteArray stream = encodeText(S("00001^ banner ~ 5 |0002^bob~ciao è|0005^tok| "));
    const auto whole = splitMessages(decodeText(stream));
    QCOMPARE(whole.size(), 3);
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        StreamReassembler r;
        QByteArray out = r.feed(stream.left(cut));
        out += r.feed(stream.mid(cut));
        QCOMPARE(splitMessages(decodeText(out)), whole);
        QCOMPARE(r.pendingSize(), 1); // the trailing blank waits
    }
}

void TestProtocol::reassemblyCap()
{
    StreamReassembler r(16);
    QVERIFY(r.feed(QByteArray(10, 'x')).isEmpty());
    QVERIFY(!r.overflowed());
    QVERIFY(r.feed(QByteArray(10, 'x')).isEmpty());
    QVERIFY(r.overflowed());
    QCOMPARE(r.pendingSize(), 0);
    // A message within the cap still goes through afterwards.
    const QByteArray ok = encodeText(S("a^b|"));
    QCOMPARE(r.feed(ok), ok);
    r.clear();
    QVERIFY(!r.overflowed());
}

void TestProtocol::reassemblyRandomChunks()
{
    QString text;
    for (int i = 0; i < 200; ++i)
        text += S("0002^") + QString::number(i) + S("~testo àé|");
    const QByteArray stream = encodeText(text);
    auto* rng = QRandomGenerator::global();
    for (int round = 0; round < 50; ++round) {
        StreamReassembler r;
        QByteArray out;
        qsizetype pos = 0;
        while (pos < stream.size()) {
            const qsizetype n = 1 + rng->bounded(40);
            out += r.feed(stream.mid(pos, n));
            pos += n;
        }
        QCOMPARE(out, stream);
    }
}

void TestProtocol::codec()
{
    QCOMPARE(decodeText(QByteArray("caff\xc3\xa8")), QStringLiteral("caffè"));
    // Not UTF-8: read as Latin-1.
    QCOMPARE(decodeText(QByteArray("caff\xe8")), QStringLiteral("caffè"));
    QCOMPARE(encodeText(u"più"), QByteArray("pi\xc3\xb9"));
    // Separators stay single bytes.
    QCOMPARE(encodeText(QString(SEP1) + SEP2 + SEP3), QByteArray("\x1d\x1e\x1f"));
}

void TestProtocol::values()
{
    QCOMPARE(parseInt(u" 12 "), std::optional<int>(12));
    QCOMPARE(parseInt(u"x"), std::nullopt);
    QCOMPARE(parseInt(u""), std::nullopt);
    QCOMPARE(parseInt16(u"32767"), std::optional<qint16>(32767));
    QCOMPARE(parseInt16(u"32768"), std::nullopt);
    QCOMPARE(parseInt16(u"-5"), std::optional<qint16>(-5));
    const struct
    {
        const char16_t* text;
        bool value;
    } flags[] = {{u"FALSO", false}, {u" false ", false}, {u"FaLsE", false}, {u"falso", false},
                 {u"True", true},   {u"", true},         {u"0", true},      {u"NO", true}};
    for (const auto& f : flags)
        QCOMPARE(parseFlagWord(f.text), f.value);
    QVERIFY(!parseFlagWord(flagWord(false)));
    QVERIFY(parseFlagWord(flagWord(true)));
}

void TestProtocol::stripControls()
{
    QCOMPARE(stripControlCharacters(S("ci|a^o~") + SEP4 + SEP9 + QStringLiteral("!")), QStringLiteral("ciao!"));
    QCOMPARE(stripControlCharacters(u"riga\tuno"), QStringLiteral("riga\tuno"));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
