#include "lobby/frmchat2.h"
#include "lobby/frmlistastanze.h"
#include "lobby/frmlistautenti.h"
#include "lobby/frmnuovastanza.h"
#include "protocol/textcodec.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QComboBox>
#include <QLineEdit>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;
using R = FakeMaster::Richiesta;

namespace {

// Wire texts as test::wire writes them, with "\4".."\9" for the markers SEP4..SEP9.
QString t(const QString& testo)
{
    QString s = test::wire(qPrintable(testo));
    for (int n = 4; n <= 9; ++n)
        s.replace(u'\\' + QString::number(n), QChar(32 - n));
    return s;
}
const auto riga = [](QWidget* w) { return w->findChild<QLineEdit*>("txtTesto"); };
const auto righe = [](frmChat2* c) {
    return c ? c->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
};

template <typename T = QPushButton> T* w(QWidget* finestra, const char* nome)
{
    return BancoLobby::figlio<T>(finestra, nome);
}

// A lobby logged in as `utente` to a fake master that answers the login, and what `copione` adds.
struct Collegata
{
    explicit Collegata(const std::function<void(FakeMaster&)>& copione = {},
                       const QString& utente = "mario")
    {
        f.ascolta();
        f.quando("0001", FakeMaster::rispondi(u"00001", {"", "0"}));
        f.quando("0008", FakeMaster::rispondi(u"00009"));
        f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", "2.0b"}));
        if (copione)
            copione(f);
        banco.collega(f.porta(), utente);
    }
    Module1& m() { return banco.modulo(); }
    void arriva(const QString& testo) { m().GestisciDatiArrivatiMaster(t(testo)); }
    QStringList inviati(const QString& codice = "0013") const
    {
        return f.testi().filter(QRegularExpression('^' + codice + ' '));
    }
    frmChat2* chat(const QString& partner)
    {
        frmChat2* c = m().FinestraChat(m().NuovaFinestraChat(partner));
        c->show();
        return c;
    }
    QStringList griglia()
    {
        Griglia& g = m().FrmListaUtenti()->griglia();
        QStringList r;
        for (int i = 1; i < g.righe(); ++i)
            r << g.testo(i, 1) + '|' + g.testo(i, 2);
        return r;
    }

    // The master sends `testo` once `pronto` holds, as checked every few ms.
    void appena(const std::function<bool()>& pronto, const QString& testo)
    {
        QObject::connect(&spinta, &QTimer::timeout, &spinta, [this, pronto, testo] {
            if (spinta.isActive() && pronto()) {
                spinta.stop();
                f.invia(t(testo).toUtf8());
            }
        });
        spinta.start(2);
    }

    FakeMaster f;
    BancoLobby banco;
    QTimer spinta;
};

const auto r = [](const QString& testo) { return FakeMaster::grezzo(t(testo).toUtf8()); };

// anna at 192.168.1.2, logged in at a fake master listing Sala, an emptied place and Segreta
// (full) in list 1, nothing in list 2, Multi in list 3.
void copioneStanze(FakeMaster& f)
{
    f.quando("0001", r("00001 ^ B ~ 5 |"));
    f.quando("0002", r("00002 ^ 3 |"));
    f.quando("0003", [](const R& q) {
        const QString i = q.parametri.value(0);
        return r(i == "1" ? "00004 ^ 3 |" : i == "2" ? "00005 ^ |" : "00004 ^ 1 |");
    });
    f.quando("0004", [](const R& q) {
        const QString k = q.parametri.join(',');
        return r(k == "1,1"   ? "00006 ^ Sala ~ 3 ~ Vero ~  ~ 10.0.0.5 ~ 2302 ~ FALSO ~ 10 ~ 3 |"
                 : k == "1,2" ? "00007 ^ |"
                 : k == "1,3" ? "00006 ^ Segreta ~ 12 ~ falso ~ * ~ h ~ 1 ~ FALSE ~ 10 ~ 2 |"
                              : "00006 ^ Multi ~ 0 ~ False ~ * ~ h7 ~ 2304 ~ x ~ 5 ~ 1 |");
    });
    f.quando("0005", [](const R& q) {
        return r(q.parametri.value(1) == "pw" ? "00051 ^ |" : "00052 ^ |");
    });
    f.quando("0006", r("00061 ^ biglietto |"));
}
struct Lobby : Collegata
{
    Lobby() : Collegata(copioneStanze, "anna") { m().UtenteCorrente.IPAddress = "192.168.1.2"; }
    frmListaStanze* lista()
    {
        banco.pulsante("cmdListaStanze")->click();
        frmListaStanze* l = m().FrmListaStanzeEsistente();
        return QTest::qWaitFor([&] { return w(l, "CmdAggiorna")->isEnabled(); }) ? l : nullptr;
    }
    QStringList avvii() const
    {
        QStringList a;
        for (const auto& avvio : banco.programmi.avvii)
            a << avvio.programma + ": " + avvio.argomenti;
        return a;
    }
};

const QString kFine = " + anna + 192.168.1.2 + T + B + 5";

} // namespace

