#include "lobby/frmlistastanze.h"
#include "lobby/frmlistautenti.h"
#include "lobby/frmlogin.h"
#include "lobby/frmnewuser.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/frmsplash.h"
#include "platform/desktop/lingua.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "tests/support/bancolobby.h"
#include "tests/support/bancovoce.h"
#include "tests/support/didascalie.h"
#include "tests/support/fakemaster.h"
#include "voice/frmchat.h"
#include "voice/frmimpostaaudio.h"

#include <QTableWidget>
#include <QTemporaryDir>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::FakeMaster;

namespace {

// The columns of `tabella` narrower than Qt's own measure of their widest cell; column 0 is
// hidden on purpose.
QList<int> colonneStrette(QTableWidget* tabella)
{
    QList<int> strette;
    for (int c = 1; c < tabella->columnCount(); ++c) {
        if (static_cast<QAbstractItemView*>(tabella)->sizeHintForColumn(c) >
            tabella->columnWidth(c))
            strette << c;
    }
    return strette;
}

} // namespace

// The windows of the lobby and of the voice client in the system locale's language. CTest runs
// this three times: LANG=en_US.UTF-8 (English), LANG=it_IT.UTF-8 and no LANG (Italian, the
// texts exactly as they are written).
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
        QTest::newRow("en_GB") << QStringList{"en_GB"} << "en";
        QTest::newRow("it first") << QStringList{"it-IT", "en-US"} << "it";
        QTest::newRow("none") << QStringList{} << "it";
        QTest::newRow("eo is not en") << QStringList{"eo"} << "it";
    }
    void linguaPer()
    {
        QFETCH(QStringList, lingue);
        QTEST(kalimo::linguaPer(lingue), "attesa");
    }

    void finestraPrincipale()
    {
        BancoLobby banco;
        QCOMPARE(banco.client()->lblStato()->text(),
                 m_inglese ? "Not Connected.\nClick 'Connect' to enter the service."
                           : "Non Connesso.\nClicca su 'Connetti' per entrare nel servizio.");
        // The help text in the windows' language, the Italian one when there is no other.
        banco.cartella.scrivi("miniguida.txt", "guida");
        banco.pulsante("cmdGuida")->click();
        banco.cartella.scrivi("miniguida_en.txt", "guide");
        banco.pulsante("cmdGuida")->click();
        QCOMPARE(
            banco.apri.aperti,
            QStringList({banco.cartella.file("miniguida.txt"),
                         banco.cartella.file(m_inglese ? "miniguida_en.txt" : "miniguida.txt")}));
    }

    // Every caption and grid cell shows whole; a window may grow for a longer text.
    void testiInteri()
    {
        BancoLobby banco;
        Module1& m = banco.modulo();
        const QList<QWidget*> finestre{m.FrmClient(),     m.FrmSplash(),      m.FrmLogin(),
                                       m.FrmNewUser(),    m.FrmListaStanze(), m.FrmListaUtenti(),
                                       m.FrmNuovaStanza()};
        for (QWidget* w : finestre) {
            QCOMPARE(test::testiTagliati(w), QStringList());
            w->hide();
        }
        m.FrmListaStanze()->griglia().aggiungiRiga("\tPiazza del Popolo\t20 / 20\tana\t");
        m.FrmListaUtenti()->griglia().aggiungiRiga(
            "\tbeatrice\t" + QCoreApplication::translate("kalimo::frmListaUtenti", "Non Connesso"));
        for (QWidget* lista : QList<QWidget*>{m.FrmListaStanze(), m.FrmListaUtenti()})
            QCOMPARE(colonneStrette(lista->findChild<QTableWidget*>()), QList<int>());
    }

    // The same for the voice client: room window with a two-member grid, chats, audio set-up.
    void testiInteriVoce()
    {
        test::Banco b;
        QVERIFY(b.avvia());
        b.arriva("0002 ^ Ana ~ 3 | 0002 ^ Massimiliano_99 ~ 7 | 0004 ^ 7 ~ true |");
        b.f().chat().ApriChatPubblica();
        b.f().chat().ApriChatPrivata("Massimiliano_99");
        QTemporaryDir cartella;
        SyntheticAudioBackend backend;
        voce::frmImpostaAudio audio(backend, AudioSettings::atFile(cartella.filePath("a.ini")),
                                    b.dialoghi);
        for (QWidget* w : QList<QWidget*>{&b.f(), b.f().chat().ChatPubblica(),
                                          b.f().chat().ChatPrivata("Massimiliano_99"), &audio})
            QCOMPARE(w ? test::testiTagliati(w) : QStringList("(none)"), QStringList());
        QCOMPARE(b.w<QTableWidget>("grdUtenti")->rowCount(), 3);
        QCOMPARE(colonneStrette(b.w<QTableWidget>("grdUtenti")), QList<int>());
    }

    // A refusal's box and the caption after it, in the windows' language.
    void rifiuto()
    {
        FakeMaster master;
        QVERIFY(master.ascolta());
        master.quando("0001", FakeMaster::rispondi(u"00002"));
        BancoLobby banco;
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", master.porta()));
        banco.clicConnetti();
        QCOMPARE(banco.dialoghi.avvisi(), QStringList({m_inglese ? "Wrong Username or Password"
                                                                 : "Username o Password errati",
                                                       "Kalimo 2.0b", "Informazione Ok"}));
        QCOMPARE(banco.pulsante("cmdConnettiti")->text(), m_inglese ? "Connect" : "Connetti");
    }

private:
    bool m_inglese = false;
};

QTEST_MAIN(TestLingua)
#include "tst_lingua.moc"
