#include "lobby/frmclient.h"
#include "lobby/frmnewuser.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using test::BancoLobby;
using test::FakeMaster;
using test::RegistroEtichetta;

namespace {

QString t(const char* testo)
{
    return test::testoProtocollo(testo);
}

// The registration window of a first start (no User.ini), filled in.
struct Registrazione
{
    explicit Registrazione(BancoLobby& banco) : banco(banco)
    {
        QFile::remove(banco.cartella.file("User.ini"));
        finestra = banco.modulo().FrmNewUser();
        finestra->show();
        (void)QTest::qWaitForWindowExposed(finestra);
        QCoreApplication::processEvents();
        stato = std::make_unique<RegistroEtichetta>(finestra->lblStato());
        compila(" Mario ", "SeGreto", "SeGreto", " mario@x.it ");
    }

    void compila(const QString& utente, const QString& password, const QString& conferma,
                 const QString& email)
    {
        campo("txtUserName")->setText(utente);
        campo("txtPassword")->setText(password);
        campo("txtPassword2")->setText(conferma);
        campo("txtEmail")->setText(email);
    }
    QLineEdit* campo(const char* nome) { return BancoLobby::figlio<QLineEdit>(finestra, nome); }
    QPushButton* invia() { return BancoLobby::figlio<QPushButton>(finestra, "cmdInvia"); }

    BancoLobby& banco;
    QPointer<frmNewUser> finestra;
    std::unique_ptr<RegistroEtichetta> stato;
};

void eliminaFinestreChiuse()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestRegistrazione : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    void testoInviato_data();
    void testoInviato();
    void esiti_data();
    void esiti();
    void treMasterSoloIlTerzo();
    void nessunMasterRisponde();
    void listaVuota();
    void controlliPrimaDellInvio();
    void annullaDuranteLAttesa();
    void contactListCaricata();
    void salvataggioImpossibile();
};

void TestRegistrazione::testoInviato_data()
{
    QTest::addColumn<QString>("utente");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("nuovo");
    QTest::addColumn<QString>("testo");
    QTest::addColumn<QByteArray>("userIni");

    QTest::newRow("new user, name lower-cased, password case kept")
        << " Mario "
        << " SeGreto " << true << t("0010 ^ mario ^ mario ~ chiave9 ~ SeGreto ~ mario@x.it ~ -1 # ")
        << QByteArray("USERNAME : mario\r\nPASSWORD : SeGreto\r\n");
    QTest::newRow("already registered")
        << "anna"
        << "pw:con:due" << false
        << t("0010 ^ anna ^ anna ~ chiave9 ~ pw:con:due ~ "
             "mario@x.it ~ 0 # ")
        << QByteArray("USERNAME : anna\r\nPASSWORD : pw:con:due\r\n");
    QTest::newRow("framing characters typed are dropped")
        << QString("ma") + QChar(29) + "rio" << QString("Se") + QChar(31) + "Greto" << true
        << t("0010 ^ mario ^ mario ~ chiave9 ~ SeGreto ~ mario@x.it ~ -1 # ")
        << QByteArray("USERNAME : mario\r\nPASSWORD : SeGreto\r\n");
}

void TestRegistrazione::testoInviato()
{
    QFETCH(QString, utente);
    QFETCH(QString, password);
    QFETCH(bool, nuovo);
    QFETCH(QString, testo);
    QFETCH(QByteArray, userIni);

    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::rispondi(nuovo ? u"00001" : u"00005"));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta(), "chiave9"));
    Registrazione r(banco);
    r.compila(utente, password, password, " mario@x.it ");
    BancoLobby::figlio<QRadioButton>(r.finestra, nuovo ? "optNU" : "optGR")->setChecked(true);
    r.invia()->click();

    QCOMPARE(f.testi(), QStringList{testo});
    QCOMPARE(banco.cartella.leggi("User.ini"), userIni);
    const QFile::Permissions permessi = QFile::permissions(banco.cartella.file("User.ini"));
    QVERIFY(permessi & QFile::ReadOwner);
    QCOMPARE(permessi & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                         QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
    // The saved account reads back as the one in use.
    Module1& m = banco.modulo();
    const QString nick = m.UtenteCorrente.NickName;
    const QString pw = m.UtenteCorrente.Password;
    m.UtenteCorrente = Utente();
    QVERIFY(m.LeggiUserIni());
    QCOMPARE(m.UtenteCorrente.NickName, nick);
    QCOMPARE(m.UtenteCorrente.Password, pw);
}

