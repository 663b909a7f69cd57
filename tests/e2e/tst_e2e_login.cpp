#include "lobby/frmclient.h"
#include "lobby/frmnewuser.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/bancolobby.h"
#include "tests/support/processomaster.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::ProcessoMaster;

namespace {

// Real hashing and a loaded machine: generous, and never the usual end of a wait.
constexpr int kRispostaMs = 20000;

// A lobby whose only master is `master`, with the account `nick`/`password`
// (none when `nick` is empty: the registration window's case).
std::unique_ptr<BancoLobby> nuovaLobby(const ProcessoMaster& master, const QString& nick,
                                       const QString& password)
{
    auto banco = std::make_unique<BancoLobby>(kRispostaMs);
    banco->scriviMasters(BancoLobby::rigaMaster("Locale", master.porta()));
    if (nick.isEmpty())
        QFile::remove(banco->cartella.file("User.ini"));
    else
        banco->cartella.scrivi(
            "User.ini", ("USERNAME : " + nick + "\r\nPASSWORD : " + password + "\r\n").toUtf8());
    return banco;
}

// Registers through the registration window of a first start.
QString registra(BancoLobby& banco, const QString& nick, const QString& password, bool nuovo)
{
    Module1& m = banco.modulo();
    frmNewUser* finestra = m.FrmNewUser();
    finestra->show();
    BancoLobby::figlio<QLineEdit>(finestra, "txtUserName")->setText(nick);
    BancoLobby::figlio<QLineEdit>(finestra, "txtPassword")->setText(password);
    BancoLobby::figlio<QLineEdit>(finestra, "txtPassword2")->setText(password);
    BancoLobby::figlio<QLineEdit>(finestra, "txtEmail")->setText("qualcuno@example.org");
    BancoLobby::figlio<QRadioButton>(finestra, nuovo ? "optNU" : "optGR")->setChecked(true);
    BancoLobby::figlio<QPushButton>(finestra, "cmdInvia")->click();
    return finestra->lblStato()->text();
}

} // namespace

class TestE2eLogin : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void registraEntraEsce();
    void rifiuti();
    void controlliDelMaster();

private:
    std::unique_ptr<ProcessoMaster> m_master;
};

void TestE2eLogin::init()
{
    Attesa::riprendi();
    m_master = std::make_unique<ProcessoMaster>();
}

void TestE2eLogin::cleanup()
{
    if (QTest::currentTestFailed() && m_master)
        qInfo("kalimo-master said:\n%s", qPrintable(m_master->registro()));
    m_master.reset();
}

void TestE2eLogin::registraEntraEsce()
{
    QVERIFY(m_master->avvia());
    auto banco = nuovaLobby(*m_master, {}, {});

    // First start: no account, so the registration window comes first.
    Module1& m = banco->modulo();
    QVERIFY(m.SubMain());
    QVERIFY(m.FrmNewUserEsistente() && m.FrmNewUserEsistente()->isVisible());
    QVERIFY(!m.FrmClientEsistente());
    QCOMPARE(registra(*banco, " Giulia ", "Pa55word", true), "Registrazione Eseguita");
    QCOMPARE(banco->dialoghi.testiMessaggi(), QStringList{"Registrazione eseguita correttamente"});
    QCOMPARE(banco->cartella.leggi("User.ini"),
             QByteArray("USERNAME : giulia\r\nPASSWORD : Pa55word\r\n"));
    QVERIFY(m.FrmClientEsistente() && m.FrmClientEsistente()->isVisible());

    banco->clicConnetti();
    QCOMPARE(banco->client()->lblStato()->text(), "Connessione al Master Eseguita");
    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(banco->dialoghi.messaggi.size(), 1);
    QCOMPARE(m.VersioneMaster, "2.0b");
    QCOMPARE(m.MaxUtentiStanza, qint16(20));
    QCOMPARE(m.MaxUtentiAudioStanza, qint16(5));
    QCOMPARE(m.MinutiRefreshBanner, qint16(5));
    QCOMPARE(m.UtenteCorrente.IPAddress, "127.0.0.1");
    QVERIFY(banco->client()->collegamentiVoce().InAscolto());
    // The master's own list comes back and is stored for the next start.
    const QByteArray lista = BancoLobby::rigaMaster("Locale", m_master->porta());
    QCOMPARE(banco->cartella.leggi("Masters.txt"), lista);
    QCOMPARE(banco->cartella.leggi("Masters.old.txt"), lista);

    banco->clicConnetti();
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(!banco->client()->collegamentiVoce().InAscolto());
    QCOMPARE(banco->pulsante("cmdConnettiti")->text(), "Connetti");
    // The master frees the nick: a new login is accepted.
    QVERIFY(QTest::qWaitFor([&] { return m_master->registro().contains("closed by the client"); },
                            20000));
    banco->clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
}

