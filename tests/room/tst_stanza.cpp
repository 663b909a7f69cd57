#include "room/invio_sessione.h"
#include "room/stanza.h"
#include "tests/support/fakegriglia.h"

#include <QtTest>

#include <tuple>

using namespace kalimo;

namespace {

// '|' = SEP2, '^' = SEP3, '$' = SEP1.
QString wire(const char* text)
{
    return QString::fromUtf8(text)
        .replace(u'|', QChar(30))
        .replace(u'^', QChar(31))
        .replace(u'$', QChar(29));
}

QStringList nicks(const Stanza& s, bool speakingOnly = false)
{
    QStringList out;
    for (int i = 1; i <= s.NumUtenti(); ++i) {
        if (!speakingOnly || s.Utenti(i)->Parlante)
            out.append(s.Utenti(i)->NickName);
    }
    return out;
}

QVariantList copied(const Stanza& s)
{
    return {s.AttivaGrafica,   s.AttivaWinsock,     s.EstConnessoAServer,
            s.EstStabile,      s.EstStanzaMultipla, s.ID,
            s.IndiceWskServer, s.IPServer,          s.IPStanza,
            s.MaxUtenti,       s.MaxUtentiAudio,    s.Nome,
            s.NomeServer,      s.Password,          s.PasswordServer,
            s.PortaServer,     s.PortaUtenti,       s.StatoPacchettoDiAttesa};
}

QImage microfono()
{
    QImage img(4, 4, QImage::Format_RGB32);
    img.fill(Qt::red);
    return img;
}

// A room of three with b speaking, drawn into `g`.
void fillGrid(Stanza& s, FakeGriglia& g, bool semplice)
{
    s.MaxUtenti = 5;
    s.MaxUtentiAudio = 5;
    s.GrigliaSemplice = semplice;
    s.PictureMicrofono = microfono();
    s.grdUtenti = &g;
    s.AttivaGrafica = true;
    s.AggiungiUtente(11, "a", "10.0.0.1");
    s.AggiungiUtente(22, "b");
    s.AggiungiUtente(33, "c", "10.0.0.3");
    s.UtenteParlante("b");
}

// Room 100 with anna (7), bob (8) and carla (9); one speaker at most.
void fillRoom(Stanza& s)
{
    s.ID = 100;
    s.MaxUtenti = 10;
    s.MaxUtentiAudio = 1;
    s.AggiungiUtente(7, "anna");
    s.AggiungiUtente(8, "bob");
    s.AggiungiUtente(9, "carla");
}

// Records every send as "id:payload"; sends fail from the `failFrom`-th on,
// and `leaving` is removed from the room during each send.
struct FakeSessione final : InvioSessione
{
    QStringList sent;
    int failFrom = -1;
    Stanza* room = nullptr;
    QString leaving;

    bool SendTo(qint32 playerId, const QString& payload) override
    {
        if (failFrom >= 0 && sent.size() >= failFrom)
            return false;
        sent.append(QString::number(playerId) + u':' + payload);
        if (room)
            room->EliminaUtente(leaving);
        return true;
    }
};

} // namespace