void TestRegistrazione::esiti_data()
{
    QTest::addColumn<QString>("risposta"); // a code, "niente" or "chiudi"
    QTest::addColumn<QString>("stato");
    QTest::addColumn<bool>("messaggio");
    QTest::addColumn<bool>("socketChiuso");
    QTest::addColumn<bool>("salvato");

    const QString invio = "Invio dei dati in corso...";
    QTest::newRow("00001 registered") << "00001"
                                      << "Registrazione Eseguita" << true << false << true;
    QTest::newRow("00002 name taken")
        << "00002"
        << "Esiste già un utente con questo nome" << false << true << false;
    QTest::newRow("00003 unavailable") << "00003"
                                       << "Servizio di autenticazione non disponibile. Ripetere "
                                          "l'operazione in un secondo momento."
                                       << false << true << false;
    QTest::newRow("00004 refused")
        << "00004"
        << "Nome utente o password non corretti" << false << true << false;
    QTest::newRow("00005 already registered")
        << "00005"
        << "La registrazione e' stata effettuata correttamente" << false << true << true;
    QTest::newRow("unknown code") << "00009" << invio << false << false << false;
    QTest::newRow("no reply") << "niente" << invio << false << false << false;
    QTest::newRow("master closes") << "chiudi" << invio << false << true << false;
}

void TestRegistrazione::esiti()
{
    QFETCH(QString, risposta);
    QFETCH(QString, stato);
    QFETCH(bool, messaggio);
    QFETCH(bool, socketChiuso);
    QFETCH(bool, salvato);

    FakeMaster f;
    QVERIFY(f.ascolta());
    if (risposta == "niente")
        f.quando("0010", FakeMaster::niente());
    else if (risposta == "chiudi")
        f.quando("0010", FakeMaster::chiudi());
    else
        f.quando("0010", FakeMaster::rispondi(risposta));
    // 60 s where the close must end the wait; 100 ms where only a time-out can.
    BancoLobby banco(risposta == "chiudi" ? 60000 : 100);
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta()));
    Registrazione r(banco);
    r.invia()->click();

    QVERIFY(r.finestra);
    QCOMPARE(r.finestra->lblStato()->text(), stato);
    QCOMPARE(r.finestra->WSKNew.state() == QAbstractSocket::UnconnectedState, socketChiuso);
    if (messaggio) {
        QCOMPARE(banco.dialoghi.messaggi.size(), 1);
        QCOMPARE(banco.dialoghi.messaggi[0].testo, "Registrazione eseguita correttamente");
        QCOMPARE(banco.dialoghi.messaggi[0].titolo, "Kalimo 2.0b");
        QCOMPARE(banco.dialoghi.messaggi[0].icona, Icona::Informazione);
        QCOMPARE(banco.dialoghi.messaggi[0].pulsanti, Pulsanti::Ok);
    } else {
        QVERIFY(banco.dialoghi.messaggi.isEmpty());
    }
    QCOMPARE(banco.cartella.esiste("User.ini"), salvato);
    Module1& m = banco.modulo();
    frmClient* client = m.FrmClientEsistente();
    if (salvato) {
        QVERIFY(!r.finestra->isVisible());
        QVERIFY(client && client->isVisible());
        QCOMPARE(client->windowTitle(), "Kalimo 2.0b - (mario)");
        QCOMPARE(m.UtenteCorrente.NickName, "mario");
        QCOMPARE(m.UtenteCorrente.Password, "SeGreto");
        eliminaFinestreChiuse();
        QVERIFY(!r.finestra);
        // The registration socket goes with its window.
        QVERIFY(QTest::qWaitFor([&] { return f.connessioniAperte() == 0; }, 10000));
    } else {
        QVERIFY(r.finestra->isVisible());
        QVERIFY(r.invia()->isEnabled());
        QVERIFY(!client);
        QVERIFY(m.UtenteCorrente.NickName.isEmpty());
    }
}

void TestRegistrazione::treMasterSoloIlTerzo()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::rispondi(u"00001"));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Alfa", FakeMaster::portaChiusa()) +
                        BancoLobby::rigaMaster("Beta", FakeMaster::portaChiusa()) +
                        BancoLobby::rigaMaster("Gamma", f.porta()));
    Registrazione r(banco);
    r.invia()->click();

    QCOMPARE(
        r.stato->testi,
        QStringList({"", "In Connessione al master: Alfa", "Impossibile contattare il master: Alfa",
                     "In Connessione al master: Beta", "Impossibile contattare il master: Beta",
                     "In Connessione al master: Gamma", "Connesso al master: Gamma",
                     "Invio dei dati in corso...", "Registrazione Eseguita"}));
    QCOMPARE(f.codici(), QStringList{"0010"});
    QVERIFY(banco.cartella.esiste("User.ini"));
}

