#include "lobby/cartellaprogramma.h"
#include "lobby/module1.h"
#include "tests/support/cartelle.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

#include <QTest>

using namespace kalimo;
using test::CartellaTemporanea;

namespace {

const QString kRecupero = QStringLiteral("Impossibile Trovare il file Masters.txt \n"
                                         "Tentativo di recupero della configurazione precedente");
const QString kCorrotto = QStringLiteral("Il file Masters.txt risulta corrotto");

// A Module1 over a fresh program folder with scripted services.
struct Banco
{
    CartellaTemporanea cartella;
    test::FakeDialoghi dialoghi;
    test::FakeAvvioProgrammi programmi;
    test::FakeApriFile apri;
    Module1 m{{&dialoghi, &programmi, &apri}, cartella.percorso()};
};

} // namespace

class TestImpostazioni : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void mastersLettiERiscritti();
    void mastersRighe_data();
    void mastersRighe();
    void mastersRecuperoDalBackup();
    void mastersMancantiSenzaBackup();
    void mastersCorrottoNonToccaIlBackup();
    void mastersTestoNonUtf8();
    void mastersEnorme();
    void userIni_data();
    void userIni();
    void userIniScritto();
    void contactList();
    void contactListEliminazione();
    void contactListEnorme();
    void cartellaBloccataNonPerdeNulla();
    void cartellaProgramma();
    void cartellaUtentePreparata();
};

void TestImpostazioni::mastersLettiERiscritti()
{
    Banco b;
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"),
                              "  Uno |  host.example |7070|chiave uno  \r\n"
                              "\r\n"
                              "   \r\n"
                              "Due|10.0.0.1|65000|k2|quinto campo|sesto\r\n"));
    QVERIFY(b.m.CaricaMasters());
    QCOMPARE(b.m.ListaMaster.UBound(), 2);
    QCOMPARE(b.m.ListaMaster[1],
             (MasterRecord{QStringLiteral("Uno"), QStringLiteral("host.example"), 7070,
                           QStringLiteral("chiave uno")}));
    QCOMPARE(b.m.ListaMaster[2], (MasterRecord{QStringLiteral("Due"), QStringLiteral("10.0.0.1"),
                                               65000, QStringLiteral("k2")}));
    QVERIFY(b.dialoghi.messaggi.isEmpty());

    const QByteArray atteso = "Uno | host.example | 7070 | chiave uno\r\n\r\n"
                              "Due | 10.0.0.1 | 65000 | k2\r\n\r\n";
    // Loading writes the backup; saving writes the list itself, byte for byte alike.
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.old.txt")), atteso);
    QVERIFY(b.m.SalvaMasters(b.m.ListaMaster));
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.txt")), atteso);

    // And what was written reads back the same.
    const Lista1<MasterRecord> prima = b.m.ListaMaster;
    QVERIFY(b.m.CaricaMasters());
    QCOMPARE(b.m.ListaMaster.UBound(), prima.UBound());
    for (int i = 1; i <= prima.UBound(); ++i)
        QCOMPARE(b.m.ListaMaster[i], prima[i]);

    Lista1<MasterRecord> vuota;
    QVERIFY(b.m.SalvaMastersOld(vuota));
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.old.txt")), QByteArray());
}