class TestStanza : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void members()
    {
        Stanza s;
        QVERIFY(s.Utenti(0) && s.Utenti(0)->NickName.isEmpty());
        QVERIFY(!s.Utenti(1) && !s.Utenti(-1));
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.Errori.Descrizione, QString());
        QVERIFY(!s.EstPresenteUtente(QString())); // the placeholder is never searched
        QCOMPARE(s.DammiNickPerID(0), QString());

        QVERIFY(!s.AggiungiUtente(1, "a")); // no room for anybody yet
        QCOMPARE(s.Errori.Numero, 3);
        QCOMPARE(s.Errori.Descrizione, "La Stanza ha raggiunto il numero massimo di utenti");
        s.MaxUtenti = 3;
        QVERIFY(s.AggiungiUtente(7, "anna", "10.0.0.1"));
        QVERIFY(s.AggiungiUtente(8, "Anna"));
        QVERIFY(!s.AggiungiUtente(9, "anna"));
        QCOMPARE(s.Errori.Numero, 5);
        QCOMPARE(s.Errori.Descrizione, "Utente gia assegnato alla stanza");
        QVERIFY(s.AggiungiUtente(9, "c"));
        QVERIFY(!s.AggiungiUtente(10, "d"));
        QCOMPARE(s.Errori.Numero, 3);
        QCOMPARE(nicks(s), (QStringList{"anna", "Anna", "c"}));
        const UtentePtr anna = s.Utenti(1);
        QCOMPARE(anna->IDUtente, 7);
        QCOMPARE(anna->IPAddress, "10.0.0.1");
        QVERIFY(!anna->Parlante && !anna->Ignora);
        QCOMPARE(s.Utenti(2)->IPAddress, QString());
        QCOMPARE(s.DammiIDPerNick("Anna"), 8);
        QCOMPARE(s.DammiIDPerNick("anna "), 0);
        QCOMPARE(s.DammiNickPerID(9), "c");
        QCOMPARE(s.DammiNickPerID(42), QString());

        s.IgnoraUtente("zzz");
        s.IgnoraUtente("Anna");
        QVERIFY(s.EstUtenteIgnorato("Anna"));
        QVERIFY(!s.EstUtenteIgnorato("anna") && !s.EstUtenteIgnorato("zzz"));
        s.NonIgnorareUtente("Anna");
        QVERIFY(!s.EstUtenteIgnorato("Anna"));

        const UtentePtr held = s.Utenti(2);
        QVERIFY(s.EliminaUtente("Anna"));
        QCOMPARE(nicks(s), (QStringList{"anna", "c"}));
        QVERIFY(!s.Utenti(3) && s.Utenti(0)->NickName.isEmpty());
        QCOMPARE(held->NickName, "Anna"); // a caller may still hold a removed user
        QVERIFY(!s.EliminaUtente("Anna"));
        QCOMPARE(s.Errori.Numero, 2);
        QCOMPARE(s.Errori.Descrizione, "Nick Utente non trovato");

        auto other = std::make_shared<Utente>();
        QVERIFY(!s.ImpostaUtenti(3, other) && !s.ImpostaUtenti(-1, other));
        QVERIFY(!s.ImpostaUtenti(1, nullptr));
        QVERIFY(s.ImpostaUtenti(2, other));
        QCOMPARE(s.Utenti(2), other);
        QCOMPARE(s.NumUtenti(), 2);
    }

    void speaking()
    {
        Stanza s;
        s.MaxUtenti = 5;
        s.MaxUtentiAudio = 1;
        s.AggiungiUtente(1, "a");
        s.AggiungiUtente(2, "b");
        QVERIFY(!s.UtenteParlante("nessuno"));
        QCOMPARE(s.Errori.Numero, 0);
        QVERIFY(s.UtenteParlante("a"));
        QCOMPARE(nicks(s, true), QStringList{"a"});
        QVERIFY(!s.UtenteParlante("b"));
        QCOMPARE(s.Errori.Numero, 1);
        QCOMPARE(s.Errori.Descrizione,
                 "La Stanza ha raggiunto il numero massimo di utenti parlanti");
        QVERIFY(!s.UtenteParlante("a")); // capacity comes first
        QCOMPARE(s.Errori.Numero, 1);
        s.MaxUtentiAudio = 5;
        QVERIFY(!s.UtenteParlante("a")); // already speaking: no error, no second count
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.NumUtentiAudio(), 1);

        // Silent or absent members are not found, and Errori is left alone.
        s.Errori.Imposta(2, "prima");
        QVERIFY(!s.UtenteMuto("b") && !s.UtenteMuto("x") && !s.UtenteMutoID(2));
        QCOMPARE(s.Errori.Descrizione, "prima");
        QVERIFY(s.UtenteParlante("b"));
        QVERIFY(s.UtenteMutoID(2));
        QCOMPARE(nicks(s, true), QStringList{"a"});
        QCOMPARE(s.NumUtentiAudio(), 1);
        QVERIFY(s.EliminaUtente("a")); // a speaker who leaves is made silent first
        QCOMPARE(s.NumUtentiAudio(), 0);
    }

    void copyTakesSettingsOnly()
    {
        Stanza a;
        a.AttivaGrafica = a.AttivaWinsock = a.EstConnessoAServer = a.EstStabile =
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
        b.MaxUtenti = b.MaxUtentiAudio = 3;
        b.AggiungiUtente(5, "b");
        b.UtenteParlante("b");
        b.Errori.Imposta(2, "x");
        a.Copia(b);
        QCOMPARE(copied(b), copied(a));
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
    }

    void gridUnusable()
    {
        const std::tuple<bool, bool, bool> cases[] = {
            {false, true, true}, {true, false, true}, {true, true, false}};
        for (const auto& [attiva, assegnata, valida] : cases) {
            FakeGriglia g;
            g.valid = valida;
            Stanza s;
            s.MaxUtenti = 3;
            s.AttivaGrafica = attiva;
            s.grdUtenti = assegnata ? &g : nullptr;
            QVERIFY(s.AggiungiUtente(1, "a")); // the operation still succeeds
            QCOMPARE(s.Errori.Numero, 4);
            QCOMPARE(s.Errori.Descrizione,
                     "La grafica non e' stata attivata per questa istanza di stanza oppure non e' "
                     "stata assegnata una griglia a questa istanza");
            QCOMPARE(g.clears + g.refreshes + g.righe() + g.colonne(), 0);
        }
    }

    void gridFullLayout()
    {
        FakeGriglia g;
        Stanza s;
        s.grdUtenti = &g;
        s.AttivaGrafica = true;
        s.VisualizzaUtenti(0);
        QCOMPARE(s.Errori.Descrizione, "No Errori");
        QCOMPARE(g.righe(), 1);
        QCOMPARE(g.refreshes, 1);
        QCOMPARE(g.row(0), (QStringList{"", "ID", "Nick Name", "Parlante", "IPAddress"}));

        fillGrid(s, g, false);
        QCOMPARE(g.righe(), 4);
        const QList<int> widths = {300, 300, 1800, 700, 1200};
        for (int c = 0; c < 5; ++c)
            QCOMPARE(g.larghezzaColonna(c), widths.at(c));
        QCOMPARE(g.row(1), (QStringList{"", "11", "a", "NO", "10.0.0.1"}));
        QCOMPARE(g.row(2), (QStringList{"", "22", "b", "SI", ""}));
        QCOMPARE(g.row(3), (QStringList{"", "33", "c", "NO", "10.0.0.3"}));
        QCOMPARE(g.pictureCount(), 0);

        // A change of speaking state rewrites its row only.
        const int clears = g.clears;
        QVERIFY(s.UtenteMuto("b"));
        QCOMPARE(g.clears, clears);
        QCOMPARE(g.row(2), (QStringList{"", "22", "b", "NO", ""}));
        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(g.clears, clears + 1);
        QCOMPARE(g.righe(), 3);
        QCOMPARE(g.row(1), (QStringList{"", "22", "b", "NO", ""}));
        QCOMPARE(g.outOfRangeWrites, 0);
    }

    void gridShortLayoutAndStalePicture()
    {
        FakeGriglia g;
        Stanza s;
        fillGrid(s, g, true);
        QCOMPARE(g.colonne(), 3);
        QCOMPARE((QList<int>{g.larghezzaColonna(0), g.larghezzaColonna(1), g.larghezzaColonna(2)}),
                 (QList<int>{1, 2480, 400}));
        QCOMPARE(g.row(0), (QStringList{"", "Nick Name", ""}));
        QCOMPARE(g.row(1), (QStringList{"", "a", ""}));
        s.VisualizzaUtenti(0);
        QCOMPARE(g.pictureCount(), 1);
        QCOMPARE(g.immagine(2, 2), microfono());
        QCOMPARE(g.rigaCorrente(), 2);
        QCOMPARE(g.colonnaCorrente(), 2);
        // Silenced by a row rewrite: the text is blanked, the picture stays
        // until the next full rebuild.
        QVERIFY(s.UtenteMuto("b"));
        QCOMPARE(g.testo(2, 2), QString());
        QVERIFY(g.haImmagine(2, 2));
        s.VisualizzaUtenti(0);
        QCOMPARE(g.pictureCount(), 0);
        QCOMPARE(g.outOfRangeWrites, 0);
    }

    void gridRowOutsideDrawsNothing()
    {
        FakeGriglia g;
        Stanza s;
        s.MaxUtenti = s.MaxUtentiAudio = 3;
        s.AggiungiUtente(1, "a"); // no grid yet
        s.grdUtenti = &g;
        s.AttivaGrafica = true;
        QVERIFY(s.UtenteParlante("a"));
        QCOMPARE(s.Errori.Numero, 0);
        s.VisualizzaUtenti(7);
        s.VisualizzaUtenti(-1);
        QCOMPARE(g.outOfRangeWrites + g.refreshes, 0);
        s.VisualizzaUtenti(0);
        QCOMPARE(g.row(1), (QStringList{"", "1", "a", "SI", ""}));
    }

    void relays()
    {
        // Sends as "id:message", '#' between them; speakers after the relay.
        const struct
        {
            int sender;
            const char *payload, *sent, *speakers;
        } rows[] = {
            {7, "0001 | anna | true $", "100:0004 | 7 ^ true $ ", "anna"},
            // The floor is full: only the asker hears the refusal.
            {7, "0001 | anna | true $0001 | anna | TRUE $",
             "100:0004 | 7 ^ true $ #7:0001 | true $ ", "anna"},
            {9, "0001 | carla | False $", "100:0004 | 9 ^ False $ ", ""},
            {7, "0001 | anna | true $ 0001 | anna | false $ ",
             "100:0004 | 7 ^ true $ #100:0004 | 7 ^ false $ ", ""},
            {8, "0002 | bob | bob ^ ciao a tutti $ ", "100:0005 | bob ^ ciao a tutti $ ", ""},
            {7, "0003 | anna | anna ^ carla ^ solo per te $ ",
             "9:0006 | anna ^ solo per te $ #7:0007 | carla ^ solo per te $ ", ""},
            {7, "0004 | anna |bob$ ", "8:0008 | anna $ ", ""},
            {8, "0005 | bob |anna$ ", "7:0009 | bob $ ", ""},
            {8, "0006 | bob |anna$ ", "7:0010 | bob $ ", ""},
            // The sender is who the session says, whatever nick the message carries.
            {8, "0001 | anna | true $", "100:0004 | 8 ^ true $ ", "bob"},
            {8, "0002 | anna | anna ^ x $", "100:0005 | bob ^ x $ ", ""},
            {8, "0003 | anna | anna ^ carla ^ x $", "9:0006 | bob ^ x $ #8:0007 | carla ^ x $ ",
             ""},
            {9, "0004 | anna |bob$", "8:0008 | carla $ ", ""},
            // Strangers: dropped, never sent to id 0, which reaches everybody.
            {7, "0003 | anna | anna ^ zed ^ x $", "", ""},
            {7, "0004 | anna | Bob $", "", ""},
            {55, "0001 | anna | true $0002 | a | a ^ x $", "", ""},
            {0, "0002 | a | a ^ x $", "", ""},
            // Malformed: ignored, the rest of the payload still handled.
            {7, "0001 | anna | true ", "", ""},
            {7, "0001 | true $0005 | anna $", "", ""},
            {7, "0001 | anna | forse $0001 | anna | $", "", ""},
            {7, "0002 | anna | ciao $", "", ""},
            {7, "0003 | anna | anna ^ carla $0002 | anna | anna ^ dopo $",
             "100:0005 | anna ^ dopo $ ", ""},
            {7, "0007 | anna | bob $0011 | anna | bob $", "", ""},
            {7, "", "", ""},
        };
        for (const auto& r : rows) {
            Stanza s;
            fillRoom(s);
            FakeSessione session;
            QVERIFY(s.GestPacUtente(r.sender, wire(r.payload), session));
            QCOMPARE(session.sent.join(u'#'), wire(r.sent));
            QCOMPARE(nicks(s, true).join(u','), QString(r.speakers));
            QCOMPARE(s.NumUtentiAudio(), nicks(s, true).size());
        }
    }

    void relayStopsAtFailedSendOrDeparture()
    {
        Stanza s;
        fillRoom(s);
        s.MaxUtentiAudio = 3;
        FakeSessione session;
        session.failFrom = 0;
        QVERIFY(!s.GestPacUtente(7, wire("0003 | anna | anna ^ bob ^ x $0001 | anna | true $"),
                                 session));
        QVERIFY(session.sent.isEmpty()); // no echo of an undelivered line
        QCOMPARE(s.NumUtentiAudio(), 0); // and nothing after it handled
        session.failFrom = 1;
        QVERIFY(!s.GestPacUtente(7, wire("0003 | anna | anna ^ bob ^ x $"), session));
        QCOMPARE(session.sent, QStringList{wire("8:0006 | anna ^ x $ ")});

        // The session may deliver the sender's departure while sending.
        FakeSessione leaving;
        leaving.room = &s;
        leaving.leaving = "anna";
        QVERIFY(
            s.GestPacUtente(7, wire("0002 | anna | anna ^ x $0002 | anna | anna ^ y $"), leaving));
        QCOMPARE(leaving.sent, QStringList{wire("100:0005 | anna ^ x $ ")});
    }

    void randomPayloadsStayInsideRoom()
    {
        Stanza s;
        fillRoom(s);
        s.MaxUtentiAudio = 2;
        const QString alphabet = wire("0123456 annabobcarlatruefalse|^$");
        QRandomGenerator rng(4321);
        FakeSessione session;
        for (int round = 0; round < 3000; ++round) {
            QString text;
            for (int i = int(rng.bounded(60)); i > 0; --i)
                text += round % 3 ? alphabet.at(rng.bounded(int(alphabet.size())))
                                  : QChar(char16_t(rng.bounded(0x3000)));
            QVERIFY(s.GestPacUtente(7 + int(rng.bounded(3)), text, session));
        }
        // Every send went to a member or to the room, never to everybody.
        for (const QString& line : std::as_const(session.sent))
            QVERIFY2(QStringList({"7", "8", "9", "100"}).contains(line.section(u':', 0, 0)),
                     qPrintable(line));
        QCOMPARE(s.NumUtentiAudio(), nicks(s, true).size());
        QVERIFY(s.NumUtentiAudio() <= 2);
    }
};

QTEST_GUILESS_MAIN(TestStanza)
#include "tst_stanza.moc"
