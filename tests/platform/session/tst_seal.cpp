#include "platform/session/seal.h"

#include <QtTest>

using namespace kalimo::session;

// Sealed datagrams byte for byte: the AEAD is the standard one under the key
// exchange's keys, whichever library computes it, so builds that seal with
// another one still understand each other. The expected bytes come from
// libsodium's own AEAD functions.
class TestSeal final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownAnswers_data()
    {
        QTest::addColumn<quint8>("cipher");
        QTest::addColumn<QByteArray>("fromMember"); // voice, first counter
        QTest::addColumn<QByteArray>("fromHost");   // control, first counter
        QTest::newRow("chacha20") << quint8(SessionSeal::ChaCha20)
                                  << QByteArray("0000000000000000db8d8c1a693ca075d2f63e02520a2cad"
                                                "334accd8")
                                  << QByteArray("00000000000000008e59630d5de55f608c3ca83d95edd3cb"
                                                "83df8c24");
        QTest::newRow("aes256gcm") << quint8(SessionSeal::Aes256Gcm)
                                   << QByteArray("000000000000000000b984944fef1acc4053ef2d900bbd61"
                                                 "b28f4e60")
                                   << QByteArray("0000000000000000255c2c8a63a4eb8d2197024a0f2e655c"
                                                 "d54e3e26");
    }
    void knownAnswers()
    {
        QFETCH(quint8, cipher);
        QFETCH(QByteArray, fromMember);
        QFETCH(QByteArray, fromHost);
        if (!(SessionSeal::localCiphers() & cipher))
            QSKIP("no AES instructions here");
        const auto secret = [](char first) {
            QByteArray s(32, Qt::Uninitialized);
            for (int i = 0; i < s.size(); ++i)
                s[i] = char(first + i);
            return s;
        };
        const HostKeys host{QByteArray::fromHex("d89e3bad79437dbed9f843418304f460ff05c7fe81fe4a9577"
                                                "a804cb9367ff66"),
                            secret(0x10)};
        const QByteArray memberPublic =
            QByteArray::fromHex("675dd574ed7789310b3d2e7681f3790b466c773b1521fecf36577958371ea52f");
        auto m = SessionSeal::member(host.publicKey, memberPublic, secret(0x60), cipher);
        auto h = SessionSeal::host(host, memberPublic, cipher);
        QVERIFY(m && h);
        QCOMPARE(m->seal(1, "ciao").toHex(), fromMember);
        QCOMPARE(h->seal(0, "ciao").toHex(), fromHost);
        QByteArray plain;
        QCOMPARE(h->open(1, QByteArray::fromHex(fromMember), &plain), SessionSeal::Verdict::Opened);
        QCOMPARE(plain, "ciao");
        QCOMPARE(m->open(0, QByteArray::fromHex(fromHost), &plain), SessionSeal::Verdict::Opened);
        QCOMPARE(plain, "ciao");
    }
};

QTEST_GUILESS_MAIN(TestSeal)
#include "tst_seal.moc"
