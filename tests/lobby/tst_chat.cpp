#include "lobby/frmchat2.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>

using namespace kalimo;
using test::BancoLobby;
using test::FakeMaster;

namespace {

// Protocol text with '^' '~' '#' for SEP2 SEP3 SEP1 and '4'..'9' written
// as "\\4".."\\9" for the markers SEP4..SEP9.
QString t(const char* testo)
{
    QString s = test::testoProtocollo(testo);
    for (int n = 4; n <= 9; ++n)
        s.replace(u'\\' + QString::number(n), QChar(32 - n));
    return s;
}

// A lobby logged in to a fake master that answers the login and nothing more.
struct Collegata
{
    Collegata()
    {
        banco.intervalli.primoAggiornamentoListe = 1;
        banco.intervalli.aggiornamentoListe = 60000;
        pronta = f.ascolta();
        f.quando("0001", FakeMaster::rispondi(u"00001", {"", "0"}));
        f.quando("0008", FakeMaster::rispondi(u"00009"));
        f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", "2.0b"}));
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
        banco.clicConnetti();
        pronta = pronta && m().ConnessoAlMaster;
    }
    Module1& m() { return banco.modulo(); }
    void arriva(const char* testo) { m().GestisciDatiArrivatiMaster(t(testo)); }
    QStringList inviati(const QString& codice = "0013") const
    {
        QStringList testi;
        for (const FakeMaster::Richiesta& r : f.richieste()) {
            if (r.codice == codice)
                testi.append(r.testo);
        }
        return testi;
    }
    frmChat2* chat(int i = 1) { return m().FinestraChat(i); }

    FakeMaster f;
    BancoLobby banco;
    bool pronta = false;
};

QStringList righe(frmChat2* chat)
{
    return chat ? chat->Trascrizione().split(u'\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
}

template <typename T> T* figlio(QWidget* w, const char* nome)
{
    return BancoLobby::figlio<T>(w, nome);
}

// Boxes that let more notifications in while one is open, as a modal box does.
class CaselleModali final : public Dialoghi
{
public:
    Risposta messaggio(const QString& testo, const QString&, Icona, Pulsanti) override
    {
        testi.append(testo);
        massimoAperte = std::max(massimoAperte, ++aperte);
        if (auto dentro = std::exchange(mentreAperta, {}))
            dentro();
        --aperte;
        return Risposta::No;
    }
    QString input(const QString&, const QString&, const QString&) override { return {}; }

    std::function<void()> mentreAperta;
    QStringList testi;
    int aperte = 0;
    int massimoAperte = 0;
};

} // namespace

class TestChat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }
    void notifiche_data();
    void notifiche();
    void domande_data();
    void domande();
    void unaDomandaAllaVolta();
    void invitoAccettatoERifiutato();
    void contattoAccettato();
    void testiStrani();
    void finestraChat();
    void aggiornamentoPresenze();
    void annullaETimeOut();
    void aggiungiEliminaContatta();
};

void TestChat::notifiche_data()
{
    QTest::addColumn<QString>("stato");
    QTest::addColumn<QString>("codice");
    QTest::addColumn<QStringList>("attese");
    QTest::addColumn<bool>("visibile");

    const QString prima = "<anna> prima";
    QTest::newRow("from partner, no window") << ""
                                             << "0002" << QStringList{"<anna> ciao"} << true;
    QTest::newRow("own echo, open") << "aperta"
                                    << "0003" << QStringList{prima, "<mario> ciao"} << true;
    QTest::newRow("system, hidden window shown")
        << "nascosta"
        << "0004" << QStringList{prima, "<System Message> ciao"} << true;
    QTest::newRow("ignored partner dropped") << "ignorata"
                                             << "0002" << QStringList{prima} << false;
    // Not under the partner's nick, even when the window is gone.
    QTest::newRow("own echo, no window") << ""
                                         << "0003" << QStringList{"<mario> ciao"} << true;
    QTest::newRow("system, no window") << ""
                                       << "0004" << QStringList{"<System Message> ciao"} << true;
}