void TestImpostazioni::mastersRighe_data()
{
    QTest::addColumn<QByteArray>("contenuto");
    QTest::addColumn<bool>("esito");
    QTest::addColumn<int>("voci");
    QTest::addColumn<QString>("messaggio");

    QTest::newRow("line feeds only") << QByteArray("a|b|1|c\nd|e|2|f\n") << true << 2 << QString();
    QTest::newRow("no final line end") << QByteArray("a|b|1|c") << true << 1 << QString();
    QTest::newRow("empty file") << QByteArray() << true << 0 << QString();
    QTest::newRow("empty key") << QByteArray("a|b|1|") << true << 1 << QString();
    QTest::newRow("three fields") << QByteArray("a|b|1|c\r\nx|y|2\r\n") << false << 0 << kCorrotto;
    QTest::newRow("no separator") << QByteArray("solo testo\r\n") << false << 0 << kCorrotto;
    QTest::newRow("port not a number") << QByteArray("a|b|porta|c\r\n") << false << 0 << QString();
    QTest::newRow("port empty") << QByteArray("a|b||c\r\n") << false << 0 << QString();
    QTest::newRow("port negative") << QByteArray("a|b|-1|c\r\n") << false << 0 << QString();
    QTest::newRow("port too large") << QByteArray("a|b|65536|c\r\n") << false << 0 << QString();
    QTest::newRow("largest port") << QByteArray("a|b|65535|c\r\n") << true << 1 << QString();
}

void TestImpostazioni::mastersRighe()
{
    QFETCH(QByteArray, contenuto);
    QFETCH(bool, esito);
    QFETCH(int, voci);
    QFETCH(QString, messaggio);

    Banco b;
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"), contenuto));
    QCOMPARE(b.m.CaricaMasters(), esito);
    QCOMPARE(b.m.ListaMaster.UBound(), voci);
    if (messaggio.isEmpty()) {
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    } else {
        QCOMPARE(b.dialoghi.messaggi.size(), 1);
        QCOMPARE(b.dialoghi.messaggi[0].testo, messaggio);
        QCOMPARE(b.dialoghi.messaggi[0].titolo, QStringLiteral("Attenzione"));
        QCOMPARE(b.dialoghi.messaggi[0].icona, Icona::Critica);
        QCOMPARE(b.dialoghi.messaggi[0].pulsanti, Pulsanti::Ok);
    }
    // Only a successful load refreshes the backup.
    QCOMPARE(b.cartella.esiste(QStringLiteral("Masters.old.txt")), esito);
}

void TestImpostazioni::mastersRecuperoDalBackup()
{
    Banco b;
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.old.txt"),
                              "Vecchio | 192.0.2.1 | 7071 | kalimo\r\n\r\n"));
    QVERIFY(b.m.CaricaMasters());
    QCOMPARE(b.dialoghi.testiMessaggi(), QStringList{kRecupero});
    QCOMPARE(b.dialoghi.messaggi[0].titolo, QStringLiteral("Attenzione"));
    QCOMPARE(b.dialoghi.messaggi[0].icona, Icona::Critica);
    QCOMPARE(b.m.ListaMaster.UBound(), 1);
    QCOMPARE(b.m.ListaMaster[1].Nome, QStringLiteral("Vecchio"));
    QCOMPARE(b.m.ListaMaster[1].Porta, quint16(7071));
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.txt")),
             QByteArray("Vecchio | 192.0.2.1 | 7071 | kalimo\r\n\r\n"));

    // The backup alone reads without any message.
    Banco c;
    QVERIFY(c.cartella.scrivi(QStringLiteral("Masters.old.txt"), "a|b|1|c\r\n"));
    QVERIFY(c.m.CaricaMastersOld());
    QCOMPARE(c.m.ListaMaster.UBound(), 1);
    QVERIFY(c.dialoghi.messaggi.isEmpty());
    QVERIFY(!c.cartella.esiste(QStringLiteral("Masters.txt")));
}

void TestImpostazioni::mastersMancantiSenzaBackup()
{
    Banco b;
    QVERIFY(!b.m.CaricaMasters());
    QCOMPARE(b.dialoghi.testiMessaggi(), QStringList{kRecupero});
    QCOMPARE(b.m.ListaMaster.UBound(), 0);
    QVERIFY(!b.cartella.esiste(QStringLiteral("Masters.txt")));

    // A backup that is itself bad: no second message, no recreated list.
    Banco c;
    QVERIFY(c.cartella.scrivi(QStringLiteral("Masters.old.txt"), "a|b\r\n"));
    QVERIFY(!c.m.CaricaMasters());
    QCOMPARE(c.dialoghi.testiMessaggi(), QStringList{kRecupero});
    QVERIFY(!c.cartella.esiste(QStringLiteral("Masters.txt")));
}

