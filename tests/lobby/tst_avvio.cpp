#include "lobby/cartellaprogramma.h"
#include "lobby/frmlogin.h"
#include "lobby/frmnewuser.h"
#include "lobby/frmsplash.h"
#include "tests/support/bancolobby.h"

#include <QLineEdit>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

namespace {

const QByteArray kMasters = "Locale | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
const QByteArray kUserIni = "USERNAME : mario\r\nPASSWORD : Segreto\r\n";

// The lobby before Sub Main over a program folder with an account (`vuota`: no file at all), its
// files not read yet; a splash stays `splash` ms.
struct Banco : BancoLobby
{
    explicit Banco(int splash = 3600000, bool vuota = false)
    {
        intervalli.splash = splash;
        leggiFile = false;
        if (vuota) {
            poni("User.ini", "-");
            poni("Masters.txt", "-");
        }
    }
    void poni(const QString& nome, const QByteArray& dati)
    {
        if (dati == "-")
            QFile::remove(cartella.file(nome));
        else
            QVERIFY(cartella.scrivi(nome, dati));
    }
    QByteArray file(const QString& n) { return cartella.esiste(n) ? cartella.leggi(n) : "-"; }
    static QLineEdit* campo(QWidget* f, const char* n) { return figlio<QLineEdit>(f, n); }
    static void clic(QWidget* f, const char* n) { figlio<QPushButton>(f, n)->click(); }
};

const QString kRecupero = "Impossibile Trovare il file Masters.txt \n"
                          "Tentativo di recupero della configurazione precedente";
const QString kCorrotto = "Il file Masters.txt risulta corrotto";

// A master list and its backup ("-" missing) loaded: the outcome, the first master, the box, the
// files after ("=" unchanged).
struct CasoMasters
{
    const char* nome;
    QByteArray masters, backup;
    bool esito;
    QString primo, messaggio;
    QByteArray mastersDopo, backupDopo;
};

// The lobby over an empty program folder.
struct BancoFile : Banco
{
    BancoFile() : Banco(3600000, true) {}
    Module1& m = modulo();
    QStringList nomi()
    {
        QStringList n;
        for (const ContactRecord& c : m.ContactList)
            n << c.NickName + (c.Stato == kVero ? "*" : "");
        return n;
    }
};

} // namespace
Q_DECLARE_METATYPE(CasoMasters)

