#include "platform/session/seal.h"

#include <QtTest>

using namespace kalimo::session;

// Sealed datagrams byte for byte: the AEAD is the standard one under the key
// exchange's keys, whichever library computes it, so builds that seal with
// another one still understand each other. The expected bytes come from
// libsodium's own AEAD functions. Then, on the same keys, what is refused:
// forgeries, datagrams moved between channels or directions, replays.
class TestSeal final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownAnswers_data()
    {
        QTest::addColumn<quint8>("cipher");
        QTest::addColumn<QByteArray>("fromMember"); // voice, first counter
        QTest::addColumn<QByteArray>("fromHost");   // control, first counter
        const auto row = [](const char* name, quint8 cipher, const char* member, const char* host) {
            QTest::newRow(name) << cipher << QByteArray(member) << QByteArray(host);
        };
        row("chacha20", SessionSeal::ChaCha20,
            "0000000000000000db8d8c1a693ca075d2f63e02520a2cad334accd8",
            "00000000000000008e59630d5de55f608c3ca83d95edd3cb83df8c24");
        row("aes256gcm", SessionSeal::Aes256Gcm,
            "000000000000000000b984944fef1acc4053ef2d900bbd61b28f4e60",
            "0000000000000000255c2c8a63a4eb8d2197024a0f2e655cd54e3e26");
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
        using V = SessionSeal::Verdict;
        QByteArray plain, back;
        QCOMPARE(QList<V>({h->open(1, QByteArray::fromHex(fromMember), &plain),
                           m->open(0, QByteArray::fromHex(fromHost), &back)}),
                 QList<V>({V::Opened, V::Opened}));
        QCOMPARE(plain + back, "ciaociao");

        QCOMPARE(SessionSeal::choose(cipher | SessionSeal::ChaCha20), cipher);
        QVERIFY(!SessionSeal::host(host, memberPublic, 3));
        QVERIFY(!SessionSeal::member(host.publicKey.left(31), memberPublic, secret(0x60)));
        const QByteArray first = m->seal(0, "ciao"), second = m->seal(0, "ciao");
        QVERIFY(first != second); // a nonce never repeats
        QCOMPARE(h->open(0, first, &plain), V::Opened);
        QByteArray altered = second;
        altered[10] = char(altered[10] ^ 0x01);
        QCOMPARE(h->open(0, altered, &plain), V::Forged);
        QCOMPARE(h->open(1, second, &plain), V::Forged); // moved to the other channel
        QCOMPARE(h->open(0, second, &plain), V::Opened); // the forgeries moved nothing
        QCOMPARE(h->open(0, second.left(SessionSeal::kOverhead - 1), &plain), V::Forged);
        // Keys are per direction: the member cannot open its own datagrams.
        QCOMPARE(m->open(0, m->seal(0, "eco"), &plain), V::Forged);

        // Voice: late datagrams within the window count, each once.
        QList<QByteArray> voce;
        for (int i = 0; i < 70; ++i)
            voce.append(m->seal(1, QByteArray::number(i)));
        const std::pair<int, V> righe[] = {{5, V::Opened},   {3, V::Opened},  {5, V::Replayed},
                                           {69, V::Opened},  {6, V::Opened},  {5, V::Replayed},
                                           {4, V::Replayed}, {68, V::Opened}, {69, V::Replayed},
                                           {0, V::Replayed}};
        for (const auto& [indice, verdetto] : righe)
            QCOMPARE(h->open(1, voce.at(indice), &plain), verdetto);
    }
};

QTEST_GUILESS_MAIN(TestSeal)
#include "tst_seal.moc"