void TestChat::notifiche()
{
    QFETCH(QString, stato);
    QFETCH(QString, codice);
    QFETCH(QStringList, attese);
    QFETCH(bool, visibile);
    BancoLobby banco;
    Module1& m = banco.modulo();
    if (!stato.isEmpty()) {
        frmChat2* chat = m.FinestraChat(m.NuovaFinestraChat("anna"));
        chat->AggiungiRiga("<anna> prima");
        chat->show();
        if (stato != "aperta")
            figlio<QPushButton>(chat, stato == "nascosta" ? "cmdNascondi" : "cmdIgnora")->click();
    }
    m.GestisciDatiArrivatiMaster(t(qPrintable(codice + " ^ anna ~ ciao #")));
    QCOMPARE(m.FinestreChat.UBound(), 1);
    QCOMPARE(righe(m.FinestraChat(1)), attese);
    QCOMPARE(m.FinestraChat(1)->isVisible(), visibile);
    QCOMPARE(m.FinestraChat(1)->windowTitle(), "Chat Privata con anna");
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestChat::domande_data()
{
    QTest::addColumn<QString>("arriva");
    QTest::addColumn<bool>("ignorata");
    QTest::addColumn<bool>("si");
    QTest::addColumn<QString>("titolo");
    QTest::addColumn<QString>("risposta");
    QTest::addColumn<QString>("domanda");

    const char* richiesta = "0002 ^ anna ~ \\7 L'utente anna ti vuole aggiungere nella propria "
                            "contact list.\r Vuoi accettare la richiesta? #";
    const char* invito =
        "0002 ^ anna ~ \\4 L'utente anna ti ha invitato in una stanza privata.\r Vuoi accettare "
        "la richiesta? #";
    const QString cl = "Inserimento in Contact List";
    const QString dc = " L'utente anna ti vuole aggiungere nella propria contact list.\r Vuoi "
                       "accettare la richiesta?";
    const QString di = " L'utente anna ti ha invitato in una stanza privata.\r Vuoi accettare la "
                       "richiesta?";
    QTest::newRow("contact list, Yes, even when ignored")
        << t(richiesta) << true << true << cl << t("0013 ^ mario ^ anna ~ \\8 ACCETTO  # ") << dc;
    QTest::newRow("contact list, No") << t(richiesta) << false << false << cl
                                      << t("0013 ^ mario ^ anna ~ \\9 NON ACCETTO # ") << dc;
    QTest::newRow("invitation, Yes") << t(invito) << false << true << "Invito in chat privata"
                                     << t("0013 ^ mario ^ anna ~ \\5 ACCETTO  # ") << di;
    QTest::newRow("invitation, No") << t(invito) << false << false << "Invito in chat privata"
                                    << t("0013 ^ mario ^ anna ~ \\6 NON ACCETTO # ") << di;
    QTest::newRow("invitation, ignored: dropped") << t(invito) << true << true << ""
                                                  << ""
                                                  << "";
}

void TestChat::domande()
{
    QFETCH(QString, arriva);
    QFETCH(bool, ignorata);
    QFETCH(bool, si);
    QFETCH(QString, titolo);
    QFETCH(QString, risposta);
    QFETCH(QString, domanda);
    Collegata c;
    QVERIFY(c.pronta);
    if (ignorata)
        c.chat(c.m().NuovaFinestraChat("anna"))->UtenteIgnorato = true;
    c.banco.dialoghi.risposte.enqueue(si ? Risposta::Si : Risposta::No);
    c.m().GestisciDatiArrivatiMaster(arriva);

    if (titolo.isEmpty()) {
        QVERIFY(c.banco.dialoghi.messaggi.isEmpty());
        QTest::qWait(50);
        QVERIFY(c.inviati().isEmpty());
        return;
    }
    QVERIFY(!c.banco.dialoghi.messaggi.isEmpty());
    const auto& box = c.banco.dialoghi.messaggi.first();
    QCOMPARE(box.titolo, titolo);
    QCOMPARE(box.testo, domanda);
    QCOMPARE(box.icona, Icona::Domanda);
    QCOMPARE(box.pulsanti, Pulsanti::SiNo);
    QTRY_COMPARE(c.inviati(), QStringList{risposta});
    // Accepting an invitation then waits for the room the master creates.
    if (si && titolo == "Invito in chat privata")
        QTRY_COMPARE(c.banco.dialoghi.testiMessaggi().value(1),
                     "Non e' possibile creare la stanza");
}

void TestChat::unaDomandaAllaVolta()
{
    BancoLobby banco;
    CaselleModali caselle;
    Module1 m(Servizi{&caselle, &banco.programmi, &banco.apri}, banco.cartella.percorso());
    m.LeggiUserIni();
    const auto invito = [&m](const char* da) {
        m.GestisciDatiArrivatiMaster(t(qPrintable(QString("0002 ^ %1 ~ \\4 invito #").arg(da))));
    };
    caselle.mentreAperta = [&] {
        invito("anna");
        invito("bruno");
        m.GestisciDatiArrivatiMaster(t("0002 ^ anna ~ \\7 lista #0002 ^ bruno ~ \\4 invito #"));
    };
    invito("anna");
    QCOMPARE(caselle.massimoAperte, 1);
    QCOMPARE(caselle.testi, QStringList({" invito", " invito", " lista"}));
}

void TestChat::invitoAccettatoERifiutato()
{
    Collegata c;
    QVERIFY(c.pronta);
    Module1& m = c.m();
    frmChat2* chat = c.chat(m.NuovaFinestraChat("anna"));
    chat->show();
    auto* invita = figlio<QPushButton>(chat, "CmdInvita");
    figlio<QLineEdit>(chat, "txtTesto")->setText("resta");
    invita->click();
    QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ anna ~ \\4 L'utente mario ti ha "
                                            "invitato in una stanza privata.\r Vuoi accettare "
                                            "la richiesta?  # ")});
    QCOMPARE(figlio<QLineEdit>(chat, "txtTesto")->text(), "resta");
    QVERIFY(!invita->isEnabled());
    QCOMPARE(chat->TimerContatta.interval(), 10000);
    QVERIFY(chat->TimerContatta.isActive());
    chat->TimerContatta.start(1);
    QTRY_VERIFY(invita->isEnabled());

    // Refused: one line; an acceptance from someone never invited starts nothing.
    c.arriva("0002 ^ anna ~ \\6 NON ACCETTO #0002 ^ bruno ~ \\5 ACCETTO #");
    const QString inoltrata = "<System Message> La richiesta di invito è stata inoltrata.... ";
    QCOMPARE(righe(chat),
             QStringList({inoltrata,
                          "<System Message> La richiesta di invito è stata rifiutata "}));
    c.arriva("0002 ^ anna ~ \\5 ACCETTO #");
    QVERIFY(c.inviati("0007").isEmpty());

    // Invited again and accepted: the room is asked for, then the windows close.
    invita->click();
    QStringList viste;
    c.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
        if (r.codice == "0007")
            viste = righe(chat) + r.parametri;
    };
    c.m().FrmListaUtenti()->show();
    c.arriva("0002 ^ anna ~ \\5 ACCETTO #");
    QTRY_VERIFY(!m.FinestraChat(1));
    QCOMPARE(viste.mid(3),
             QStringList({"<System Message> La richiesta di invito è stata accettata. "
                          "Sono in corso le procedure di creazione della nuova "
                          "stanza.... ",
                          "Stanza di mario e anna", "2", "2", "mario<->anna", "anna"}));
    QVERIFY(!m.FrmListaUtentiEsistente());
}

