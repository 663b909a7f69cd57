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
#include <QScopeGuard>
#include <QTest>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::ProcessoMaster;

// Real hashing and a loaded machine: generous, and never the usual end of a wait.
constexpr int kRispostaMs = 20000;

class TestE2eLogin : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void registraEntraEsce();
};

void TestE2eLogin::registraEntraEsce()
{
    Attesa::riprendi();
    ProcessoMaster master;
    QVERIFY(master.avvia());
    auto banco = std::make_unique<BancoLobby>(kRispostaMs);
    banco->scriviMasters(BancoLobby::rigaMaster("Locale", master.porta()));
    QFile::remove(banco->cartella.file("User.ini"));
    const auto registro = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qInfo("kalimo-master said:\n%s", qPrintable(master.registro()));
    });

    // First start: no account, so the registration window comes first.
    Module1& m = banco->modulo();
    QVERIFY(m.SubMain());
    frmNewUser* finestra = m.FrmNewUserEsistente();
    QVERIFY(finestra && finestra->isVisible());
    QVERIFY(!m.FrmClientEsistente());
    BancoLobby::figlio<QLineEdit>(finestra, "txtUserName")->setText(" Giulia ");
    for (const char* campo : {"txtPassword", "txtPassword2"})
        BancoLobby::figlio<QLineEdit>(finestra, campo)->setText("Pa55word");
    BancoLobby::figlio<QLineEdit>(finestra, "txtEmail")->setText("qualcuno@example.org");
    BancoLobby::figlio<QPushButton>(finestra, "cmdInvia")->click();
    QCOMPARE(finestra->lblStato()->text(), "Registrazione Eseguita");
    QCOMPARE(banco->dialoghi.testiMessaggi(), QStringList{"Registrazione eseguita correttamente"});
    QCOMPARE(banco->cartella.leggi("User.ini"),
             QByteArray("USERNAME : giulia\r\nPASSWORD : Pa55word\r\n"));
    QVERIFY(m.FrmClientEsistente() && m.FrmClientEsistente()->isVisible());

    banco->clicConnetti();
    QCOMPARE(banco->client()->lblStato()->text(), "Connessione al Master Eseguita");
    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(banco->dialoghi.messaggi.size(), 1);
    // The real master's login reply, read field by field.
    QCOMPARE((QStringList{m.VersioneMaster, QString::number(m.MaxUtentiStanza),
                          QString::number(m.MaxUtentiAudioStanza),
                          QString::number(m.MinutiRefreshBanner), m.UtenteCorrente.IPAddress}),
             (QStringList{"2.0b", "20", "5", "5", "127.0.0.1"}));
    QVERIFY(banco->client()->collegamentiVoce().InAscolto());
    // The master's own list comes back and is stored for the next start.
    const QByteArray lista = BancoLobby::rigaMaster("Locale", master.porta());
    QCOMPARE(banco->cartella.leggi("Masters.txt"), lista);
    QCOMPARE(banco->cartella.leggi("Masters.old.txt"), lista);

    banco->clicConnetti();
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(!banco->client()->collegamentiVoce().InAscolto());
    QCOMPARE(banco->pulsante("cmdConnettiti")->text(), "Connetti");
    // The master frees the nick: a new login is accepted.
    QVERIFY(
        QTest::qWaitFor([&] { return master.registro().contains("closed by the client"); }, 20000));
    banco->clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
}

QTEST_MAIN(TestE2eLogin)
#include "tst_e2e_login.moc"