// One account, every way the master refuses it.
void TestE2eLogin::rifiuti()
{
    QVERIFY(m_master->avvia());
    auto nuovo = nuovaLobby(*m_master, {}, {});
    QCOMPARE(registra(*nuovo, "bruno", "Giusta1", true), "Registrazione Eseguita");

    // A wrong password, and the right one in other letter case.
    for (const char* sbagliata : {"Sbagliata", "giusta1"}) {
        auto banco = nuovaLobby(*m_master, "bruno", sbagliata);
        banco->clicConnetti();
        QCOMPARE(banco->dialoghi.testiMessaggi(), QStringList{"Username o Password errati"});
        QVERIFY(!banco->modulo().ConnessoAlMaster);
        QCOMPARE(banco->pulsante("cmdConnettiti")->text(), "Connetti");
    }

    auto primo = nuovaLobby(*m_master, "bruno", "Giusta1");
    primo->clicConnetti();
    QVERIFY(primo->modulo().ConnessoAlMaster);
    auto secondo = nuovaLobby(*m_master, "bruno", "Giusta1");
    secondo->clicConnetti();
    QCOMPARE(secondo->dialoghi.testiMessaggi(),
             QStringList{"Il tuo username risulta gia' collegato. Attendere e rirpovare"});
    QCOMPARE(secondo->client()->lblStato()->text(),
             "Il tuo username risulta gia' collegato. Ritenta tra qualche minuto");
    QVERIFY(!secondo->modulo().ConnessoAlMaster);
    QVERIFY(primo->modulo().ConnessoAlMaster); // the first stays in

    auto doppio = nuovaLobby(*m_master, {}, {});
    QCOMPARE(registra(*doppio, "Bruno", "Altro99", true), "Esiste già un utente con questo nome");
    QVERIFY(!doppio->cartella.esiste("User.ini"));
    auto sbagliato = nuovaLobby(*m_master, {}, {});
    QCOMPARE(registra(*sbagliato, "bruno", "Altro99", false),
             "Nome utente o password non corretti");
    // The account on a second computer: confirmed and saved.
    auto altroComputer = nuovaLobby(*m_master, {}, {});
    QCOMPARE(registra(*altroComputer, "bruno", "Giusta1", false),
             "La registrazione e' stata effettuata correttamente");
    QCOMPARE(altroComputer->cartella.leggi("User.ini"),
             QByteArray("USERNAME : bruno\r\nPASSWORD : Giusta1\r\n"));
    QVERIFY(altroComputer->dialoghi.messaggi.isEmpty());
}

void TestE2eLogin::controlliDelMaster()
{
    // A lobby that left two checks unanswered would be dropped at the third tick: a second
    // between ticks is far beyond any stall of a loaded machine, and three pass below.
    QVERIFY(m_master->avvia({}, {"--check-interval-ms", "1000"}));
    auto nuovo = nuovaLobby(*m_master, {}, {});
    QCOMPARE(registra(*nuovo, "elena", "Segreto", true), "Registrazione Eseguita");
    auto banco = nuovaLobby(*m_master, "elena", "Segreto");
    banco->clicConnetti();
    QVERIFY(banco->modulo().ConnessoAlMaster);

    QTest::qWait(3500);
    QVERIFY(banco->modulo().ConnessoAlMaster);
    QVERIFY(!m_master->registro().contains("answer to an unknown check"));
}

QTEST_MAIN(TestE2eLogin)
#include "tst_e2e_login.moc"