class TestChatStanze : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The program name a room start passes on.
    void initTestCase() { QCoreApplication::setApplicationName("T"); }
    void init() { Attesa::riprendi(); }

    // The window's state before the arrival ("" none, "aperta" open, or the button clicked).
    void notifiche_data()
    {
        QTest::addColumn<QString>("stato");
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QStringList>("attese");
        const QString prima = "<anna> prima";
        QTest::newRow("private, no window") << QString() << "0002" << QStringList{"<anna> ciao"};
        QTest::newRow("system, hidden")
            << QString("cmdNascondi") << "0004" << QStringList{prima, "<System Message> ciao"};
        QTest::newRow("ignored") << QString("cmdIgnora") << "0002" << QStringList{prima};
        // Never under the partner's nick, even without a window.
        QTest::newRow("own echo, no window") << QString() << "0003" << QStringList{"<mario> ciao"};
    }
    void notifiche()
    {
        QFETCH(QString, stato);
        QFETCH(QString, codice);
        Collegata c;
        if (!stato.isEmpty()) {
            c.chat("anna")->AggiungiRiga("<anna> prima");
            if (QPushButton* b = w(c.m().FinestraChat(1), qPrintable(stato)))
                b->click();
        }
        c.arriva(codice + " ^ anna ~ ciao |");
        frmChat2* chat = c.m().FinestraChat(1);
        QCOMPARE(c.m().FinestreChat.UBound(), 1);
        QTEST(righe(chat), "attese");
        QCOMPARE(chat->isVisible(), stato != "cmdIgnora");
    }

    // A question from anna (invitation or contact request), the user's answer, the box's title
    // and the answer sent; no title: no box.
    void domande_data()
    {
        QTest::addColumn<QString>("testo");
        QTest::addColumn<bool>("ignorata");
        QTest::addColumn<bool>("si");
        QTest::addColumn<QString>("titolo");
        QTest::addColumn<QString>("risposta");
        const QString inv = "\\4 L'utente anna ti ha invitato in una stanza privata.\r Vuoi "
                            "accettare la richiesta?";
        const QString cl = "\\7 L'utente anna ti vuole aggiungere nella propria contact list.\r "
                           "Vuoi accettare la richiesta?";
        const QString lista = "Inserimento in Contact List", invito = "Invito in chat privata";
        QTest::newRow("contact, ignored, yes") << cl << true << true << lista << "\\8 ACCETTO  | ";
        QTest::newRow("contact, no") << cl << false << false << lista << "\\9 NON ACCETTO | ";
        QTest::newRow("invitation, yes") << inv << false << true << invito << "\\5 ACCETTO  | ";
        QTest::newRow("invitation, no") << inv << false << false << invito << "\\6 NON ACCETTO | ";
        QTest::newRow("invitation, ignored") << inv << true << true << QString() << QString();
    }
    void domande()
    {
        QFETCH(QString, testo);
        QFETCH(bool, si);
        QFETCH(QString, titolo);
        QFETCH(bool, ignorata);
        Collegata c;
        if (ignorata)
            c.chat("anna")->UtenteIgnorato = true;
        c.banco.dialoghi.risposte.enqueue(si ? Risposta::Si : Risposta::No);
        // A box left open must not stop the master's checks being answered.
        bool risposto = false;
        c.banco.dialoghi.mentreAperta = [&] {
            c.f.invia(encodeText(t("0005 ^ tok42 |")));
            risposto = QTest::qWaitFor([&] { return !c.inviati("0014").isEmpty(); }, 5000);
        };
        c.arriva("0002 ^ anna ~ " + testo + " |");
        // Boxes open once the arrival has been handled.
        QVERIFY(c.banco.dialoghi.messaggi.isEmpty());
        QTest::qWait(20);
        if (titolo.isEmpty()) {
            QVERIFY(c.banco.dialoghi.messaggi.isEmpty());
            return;
        }
        const auto& box = c.banco.dialoghi.messaggi.first();
        QCOMPARE(box.titolo + box.testo, titolo + t(testo).mid(1));
        QVERIFY(box.icona == Icona::Domanda && box.pulsanti == Pulsanti::SiNo && risposto);
        QFETCH(QString, risposta);
        QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ anna ~ " + risposta)});
        // An accepted invitation then waits for the room the master creates.
        if (si && titolo.startsWith("Invito"))
            QTRY_COMPARE(c.banco.dialoghi.testiMessaggi().value(1),
                         "Non e' possibile creare la stanza");
    }

    void unaDomandaAllaVolta()
    {
        BancoLobby banco;
        FakeDialoghi& caselle = banco.dialoghi;
        caselle.rispostaPredefinita = Risposta::No;
        Module1& m = banco.modulo();
        const auto da = [&m](const QString& testo) { m.GestisciDatiArrivatiMaster(t(testo)); };
        caselle.mentreAperta = [&] {
            da("0002 ^ anna ~ \\4 invito |0002 ^ bruno ~ \\4 invito |");
            da("0002 ^ anna ~ \\7 lista |0002 ^ bruno ~ \\4 invito |");
        };
        da("0002 ^ anna ~ \\4 invito |");
        QTRY_COMPARE(caselle.messaggi.size(), 3);
        QCOMPARE(caselle.massimoAperte, 1);
        QCOMPARE(caselle.testiMessaggi(), QStringList({" invito", " invito", " lista"}));
    }

    void contattiETestiStrani()
    {
        Collegata c;
        Module1& m = c.m();
        c.banco.cartella.scrivi("CntLst.klm", "bruno\r\n");
        m.CaricaContactList();
        m.FrmListaUtenti()->FermaAggiornamento();
        QString testo;
        for (const char* nick : {"anna", "zeta"})
            QVERIFY(m.InviaMessaggioContactList(nick, testo, true, false, false));
        // Answers from who was never asked, or answered already, are forged.
        c.arriva("0002 ^ carla ~ \\8 ACCETTO |0002 ^ anna ~ \\8 ACCETTO |"
                 "0002 ^ anna ~ \\8 ACCETTO |0002 ^ zeta ~ \\9 NO |0002 ^ zeta ~ \\8 SI |");
        const QString si = "L'utente ha accettato la richiesta";
        QTRY_COMPARE(c.banco.dialoghi.testiMessaggi(),
                     QStringList({si, "L'utente ha rifiutato la richiesta"}));
        QCOMPARE(m.ContactList[2].Stato, kVero);
        QCOMPARE(c.banco.cartella.leggi("CntLst.klm"), "bruno\r\nanna\r\n");
        QCOMPARE(c.griglia(), QStringList{"anna|Connesso"});

        // Odd texts: no crash, no contact with a bad nick, no room.
        c.banco.dialoghi.rispostaPredefinita = Risposta::No;
        for (const char* testo :
             {"0002 ^ ~ \\4 x |", "0002 ^ |", "0003 ^ zeta |", "0002 ^ zeta ~ a\\5b\\6 |",
              "0002 ^ \\4 ~ \\5\\4\\7\\8 |", "0004 ^ a\nb ~ \\8 |", "0002 ^ zeta ~ x ~ y |"})
            c.arriva(testo);
        QCOMPARE(m.ContactList.UBound(), 2);
        QVERIFY(c.inviati("0007").isEmpty());
        QCOMPARE(righe(m.FinestraChat(1)),
                 QStringList({"<mario> ",
                              "<System Message> La richiesta di invito è stata "
                              "rifiutata ",
                              "<zeta> x"}));
    }

    void finestraChat()
    {
        Collegata c;
        frmChat2* chat = c.chat("anna");
        riga(chat)->setText("   ");
        QTest::keyClick(riga(chat), Qt::Key_Return);
        QCOMPARE(riga(chat)->text(), "   ");
        riga(chat)->setText(QString(" ciao") + SEP1 + SEP4 + "a tutti ");
        QTest::keyClick(riga(chat), Qt::Key_Return);
        riga(chat)->setText("due");
        w(chat, "cmdInvia")->click();
        QTRY_COMPARE(c.inviati(), QStringList({t("0013 ^ mario ^ anna ~ ciaoa tutti | "),
                                               t("0013 ^ mario ^ anna ~ due | ")}));
        QVERIFY(riga(chat)->text().isEmpty() && chat->Trascrizione().isEmpty());

        riga(chat)->setText("resta");
        w(chat, "CmdInvita")->click();
        QTRY_COMPARE(c.inviati().mid(2),
                     QStringList{t("0013 ^ mario ^ anna ~ \\4 L'utente mario ti ha invitato in una "
                                   "stanza privata.\r Vuoi accettare la richiesta?  | ")});
        QCOMPARE(riga(chat)->text(), "resta");
        QVERIFY(!w(chat, "CmdInvita")->isEnabled());
        chat->RiarmaInvita();
        QTRY_VERIFY(w(chat, "CmdInvita")->isEnabled());

        // Refused: one line. An acceptance from someone never invited starts nothing.
        c.arriva("0002 ^ anna ~ \\6 NON ACCETTO |0002 ^ bruno ~ \\5 ACCETTO |");
        c.arriva("0002 ^ anna ~ \\5 ACCETTO |");
        const QString inoltrata = "<System Message> La richiesta di invito è stata inoltrata.... ";
        QCOMPARE(righe(chat), QStringList({inoltrata, "<System Message> La richiesta di invito è "
                                                      "stata rifiutata "}));
        QVERIFY(c.inviati("0007").isEmpty());

        // Accepted: the private room is asked for (its request is the room start's test).
        w(chat, "CmdInvita")->click();
        c.arriva("0002 ^ anna ~ \\5 ACCETTO |");
        QCOMPARE(c.inviati("0007").size(), 1);
    }

    void listaContatti()
    {
        Collegata c;
        Module1& m = c.m();
        c.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\ncarla\r\ndario\r\n");
        m.CaricaContactList();
        m.ContactList[4].Stato = kVero;
        c.f.quando("0012", [&m](const FakeMaster::Richiesta& r) {
            static const QHash<QString, QString> codici{
                {"anna", "10012"}, {"bruno", "00012"}, {"carla", "20012"}, {"dario", "99999"}};
            // A tick while the reply is awaited must not start a second refresh.
            m.FrmListaUtenti()->AggiornaSubito();
            Attesa::Pausa(20);
            return FakeMaster::rispondi(codici.value(r.parametri.value(0)));
        });
        c.banco.pulsante("cmdListaUtenti")->click();
        frmListaUtenti* lista = m.FrmListaUtenti();
        QVERIFY(m.ListaUtentiAperta);
        QTRY_VERIFY(c.inviati("0012").size() == 4 && !lista->aggiornamentoInCorso());
        QCOMPARE(c.inviati("0012").first(), t("0012  ^ mario ^ anna |"));
        QCOMPARE(c.griglia(), QStringList({"anna|Connesso", "bruno|Non Connesso",
                                           "carla|Non Connesso", "dario|Connesso"}));
        lista->FermaAggiornamento();

        // Only a new name other than one's own is asked, lower-cased and trimmed.
        for (const char* nome : {" Elena ", "mario", "anna", ""}) {
            c.banco.dialoghi.testi.enqueue(nome);
            w(lista, "cmdAggiungiCL")->click();
        }
        QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ elena ~ \\7 L'utente mario ti "
                                                "vuole aggiungere nella propria contact list.\r "
                                                "Vuoi accettare la richiesta?  | ")});

        // Elimina rewrites the file and asks again; an offline contact is not contacted.
        c.f.quando("0012", FakeMaster::rispondi(u"00012"));
        lista->griglia().impostaCellaCorrente(1, 1);
        w(lista, "cmdEliminaCL")->click();
        QCOMPARE(c.banco.cartella.leggi("CntLst.klm"), "bruno\r\ncarla\r\ndario\r\n");
        QCOMPARE(c.griglia().first(), "bruno|Non Connesso");
        w(lista, "cmdContattaCL")->click();
        QCOMPARE(m.FinestreChat.UBound(), 0);

        c.f.chiudiConnessione();
        QTRY_VERIFY(!m.ConnessoAlMaster);
        w(lista, "cmdAggionaCL")->click();
        QCOMPARE(c.banco.dialoghi.testiMessaggi(), QStringList{"Non si è connessi al master"});
        // A chat line typed stays, and the window says why.
        frmChat2* chat = c.chat("anna");
        riga(chat)->setText("persa?");
        w(chat, "cmdInvia")->click();
        QCOMPARE(riga(chat)->text() + righe(chat).join(""),
                 "persa?<System Message> Messaggio non inviato: non si è connessi al master");
        w(lista, "cmdEsciCL")->click();
        QVERIFY(!m.ListaUtentiAperta && !m.FrmListaUtentiEsistente());
    }

    void elencoOrdinaEntra()
    {
        Lobby l;
        frmListaStanze* lista = l.lista();
        QVERIFY(lista && l.m().ListaStanzeAperta);
        QCOMPARE(l.f.testi().mid(3).join('\n'),
                 t("0002 ^ anna ^ No Parametri |\n0003 ^ anna ^ 1 | \n0004 ^ anna ^ 1 ~ 1 | \n"
                   "0004 ^ anna ^ 1 ~ 2 | \n0004 ^ anna ^ 1 ~ 3 | \n0003 ^ anna ^ 2 | \n"
                   "0003 ^ anna ^ 3 | \n0004 ^ anna ^ 3 ~ 1 | "));
        QCOMPARE(l.m().ListaStanze[2]->NumUtenti(), qint16(10));
        lista->griglia().impostaCellaCorrente(1, 1);
        w(lista, "cmdAccedi")->click();
        QCOMPARE(l.avvii(), QStringList("voice: 10.0.0.5 + 10 + 3 + Sala +  + 2302" + kFine));
        // The master's ticket for the room reaches the voice client outside
        // its command line, and only it.
        QCOMPARE(l.f.testi().last(), t("0006 ^ anna ^ Sala | "));
        QCOMPARE(l.banco.programmi.avvii.last().biglietto, "biglietto");
        QVERIFY(!qEnvironmentVariableIsSet("KALIMO_ROOM_TICKET"));
        QTRY_VERIFY(!l.m().FrmListaStanzeEsistente() && !l.m().ListaStanzeAperta);
    }

    void fineElenco_data()
    {
        // The request that goes wrong, its answer ("" none), whether Aggiorna rather than the
        // timer started the listing. The lobby's stop and time-out are the login's.
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QString>("risposta");
        QTest::addColumn<bool>("pulsante");
        QTest::addColumn<QString>("messaggio");
        QTest::addColumn<int>("stanze");
        QTest::newRow("no rooms") << QString("0002") << "00002 ^ 0 |" << true
                                  << "Non ci sono stanze attualmente" << 0;
        QTest::newRow("count no number") << QString("0002") << "00002 ^ tre |" << true << "" << 0;
        // Read at once, not after a search per head.
        QTest::newRow("huge room")
            << QString("0004") << "00006 ^ G ~ 32767 ~ x ~  ~ h ~ 1 ~ x ~ 32767 ~ 1 |" << false
            << "Il master non ha risposto in tempo" << 2;
    }

    void fineElenco()
    {
        QFETCH(QString, codice);
        QFETCH(QString, risposta);
        QFETCH(bool, pulsante);
        QFETCH(QString, messaggio);
        Lobby l;
        // With the button, the timer's listing comes first and goes well.
        int prima = pulsante ? 1 : 0;
        if (pulsante)
            l.f.unaVolta("0002", r("00002 ^ 1 |"));
        l.f.unaVolta("0004", r("00006 ^ A ~ 1 ~ x ~  ~ h ~ 1 ~ x ~ 9 ~ 1 |"));
        l.f.quando("0003", r("00004 ^ 2 |"));
        l.f.quando(codice, FakeMaster::niente());
        l.f.dopoRichiesta = [&](const R& q) {
            if (q.codice != codice || (codice == "0004" && q.parametri.value(1) != "2") ||
                prima-- > 0)
                return;
            l.f.invia(t(risposta).toUtf8());
        };
        frmListaStanze* lista = l.lista();
        QVERIFY(lista);
        if (pulsante)
            w(lista, "CmdAggiorna")->click();
        QCOMPARE(l.banco.dialoghi.testiMessaggi(),
                 messaggio.isEmpty() ? QStringList() : QStringList(messaggio));
        QTEST(l.m().ListaStanze.UBound(), "stanze");
        QVERIFY(!lista->elencoInCorso() && !lista->OperazioneAnnullata &&
                !l.m().master().occupato());
    }

    void avvio_data()
    {
        // entra <row> <typed password>; crea <name>|<users index>; a voice-link message.
        QTest::addColumn<QString>("azione");
        QTest::addColumn<QString>("risposta"); // to "0007", or pushed while the lobby waits
        QTest::addColumn<qint64>("id");        // the start's task id
        QTest::addColumn<QString>("messaggi"); // joined by |
        QTest::addColumn<QString>("argomenti");
        const QString crea = "10.0.0.5 + 5 + 2 +  Sala  + pw + 2302" + kFine;
        const QString privata = "10.0.0.9 + 2 + 2 + Stanza di anna e bea + anna<->bea + 2400";
        const char* dati = "00071 ^ 10.0.0.9 ~ 2400 ~ Stanza di anna e bea ~ anna<->bea |";
        const char* attesa = "0002 ^ NO PARAMETRI |";
        const QString pieno = "La stanza ha esaurito il numero di posti disponibili",
                      errata = "Attenzione!!! la password non è corretta",
                      fallito = "Impossibile aprire una sessione audio",
                      piuNome = "Il nome e la password della stanza non possono contenere il "
                                "carattere \"+\"",
                      esiste = "La stanza già esiste", impossibile = "Impossibile creare la stanza",
                      nonE = "Non e' possibile creare la stanza",
                      incompleti = "I dati della stanza ricevuti dal master sono incompleti: "
                                   "impossibile entrare nella stanza",
                      piu = "I dati della stanza contengono il carattere \"+\": impossibile "
                            "entrare nella stanza";
        const auto riga = [](const char* nome, const char* azione, const char* risposta, qint64 id,
                             const QString& messaggi, const QString& argomenti) {
            QTest::newRow(nome) << QString(azione) << QString(risposta) << id << messaggi
                                << argomenti;
        };
        riga("full", "entra 2", "", 9, pieno, "");
        riga("wrong password", "entra 3 PW", "", 9, errata, "");
        riga("password", "entra 3 pw", "", 9, "", "h7 + 5 + 1 + Multi + pw + 2304" + kFine);
        riga("not started", "entra 1", "", 0, fallito,
             "10.0.0.5 + 10 + 3 + Sala +  + 2302" + kFine);
        riga("blank name", "crea    |3", "", 9, "Inserire un nome per la stanza", "");
        riga("plus", "crea A+B|3", "", 9, piuNome, "");
        riga("exists", "crea  Sala |3", "00072 ^ |", 9, esiste, "");
        riga("no port", "crea  Sala |3", "00071 ^ 10.0.0.5 |", 9, incompleti, "");
        riga("created", "crea  Sala |3", "00071 ^ 10.0.0.5 ~ 2302 |", 9, "", crea);
        riga("private", "0001 ^ bea |", dati, 9, "", privata + kFine);
        riga("waiting", attesa, dati, 9, "", privata + kFine);
        riga("waiting, plus", attesa, "00071 ^ h ~ 2400 ~ A+B ~ pw |", 9, piu, "");
        riga("no partner, then waiting", "0001 ^  |0002 ^ NO PARAMETRI |", "", 9, nonE, "");
        riga("two in one arrival", "0001 ^ bea |0002 ^ NO PARAMETRI |", "", 9,
             impossibile + "|" + nonE, "");
    }

    void avvio()
    {
        QFETCH(QString, azione);
        QFETCH(QString, risposta);
        QFETCH(qint64, id);
        QFETCH(QString, messaggi);
        QFETCH(QString, argomenti);
        Lobby l;
        frmClient* c = l.banco.client();
        l.f.quando("0007", risposta.isEmpty() ? FakeMaster::niente() : r(risposta));
        l.banco.programmi.idPredefinito = id;
        l.m().IDProcessoVoice = 77;
        const QStringList p = azione.split(' ');
        QTcpSocket link, altro; // two voice clients linked, the older one asking
        if (p[0] == "entra") {
            frmListaStanze* lista = l.lista();
            QVERIFY(lista);
            l.banco.dialoghi.testi.enqueue(p.value(2));
            lista->griglia().impostaCellaCorrente(p[1].toInt(), 1);
            // A second click during the wrong-password pause asks nothing more.
            if (azione == "entra 3 PW") {
                l.banco.dialoghi.testi.enqueue("pw");
                QTimer::singleShot(0, lista, [lista] { w(lista, "cmdAccedi")->click(); });
            }
            w(lista, "cmdAccedi")->click();
            QTRY_COMPARE(!l.m().FrmListaStanzeEsistente(), id != 0 && !argomenti.isEmpty());
        } else if (p[0] == "crea") {
            l.banco.pulsante("cmdNuovaStanza")->click();
            frmNuovaStanza* f = l.m().FrmNuovaStanzaEsistente();
            w<QLineEdit>(f, "txtNomeStanza")->setText(azione.mid(5).section('|', 0, 0));
            w<QLineEdit>(f, "txtPassword")->setText("pw");
            w<QComboBox>(f, "txtMaxUtenti")->setCurrentIndex(azione.section('|', 1).toInt());
            w<QComboBox>(f, "txtMaxAudio")->setCurrentIndex(1);
            w(f, "cmdCreala")->click();
            QCOMPARE(l.f.testi().mid(3),
                     messaggi.startsWith("Inserire") || azione.contains('+')
                         ? QStringList()
                         : QStringList(t("0007 ^ anna ^  Sala  ~ 5 ~ 2 ~ pw | ")) +
                               (argomenti.isEmpty() ? QStringList()
                                                    : QStringList(t("0006 ^ anna ^  Sala  | "))));
            QTRY_COMPARE(!l.m().FrmNuovaStanzaEsistente(), id != 0 && !argomenti.isEmpty());
        } else {
            for (QTcpSocket* s : {&link, &altro}) {
                s->connectToHost(QHostAddress::LocalHost, c->collegamentiVoce().portaAscolto());
                QVERIFY(s->waitForConnected(5000));
            }
            QTRY_COMPARE(l.m().IndiceWskVoice, qint16(2));
            // The data procedure sends nothing: its answer goes out once it waits.
            if (p[0] == "0002" && !risposta.isEmpty())
                l.appena([&] { return l.m().master().occupato(); }, risposta);
            // Cut in two: the lobby puts it back together.
            const QByteArray byte = t(azione).toUtf8();
            link.write(byte.left(5));
            link.flush();
            QTest::qWait(20);
            link.write(byte.mid(5));
            QTRY_COMPARE(l.banco.dialoghi.messaggi.size() + l.banco.programmi.avvii.size(),
                         messaggi.count('|') + !messaggi.isEmpty() + !argomenti.isEmpty());
            QCOMPARE(l.f.codici().contains("0007"), azione.contains("bea"));
            if (azione.startsWith("0001 ^ bea"))
                QCOMPARE(l.f.testi()[3], t("0007 ^ anna ^ Stanza di anna e bea ~ 2 ~ 2 ~ "
                                           "anna<->bea ~ bea | "));
        }
        QCOMPARE(l.banco.dialoghi.testiMessaggi().join('|'), messaggi);
        QCOMPARE(l.avvii(),
                 argomenti.isEmpty() ? QStringList() : QStringList("voice: " + argomenti));
        // The running voice client is asked to go only when a new one starts.
        QCOMPARE(l.banco.programmi.chiusure,
                 argomenti.isEmpty() ? QList<qint64>() : QList<qint64>{77});
        QCOMPARE(l.m().IDProcessoVoice, argomenti.isEmpty() ? 77 : id);
        // Creation and private rooms close the newest link; with none the listener stays.
        QVERIFY(c->collegamentiVoce().InAscolto());
        if (p[0] != "entra" && !argomenti.isEmpty() && l.m().IndiceWskVoice == 2) {
            QTRY_VERIFY(altro.state() == QAbstractSocket::UnconnectedState);
            // An older client's link closing after the start keeps the new id;
            // the new client's own link closing clears it.
            auto* lbl = w<QLabel>(c, "lbl");
            link.disconnectFromHost();
            QTRY_COMPARE(lbl->text(), "Non connesso");
            QCOMPARE(l.m().IDProcessoVoice, 9);
            QTcpSocket nuovo;
            nuovo.connectToHost(QHostAddress::LocalHost, c->collegamentiVoce().portaAscolto());
            QTRY_COMPARE(lbl->text(), "Connesso");
            nuovo.disconnectFromHost();
            QTRY_COMPARE(l.m().IDProcessoVoice, 0);
        }
        if (azione == "entra 3 PW") {
            QVERIFY(l.m().StanzaCorrente().Nome.isEmpty());
            QCOMPARE(l.banco.dialoghi.inputs.size(), 1);
        }
    }

    // The room list opened while the contact list waits for a presence
    // reply lists right after it, without a click on "Aggiorna".
    void elencoDopoAltroScambio()
    {
        Lobby l;
        l.m().ContactList.aggiungi({"bea", kFalso});
        l.f.unaVolta("0012", FakeMaster::niente());
        l.f.dopoRichiesta = [&](const R& q) {
            if (q.codice != "0012")
                return;
            l.f.dopoRichiesta = nullptr;
            l.banco.pulsante("cmdListaStanze")->click();
            // The room list's listing has queued behind the presence request.
            l.appena([&] { return l.m().master().inCoda() == 2; }, "10012 ^ |");
        };
        l.banco.pulsante("cmdListaUtenti")->click();
        QTRY_COMPARE(l.m().ListaStanze.UBound(), 3);
        QCOMPARE(l.f.codici().mid(3, 3), QStringList({"0012", "0002", "0003"}));
        QCOMPARE(l.m().ContactList[1].Stato, kVero);
        QVERIFY(l.banco.dialoghi.messaggi.isEmpty());
    }

    // An accepted private-chat invitation waits for the room while the
    // master's own arrival is still being handled.
    void attesaDentroUnArrivo()
    {
        Lobby l;
        l.banco.client();
        bool una = true;
        connect(&l.m().master(), &CollegamentoMaster::testoPrivato, &l.m().master(), [&] {
            if (std::exchange(una, false))
                l.m().AvviaProcedureRicezioneDati();
        });
        QTimer::singleShot(0, [&] { l.f.invia(t("0003 ^ bea ~ ciao |").toUtf8()); });
        l.appena([&] { return l.m().master().occupato() && !una; },
                 "00071 ^ h ~ 2400 ~ Stanza di bea e anna ~ bea<->anna |");
        QTRY_COMPARE(l.avvii().size() + l.banco.dialoghi.messaggi.size(), 1);
        QCOMPARE(l.avvii(), QStringList("voice: h + 2 + 2 + Stanza di bea e anna + bea<->anna + "
                                        "2400" +
                                        kFine));
    }
};

QTEST_MAIN(TestChatStanze)
#include "tst_chatstanze.moc"