void TestImpostazioni::mastersCorrottoNonToccaIlBackup()
{
    Banco b;
    const QByteArray backup = "Buono | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.old.txt"), backup));
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"), "a|b|1|c\r\nrotto\r\n"));
    QVERIFY(!b.m.CaricaMasters());
    QCOMPARE(b.dialoghi.testiMessaggi(), QStringList{kCorrotto});
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.old.txt")), backup);
    QCOMPARE(b.m.ListaMaster.UBound(), 0);
}

void TestImpostazioni::mastersTestoNonUtf8()
{
    Banco b;
    // Written by an 8-bit program: Latin-1 bytes.
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"), "Caff\xe8 | h\xf6st | 1 | ch\xee"
                                                             "ave\r\n"));
    QVERIFY(b.m.CaricaMasters());
    QCOMPARE(b.m.ListaMaster[1].Nome, QStringLiteral("Caffè"));
    QCOMPARE(b.m.ListaMaster[1].Indirizzo, QStringLiteral("höst"));
    QCOMPARE(b.m.ListaMaster[1].Chiave, QStringLiteral("chîave"));
    // Written back in UTF-8, which reads the same.
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.old.txt")),
             QStringLiteral("Caffè | höst | 1 | chîave\r\n\r\n").toUtf8());

    Banco c;
    QVERIFY(c.cartella.scrivi(QStringLiteral("Masters.txt"),
                              QStringLiteral("Città | h | 2 | k\r\n").toUtf8()));
    QVERIFY(c.m.CaricaMasters());
    QCOMPARE(c.m.ListaMaster[1].Nome, QStringLiteral("Città"));
}

void TestImpostazioni::mastersEnorme()
{
    Banco b;
    const QByteArray backup = "Buono | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.old.txt"), backup));
    QByteArray enorme;
    const QByteArray riga = "Master | 127.0.0.1 | 7070 | kalimo\r\n";
    while (enorme.size() < 10 * 1024 * 1024)
        enorme += riga;
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"), enorme));
    QVERIFY(!b.m.CaricaMasters());
    QCOMPARE(b.dialoghi.testiMessaggi(), QStringList{kCorrotto});
    QCOMPARE(b.m.ListaMaster.UBound(), 0);
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.old.txt")), backup);
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.txt")).size(), enorme.size());
}

void TestImpostazioni::userIni_data()
{
    QTest::addColumn<QByteArray>("contenuto");
    QTest::addColumn<bool>("esito");
    QTest::addColumn<QString>("nick");
    QTest::addColumn<QString>("password");

    QTest::newRow("as written") << QByteArray("USERNAME : mario\r\nPASSWORD : Segreto\r\n") << true
                                << "mario"
                                << "Segreto";
    QTest::newRow("password first")
        << QByteArray("PASSWORD : Segreto\r\nUSERNAME : mario\r\n") << true << "mario"
        << "Segreto";
    QTest::newRow("blank lines, no blanks, line feeds")
        << QByteArray("\n\nUSERNAME:mario\n  \nPASSWORD:x\n") << true << "mario"
        << "x";
    QTest::newRow("colon inside the password")
        << QByteArray("USERNAME : mario\r\nPASSWORD : a:b : c\r\n") << true << "mario"
        << "a:b : c";
    QTest::newRow("other lines skipped")
        << QByteArray("[account]\r\nVERSIONE : 2\r\nUSERNAME : mario\r\nPASSWORD : p\r\n") << true
        << "mario"
        << "p";
    QTest::newRow("keys are case-sensitive")
        << QByteArray("username : mario\r\npassword : p\r\n") << true << ""
        << "";
    QTest::newRow("no user name line") << QByteArray("PASSWORD : p\r\n") << true << ""
                                       << "p";
    QTest::newRow("empty file") << QByteArray() << true << ""
                                << "";
    QTest::newRow("user name without colon")
        << QByteArray("USERNAME mario\r\nPASSWORD : p\r\n") << false << ""
        << "";
    QTest::newRow("other line without colon")
        << QByteArray("Account di prova\r\nUSERNAME : mario\r\n") << true << "mario"
        << "";
    QTest::newRow("password without colon")
        << QByteArray("USERNAME : mario\r\nPASSWORD\r\n") << false << "mario"
        << "";
    QTest::newRow("Latin-1 password")
        << QByteArray("USERNAME : mario\r\nPASSWORD : perch\xe9\r\n") << true << "mario"
        << "perché";
}

