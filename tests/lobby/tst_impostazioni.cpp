#include "lobby/cartellaprogramma.h"
#include "lobby/module1.h"
#include "tests/support/cartelle.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

#include <QTest>

#include <algorithm>

using namespace kalimo;
using namespace kalimo::lobby;
using test::CartellaTemporanea;

namespace {

const QString kRecupero = "Impossibile Trovare il file Masters.txt \n"
                          "Tentativo di recupero della configurazione precedente";
const QString kCorrotto = "Il file Masters.txt risulta corrotto";

// A Module1 over a fresh program folder with scripted services.
struct Banco
{
    CartellaTemporanea cartella;
    test::FakeDialoghi dialoghi;
    test::FakeAvvioProgrammi programmi;
    test::FakeApriFile apri;
    Module1 m{{&dialoghi, &programmi, &apri}, cartella.percorso()};
    // "-" stands for a missing file.
    void poni(const QString& nome, const QByteArray& dati)
    {
        if (dati != "-")
            QVERIFY(cartella.scrivi(nome, dati));
    }
    QByteArray file(const QString& nome)
    {
        return cartella.esiste(nome) ? cartella.leggi(nome) : "-";
    }
    QStringList nomi()
    {
        QStringList n;
        for (const ContactRecord& c : m.ContactList)
            n << c.NickName + (c.Stato == kVero ? "*" : "");
        return n;
    }
};

} // namespace

class TestImpostazioni : public QObject
{
    Q_OBJECT
private Q_SLOTS:

    void mastersRiscritti()
    {
        Banco b;
        const QByteArray pin(32, '\xab');
        b.poni("Masters.txt", "  Uno |  host.example |7070|chiave uno  \r\n\r\n   \r\n"
                              "Due|10.0.0.1|65000|k2|quinto campo|sesto\r\n"
                              "Tre|h|1|k| TLS:7443:SHA256=" +
                                  pin.toHex(':').toUpper() + "\r\n");
        QVERIFY(b.m.CaricaMasters());
        QCOMPARE(b.m.ListaMaster.UBound(), 3);
        QCOMPARE(b.m.ListaMaster[1], (MasterRecord{"Uno", "host.example", 7070, "chiave uno", {}}));
        QCOMPARE(b.m.ListaMaster[2], (MasterRecord{"Due", "10.0.0.1", 65000, "k2", {}}));
        QCOMPARE(b.m.ListaMaster[3], (MasterRecord{"Tre", "h", 1, "k", {7443, pin}}));
        QVERIFY(b.dialoghi.messaggi.isEmpty());
        const QByteArray atteso = "Uno | host.example | 7070 | chiave uno\r\n\r\n"
                                  "Due | 10.0.0.1 | 65000 | k2\r\n\r\n"
                                  "Tre | h | 1 | k | tls:7443:sha256=" +
                                  pin.toHex() + "\r\n\r\n";
        // Loading writes the backup; saving writes the list itself, byte for byte alike.
        QCOMPARE(b.file("Masters.old.txt"), atteso);
        QVERIFY(b.m.SalvaMasters(b.m.ListaMaster));
        QCOMPARE(b.file("Masters.txt"), atteso);
        const Lista1<MasterRecord> prima = b.m.ListaMaster;
        QVERIFY(b.m.CaricaMasters());
        QVERIFY(
            std::equal(prima.begin(), prima.end(), b.m.ListaMaster.begin(), b.m.ListaMaster.end()));
        QVERIFY(b.m.SalvaMastersOld(Lista1<MasterRecord>()));
        QCOMPARE(b.file("Masters.old.txt"), QByteArray());
        // The backup alone reads without any message.
        Banco c;
        c.poni("Masters.old.txt", "a|b|1|c\r\n");
        QVERIFY(c.m.CaricaMastersOld());
        QCOMPARE(c.m.ListaMaster.UBound(), 1);
        QVERIFY(c.dialoghi.messaggi.isEmpty());
        QCOMPARE(c.file("Masters.txt"), "-");
    }