void TestChat::contattoAccettato()
{
    Collegata c;
    Module1& m = c.m();
    c.banco.cartella.scrivi("CntLst.klm", "bruno\r\n");
    m.CaricaContactList();
    frmListaUtenti* lista = m.FrmListaUtenti();
    lista->tmrAvvio.stop();
    c.arriva("0002 ^ anna ~ \\8 ACCETTO #0002 ^ anna ~ \\8 ACCETTO #0002 ^ zeta ~ \\9 NO #");
    QCOMPARE(c.banco.dialoghi.testiMessaggi(), QStringList({"L'utente ha accettato la richiesta",
                                                            "L'utente ha accettato la richiesta",
                                                            "L'utente ha rifiutato la richiesta"}));
    QCOMPARE(m.ContactList.UBound(), 2);
    QCOMPARE(m.ContactList[2].NickName, "anna");
    QCOMPARE(m.ContactList[2].Stato, kVero);
    QCOMPARE(c.banco.cartella.leggi("CntLst.klm"), "bruno\r\nanna\r\n");
    Griglia& g = lista->griglia();
    QCOMPARE(g.righe(), 2);
    QCOMPARE(QStringList({g.testo(1, 1), g.testo(1, 2)}), QStringList({"anna", "Connesso"}));
    QVERIFY(m.FinestreChat.vuota());
}

void TestChat::testiStrani()
{
    Collegata c;
    Module1& m = c.m();
    c.banco.dialoghi.rispostaPredefinita = Risposta::No;
    for (const char* testo :
         {"0002 ^ ~ \\4 x #", "0002 ^ #", "0003 ^ zeta #", "0002 ^ zeta ~ a\\5b\\6 #",
          "0002 ^ \\4 ~ \\5\\4\\7\\8 #", "0004 ^ a\nb ~ \\8 #", "0002 ^ zeta ~ \\4",
          "0002 ^ zeta ~ x ~ y ~ z #"})
        c.arriva(testo);
    QTest::qWait(50);
    QVERIFY(c.inviati("0007").isEmpty());
    // Marker or line break in a nick: nothing enters the list or its file.
    QVERIFY(m.ContactList.vuota());
    QVERIFY(!c.banco.cartella.esiste("CntLst.klm"));
    QCOMPARE(m.FinestreChat.UBound(), 1);
    QCOMPARE(righe(c.chat(1)), QStringList({"<mario> ",
                                            "<System Message> La richiesta di invito è stata "
                                            "rifiutata ",
                                            "<zeta> x"}));
}

