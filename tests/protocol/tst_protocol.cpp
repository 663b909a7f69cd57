#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/requests.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"
#include "protocol/tlsfield.h"
#include "protocol/values.h"
#include "tests/support/wire.h"

#include <QTest>

using namespace kalimo;

namespace {
const auto S = [](const char* text) { return test::wire(text); };
} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void building()
    {
        const auto anna = [](const char16_t* code, const QStringList& params = {}) {
            return masterRequest(code, u"anna", params);
        };
        QCOMPARE(anna(u"0011"), S("0011 ^ anna ^ No Parametri | "));
        QCOMPARE(anna(u"0002"), S("0002 ^ anna ^ No Parametri |"));
        QCOMPARE(anna(u"0012", {"bob"}), S("0012  ^ anna ^ bob |"));
        QCOMPARE(anna(u"0001", {"anna", "K", "pw"}), S("0001 ^ anna ^ anna ~ K ~ pw | "));
        QCOMPARE(anna(u"0007", {"Sala", "10", "3", ""}), S("0007 ^ anna ^ Sala ~ 10 ~ 3 ~  | "));
        QCOMPARE(hostMessage(u"0004", {"7", "true"}), S("0004 ^ 7 ~ true | "));
        QCOMPARE(joinFields({}), QString());
        QCOMPARE(stripControlCharacters(S("ci|a^o~") + SEP4 + SEP9 + "!\t"), QString("ciao!\t"));
    }

    void splitting()
    {
        QCOMPARE(splitMessages(S("  00012^ 10 ~ 5 ~ 2.0b |  ")),
                 (QList<QStringList>{{"00012", S("10 ~ 5 ~ 2.0b")}}));
        QCOMPARE(splitMessages(S("0002^a~b|0004^c~d|")),
                 (QList<QStringList>{{"0002", S("a~b")}, {"0004", S("c~d")}}));
        QCOMPARE(splitMessages(S("00001^x|00002^y")), (QList<QStringList>{{"00001", "x"}}));
        QCOMPARE(splitMessages(S("a^b^c|")), (QList<QStringList>{{"a", "b", "c"}}));
        QCOMPARE(splitMessages(S("abc|")), QList<QStringList>{{"abc"}});
        QCOMPARE(splitMessages(S("00012^x")) + splitMessages(S("")), QList<QStringList>{});
        QCOMPARE(splitMessages(S("|||")), (QList<QStringList>{{""}, {""}, {""}}));
        QCOMPARE(splitFields(S(" a ~ b c ~~ ")), (QStringList{"a", "b c", "", ""}));
        QCOMPARE(splitFields(u""), QStringList{});
        QCOMPARE(fieldAt({"a"}, 0) + fieldAt({"a"}, 1) + fieldAt({"a"}, -1), QString("a"));
    }

    void decoding()
    {
        using R = master::Request::Kind;
        const QList<master::Request> requests =
            master::decodeRequests(S("0011 ^ a ^ No Parametri |0007^a^S~5~2~|0099^a^x|0001^x|"));
        QCOMPARE(requests.size(), 4);
        QCOMPARE((QList<R>{requests[0].kind, requests[2].kind, requests[3].kind}),
                 (QList<R>{R::Limits, R::Unknown, R::Malformed}));
        QVERIFY(requests[0].params.isEmpty() && requests[3].parts == 2);
        const auto creation = master::decodeRoomCreation(requests.at(1));
        QVERIFY(creation && creation->maxUsers == 5 && creation->invited.isEmpty());
        QVERIFY(!master::decodeRoomCreation(master::decodeRequests(S("0007^a^S~5~2|")).value(0)));

        using H = master::roomlink::HostMessage::Kind;
        const QString identify = master::roomlink::identificationMessage(
            3, {"Sala", "10", "2", "True", "", "pw", "False", "2302", "x", "ab12"});
        QCOMPARE(identify,
                 S("0001 ^ 3 ^ Sala ~ 10 ~ 2 ~ True ~  ~ pw ~ False ~ 2302 ~ x ~ ab12 | "));
        const auto host = master::roomlink::decodeHostMessages(
            identify + S("0001^3^a~b|0002^Sala~7~bea~ip~False|0003^Sala~bea|0002^x^y|"));
        const QList<H> kinds{H::Identify, H::BadIdentify, H::MemberJoined, H::MemberLeft,
                             H::Unexpected};
        for (qsizetype i = 0; i < kinds.size(); ++i)
            QCOMPARE(host.at(i).kind, kinds.at(i));
        QVERIFY(host.at(0).identification.port == 2302);
        QCOMPARE(host.at(0).identification.serverPassword + host.at(0).identification.hostKey,
                 QString("pwab12"));
        QVERIFY(host.at(2).nick == "bea" && host.at(3).nick == "bea");

        const auto fromMaster =
            master::roomlink::decodeMasterMessages(S("00001^ 4 ^ ok |00002^no|0001^x|0009|"));
        QCOMPARE(fromMaster.size(), 3);
        QVERIFY(fromMaster.at(0).number == 4 && fromMaster.at(0).block == "ok");
        QVERIFY(!fromMaster.at(1).number);
        QCOMPARE(fromMaster.at(2).kind, master::roomlink::MasterMessage::Kind::EndRoom);

        using I = inroom::Request::Kind;
        const auto inRoom = inroom::decodeRequests(
            S("0001^a^ True |0001^a^forse|0002^a^a~ciao~x|0003^a^a~bob|0004^a^ bob |0002^a|"));
        const QList<I> inKinds{I::TalkState, I::Ignored, I::PublicText,
                               I::Ignored,   I::Invite,  I::Ignored};
        for (qsizetype i = 0; i < inKinds.size(); ++i)
            QCOMPARE(inRoom.at(i).kind, inKinds.at(i));
        QVERIFY(inRoom.at(0).talk && inRoom.at(0).word == "True");
        // Further fields of a public text go along with it.
        QCOMPARE(inRoom.at(2).text, S("ciao ~ x"));
        QCOMPARE(inRoom.at(4).target, QString("bob"));
    }

    void reassembly()
    {
        // Every chunk size from 1 byte to the whole stream.
        const QByteArray stream = encodeText(S("00001^ banner ~ 5 |0002^bob~ciao è|0005^tok| "));
        for (qsizetype n = 1; n <= stream.size(); ++n) {
            StreamReassembler r;
            QByteArray out;
            for (qsizetype pos = 0; pos < stream.size(); pos += n)
                out += r.feed(stream.mid(pos, n));
            QCOMPARE(out, stream.chopped(1));
            QCOMPARE(r.pendingSize(), 1); // the trailing blank waits
        }

        StreamReassembler r(16);
        QVERIFY(r.feed(QByteArray(10, 'x')).isEmpty() && !r.overflowed());
        QVERIFY(r.feed(QByteArray(10, 'x')).isEmpty() && r.overflowed() && r.pendingSize() == 0);
        const QByteArray ok = encodeText(S("a^b|"));
        QCOMPARE(r.feed(ok), ok); // still usable after the overflow
        r.clear();
        QVERIFY(!r.overflowed());
        // Over the cap, ended in the same arrival: what came before passes, the rest goes.
        const QByteArray longOne =
            encodeText(S("a^b|")) + QByteArray(20, 'x') + encodeText(S("|c^d|"));
        QCOMPARE(r.feed(longOne), ok);
        QVERIFY(r.overflowed() && r.pendingSize() == 0);
    }

    void values()
    {
        QCOMPARE(decodeText(QByteArray("caff\xc3\xa8")), QString("caffè"));
        QCOMPARE(decodeText(QByteArray("caff\xe8")), QString("caffè")); // Latin-1 fallback
        QCOMPARE(encodeText(u"più"), QByteArray("pi\xc3\xb9"));
        QCOMPARE(encodeText(QString(SEP1) + SEP2 + SEP3), QByteArray("\x1d\x1e\x1f"));

        const auto n = [](auto v) { return v ? QString::number(*v) : QString("-"); };
        QCOMPARE(
            QStringList({n(parseInt(u" 12 ")), n(parseInt(u"x")), n(parseInt(u"")),
                         n(parseInt16(u"32767")), n(parseInt16(u"32768")), n(parseInt16(u"-5"))}),
            QStringList({"12", "-", "-", "32767", "-", "-5"}));
        QString flags;
        for (const char16_t* f : {u"FALSO", u" false ", u"FaLsE", u"falso", u"True", u"", u"0"})
            flags += parseFlagWord(f) ? '1' : '0';
        QCOMPARE(flags + flagWord(false) + flagWord(true), "0000111FalseTrue");
    }

    void tlsFields()
    {
        const QByteArray pin = QByteArray::fromHex(QByteArray(64, 'a'));
        const QString hex(64, u'a');
        const struct
        {
            QString field;
            std::optional<TlsEndpoint> expected;
        } rows[] = {{"tls:7443", TlsEndpoint{7443, {}}},
                    {" TLS:1:SHA256=" + hex.toUpper() + " ", TlsEndpoint{1, pin}},
                    {"tls:7443:sha256=" + QString(pin.toHex(':')), TlsEndpoint{7443, pin}},
                    {"tls:", std::nullopt},
                    {"tls:0", std::nullopt},
                    {"tls:65536", std::nullopt},
                    {"tls:7443:", std::nullopt},
                    {"tls:7443:md5=" + hex, std::nullopt},
                    {"tls:7443:sha256=" + hex.left(62), std::nullopt},
                    {"tls:7443:sha256=" + hex.left(63) + "g", std::nullopt},
                    {"tls:7443:sha256=" + hex + "aa", std::nullopt},
                    {"ssl:7443", std::nullopt}};
        for (const auto& r : rows) {
            QCOMPARE(parseTlsField(r.field), r.expected);
            QCOMPARE(looksLikeTlsField(r.field), !r.field.startsWith("ssl"));
        }
        QCOMPARE(tlsField({7443, pin}), "tls:7443:sha256=" + hex);
        QCOMPARE(tlsField({7443, {}}), QString("tls:7443"));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
