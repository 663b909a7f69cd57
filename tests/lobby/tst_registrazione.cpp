#include "lobby/frmnewuser.h"
#include "tests/support/bancolobby.h"
#include "tests/support/certificato.h"
#include "tests/support/fakemaster.h"

#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::FakeMaster;

namespace {

// A first start (no User.ini) with the registration window filled in, against one scripted master
// listed after `primi`.
struct Scena
{
    Scena(const FakeMaster::Azione& risposta, int rispostaMs = 300, const QByteArray& primi = {})
        : banco(rispostaMs)
    {
        const bool ok = f.ascolta();
        f.quando("0010", risposta);
        banco.scriviMasters(primi + BancoLobby::rigaMaster("Unico", f.porta(), "chiave9"));
        QFile::remove(banco.cartella.file("User.ini"));
        finestra = banco.modulo().FrmNewUser();
        finestra->show();
        (void)QTest::qWaitForWindowExposed(finestra);
        QCoreApplication::processEvents();
        stato = std::make_unique<test::RegistroEtichetta>(finestra->lblStato());
        compila(" Mario ", "SeGreto", "SeGreto", " mario@x.it ");
        QVERIFY(ok);
    }
    void compila(const QString& utente, const QString& pw, const QString& pw2, const QString& email)
    {
        BancoLobby::figlio<QLineEdit>(finestra, "txtUserName")->setText(utente);
        BancoLobby::figlio<QLineEdit>(finestra, "txtPassword")->setText(pw);
        BancoLobby::figlio<QLineEdit>(finestra, "txtPassword2")->setText(pw2);
        BancoLobby::figlio<QLineEdit>(finestra, "txtEmail")->setText(email);
    }
    QPushButton* invia() { return BancoLobby::figlio<QPushButton>(finestra, "cmdInvia"); }
    QString testo() const { return finestra->lblStato()->text(); }
    QByteArray ini() { return banco.cartella.leggi("User.ini"); }

    FakeMaster f;
    BancoLobby banco;
    QPointer<frmNewUser> finestra;
    std::unique_ptr<test::RegistroEtichetta> stato;
};

void eliminaFinestreChiuse()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
QStringList conto(const Utente& u)
{
    return {u.NickName, u.Password};
}

} // namespace