    void masters_data()
    {
        QTest::addColumn<QByteArray>("masters");
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<bool>("esito");
        QTest::addColumn<QString>("primo"); // name of the first master, or none loaded
        QTest::addColumn<QString>("messaggio");
        QTest::addColumn<QByteArray>("mastersDopo"); // "=" unchanged
        QTest::addColumn<QByteArray>("backupDopo");  // "=" unchanged

        const QByteArray buono = "Buono | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
        QByteArray enorme;
        while (enorme.size() < 10 * 1024 * 1024)
            enorme += "Master | 127.0.0.1 | 7070 | kalimo\r\n";
        struct Riga
        {
            const char* nome;
            QByteArray masters, backup;
            bool esito;
            QString primo, messaggio;
            QByteArray mastersDopo, backupDopo;
        };
        const QList<Riga> righe{
            {"line feeds only", "a|b|1|c\nd|e|2|f\n", "-", true, "a", "", "=",
             "a | b | 1 | c\r\n\r\nd | e | 2 | f\r\n\r\n"},
            {"no final line end", "a|b|1|c", buono, true, "a", "", "=", "a | b | 1 | c\r\n\r\n"},
            {"empty file", "", "-", true, "", "", "=", ""},
            {"empty key", "a|b|1|", "-", true, "a", "", "=", "a | b | 1 | \r\n\r\n"},
            {"largest port", "a|b|65535|c\r\n", "-", true, "a", "", "=",
             "a | b | 65535 | c\r\n\r\n"},
            {"three fields", "a|b|1|c\r\nx|y|2\r\n", buono, false, "", kCorrotto, "=", "="},
            {"no separator", "solo testo\r\n", "-", false, "", kCorrotto, "=", "-"},
            // A TLS field that does not read must not fall back to plain.
            {"bad TLS field", "a|b|1|c|tls:7443:sha256=12\r\n", buono, false, "", kCorrotto, "=",
             "="},
            {"port not a number", "a|b|porta|c\r\n", buono, false, "", "", "=", "="},
            {"port empty", "a|b||c\r\n", "-", false, "", "", "=", "-"},
            {"port negative", "a|b|-1|c\r\n", "-", false, "", "", "=", "-"},
            {"port too large", "a|b|65536|c\r\n", "-", false, "", "", "=", "-"},
            {"too large a file", enorme, buono, false, "", kCorrotto, "=", "="},
            // Written by an 8-bit program: read as Latin-1, written back in UTF-8.
            {"Latin-1",
             "Caff\xe8 | h\xf6st | 1 | ch\xee"
             "ave\r\n",
             "-", true, "Caffè", "", "=", QString("Caffè | höst | 1 | chîave\r\n\r\n").toUtf8()},
            {"UTF-8", QString("Città | h | 2 | k\r\n").toUtf8(), "-", true, "Città", "", "=",
             QString("Città | h | 2 | k\r\n\r\n").toUtf8()},
            {"recovered from the backup", "-", buono, true, "Buono", kRecupero, buono, buono},
            {"missing, no backup", "-", "-", false, "", kRecupero, "-", "-"},
            {"missing, bad backup", "-", "a|b\r\n", false, "", kRecupero, "-", "="}};
        for (const Riga& r : righe)
            QTest::newRow(r.nome) << r.masters << r.backup << r.esito << r.primo << r.messaggio
                                  << r.mastersDopo << r.backupDopo;
    }

    void masters()
    {
        QFETCH(QByteArray, masters);
        QFETCH(QByteArray, backup);
        QFETCH(QString, messaggio);
        QFETCH(QByteArray, mastersDopo);
        QFETCH(QByteArray, backupDopo);
        Banco b;
        b.poni("Masters.txt", masters);
        b.poni("Masters.old.txt", backup);
        QTEST(b.m.CaricaMasters(), "esito");
        QTEST(b.m.ListaMaster.UBound() > 0 ? b.m.ListaMaster[1].Nome : QString(), "primo");
        QCOMPARE(b.dialoghi.avvisi(), messaggio.isEmpty()
                                          ? QStringList()
                                          : QStringList({messaggio, "Attenzione", "Critica Ok"}));
        QCOMPARE(b.file("Masters.txt"), mastersDopo == "=" ? masters : mastersDopo);
        QCOMPARE(b.file("Masters.old.txt"), backupDopo == "=" ? backup : backupDopo);
    }

    void userIni_data()
    {
        QTest::addColumn<QByteArray>("contenuto");
        QTest::addColumn<bool>("esito");
        QTest::addColumn<QStringList>("utente");
        struct Riga
        {
            const char* nome;
            QByteArray contenuto;
            bool esito;
            QString nick, password;
        };
        const QList<Riga> righe{
            {"as written", "USERNAME : mario\r\nPASSWORD : Segreto\r\n", true, "mario", "Segreto"},
            {"password first", "PASSWORD : Segreto\r\nUSERNAME : mario\r\n", true, "mario",
             "Segreto"},
            {"blank lines, no blanks, LF", "\n\nUSERNAME:mario\n  \nPASSWORD:x\n", true, "mario",
             "x"},
            {"colon in the password", "USERNAME : mario\r\nPASSWORD : a:b : c\r\n", true, "mario",
             "a:b : c"},
            {"other lines skipped",
             "[account]\r\nVERSIONE : 2\r\nUSERNAME : mario\r\nPASSWORD : p\r\n", true, "mario",
             "p"},
            {"case-sensitive keys", "username : mario\r\npassword : p\r\n", true, "", ""},
            {"no user name line", "PASSWORD : p\r\n", true, "", "p"},
            {"empty file", "", true, "", ""},
            {"user name without colon", "USERNAME mario\r\nPASSWORD : p\r\n", false, "", ""},
            {"other line without colon", "Account di prova\r\nUSERNAME : mario\r\n", true, "mario",
             ""},
            {"password without colon", "USERNAME : mario\r\nPASSWORD\r\n", false, "mario", ""},
            {"Latin-1 password", "USERNAME : mario\r\nPASSWORD : perch\xe9\r\n", true, "mario",
             "perché"}};
        for (const Riga& r : righe)
            QTest::newRow(r.nome) << r.contenuto << r.esito << QStringList{r.nick, r.password};
    }