void TestRegistrazione::nessunMasterRisponde()
{
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Alfa", FakeMaster::portaChiusa()) +
                        BancoLobby::rigaMaster("Beta", FakeMaster::portaChiusa()));
    Registrazione r(banco);
    r.invia()->click();

    QCOMPARE(r.finestra->lblStato()->text(), "Impossibile contattare il master: Beta");
    QVERIFY(!r.invia()->isEnabled());
    QVERIFY(r.finestra->isVisible());
    QVERIFY(!banco.cartella.esiste("User.ini"));
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestRegistrazione::listaVuota()
{
    BancoLobby banco;
    banco.scriviMasters("\r\n");
    Registrazione r(banco);
    QCOMPARE(banco.modulo().ListaMaster.UBound(), 0);
    r.invia()->click();
    QCOMPARE(r.finestra->lblStato()->text(),
             "Servizio non disponibile; Nessuno dei server ha risposto alla connessione.");
    QVERIFY(!banco.cartella.esiste("User.ini"));
}

void TestRegistrazione::controlliPrimaDellInvio()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::rispondi(u"00002"));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta()));
    Registrazione r(banco);

    // Each rule in turn; nothing reaches the master until all pass.
    r.compila("ab", "x", "y", "");
    r.invia()->click();
    QCOMPARE(r.finestra->lblStato()->text(), "Indicare una username di almeno 3 caratteri");
    r.compila("mario", "xy", "xy", "");
    r.invia()->click();
    QCOMPARE(r.finestra->lblStato()->text(), "Indicare una password di almeno 3 caratteri");
    r.compila("mario", "Segreto", "segreto", "");
    r.invia()->click();
    QCOMPARE(r.finestra->lblStato()->text(), "Le password inserite non coincidono");
    r.compila("mario", "Segreto", "Segreto", "m@rio.it ");
    r.invia()->click();
    QCOMPARE(r.finestra->lblStato()->text(), "Inserire una email");
    QCOMPARE(f.connessioni(), 0);

    // Ten characters pass.
    r.compila("mario", "Segreto", "Segreto", "mario@x.it");
    r.invia()->click();
    QCOMPARE(f.codici(), QStringList{"0010"});
    QCOMPARE(r.finestra->lblStato()->text(), "Esiste già un utente con questo nome");

    // After a refusal the user corrects the name and sends again.
    f.quando("0010", FakeMaster::rispondi(u"00001"));
    r.compila("mario2", "Segreto", "Segreto", "mario@x.it");
    r.invia()->click();
    QCOMPARE(f.codici(), QStringList({"0010", "0010"}));
    QCOMPARE(f.richieste().last().utente, "mario2");
    QCOMPARE(banco.cartella.leggi("User.ini"),
             QByteArray("USERNAME : mario2\r\nPASSWORD : Segreto\r\n"));
}

void TestRegistrazione::annullaDuranteLAttesa()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::niente());
    BancoLobby banco(60000);
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta()));
    Registrazione r(banco);
    f.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
        QTimer::singleShot(0, [&] {
            BancoLobby::figlio<QPushButton>(r.finestra, "cmdEsci")->click();
            // A late reply no longer counts.
            f.invia(FakeMaster::messaggio(u"00001"));
        });
    };
    r.invia()->click();

    QVERIFY(r.finestra.isNull() || !r.finestra->isVisible());
    eliminaFinestreChiuse();
    QVERIFY(r.finestra.isNull());
    QVERIFY(!banco.cartella.esiste("User.ini"));
    QVERIFY(!banco.modulo().FrmClientEsistente());
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestRegistrazione::contactListCaricata()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::rispondi(u"00005"));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta()));
    banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
    Registrazione r(banco);
    Module1& m = banco.modulo();
    QCOMPARE(m.ContactList.UBound(), 0);
    r.invia()->click();

    // The list in the folder is in use, so a later rewrite keeps it.
    QCOMPARE(m.ContactList.UBound(), 2);
    QCOMPARE(m.ContactList[2].NickName, "bruno");
    QVERIFY(m.EliminaDaContactList("anna"));
    QCOMPARE(banco.cartella.leggi("CntLst.klm"), QByteArray("bruno\r\n"));
}

void TestRegistrazione::salvataggioImpossibile()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0010", FakeMaster::rispondi(u"00005"));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta()));
    Registrazione r(banco);
    test::CartellaBloccata blocco(banco.cartella.percorso());
    if (!blocco.attiva())
        QSKIP("this system cannot make a folder refuse files");
    r.invia()->click();

    QCOMPARE(banco.dialoghi.testiMessaggi(),
             QStringList{"Impossibile salvare le impostazioni nel file User.ini"});
    QCOMPARE(banco.dialoghi.messaggi[0].icona, Icona::Critica);
    // The account exists on the master: this session goes on with it.
    QCOMPARE(banco.modulo().UtenteCorrente.NickName, "mario");
    QVERIFY(banco.modulo().FrmClientEsistente());
    QVERIFY(banco.modulo().FrmClientEsistente()->isVisible());
}

QTEST_MAIN(TestRegistrazione)
#include "tst_registrazione.moc"