void TestChat::finestraChat()
{
    Collegata c;
    Module1& m = c.m();
    frmChat2* chat = c.chat(m.NuovaFinestraChat("anna"));
    chat->show();
    auto* testo = figlio<QLineEdit>(chat, "txtTesto");
    QCOMPARE(testo->maxLength(), 250);

    testo->setText("   ");
    QTest::keyClick(testo, Qt::Key_Return);
    QCOMPARE(testo->text(), "   ");
    testo->setText(QString(" ciao") + QChar(29) + QChar(28) + "a tutti ");
    QTest::keyClick(testo, Qt::Key_Return);
    testo->setText("due");
    figlio<QPushButton>(chat, "cmdInvia")->click();
    QTRY_COMPARE(c.inviati(), QStringList({t("0013 ^ mario ^ anna ~ ciaoa tutti # "),
                                           t("0013 ^ mario ^ anna ~ due # ")}));
    QVERIFY(testo->text().isEmpty());
    QVERIFY(chat->Trascrizione().isEmpty());

    // The transcript follows its newest line.
    for (int i = 0; i < 80; ++i)
        c.arriva("0003 ^ anna ~ riga #");
    auto* barra = figlio<QPlainTextEdit>(chat, "txtChat")->verticalScrollBar();
    QVERIFY(barra->maximum() > 0);
    QCOMPARE(barra->value(), barra->maximum());

    // Nascondi keeps the lines, Chiudi clears them; both only hide.
    figlio<QPushButton>(chat, "cmdNascondi")->click();
    c.arriva("0002 ^ anna ~ dopo #");
    QVERIFY(chat->isVisible());
    QCOMPARE(righe(chat).size(), 81);
    figlio<QPushButton>(chat, "cmdChiudi")->click();
    QVERIFY(!chat->isVisible());
    c.arriva("0002 ^ anna ~ nuova #");
    QCOMPARE(righe(chat), QStringList{"<anna> nuova"});
    QCOMPARE(m.FinestreChat.UBound(), 1);

    // Without a master the typed line stays and the window says why.
    c.f.chiudiConnessione();
    QTRY_VERIFY(!m.ConnessoAlMaster);
    testo->setText("persa?");
    figlio<QPushButton>(chat, "cmdInvia")->click();
    QCOMPARE(testo->text(), "persa?");
    QCOMPARE(righe(chat).last(),
             "<System Message> Messaggio non inviato: non si è connessi al master");
}

void TestChat::aggiornamentoPresenze()
{
    Collegata c;
    Module1& m = c.m();
    c.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\ncarla\r\ndario\r\n");
    m.CaricaContactList();
    m.ContactList[4].Stato = kVero;
    c.f.quando("0012", [&c](const FakeMaster::Richiesta& r) {
        static const QHash<QString, QString> codici{
            {"anna", "10012"}, {"bruno", "00012"}, {"carla", "20012"}, {"dario", "99999"}};
        // A tick while the reply is awaited must not start a second refresh.
        c.m().FrmListaUtenti()->tmrAvvio.start(1);
        Attesa::Pausa(20);
        return FakeMaster::rispondi(codici.value(r.parametri.value(0)));
    });
    QPushButton* apri = c.banco.pulsante("cmdListaUtenti");
    apri->click();
    frmListaUtenti* lista = m.FrmListaUtenti();
    QVERIFY(m.ListaUtentiAperta);
    QCOMPARE(lista->tmrAvvio.interval(), 1);
    QTRY_COMPARE(c.inviati("0012").size(), 4);
    QTRY_VERIFY(!lista->aggiornamentoInCorso());
    QCOMPARE(c.inviati("0012").size(), 4);
    QCOMPARE(c.inviati("0012").first(), t("0012  ^ mario ^ anna #"));
    QCOMPARE(lista->tmrAvvio.interval(), 60000);
    Griglia& g = lista->griglia();
    QStringList viste;
    for (int r = 0; r < g.righe(); ++r)
        viste << g.testo(r, 1) + '|' + g.testo(r, 2);
    QCOMPARE(viste, QStringList({"Utente|Stato", "anna|Connesso", "bruno|Non Connesso",
                                 "carla|Non Connesso", "dario|Connesso"}));
    QCOMPARE(g.larghezzaColonna(1), 2000);

    // Header clicks sort ascending, then descending; commands read the row shown.
    auto* tabella = figlio<QTableWidget>(lista, "grd");
    Q_EMIT tabella->cellClicked(0, 2);
    Q_EMIT tabella->cellClicked(0, 1);
    QCOMPARE(g.testo(1, 1), "dario");
    QCOMPARE(lista->OrdineGriglia, 2);
    g.impostaCellaCorrente(4, 1);
    figlio<QPushButton>(lista, "cmdContattaCL")->click();
    QCOMPARE(m.FinestraChat(1)->SetTarget(), "anna");
    QVERIFY(c.banco.dialoghi.messaggi.isEmpty());
}