void TestImpostazioni::userIni()
{
    QFETCH(QByteArray, contenuto);
    QFETCH(bool, esito);
    QFETCH(QString, nick);
    QFETCH(QString, password);

    Banco b;
    QVERIFY(b.cartella.scrivi(QStringLiteral("User.ini"), contenuto));
    QCOMPARE(b.m.LeggiUserIni(), esito);
    QCOMPARE(b.m.UtenteCorrente.NickName, nick);
    QCOMPARE(b.m.UtenteCorrente.Password, password);
    QVERIFY(b.dialoghi.messaggi.isEmpty());
}

void TestImpostazioni::userIniScritto()
{
    Banco b;
    QVERIFY(!b.m.LeggiUserIni()); // missing

    QVERIFY(b.m.SalvaUserIni(QStringLiteral("  Mario Rossi "), QStringLiteral(" PaSs:wörd ")));
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")),
             QStringLiteral("USERNAME : mario rossi\r\nPASSWORD : PaSs:wörd\r\n").toUtf8());
    const QFileDevice::Permissions permessi =
        QFile::permissions(b.cartella.file(QStringLiteral("User.ini")));
    QVERIFY(permessi & QFileDevice::ReadOwner);
    QVERIFY(permessi & QFileDevice::WriteOwner);
    QVERIFY(!(permessi & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                          QFileDevice::WriteGroup | QFileDevice::WriteOther)));

    QVERIFY(b.m.LeggiUserIni());
    QCOMPARE(b.m.UtenteCorrente.NickName, QStringLiteral("mario rossi"));
    QCOMPARE(b.m.UtenteCorrente.Password, QStringLiteral("PaSs:wörd"));

    // A line break pasted into a field cannot add a line to the file.
    QVERIFY(b.m.SalvaUserIni(QStringLiteral("luigi\r\nPASSWORD : x"), QStringLiteral("p\nq")));
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")),
             QByteArray("USERNAME : luigipassword : x\r\nPASSWORD : pq\r\n"));
    // Rewriting keeps the file private.
    QVERIFY(!(QFile::permissions(b.cartella.file(QStringLiteral("User.ini"))) &
              QFileDevice::ReadOther));
}

