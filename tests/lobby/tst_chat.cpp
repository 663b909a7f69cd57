#include "lobby/frmchat2.h"
#include "lobby/frmlistautenti.h"
#include "protocol/textcodec.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QLineEdit>

using namespace kalimo;
using namespace kalimo::lobby;
using test::FakeMaster;

namespace {

// '^' '~' '#' are SEP2 SEP3 SEP1; "\4".."\9" the markers SEP4..SEP9.
QString t(const QString& testo)
{
    QString s = test::wire(qPrintable(testo));
    for (int n = 4; n <= 9; ++n)
        s.replace(u'\\' + QString::number(n), QChar(32 - n));
    return s;
}
QPushButton* tasto(QWidget* w, const char* nome)
{
    return w->findChild<QPushButton*>(nome);
}
QLineEdit* riga(QWidget* w)
{
    return w->findChild<QLineEdit*>("txtTesto");
}
QStringList righe(frmChat2* c)
{
    return c ? c->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
}

// A lobby (mario) logged in to a fake master that answers the login only.
struct Collegata
{
    Collegata()
    {
        banco.intervalli.primoAggiornamentoListe = 1;
        banco.intervalli.aggiornamentoListe = 60000;
        f.ascolta();
        f.quando("0001", FakeMaster::rispondi(u"00001", {"", "0"}));
        f.quando("0008", FakeMaster::rispondi(u"00009"));
        f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", "2.0b"}));
        banco.scriviMasters(test::BancoLobby::rigaMaster("Primo", f.porta()));
        banco.clicConnetti();
    }
    Module1& m() { return banco.modulo(); }
    void arriva(const QString& testo) { m().GestisciDatiArrivatiMaster(t(testo)); }
    QStringList inviati(const QString& codice = "0013") const
    {
        QStringList testi;
        for (const FakeMaster::Richiesta& r : f.richieste())
            if (r.codice == codice)
                testi << r.testo;
        return testi;
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

    FakeMaster f;
    test::BancoLobby banco;
};

// Boxes that let more notifications in while one is open, as a modal box does.
struct CaselleModali final : Dialoghi
{
    Risposta messaggio(const QString& testo, const QString&, Icona, Pulsanti) override
    {
        testi << testo;
        massimo = std::max(massimo, ++aperte);
        if (auto dentro = std::exchange(mentreAperta, {}))
            dentro();
        --aperte;
        return Risposta::No;
    }
    QString input(const QString&, const QString&, const QString&) override { return {}; }
    std::function<void()> mentreAperta;
    QStringList testi;
    int aperte = 0, massimo = 0;
};

} // namespace

class TestChat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    // The window's state before the arrival ("" none, "aperta" open, or the button clicked).
    void notifiche_data()
    {
        QTest::addColumn<QString>("stato");
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QStringList>("attese");
        const QString prima = "<anna> prima";
        const auto riga = [](const char* nome, const char* stato, const char* codice,
                             const QStringList& attese) {
            QTest::newRow(nome) << QString(stato) << QString(codice) << attese;
        };
        riga("private, no window", "", "0002", {"<anna> ciao"});
        riga("own echo", "aperta", "0003", {prima, "<mario> ciao"});
        riga("system, hidden", "cmdNascondi", "0004", {prima, "<System Message> ciao"});
        riga("ignored", "cmdIgnora", "0002", {prima});
        // Never under the partner's nick, even without a window.
        riga("own echo, no window", "", "0003", {"<mario> ciao"});
        riga("system, no window", "", "0004", {"<System Message> ciao"});
    }
    void notifiche()
    {
        QFETCH(QString, stato);
        QFETCH(QString, codice);
        Collegata c;
        if (!stato.isEmpty()) {
            c.chat("anna")->AggiungiRiga("<anna> prima");
            if (QPushButton* b = tasto(c.m().FinestraChat(1), qPrintable(stato)))
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
        QVERIFY(box.icona == Icona::Domanda && box.pulsanti == Pulsanti::SiNo);
        QFETCH(QString, risposta);
        QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ anna ~ " + risposta)});
        // An accepted invitation then waits for the room the master creates.
        if (si && titolo.startsWith("Invito"))
            QTRY_COMPARE(c.banco.dialoghi.testiMessaggi().value(1),
                         "Non e' possibile creare la stanza");
    }

    void controlloConDomandaAperta()
    {
        // A question box left open must not stop the master's checks being answered.
        Collegata c;
        bool risposto = false;
        c.banco.dialoghi.mentreAperta = [&] {
            c.f.invia(encodeText(t("0005 ^ tok42 |")));
            risposto = QTest::qWaitFor([&] { return !c.inviati("0014").isEmpty(); }, 5000);
        };
        c.f.invia(encodeText(t("0002 ^ anna ~ \\7 lista |")));
        QTRY_VERIFY(!c.banco.dialoghi.messaggi.isEmpty());
        QVERIFY(risposto);
    }

    void unaDomandaAllaVolta()
    {
        test::BancoLobby banco;
        CaselleModali caselle;
        Module1 m(Servizi{&caselle, &banco.programmi, &banco.apri}, banco.cartella.percorso());
        const auto da = [&m](const QString& testo) { m.GestisciDatiArrivatiMaster(t(testo)); };
        caselle.mentreAperta = [&] {
            da("0002 ^ anna ~ \\4 invito |0002 ^ bruno ~ \\4 invito |");
            da("0002 ^ anna ~ \\7 lista |0002 ^ bruno ~ \\4 invito |");
        };
        da("0002 ^ anna ~ \\4 invito |");
        QTRY_COMPARE(caselle.testi.size(), 3);
        QCOMPARE(caselle.massimo, 1);
        QCOMPARE(caselle.testi, QStringList({" invito", " invito", " lista"}));
    }

    void invito()
    {
        Collegata c;
        frmChat2* chat = c.chat("anna");
        riga(chat)->setText("resta");
        tasto(chat, "CmdInvita")->click();
        QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ anna ~ \\4 L'utente mario ti ha "
                                                "invitato in una stanza privata.\r Vuoi "
                                                "accettare la richiesta?  | ")});
        QCOMPARE(riga(chat)->text(), "resta");
        QVERIFY(!tasto(chat, "CmdInvita")->isEnabled());
        chat->RiarmaInvita();
        QTRY_VERIFY(tasto(chat, "CmdInvita")->isEnabled());

        // Refused: one line. An acceptance from someone never invited starts nothing.
        c.arriva("0002 ^ anna ~ \\6 NON ACCETTO |0002 ^ bruno ~ \\5 ACCETTO |");
        c.arriva("0002 ^ anna ~ \\5 ACCETTO |");
        const QString inoltrata = "<System Message> La richiesta di invito è stata inoltrata.... ";
        QCOMPARE(righe(chat), QStringList({inoltrata, "<System Message> La richiesta di invito è "
                                                      "stata rifiutata "}));
        QVERIFY(c.inviati("0007").isEmpty());

        // Accepted: the private room is asked for, then the chat windows and the list close.
        tasto(chat, "CmdInvita")->click();
        QStringList viste;
        c.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
            if (r.codice == "0007")
                viste = righe(chat).mid(3) + r.parametri;
        };
        c.m().FrmListaUtenti()->show();
        c.arriva("0002 ^ anna ~ \\5 ACCETTO |");
        QTRY_VERIFY(!c.m().FinestraChat(1));
        QCOMPARE(viste, QStringList({"<System Message> La richiesta di invito è stata accettata. "
                                     "Sono in corso le procedure di creazione della nuova "
                                     "stanza.... ",
                                     "Stanza di mario e anna", "2", "2", "mario<->anna", "anna"}));
        QVERIFY(!c.m().FrmListaUtentiEsistente());
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
        tasto(chat, "cmdInvia")->click();
        QTRY_COMPARE(c.inviati(), QStringList({t("0013 ^ mario ^ anna ~ ciaoa tutti | "),
                                               t("0013 ^ mario ^ anna ~ due | ")}));
        QVERIFY(riga(chat)->text().isEmpty() && chat->Trascrizione().isEmpty());

        // Nascondi keeps the lines, Chiudi clears them; both only hide.
        c.arriva("0003 ^ anna ~ uno |");
        tasto(chat, "cmdNascondi")->click();
        c.arriva("0002 ^ anna ~ due |");
        QCOMPARE(righe(chat), QStringList({"<mario> uno", "<anna> due"}));
        tasto(chat, "cmdChiudi")->click();
        QVERIFY(!chat->isVisible());
        c.arriva("0002 ^ anna ~ tre |");
        QCOMPARE(righe(chat), QStringList{"<anna> tre"});

        // Without a master the typed line stays and the window says why.
        c.f.chiudiConnessione();
        QTRY_VERIFY(!c.m().ConnessoAlMaster);
        riga(chat)->setText("persa?");
        tasto(chat, "cmdInvia")->click();
        QCOMPARE(riga(chat)->text(), "persa?");
        QCOMPARE(righe(chat).last(),
                 "<System Message> Messaggio non inviato: non si è connessi al master");
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
        QTRY_COMPARE(c.inviati("0012").size(), 4);
        QTRY_VERIFY(!lista->aggiornamentoInCorso());
        QCOMPARE(c.inviati("0012").size(), 4);
        QCOMPARE(c.inviati("0012").first(), t("0012  ^ mario ^ anna |"));
        QCOMPARE(c.griglia(), QStringList({"anna|Connesso", "bruno|Non Connesso",
                                           "carla|Non Connesso", "dario|Connesso"}));
        lista->FermaAggiornamento();

        // Only a new name other than one's own is asked, lower-cased and trimmed.
        for (const char* nome : {" Elena ", "mario", "anna", ""}) {
            c.banco.dialoghi.testi.enqueue(nome);
            tasto(lista, "cmdAggiungiCL")->click();
        }
        QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ elena ~ \\7 L'utente mario ti "
                                                "vuole aggiungere nella propria contact list.\r "
                                                "Vuoi accettare la richiesta?  | ")});

        // Contatta brings back a hidden, ignored window with its lines.
        frmChat2* chat = c.chat("anna");
        chat->AggiungiRiga("<anna> vecchia");
        chat->hide();
        chat->UtenteIgnorato = true;
        lista->griglia().impostaCellaCorrente(1, 1);
        tasto(lista, "cmdContattaCL")->click();
        QVERIFY(chat->isVisible() && !chat->UtenteIgnorato);
        QCOMPARE(righe(chat), QStringList{"<anna> vecchia"});

        // Elimina rewrites the file and asks again; an offline contact is not contacted.
        c.f.quando("0012", FakeMaster::rispondi(u"00012"));
        tasto(lista, "cmdEliminaCL")->click();
        QCOMPARE(c.banco.cartella.leggi("CntLst.klm"), "bruno\r\ncarla\r\ndario\r\n");
        QCOMPARE(c.griglia().first(), "bruno|Non Connesso");
        tasto(lista, "cmdContattaCL")->click();
        QCOMPARE(m.FinestreChat.UBound(), 1);

        // A missing reply, a cancel, the silent automatic refresh, then no master.
        c.f.quando("0012", [](const FakeMaster::Richiesta& r) {
            return r.parametri.value(0) == "bruno" ? FakeMaster::rispondi(u"10012")
                                                   : FakeMaster::niente();
        });
        tasto(lista, "cmdAggionaCL")->click();
        QCOMPARE(c.griglia(), QStringList{"bruno|Connesso"});
        c.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
            if (r.parametri.value(0) == "bruno")
                tasto(lista, "CmdAnnullaCL")->click();
        };
        tasto(lista, "cmdAggionaCL")->click();
        c.f.dopoRichiesta = {};
        lista->AggiornaSubito();
        QTRY_COMPARE(c.inviati("0012").size(), 12);
        QTRY_VERIFY(!lista->aggiornamentoInCorso());
        c.f.chiudiConnessione();
        QTRY_VERIFY(!m.ConnessoAlMaster);
        tasto(lista, "cmdAggionaCL")->click();
        QCOMPARE(c.banco.dialoghi.testiMessaggi(),
                 QStringList({"Il master non ha risposto in tempo", "Operazione annullata",
                              "Non si è connessi al master"}));
        tasto(lista, "cmdEsciCL")->click();
        QVERIFY(!m.ListaUtentiAperta && !m.FrmListaUtentiEsistente());
    }
};

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