void TestChat::annullaETimeOut()
{
    Collegata c;
    Module1& m = c.m();
    c.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
    m.CaricaContactList();
    frmListaUtenti* lista = m.FrmListaUtenti();
    lista->tmrAvvio.stop();
    auto* aggiorna = figlio<QPushButton>(lista, "cmdAggionaCL");

    c.f.quando("0012", [](const FakeMaster::Richiesta& r) {
        return r.parametri.value(0) == "anna" ? FakeMaster::rispondi(u"10012")
                                              : FakeMaster::niente();
    });
    aggiorna->click();
    QCOMPARE(lista->griglia().righe(), 2); // bruno got no reply and no row
    c.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
        if (r.parametri.value(0) == "bruno")
            figlio<QPushButton>(lista, "CmdAnnullaCL")->click();
    };
    aggiorna->click();
    // The automatic refresh says nothing.
    c.f.dopoRichiesta = {};
    lista->tmrAvvio.start(1);
    QTRY_COMPARE(c.inviati("0012").size(), 6);
    QTRY_VERIFY(!lista->aggiornamentoInCorso());
    lista->tmrAvvio.stop();
    c.f.chiudiConnessione();
    QTRY_VERIFY(!m.ConnessoAlMaster);
    aggiorna->click();
    QCOMPARE(c.banco.dialoghi.testiMessaggi(),
             QStringList({"Il master non ha risposto in tempo", "Operazione annullata",
                          "Non si è connessi al master"}));
    figlio<QPushButton>(lista, "cmdEsciCL")->click();
    QVERIFY(!m.ListaUtentiAperta);
    QVERIFY(!m.FrmListaUtentiEsistente());
}

void TestChat::aggiungiEliminaContatta()
{
    Collegata c;
    Module1& m = c.m();
    c.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
    m.CaricaContactList();
    c.f.quando("0012", FakeMaster::rispondi(u"10012"));
    frmListaUtenti* lista = m.FrmListaUtenti();
    lista->tmrAvvio.stop();
    figlio<QPushButton>(lista, "cmdAggionaCL")->click();

    // Only a new name other than one's own is asked, lower-cased and trimmed.
    for (const char* nome : {" Carla ", "mario", "anna", ""})
        c.banco.dialoghi.testi.enqueue(nome);
    for (int i = 0; i < 4; ++i)
        figlio<QPushButton>(lista, "cmdAggiungiCL")->click();
    QCOMPARE(c.banco.dialoghi.inputs.first().titolo, "Aggiungi a Contact List");
    QTRY_COMPARE(c.inviati(), QStringList{t("0013 ^ mario ^ carla ~ \\7 L'utente mario ti vuole "
                                            "aggiungere nella propria contact list.\r Vuoi "
                                            "accettare la richiesta?  # ")});
    QCOMPARE(m.ContactList.UBound(), 2);

    // Contatta: a hidden, ignored window comes back with its lines.
    frmChat2* chat = c.chat(m.NuovaFinestraChat("anna"));
    chat->AggiungiRiga("<anna> vecchia");
    chat->UtenteIgnorato = true;
    lista->griglia().impostaCellaCorrente(1, 1);
    figlio<QPushButton>(lista, "cmdContattaCL")->click();
    QVERIFY(chat->isVisible());
    QVERIFY(!chat->UtenteIgnorato);
    QCOMPARE(righe(chat), QStringList{"<anna> vecchia"});

    // Elimina rewrites the file and asks again; an offline contact is not contacted.
    c.f.quando("0012", FakeMaster::rispondi(u"00012"));
    figlio<QPushButton>(lista, "cmdEliminaCL")->click();
    QCOMPARE(c.banco.cartella.leggi("CntLst.klm"), "bruno\r\n");
    QCOMPARE(lista->griglia().testo(1, 2), "Non Connesso");
    lista->griglia().impostaCellaCorrente(1, 1);
    figlio<QPushButton>(lista, "cmdContattaCL")->click();
    QCOMPARE(m.FinestreChat.UBound(), 1);
}

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