class TestAvvio : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }
    void cleanup() { eliminaFinestreChiuse(); }

    void avvio_data()
    {
        QTest::addColumn<QByteArray>("userIni"); // "-" missing
        QTest::addColumn<QByteArray>("masters");
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<QString>("finestra"); // title of the one window shown
        QTest::addColumn<QStringList>("messaggi");
        const QString recupero = kRecupero, critico = "Critica Ok";
        const QByteArray no = "-";
        QTest::newRow("no account")
            << no << kMasters << no << "Attivazione del servizio" << QStringList();
        QTest::newRow("no user name") << QByteArray("PASSWORD : x\r\n") << kMasters << no
                                      << "Kalimo 2.0b - ()" << QStringList();
        QTest::newRow("masters recovered") << kUserIni << no << kMasters << "Kalimo 2.0b - (mario)"
                                           << QStringList({recupero, "Attenzione", critico});
        QTest::newRow("no masters")
            << kUserIni << no << no << ""
            << QStringList({recupero, "Attenzione", critico,
                            "Il Programma non pùo proseguire l'esecuzione", "Attenzione", critico});
    }

    void avvio()
    {
        QFETCH(QByteArray, userIni);
        QFETCH(QByteArray, masters);
        QFETCH(QByteArray, backup);
        QFETCH(QString, finestra);
        // A splash would wait for an hour where none must show: the test would never end.
        Banco b(finestra.startsWith("Kalimo") ? 1 : 3600000);
        b.poni("User.ini", userIni);
        b.poni("Masters.txt", masters);
        b.poni("Masters.old.txt", backup);
        b.cartella.scrivi("CntLst.klm", "anna\r\n");
        Module1& m = b.modulo();
        QCOMPARE(m.SubMain(), !finestra.isEmpty());
        QTEST(b.dialoghi.avvisi(), "messaggi");
        QStringList aperte;
        for (QWidget* w : {(QWidget*)m.FrmSplashEsistente(), (QWidget*)m.FrmClientEsistente(),
                           (QWidget*)m.FrmNewUserEsistente()})
            if (w && w->isVisible())
                aperte << w->windowTitle();
        QCOMPARE(aperte, finestra.isEmpty() ? QStringList() : QStringList{finestra});
        QCOMPARE(m.programmaTerminato(), finestra.isEmpty());
        QCOMPARE(b.uscite, finestra.isEmpty() ? 1 : 0);
        if (backup != "-")
            QCOMPARE(b.cartella.leggi("Masters.txt"), backup);
        // Contacts belong to an account, read before the main window shows.
        if (userIni == "-" || finestra.startsWith("Kalimo"))
            QCOMPARE(m.ContactList.UBound(), userIni == "-" ? 0 : 1);
    }

    void client()
    {
        Banco b;
        Module1& m = b.modulo();
        QVERIFY(m.LeggiUserIni());
        frmClient* client = m.FrmClient();
        client->show();
        // Esci unwinds a wait that is running when it is clicked.
        auto* chat = new QWidget;
        chat->show();
        m.FinestreChat.aggiungi(chat);
        QTimer::singleShot(0, [&] { b.clic(client, "cmdEsci"); });
        QCOMPARE(Attesa::finche({[] { return false; }}), Attesa::kInterrotta);
        QVERIFY(m.programmaTerminato());
        QCOMPARE(b.uscite, 1);
        QVERIFY(!chat->isVisible());
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void login_data()
    {
        QTest::addColumn<QString>("utente");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("conferma");
        QTest::addColumn<QString>("errore");
        QTest::addColumn<QByteArray>("file");
        const QString corta = "Inserire una %1 di almeno 3 caratteri alfanumerici";
        QTest::newRow("answer No") << "luigi" << QString("nuova") << false << QString() << kUserIni;
        QTest::newRow("short user name, checked first")
            << " ab " << QString("x") << true << corta.arg("UserName") << kUserIni;
        QTest::newRow("lower-cased and trimmed")
            << "  MaRio Rossi " << QString(" PwD:1 ") << true << QString()
            << QByteArray("USERNAME : mario rossi\r\nPASSWORD : PwD:1\r\n");
    }

    void login()
    {
        QFETCH(QString, utente);
        QFETCH(QString, password);
        QFETCH(bool, conferma);
        QFETCH(QString, errore);
        Banco b;
        Module1& m = b.modulo();
        QVERIFY(m.LeggiUserIni());
        QPointer<frmLogin> login = m.FrmLogin();
        login->show();
        b.campo(login, "txtUserName")->setText(utente);
        b.campo(login, "txtPassword")->setText(password);
        b.dialoghi.risposte.enqueue(conferma ? Risposta::Si : Risposta::No);
        b.clic(login, "cmdSalva");
        QStringList attesi{"Salvare le impostazioni correnti?", "Salvataggio", "Informazione SiNo"};
        if (!errore.isEmpty())
            attesi += {errore, "Informazione", "Critica Ok"};
        QCOMPARE(b.dialoghi.avvisi(), attesi);
        QTEST(b.cartella.leggi("User.ini"), "file");
        // Nothing typed is lost until it is saved; the account in use changes only then.
        const bool salvato = conferma && errore.isEmpty();
        QCOMPARE(login->isVisible(), !salvato);
        const QStringList usato{m.UtenteCorrente.NickName, m.UtenteCorrente.Password};
        if (!salvato) {
            QCOMPARE(b.campo(login, "txtUserName")->text(), utente);
            QCOMPARE(usato, QStringList({"mario", "Segreto"}));
            return;
        }
        QCOMPARE(usato, QStringList({utente.trimmed().toLower(), password.trimmed()}));
        eliminaFinestreChiuse();
        QVERIFY(!login);
    }

    void masters_data()
    {
        QTest::addColumn<CasoMasters>("c");
        const QByteArray buono = "Buono | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
        const QByteArray enorme = QByteArray("Master | 127.0.0.1 | 7070 | kalimo\r\n")
                                      .repeated(Module1::kDimensioneMassimaFile / 36 + 1);
        const QByteArray pin(32, '\xab');
        const QByteArray tre = "  Uno |  host.example |7070|chiave uno  \r\n\r\n   \r\n"
                               "Due|10.0.0.1|65000|k2|quinto campo|sesto\r\n"
                               "Tre|h|1|k| TLS:7443:SHA256=" +
                               pin.toHex(':').toUpper() + "\r\n";
        const QByteArray treScritti = "Uno | host.example | 7070 | chiave uno\r\n\r\n"
                                      "Due | 10.0.0.1 | 65000 | k2\r\n\r\n"
                                      "Tre | h | 1 | k | tls:7443:sha256=" +
                                      pin.toHex() + "\r\n\r\n";
        const QList<CasoMasters> righe{
            // Loading writes the backup from what it read.
            {"blanks, extra fields, TLS", tre, "-", true, "Uno", "", "=", treScritti},
            {"line feeds only", "a|b|1|c\nd|e|2|f\n", "-", true, "a", "", "=",
             "a | b | 1 | c\r\n\r\nd | e | 2 | f\r\n\r\n"},
            {"empty file", "", "-", true, "", "", "=", ""},
            {"largest port", "a|b|65535|c\r\n", "-", true, "a", "", "=",
             "a | b | 65535 | c\r\n\r\n"},
            {"three fields", "a|b|1|c\r\nx|y|2\r\n", buono, false, "", kCorrotto, "=", "="},
            // A TLS field that does not read must not fall back to plain.
            {"bad TLS field", "a|b|1|c|tls:7443:sha256=12\r\n", buono, false, "", kCorrotto, "=",
             "="},
            {"port too large", "a|b|65536|c\r\n", "-", false, "", "", "=", "-"},
            {"too large a file", enorme, buono, false, "", kCorrotto, "=", "="},
            // Written by an 8-bit program: read as Latin-1, written back in UTF-8.
            {"Latin-1",
             "Caff\xe8 | h\xf6st | 1 | ch\xee"
             "ave\r\n",
             "-", true, "Caffè", "", "=", QString("Caffè | höst | 1 | chîave\r\n\r\n").toUtf8()},
            {"recovered from the backup", "-", buono, true, "Buono", kRecupero, buono, buono},
            {"missing, no backup", "-", "-", false, "", kRecupero, "-", "-"}};
        for (const CasoMasters& r : righe)
            QTest::newRow(r.nome) << r;
    }
    void masters()
    {
        QFETCH(CasoMasters, c);
        BancoFile b;
        b.poni("Masters.txt", c.masters);
        b.poni("Masters.old.txt", c.backup);
        QCOMPARE(b.m.CaricaMasters(), c.esito);
        QCOMPARE(b.m.ListaMaster.UBound() > 0 ? b.m.ListaMaster[1].Nome : QString(), c.primo);
        QCOMPARE(b.dialoghi.avvisi(), c.messaggio.isEmpty()
                                          ? QStringList()
                                          : QStringList({c.messaggio, "Attenzione", "Critica Ok"}));
        QCOMPARE(b.file("Masters.txt"), c.mastersDopo == "=" ? c.masters : c.mastersDopo);
        QCOMPARE(b.file("Masters.old.txt"), c.backupDopo == "=" ? c.backup : c.backupDopo);
    }

    void userIni_data()
    {
        QTest::addColumn<QByteArray>("contenuto");
        QTest::addColumn<QString>("letto"); // the outcome, then nick|password
        const auto riga = [](const char* nome, const QByteArray& contenuto, const char* letto) {
            QTest::newRow(nome) << contenuto << QString(letto);
        };
        riga("blank lines, no blanks, LF", "\n\nUSERNAME:mario\n  \nPASSWORD:x\n", "1 mario|x");
        riga("colon in the password", "USERNAME : mario\r\nPASSWORD : a:b : c\r\n",
             "1 mario|a:b : c");
        riga("other lines skipped",
             "[account]\r\nVERSIONE : 2\r\nUSERNAME : mario\r\nPASSWORD : p\r\n", "1 mario|p");
        riga("empty file", "", "1 |");
        riga("user name without colon", "USERNAME mario\r\nPASSWORD : p\r\n", "0 |");
        riga("Latin-1 password", "USERNAME : mario\r\nPASSWORD : perch\xe9\r\n", "1 mario|perché");
    }
    void userIni()
    {
        BancoFile b;
        QFETCH(QByteArray, contenuto);
        b.poni("User.ini", contenuto);
        const bool esito = b.m.LeggiUserIni();
        QTEST(QString("%1 %2|%3")
                  .arg(esito)
                  .arg(b.m.UtenteCorrente.NickName, b.m.UtenteCorrente.Password),
              "letto");
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void userIniScritto()
    {
        BancoFile b;
        QVERIFY(!b.m.LeggiUserIni()); // missing
        const auto privato = [&] {
            const QFile::Permissions p = QFile::permissions(b.cartella.file("User.ini"));
            return (p & QFile::ReadOwner) && (p & QFile::WriteOwner) && !(p & 0x0066);
        };
        QVERIFY(b.m.SalvaUserIni("  Mario Rossi ", " PaSs:wörd "));
        QCOMPARE(b.file("User.ini"),
                 QString("USERNAME : mario rossi\r\nPASSWORD : PaSs:wörd\r\n").toUtf8());
        QVERIFY(privato());
        QVERIFY(b.m.LeggiUserIni());
        QCOMPARE(QStringList({b.m.UtenteCorrente.NickName, b.m.UtenteCorrente.Password}),
                 QStringList({"mario rossi", "PaSs:wörd"}));
        // A line break pasted into a field cannot add a line to the file; rewriting keeps it
        // private.
        QVERIFY(b.m.SalvaUserIni("luigi\r\nPASSWORD : x", "p\nq"));
        QCOMPARE(b.file("User.ini"), "USERNAME : luigipassword : x\r\nPASSWORD : pq\r\n");
        QVERIFY(privato());
    }

    void contactList()
    {
        BancoFile b;
        b.m.CaricaContactList(); // missing file: empty, silently
        QCOMPARE(b.m.ContactList.UBound(), 0);
        b.poni("CntLst.klm", "  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla");
        b.m.CaricaContactList();
        QCOMPARE(b.nomi(), QStringList({"Anna", "bruno", "Anna", "Carla"}));
        // Accepting a contact appends one line, after a last line without its end.
        const int nuovo = b.m.ContactList.aggiungi({"dario", kVero});
        QVERIFY(b.m.SalvaContactList(b.m.ContactList, nuovo, false));
        QCOMPARE(b.file("CntLst.klm"), "  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla\r\ndario\r\n");
        QVERIFY(!b.m.SalvaContactList(b.m.ContactList, 0, false) &&
                !b.m.SalvaContactList(b.m.ContactList, 99, false));
        QVERIFY(b.m.SalvaContactList(b.m.ContactList, 0, true));
        QCOMPARE(b.file("CntLst.klm"), "Anna\r\nbruno\r\nAnna\r\nCarla\r\ndario\r\n");
        // Removal drops every copy and resets every Stato, also when the nick is not there.
        for (const char* nick : {"Anna", "carla"}) {
            QVERIFY(b.m.EliminaDaContactList(nick));
            QCOMPARE(b.nomi().join(',') + ' ' + b.file("CntLst.klm"),
                     "bruno,Carla,dario bruno\r\nCarla\r\ndario\r\n");
            b.m.ContactList[2].Stato = kVero;
        }

        // Appending creates the file when there is none.
        BancoFile c;
        Lista1<ContactRecord> lista;
        lista.aggiungi({"zeta", kFalso});
        QVERIFY(c.m.SalvaContactList(lista, 1, false));
        QCOMPARE(c.file("CntLst.klm"), "zeta\r\n");
        // What we could not read is never replaced by the nothing we hold.
        const QByteArray enorme =
            QByteArray("contatto\r\n").repeated(Module1::kDimensioneMassimaFile / 10 + 1);
        c.poni("CntLst.klm", enorme);
        c.m.CaricaContactList();
        QVERIFY(c.m.ContactList.UBound() == 0 && c.m.contactListRifiutata());
        QVERIFY(!c.m.EliminaDaContactList("contatto"));
        QCOMPARE(c.file("CntLst.klm"), enorme);
    }

    void cartellaBloccataNonPerdeNulla()
    {
        BancoFile b;
        const QByteArrayList file{"Uno | 127.0.0.1 | 7070 | kalimo\r\n\r\n",
                                  "USERNAME : mario\r\nPASSWORD : p\r\n", "anna\r\n"};
        b.poni("Masters.txt", file[0]);
        b.poni("User.ini", file[1]);
        b.poni("CntLst.klm", file[2]);
        b.m.CaricaContactList();
        {
            CartellaBloccata blocco(b.cartella.percorso());
            if (!blocco.attiva())
                QSKIP("this system cannot make a folder refuse writes");
            Lista1<MasterRecord> altra;
            altra.aggiungi({"Altro", "h", 1, "k", {}});
            QVERIFY(!b.m.SalvaMasters(altra));
            QVERIFY(!b.m.SalvaUserIni("luigi", "nuova"));
            QVERIFY(!b.m.EliminaDaContactList("anna"));
            const int i = b.m.ContactList.aggiungi({"bruno", kFalso});
            QVERIFY(!b.m.SalvaContactList(b.m.ContactList, i, false));
            // The list still loads though its backup cannot be written.
            QVERIFY(b.m.CaricaMasters());
            QCOMPARE(b.m.ListaMaster.UBound(), 1);
        }
        QCOMPARE(QByteArrayList({b.file("Masters.txt"), b.file("User.ini"), b.file("CntLst.klm")}),
                 file);
        // No backup and no temporary files left behind either.
        QCOMPARE(QDir(b.cartella.percorso()).entryList(QDir::Files).size(), 3);
    }

    void cartellaProgramma()
    {
        CartellaTemporanea eseguibile, utente;
        QCOMPARE(scegliCartellaProgramma("/tmp/casa/", eseguibile.percorso(), utente.percorso()),
                 "/tmp/casa");
        QCOMPARE(scegliCartellaProgramma(QString(), eseguibile.percorso(), utente.percorso()),
                 QDir::cleanPath(eseguibile.percorso()));
        QVERIFY(cartellaScrivibile(eseguibile.percorso()));
        QVERIFY(!cartellaScrivibile(eseguibile.file("non/esiste")));
        QVERIFY(QDir(eseguibile.percorso()).isEmpty()); // the probe leaves nothing behind

        CartellaTemporanea nuova, usata;
        preparaCartellaUtente(nuova.percorso());
        QCOMPARE(nuova.leggi("Masters.txt"), "Locale | 127.0.0.1 | 7070 | kalimo\r\n\r\n");
        QVERIFY(nuova.leggi("miniguida.txt").contains("Connetti"));
        QVERIFY(nuova.leggi("inforegistrazione.txt").contains("User.ini"));
        // Never replaces what the user has, and a backup alone is left to the recovery.
        QVERIFY(usata.scrivi("miniguida.txt", "mia"));
        QVERIFY(usata.scrivi("Masters.old.txt", "a|b|1|c\r\n"));
        preparaCartellaUtente(usata.percorso());
        QCOMPARE(usata.leggi("miniguida.txt"), "mia");
        QVERIFY(!usata.esiste("Masters.txt") && usata.esiste("inforegistrazione.txt"));
    }
};

QTEST_MAIN(TestAvvio)
#include "tst_avvio.moc"
