#include "room/stanza.h"

#include <QtTest>

using namespace kalimo;

namespace {

QStringList nicks(const Stanza& s)
{
    QStringList out;
    for (int i = 1; i <= s.NumUtenti(); ++i)
        out.append(s.Utenti(i)->NickName);
    return out;
}

} // namespace

class TestStanza : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void freshRoom()
    {
        Stanza s;
        QCOMPARE(s.NumUtenti(), 0);
        QCOMPARE(s.NumUtentiAudio(), 0);
        QVERIFY(s.Utenti(0) != nullptr);
        QCOMPARE(s.Utenti(0)->NickName, QString());
        QVERIFY(s.Utenti(1) == nullptr);
        QVERIFY(s.Utenti(-1) == nullptr);
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.Errori.Descrizione, QString());
        // The placeholder is never searched.
        QVERIFY(!s.EstPresenteUtente(QString()));
        QCOMPARE(s.DammiNickPerID(0), QString());
    }

    void capacity_data()
    {
        QTest::addColumn<int>("max");
        QTest::addColumn<int>("accepted");
        QTest::newRow("nobody") << 0 << 0;
        QTest::newRow("two") << 2 << 2;
    }
    void capacity()
    {
        QFETCH(int, max);
        QFETCH(int, accepted);
        Stanza s;
        s.MaxUtenti = qint16(max);
        for (int i = 0; i < accepted; ++i)
            QVERIFY(s.AggiungiUtente(i + 1, QStringLiteral("u%1").arg(i)));
        QVERIFY(!s.AggiungiUtente(99, QStringLiteral("nuovo")));
        QCOMPARE(s.Errori.Numero, 3);
        QCOMPARE(s.Errori.Descrizione, "La Stanza ha raggiunto il numero massimo di utenti");
        QCOMPARE(s.NumUtenti(), accepted);
    }

    void addFillsRecordAndRefusesDuplicates()
    {
        Stanza s;
        s.MaxUtenti = 10;
        QVERIFY(s.AggiungiUtente(7, "anna", "10.0.0.1"));
        // Without a grid the redraw leaves error 4 behind a successful add.
        QCOMPARE(s.Errori.Numero, 4);
        QVERIFY(s.AggiungiUtente(8, "Anna"));
        const UtentePtr anna = s.Utenti(1);
        QCOMPARE(anna->IDUtente, 7);
        QCOMPARE(anna->IPAddress, "10.0.0.1");
        QVERIFY(!anna->Parlante && !anna->Ignora);
        QCOMPARE(s.Utenti(2)->IPAddress, QString());

        QVERIFY(!s.AggiungiUtente(9, "anna"));
        QCOMPARE(s.Errori.Numero, 5);
        QCOMPARE(s.Errori.Descrizione, "Utente gia assegnato alla stanza");
        QCOMPARE(s.NumUtenti(), 2);
        QCOMPARE(s.DammiIDPerNick("anna"), 7);
        QCOMPARE(s.DammiIDPerNick("Anna"), 8);
        QCOMPARE(s.DammiIDPerNick("anna "), 0);
        QCOMPARE(s.DammiNickPerID(8), "Anna");
        QCOMPARE(s.DammiNickPerID(42), QString());
    }

    void removalKeepsOrder()
    {
        Stanza s;
        s.MaxUtenti = 5;
        for (const char* n : {"a", "b", "c"})
            s.AggiungiUtente(int(n[0]), n);
        const UtentePtr b = s.Utenti(2);
        QVERIFY(s.EliminaUtente("b"));
        QCOMPARE(nicks(s), (QStringList{"a", "c"}));
        QVERIFY(s.Utenti(3) == nullptr);
        QCOMPARE(b->NickName, "b"); // a caller may still hold a removed user
        QVERIFY(s.EliminaUtente("c"));
        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(s.NumUtenti(), 0);

        QVERIFY(!s.EliminaUtente("a"));
        QCOMPARE(s.Errori.Numero, 2);
        QCOMPARE(s.Errori.Descrizione, "Nick Utente non trovato");
    }

    void speakingCountsAndErrors()
    {
        Stanza s;
        s.MaxUtenti = 5;
        s.MaxUtentiAudio = 1;
        s.AggiungiUtente(1, "a");
        s.AggiungiUtente(2, "b");

        QVERIFY(!s.UtenteParlante("nessuno"));
        QCOMPARE(s.Errori.Numero, 0);
        QVERIFY(s.UtenteParlante("a"));
        QCOMPARE(s.NumUtentiAudio(), 1);
        QVERIFY(s.Utenti(1)->Parlante);

        QVERIFY(!s.UtenteParlante("b"));
        QCOMPARE(s.Errori.Numero, 1);
        QCOMPARE(s.Errori.Descrizione,
                 "La Stanza ha raggiunto il numero massimo di utenti parlanti");
        QVERIFY(!s.UtenteParlante("a")); // capacity comes first
        QCOMPARE(s.Errori.Numero, 1);

        s.MaxUtentiAudio = 5;
        QVERIFY(!s.UtenteParlante("a")); // already speaking: no error
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.NumUtentiAudio(), 1);

        // Silent or absent members are not found, and Errori is left alone.
        s.Errori.Imposta(2, "prima");
        QVERIFY(!s.UtenteMuto("b"));
        QVERIFY(!s.UtenteMuto("x"));
        QVERIFY(!s.UtenteMutoID(2));
        QCOMPARE(s.Errori.Numero, 2);
        QCOMPARE(s.Errori.Descrizione, "prima");

        QVERIFY(s.UtenteParlante("b"));
        QVERIFY(s.UtenteMutoID(2));
        QVERIFY(!s.Utenti(2)->Parlante);
        QCOMPARE(s.NumUtentiAudio(), 1);

        // A speaker who leaves is made silent first.
        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(s.NumUtentiAudio(), 0);
    }

    void ignoreFlags()
    {
        Stanza s;
        s.MaxUtenti = 5;
        s.AggiungiUtente(1, "a");
        s.IgnoraUtente("zzz");
        QVERIFY(!s.EstUtenteIgnorato("zzz"));
        QVERIFY(!s.Utenti(1)->Ignora);
        s.IgnoraUtente("a");
        QVERIFY(s.EstUtenteIgnorato("a"));
        QVERIFY(!s.EstUtenteIgnorato("A"));
        s.NonIgnorareUtente("a");
        QVERIFY(!s.EstUtenteIgnorato("a"));
    }

    void slotAccess()
    {
        Stanza s;
        s.MaxUtenti = 5;
        s.MaxUtentiAudio = 5;
        s.AggiungiUtente(1, "a");
        s.UtenteParlante("a");
        auto other = std::make_shared<Utente>();
        other->NickName = "z";
        QVERIFY(!s.ImpostaUtenti(2, other));
        QVERIFY(!s.ImpostaUtenti(-1, other));
        QVERIFY(!s.ImpostaUtenti(1, nullptr));
        QCOMPARE(s.Utenti(1)->NickName, "a");
        QVERIFY(s.ImpostaUtenti(1, other));
        QCOMPARE(s.Utenti(1)->NickName, "z");
        QCOMPARE(s.NumUtentiAudio(), 1);
        QCOMPARE(s.NumUtenti(), 1);
    }

    void copyTakesSettingsOnly()
    {
        Stanza a;
        a.AttivaGrafica = true;
        a.AttivaWinsock = true;
        a.EstConnessoAServer = true;
        a.EstStabile = true;
        a.EstStanzaMultipla = true;
        a.ID = 12;
        a.IndiceWskServer = 3;
        a.IPServer = "1.2.3.4";
        a.IPStanza = "5.6.7.8";
        a.MaxUtenti = 9;
        a.MaxUtentiAudio = 4;
        a.Nome = "Sala";
        a.NomeServer = "srv";
        a.Password = "pw";
        a.PasswordServer = "spw";
        a.PortaServer = "7070";
        a.PortaUtenti = "2302";
        a.StatoPacchettoDiAttesa = 1;
        a.GrigliaSemplice = true;
        a.AggiungiUtente(1, "a");

        Stanza b;
        b.MaxUtenti = 3;
        b.MaxUtentiAudio = 3;
        b.AggiungiUtente(5, "b");
        b.UtenteParlante("b");
        b.Errori.Imposta(2, "x");
        a.Copia(b);

        QVERIFY(b.AttivaGrafica && b.AttivaWinsock && b.EstConnessoAServer && b.EstStabile &&
                b.EstStanzaMultipla);
        QCOMPARE(b.ID, 12);
        QCOMPARE(b.IndiceWskServer, 3);
        QCOMPARE(b.IPServer, "1.2.3.4");
        QCOMPARE(b.IPStanza, "5.6.7.8");
        QCOMPARE(b.MaxUtenti, 9);
        QCOMPARE(b.MaxUtentiAudio, 4);
        QCOMPARE(b.Nome, "Sala");
        QCOMPARE(b.NomeServer, "srv");
        QCOMPARE(b.Password, "pw");
        QCOMPARE(b.PasswordServer, "spw");
        QCOMPARE(b.PortaServer, "7070");
        QCOMPARE(b.PortaUtenti, "2302");
        QCOMPARE(b.StatoPacchettoDiAttesa, 1);
        QVERIFY(!b.GrigliaSemplice);
        QCOMPARE(nicks(b), QStringList{"b"});
        QCOMPARE(b.NumUtentiAudio(), 1);
        QCOMPARE(b.Errori.Numero, 2);
    }

    void unlinkedRoomNeverEnds()
    {
        int ends = 0;
        for (bool winsock : {false, true}) {
            Stanza s;
            s.ImpostaTerminaEsecuzione([&] { ++ends; });
            s.MaxUtenti = 2;
            s.AttivaWinsock = winsock; // assigned but not connected: still no reports
            s.AggiungiUtente(1, "a");
            QVERIFY(s.EliminaUtente("a"));
        }
        QCOMPARE(ends, 0);
        Stanza s;
        s.ImpostaTerminaEsecuzione([&] { ++ends; });
        s.TerminaEsecuzione();
        QCOMPARE(ends, 1);
    }
};

QTEST_GUILESS_MAIN(TestStanza)
#include "tst_stanza.moc"