void TestImpostazioni::contactList()
{
    Banco b;
    b.m.CaricaContactList(); // missing file: empty, silently
    QCOMPARE(b.m.ContactList.UBound(), 0);

    QVERIFY(b.cartella.scrivi(QStringLiteral("CntLst.klm"),
                              "  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla"));
    b.m.CaricaContactList();
    QCOMPARE(b.m.ContactList.UBound(), 4);
    QCOMPARE(b.m.ContactList[1].NickName, QStringLiteral("Anna"));
    QCOMPARE(b.m.ContactList[2].NickName, QStringLiteral("bruno"));
    QCOMPARE(b.m.ContactList[4].NickName, QStringLiteral("Carla"));
    for (const ContactRecord& c : b.m.ContactList)
        QCOMPARE(c.Stato, kFalso);

    QVERIFY(b.m.EstInContactList(QStringLiteral("bruno")));
    QVERIFY(!b.m.EstInContactList(QStringLiteral("Bruno")));
    QVERIFY(!b.m.EstInContactList(QStringLiteral("anna")));

    b.m.ContactList[2].Stato = kVero;
    QCOMPARE(b.m.DammiStatoContatto(QStringLiteral("bruno")), kVero);
    QCOMPARE(b.m.DammiStatoContatto(QStringLiteral("Anna")), kFalso);
    QCOMPARE(b.m.DammiStatoContatto(QStringLiteral("nessuno")), kFalso);

    // Accepting a contact appends one line, after a last line without its end.
    const int nuovo = b.m.ContactList.aggiungi({QStringLiteral("dario"), kVero});
    QVERIFY(b.m.SalvaContactList(b.m.ContactList, nuovo, false));
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")),
             QByteArray("  Anna \r\n\r\nbruno\r\n   \r\nAnna\r\nCarla\r\ndario\r\n"));
    QVERIFY(!b.m.SalvaContactList(b.m.ContactList, 0, false));
    QVERIFY(!b.m.SalvaContactList(b.m.ContactList, 99, false));

    QVERIFY(b.m.SalvaContactList(b.m.ContactList, 0, true));
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")),
             QByteArray("Anna\r\nbruno\r\nAnna\r\nCarla\r\ndario\r\n"));

    // Appending creates the file when there is none.
    Banco c;
    Lista1<ContactRecord> lista;
    lista.aggiungi({QStringLiteral("zeta"), kFalso});
    QVERIFY(c.m.SalvaContactList(lista, 1, false));
    QCOMPARE(c.cartella.leggi(QStringLiteral("CntLst.klm")), QByteArray("zeta\r\n"));
}

void TestImpostazioni::contactListEliminazione()
{
    Banco b;
    QVERIFY(b.cartella.scrivi(QStringLiteral("CntLst.klm"), "Anna\r\nbruno\r\nAnna\r\nCarla\r\n"));
    b.m.CaricaContactList();
    for (ContactRecord& c : b.m.ContactList)
        c.Stato = kVero;

    QVERIFY(b.m.EliminaDaContactList(QStringLiteral("Anna")));
    QCOMPARE(b.m.ContactList.UBound(), 2);
    QCOMPARE(b.m.ContactList[1].NickName, QStringLiteral("bruno"));
    QCOMPARE(b.m.ContactList[2].NickName, QStringLiteral("Carla"));
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")), QByteArray("bruno\r\nCarla\r\n"));
    QCOMPARE(b.m.ContactList[1].Stato, kFalso);

    // A nick that is not there: the file is rewritten unchanged, every Stato reset.
    b.m.ContactList[2].Stato = kVero;
    QVERIFY(b.m.EliminaDaContactList(QStringLiteral("carla")));
    QCOMPARE(b.m.ContactList.UBound(), 2);
    QCOMPARE(b.m.ContactList[2].Stato, kFalso);
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")), QByteArray("bruno\r\nCarla\r\n"));
}

void TestImpostazioni::contactListEnorme()
{
    Banco b;
    QByteArray enorme;
    while (enorme.size() <= Module1::kDimensioneMassimaFile)
        enorme += "contatto\r\n";
    QVERIFY(b.cartella.scrivi(QStringLiteral("CntLst.klm"), enorme));
    b.m.CaricaContactList();
    QCOMPARE(b.m.ContactList.UBound(), 0);
    QVERIFY(b.m.contactListRifiutata());
    // What we could not read is never replaced by the nothing we hold.
    QVERIFY(!b.m.EliminaDaContactList(QStringLiteral("contatto")));
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")), enorme);
}