    void userIni()
    {
        Banco b;
        QFETCH(QByteArray, contenuto);
        b.poni("User.ini", contenuto);
        QTEST(b.m.LeggiUserIni(), "esito");
        QTEST(QStringList({b.m.UtenteCorrente.NickName, b.m.UtenteCorrente.Password}), "utente");
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void userIniScritto()
    {
        Banco b;
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
        Banco b;
        b.m.CaricaContactList(); // missing file: empty, silently
        QCOMPARE(b.m.ContactList.UBound(), 0);
        b.poni("CntLst.klm", "  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla");
        b.m.CaricaContactList();
        QCOMPARE(b.nomi(), QStringList({"Anna", "bruno", "Anna", "Carla"}));
        QVERIFY(b.m.EstInContactList("bruno"));
        QVERIFY(!b.m.EstInContactList("Bruno") && !b.m.EstInContactList("anna"));
        b.m.ContactList[2].Stato = kVero;
        QCOMPARE(QList<int>({b.m.DammiStatoContatto("bruno"), b.m.DammiStatoContatto("Anna"),
                             b.m.DammiStatoContatto("nessuno")}),
                 QList<int>({kVero, kFalso, kFalso}));
        // Accepting a contact appends one line, after a last line without its end.
        const int nuovo = b.m.ContactList.aggiungi({"dario", kVero});
        QVERIFY(b.m.SalvaContactList(b.m.ContactList, nuovo, false));
        QCOMPARE(b.file("CntLst.klm"), "  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla\r\ndario\r\n");
        QVERIFY(!b.m.SalvaContactList(b.m.ContactList, 0, false));
        QVERIFY(!b.m.SalvaContactList(b.m.ContactList, 99, false));
        QVERIFY(b.m.SalvaContactList(b.m.ContactList, 0, true));
        QCOMPARE(b.file("CntLst.klm"), "Anna\r\nbruno\r\nAnna\r\nCarla\r\ndario\r\n");
        // Removal drops every copy and resets every Stato, also when the nick is not there.
        QVERIFY(b.m.EliminaDaContactList("Anna"));
        QCOMPARE(b.nomi(), QStringList({"bruno", "Carla", "dario"}));
        QCOMPARE(b.file("CntLst.klm"), "bruno\r\nCarla\r\ndario\r\n");
        b.m.ContactList[2].Stato = kVero;
        QVERIFY(b.m.EliminaDaContactList("carla"));
        QCOMPARE(b.nomi(), QStringList({"bruno", "Carla", "dario"}));
        QCOMPARE(b.file("CntLst.klm"), "bruno\r\nCarla\r\ndario\r\n");

        // Appending creates the file when there is none.
        Banco c;
        Lista1<ContactRecord> lista;
        lista.aggiungi({"zeta", kFalso});
        QVERIFY(c.m.SalvaContactList(lista, 1, false));
        QCOMPARE(c.file("CntLst.klm"), "zeta\r\n");
        // What we could not read is never replaced by the nothing we hold.
        QByteArray enorme;
        while (enorme.size() <= Module1::kDimensioneMassimaFile)
            enorme += "contatto\r\n";
        c.poni("CntLst.klm", enorme);
        c.m.CaricaContactList();
        QCOMPARE(c.m.ContactList.UBound(), 0);
        QVERIFY(c.m.contactListRifiutata());
        QVERIFY(!c.m.EliminaDaContactList("contatto"));
        QCOMPARE(c.file("CntLst.klm"), enorme);
    }

    void cartellaBloccataNonPerdeNulla()
    {
        Banco b;
        const QByteArrayList file{"Uno | 127.0.0.1 | 7070 | kalimo\r\n\r\n",
                                  "USERNAME : mario\r\nPASSWORD : p\r\n", "anna\r\n"};
        b.poni("Masters.txt", file[0]);
        b.poni("User.ini", file[1]);
        b.poni("CntLst.klm", file[2]);
        b.m.CaricaContactList();
        {
            test::CartellaBloccata blocco(b.cartella.percorso());
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
        // An installed copy's shipped files are copied rather than the built-in ones.
        CartellaTemporanea dati, installata;
        QVERIFY(dati.scrivi("Masters.txt", "Altro | 192.0.2.1 | 7070 | k\r\n"));
        preparaCartellaUtente(installata.percorso(), dati.percorso());
        QCOMPARE(installata.leggi("Masters.txt"), "Altro | 192.0.2.1 | 7070 | k\r\n");
        QVERIFY(!installata.esiste("miniguida.txt")); // not shipped there

        test::CartellaBloccata blocco(eseguibile.percorso());
        if (!blocco.attiva())
            QSKIP("this system cannot make a folder refuse writes");
        QVERIFY(!cartellaScrivibile(eseguibile.percorso()));
        QCOMPARE(scegliCartellaProgramma(QString(), eseguibile.percorso(), utente.percorso()),
                 QDir::cleanPath(utente.percorso()));
    }
};

QTEST_MAIN(TestImpostazioni)
#include "tst_impostazioni.moc"