class TestRegistrazione : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    void testoInviato_data()
    {
        QTest::addColumn<QString>("utente");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("nuovo");
        QTest::addColumn<QString>("testo");
        QTest::addColumn<QByteArray>("ini");
        const QString mario = "0010 ^ mario ^ mario ~ chiave9 ~ SeGreto ~ mario@x.it ~ -1 | ";
        const QByteArray iniMario("USERNAME : mario\r\nPASSWORD : SeGreto\r\n");
        const auto riga = [](const char* nome, const QString& utente, const QString& password,
                             bool nuovo, const QString& testo, const QByteArray& ini) {
            QTest::newRow(nome) << utente << password << nuovo << testo << ini;
        };
        riga("new user", " Mario ", " SeGreto ", true, mario, iniMario);
        riga("registered", "anna", "pw:con:due", false,
             "0010 ^ anna ^ anna ~ chiave9 ~ pw:con:due ~ mario@x.it ~ 0 | ",
             "USERNAME : anna\r\nPASSWORD : pw:con:due\r\n");
        // Framing characters typed are dropped.
        riga("framing typed", QString("ma") + SEP1 + "rio", QString("Se") + SEP3 + "Greto", true,
             mario, iniMario);
    }

    void testoInviato()
    {
        QFETCH(QString, password);
        QFETCH(bool, nuovo);
        Scena s(FakeMaster::rispondi(nuovo ? u"00001" : u"00005"));
        QFETCH(QString, utente);
        s.compila(utente, password, password, " mario@x.it ");
        BancoLobby::figlio<QRadioButton>(s.finestra, nuovo ? "optNU" : "optGR")->setChecked(true);
        s.invia()->click();
        QFETCH(QString, testo);
        QCOMPARE(s.f.testi(), QStringList{test::wire(testo)});
        QTEST(s.ini(), "ini");
        const QFile::Permissions permessi = QFile::permissions(s.banco.cartella.file("User.ini"));
        QVERIFY(permessi & QFile::ReadOwner);
        QCOMPARE(permessi & 0x0077, QFile::Permissions()); // nothing for group and others
        // The saved account reads back as the one in use.
        Module1& m = s.banco.modulo();
        const Utente usato = m.UtenteCorrente;
        m.UtenteCorrente = Utente();
        QVERIFY(m.LeggiUserIni());
        QCOMPARE(conto(m.UtenteCorrente), conto(usato));
    }

    void esiti_data()
    {
        QTest::addColumn<QString>("risposta"); // a code, "niente" or "chiudi"
        QTest::addColumn<QString>("stato");
        QTest::addColumn<bool>("socketChiuso");
        const QString invio = "Invio dei dati in corso...";
        const auto riga = [](const char* nome, const char* risposta, const QString& stato,
                             bool chiuso) {
            QTest::newRow(nome) << QString(risposta) << stato << chiuso;
        };
        riga("00001", "00001", "Registrazione Eseguita", false);
        riga("00002", "00002", "Esiste già un utente con questo nome", true);
        riga("00003", "00003",
             "Servizio di autenticazione non disponibile. Ripetere l'operazione in un secondo "
             "momento.",
             true);
        riga("00004", "00004", "Nome utente o password non corretti", true);
        riga("00005", "00005", "La registrazione e' stata effettuata correttamente", true);
        riga("unknown code", "00009", invio, false);
        riga("no reply", "niente", invio, false);
        riga("master closes", "chiudi", invio, true);
    }

    void esiti()
    {
        QFETCH(QString, risposta);
        const bool salvato = risposta == "00001" || risposta == "00005";
        // 60 s where the close must end the wait; 100 ms where only a time-out can.
        Scena s(risposta == "niente"   ? FakeMaster::niente()
                : risposta == "chiudi" ? FakeMaster::chiudi()
                                       : FakeMaster::rispondi(risposta),
                risposta == "chiudi" ? 60000 : 100);
        s.invia()->click();

        QVERIFY(s.finestra);
        QTEST(s.testo(), "stato");
        QTEST(!s.banco.modulo().registrazione().connesso(), "socketChiuso");
        QCOMPARE(s.banco.cartella.esiste("User.ini"), salvato);
        Module1& m = s.banco.modulo();
        frmClient* client = m.FrmClientEsistente();
        QCOMPARE(s.banco.dialoghi.avvisi(),
                 risposta == "00001" ? QStringList({"Registrazione eseguita correttamente",
                                                    "Kalimo 2.0b", "Informazione Ok"})
                                     : QStringList());
        if (!salvato) {
            QVERIFY(s.finestra->isVisible() && s.invia()->isEnabled());
            QVERIFY(!client);
            QVERIFY(m.UtenteCorrente.NickName.isEmpty());
            return;
        }
        QVERIFY(!s.finestra->isVisible());
        QVERIFY(client && client->isVisible());
        QCOMPARE(client->windowTitle(), "Kalimo 2.0b - (mario)");
        QCOMPARE(conto(m.UtenteCorrente), QStringList({"mario", "SeGreto"}));
        eliminaFinestreChiuse();
        QVERIFY(!s.finestra);
        // The registration socket goes with its window.
        QVERIFY(QTest::qWaitFor([&] { return s.f.connessioniAperte() == 0; }, 10000));
    }

    // Closed masters and a TLS one whose certificate is not the pinned one are skipped.
    void master()
    {
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        FakeMaster t;
        QVERIFY(t.ascoltaTls(cert.server()));
        t.quando("0010", FakeMaster::rispondi(u"00001"));
        const QByteArray campo = "tls:" + QByteArray::number(t.porta()) + ":sha256=";
        const QByteArray chiusa = QByteArray::number(FakeMaster::portaChiusa());
        Scena s(FakeMaster::niente(), 300,
                "Alfa | 127.0.0.1 | " + chiusa + " | k\r\nGamma | 127.0.0.1 | " + chiusa +
                    " | k | " + campo + QByteArray(64, '0') + "\r\nDelta | 127.0.0.1 | " + chiusa +
                    " | k | " + campo + cert.improntaHex().toLatin1() + "\r\n");
        s.invia()->click();
        QCOMPARE(s.stato->testi,
                 QStringList({"", "In Connessione al master: Alfa",
                              "Impossibile contattare il master: Alfa",
                              "In Connessione al master: Gamma",
                              "Impossibile contattare il master: Gamma (il certificato non "
                              "corrisponde all'impronta indicata)",
                              "In Connessione al master: Delta", "Connesso al master: Delta",
                              "Invio dei dati in corso...", "Registrazione Eseguita"}));
        QCOMPARE(t.codici(), QStringList{"0010"});
        QVERIFY(s.f.codici().isEmpty());
    }

    void nessunMaster_data()
    {
        QTest::addColumn<QByteArray>("lista");
        QTest::addColumn<QString>("testo");
        QTest::newRow("all closed") << BancoLobby::rigaMaster("Alfa", FakeMaster::portaChiusa()) +
                                           BancoLobby::rigaMaster("Beta", FakeMaster::portaChiusa())
                                    << "Impossibile contattare il master: Beta";
        QTest::newRow("empty list")
            << QByteArray("\r\n")
            << "Servizio non disponibile; Nessuno dei server ha risposto alla connessione.";
    }
    void nessunMaster()
    {
        QFETCH(QByteArray, lista);
        Scena n(FakeMaster::niente());
        n.banco.scriviMasters(lista);
        n.banco.modulo().CaricaMasters();
        QCOMPARE(n.banco.modulo().ListaMaster.UBound(), lista.size() > 2 ? 2 : 0);
        n.invia()->click();
        QTEST(n.testo(), "testo");
        QVERIFY(n.finestra->isVisible() && !n.banco.cartella.esiste("User.ini"));
        QVERIFY(lista.size() <= 2 || !n.invia()->isEnabled());
        QVERIFY(n.banco.dialoghi.messaggi.isEmpty());
    }

    void controlliPrimaDellInvio()
    {
        Scena s(FakeMaster::rispondi(u"00002"));
        // Each rule in turn; nothing reaches the master until all pass, and ten characters of email
        // do.
        const QList<QStringList> casi{
            {" ab ", "x", "y", "", "Indicare una username di almeno 3 caratteri"},
            {"mario", "Segreto", " Segreto ", "a@b.it", "Inserire una email"},
            {"mario", " xy ", " xy ", "mario@x.it", "Indicare una password di almeno 3 caratteri"},
            {"mario", "Segreto", "segreto", "", "Le password inserite non coincidono"},
            {"mario", "Segreto", "Segreto", "m@rio.it ", "Inserire una email"},
            {"mario", "Segreto", "Segreto", "mario@x.it", "Esiste già un utente con questo nome"}};
        for (const QStringList& c : casi) {
            s.compila(c[0], c[1], c[2], c[3]);
            s.invia()->click();
            QCOMPARE(s.testo(), c[4]);
            QCOMPARE(s.f.codici().size(), c == casi.last() ? 1 : 0);
            QVERIFY(s.finestra->isVisible() && s.invia()->isEnabled());
            QVERIFY(s.banco.dialoghi.messaggi.isEmpty() && !s.banco.cartella.esiste("User.ini"));
        }
        // After a refusal the user corrects the name and sends again.
        s.f.quando("0010", FakeMaster::rispondi(u"00001"));
        s.compila("mario2", "Segreto", "Segreto", "mario@x.it");
        s.invia()->click();
        QCOMPARE(s.f.codici(), QStringList({"0010", "0010"}));
        QCOMPARE(s.f.richieste().last().utente, "mario2");
        QCOMPARE(s.ini(), QByteArray("USERNAME : mario2\r\nPASSWORD : Segreto\r\n"));
    }

    void annullaDuranteLAttesa()
    {
        Scena s(FakeMaster::niente(), 60000);
        s.f.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
            QTimer::singleShot(0, [&] {
                BancoLobby::figlio<QPushButton>(s.finestra, "cmdEsci")->click();
                s.f.invia(FakeMaster::messaggio(u"00001")); // too late to count
            });
        };
        s.invia()->click();
        QVERIFY(s.finestra.isNull() || !s.finestra->isVisible());
        eliminaFinestreChiuse();
        QVERIFY(s.finestra.isNull());
        QVERIFY(!s.banco.cartella.esiste("User.ini"));
        QVERIFY(!s.banco.modulo().FrmClientEsistente());
        QVERIFY(s.banco.dialoghi.messaggi.isEmpty());
    }

    void fileDellaCartella()
    {
        Scena s(FakeMaster::rispondi(u"00005"));
        Module1& m = s.banco.modulo();
        s.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
        QCOMPARE(m.ContactList.UBound(), 0);
        {
            test::CartellaBloccata blocco(s.banco.cartella.percorso());
            if (!blocco.attiva())
                QSKIP("this system cannot make a folder refuse files");
            s.invia()->click();
        }
        QCOMPARE(s.banco.dialoghi.avvisi(),
                 QStringList({"Impossibile salvare le impostazioni nel file User.ini",
                              "Kalimo 2.0b", "Critica Ok"}));
        // The account exists on the master: this session goes on with it.
        QCOMPARE(m.UtenteCorrente.NickName, "mario");
        QVERIFY(m.FrmClientEsistente() && m.FrmClientEsistente()->isVisible());
        // The contact list in the folder is in use, so a later rewrite keeps it.
        QCOMPARE(m.ContactList.UBound(), 2);
        QVERIFY(m.EliminaDaContactList("anna"));
        QCOMPARE(s.banco.cartella.leggi("CntLst.klm"), QByteArray("bruno\r\n"));
    }
};

QTEST_MAIN(TestRegistrazione)
#include "tst_registrazione.moc"