void TestImpostazioni::cartellaBloccataNonPerdeNulla()
{
    Banco b;
    const QByteArray masters = "Uno | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
    const QByteArray user = "USERNAME : mario\r\nPASSWORD : p\r\n";
    const QByteArray contatti = "anna\r\n";
    QVERIFY(b.cartella.scrivi(QStringLiteral("Masters.txt"), masters));
    QVERIFY(b.cartella.scrivi(QStringLiteral("User.ini"), user));
    QVERIFY(b.cartella.scrivi(QStringLiteral("CntLst.klm"), contatti));
    b.m.CaricaContactList();
    {
        test::CartellaBloccata blocco(b.cartella.percorso());
        if (!blocco.attiva())
            QSKIP("this system cannot make a folder refuse writes");

        Lista1<MasterRecord> altra;
        altra.aggiungi({QStringLiteral("Altro"), QStringLiteral("h"), 1, QStringLiteral("k")});
        QVERIFY(!b.m.SalvaMasters(altra));
        QVERIFY(!b.m.SalvaUserIni(QStringLiteral("luigi"), QStringLiteral("nuova")));
        QVERIFY(!b.m.EliminaDaContactList(QStringLiteral("anna")));
        const int i = b.m.ContactList.aggiungi({QStringLiteral("bruno"), kFalso});
        QVERIFY(!b.m.SalvaContactList(b.m.ContactList, i, false));

        // The list still loads though its backup cannot be written.
        QVERIFY(b.m.CaricaMasters());
        QCOMPARE(b.m.ListaMaster.UBound(), 1);
        QVERIFY(!b.cartella.esiste(QStringLiteral("Masters.old.txt")));
    }
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.txt")), masters);
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")), user);
    QCOMPARE(b.cartella.leggi(QStringLiteral("CntLst.klm")), contatti);
    // No temporary files left behind either.
    QCOMPARE(QDir(b.cartella.percorso()).entryList(QDir::Files).size(), 3);
}

void TestImpostazioni::cartellaProgramma()
{
    CartellaTemporanea eseguibile;
    CartellaTemporanea utente;
    QCOMPARE(scegliCartellaProgramma(QStringLiteral("/tmp/casa/"), eseguibile.percorso(),
                                     utente.percorso()),
             QStringLiteral("/tmp/casa"));
    QCOMPARE(scegliCartellaProgramma(QString(), eseguibile.percorso(), utente.percorso()),
             QDir::cleanPath(eseguibile.percorso()));
    QVERIFY(cartellaScrivibile(eseguibile.percorso()));
    QVERIFY(!cartellaScrivibile(eseguibile.file(QStringLiteral("non/esiste"))));
    // The probe leaves nothing behind.
    QVERIFY(QDir(eseguibile.percorso()).isEmpty());

    test::CartellaBloccata blocco(eseguibile.percorso());
    if (!blocco.attiva())
        QSKIP("this system cannot make a folder refuse writes");
    QVERIFY(!cartellaScrivibile(eseguibile.percorso()));
    QCOMPARE(scegliCartellaProgramma(QString(), eseguibile.percorso(), utente.percorso()),
             QDir::cleanPath(utente.percorso()));
}

void TestImpostazioni::cartellaUtentePreparata()
{
    CartellaTemporanea nuova;
    preparaCartellaUtente(nuova.percorso());
    QCOMPARE(nuova.leggi(QStringLiteral("Masters.txt")),
             QByteArray("Locale | 127.0.0.1 | 7070 | kalimo\r\n\r\n"));
    QVERIFY(nuova.leggi(QStringLiteral("miniguida.txt")).contains("Connetti"));
    QVERIFY(nuova.leggi(QStringLiteral("inforegistrazione.txt")).contains("User.ini"));

    // Never replaces what the user has, and a backup alone is left to the recovery.
    CartellaTemporanea usata;
    QVERIFY(usata.scrivi(QStringLiteral("miniguida.txt"), "mia"));
    QVERIFY(usata.scrivi(QStringLiteral("Masters.old.txt"), "a|b|1|c\r\n"));
    preparaCartellaUtente(usata.percorso());
    QCOMPARE(usata.leggi(QStringLiteral("miniguida.txt")), QByteArray("mia"));
    QVERIFY(!usata.esiste(QStringLiteral("Masters.txt")));
    QVERIFY(usata.esiste(QStringLiteral("inforegistrazione.txt")));
}

QTEST_MAIN(TestImpostazioni)
#include "tst_impostazioni.moc"
