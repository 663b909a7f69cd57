#include "platform/desktop/lingua.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

// The lobby in the system locale's language. CTest runs this three times: LANG=en_US.UTF-8
// (English), LANG=it_IT.UTF-8 and no LANG (Italian, the texts exactly as they are written).
class TestLingua final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_inglese = qEnvironmentVariable("LANG").startsWith("en");
        QCOMPARE(installaTraduzione(), m_inglese ? "en" : "it");
        QCOMPARE(linguaInterfaccia(), m_inglese ? "en" : "it");
    }

    void linguaPer_data()
    {
        QTest::addColumn<QStringList>("lingue");
        QTest::addColumn<QString>("attesa");
        QTest::newRow("en-US") << QStringList{"en-US", "en"} << "en";
        QTest::newRow("it first") << QStringList{"it-IT", "en-US"} << "it";
        QTest::newRow("none") << QStringList{} << "it";
        QTest::newRow("eo is not en") << QStringList{"eo"} << "it";
    }
    void linguaPer()
    {
        QFETCH(QStringList, lingue);
        QTEST(kalimo::linguaPer(lingue), "attesa");
    }

    // A refusal's box and the caption after it; the help text, the Italian one when there is no
    // other.
    void finestraPrincipale()
    {
        FakeMaster master;
        QVERIFY(master.ascolta());
        master.quando("0001", FakeMaster::rispondi(u"00002"));
        BancoLobby banco;
        banco.collega(master.porta());
        QCOMPARE(banco.dialoghi.avvisi(), QStringList({m_inglese ? "Wrong Username or Password"
                                                                 : "Username o Password errati",
                                                       "Kalimo 2.0b", "Informazione Ok"}));
        QCOMPARE(banco.pulsante("cmdConnettiti")->text(), m_inglese ? "Connect" : "Connetti");
        banco.cartella.scrivi("miniguida.txt", "guida");
        banco.pulsante("cmdGuida")->click();
        banco.cartella.scrivi("miniguida_en.txt", "guide");
        banco.pulsante("cmdGuida")->click();
        QCOMPARE(
            banco.apri.aperti,
            QStringList({banco.cartella.file("miniguida.txt"),
                         banco.cartella.file(m_inglese ? "miniguida_en.txt" : "miniguida.txt")}));
    }

private:
    bool m_inglese = false;
};

QTEST_MAIN(TestLingua)
#include "tst_lingua.moc"
