#include "lobby/frmclient.h"
#include "lobby/frmlistastanze.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTest>

using namespace kalimo;
using test::BancoLobby;
using test::FakeMaster;
using R = FakeMaster::Richiesta;

namespace {

QString t(const char* testo)
{
    return test::testoProtocollo(testo);
}
FakeMaster::Azione r(const char* testo)
{
    return FakeMaster::grezzo(t(testo).toUtf8());
}

const QString kPiu = "I dati della stanza contengono il carattere \"+\": impossibile entrare nella "
                     "stanza";
const QString kIncompleti = "I dati della stanza ricevuti dal master sono incompleti: impossibile "
                            "entrare nella stanza";

// anna, logged in at a fake master whose rooms are Sala, an emptied place and
// Segreta (full) in list 1, none in list 2, Multi (with password) in list 3.
struct Lobby
{
    Lobby()
    {
        banco.cartella.scrivi("User.ini", "USERNAME : anna\r\nPASSWORD : x\r\n");
        banco.intervalli.primoAggiornamentoListe = 1;
        banco.intervalli.aggiornamentoListe = 3600000;
        pronto = f.ascolta();
        f.quando("0001", r("00001 ^ B ~ 5 #"));
        f.quando("0008", r("00008 ^ 0 #"));
        f.quando("0011", r("00012 ^ 20 ~ 5 ~ 2.0b #"));
        f.quando("0002", r("00002 ^ 3 #"));
        f.quando("0003", [](const R& q) {
            const QString i = q.parametri.value(0);
            return i == "1" ? r("00004 ^ 3 #") : i == "2" ? r("00005 ^ #") : r("00004 ^ 1 #");
        });
        f.quando("0004", [](const R& q) {
            const QString k = q.parametri.join(',');
            return k == "1,1" ? r("00006 ^ Sala ~ 3 ~ Vero ~  ~ 10.0.0.5 ~ 2302 ~ FALSO ~ 10 ~ 3 #")
                   : k == "1,2" ? r("00007 ^ #")
                   : k == "1,3" ? r("00006 ^ Segreta ~ 12 ~ falso ~ pw ~ h ~ 1 ~ FALSE ~ 10 ~ 2 #")
                                : r("00006 ^ Multi ~ 0 ~ False ~ pw ~ h7 ~ 2304 ~ x ~ 5 ~ 1 #");
        });
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
        banco.clicConnetti();
        m().UtenteCorrente.IPAddress = "192.168.1.2";
        banco.programmi.idPredefinito = 4242;
    }
    Module1& m() { return banco.modulo(); }
    frmListaStanze* lista()
    {
        banco.pulsante("cmdListaStanze")->click();
        frmListaStanze* l = m().FrmListaStanzeEsistente();
        auto* aggiorna = BancoLobby::figlio<QPushButton>(l, "CmdAggiorna");
        return QTest::qWaitFor([&] { return aggiorna->isEnabled(); }) ? l : nullptr;
    }
    QStringList avvii() const
    {
        QStringList a;
        for (const auto& avvio : banco.programmi.avvii)
            a << avvio.programma + ": " + avvio.argomenti;
        return a;
    }

    FakeMaster f;
    BancoLobby banco;
    bool pronto = false;
};

} // namespace

class TestStanze final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCoreApplication::setApplicationName("T"); }
    void init() { Attesa::riprendi(); }

    void elencoOrdinaEntra()
    {
        Lobby l;
        QVERIFY(l.pronto && l.m().ConnessoAlMaster);
        frmListaStanze* lista = l.lista();
        QVERIFY(lista);
        QVERIFY(l.m().ListaStanzeAperta);
        QCOMPARE(l.f.testi().mid(3), QStringList({
                                         t("0002 ^ anna ^ No Parametri #"),
                                         t("0003 ^ anna ^ 1 # "),
                                         t("0004 ^ anna ^ 1 ~ 1 # "),
                                         t("0004 ^ anna ^ 1 ~ 2 # "),
                                         t("0004 ^ anna ^ 1 ~ 3 # "),
                                         t("0003 ^ anna ^ 2 # "),
                                         t("0003 ^ anna ^ 3 # "),
                                         t("0004 ^ anna ^ 3 ~ 1 # "),
                                     }));
        Griglia& g = lista->griglia();
        const QList<QStringList> righe{{"", "Stanze", "Utenti", "Creata da", "Psw"},
                                       {" ", "Sala", "3 / 10", " ", ""},
                                       {" ", "Segreta", "12 / 10", "", " "},
                                       {" ", "Multi", "0 / 5", " ", " "}};
        QCOMPARE(g.righe(), 4);
        for (int i = 0; i < 4; ++i) {
            for (int c = 1; c < 5; ++c)
                QCOMPARE(g.testo(i, c), righe[i][c]);
            QCOMPARE(g.haImmagine(i, 3), righe[i][3] == " ");
            QCOMPARE(g.haImmagine(i, 4), righe[i][4] == " ");
        }
        QCOMPARE((QList<int>{g.larghezzaColonna(0), g.larghezzaColonna(1), g.larghezzaColonna(2),
                             g.larghezzaColonna(3), g.larghezzaColonna(4)}),
                 (QList<int>{1, 2400, 600, 930, 400}));
        const Lista1<std::unique_ptr<Stanza>>& s = l.m().ListaStanze;
        QCOMPARE(s.UBound(), 3);
        QVERIFY(s[1]->EstStabile && !s[1]->EstStanzaMultipla && !s[2]->EstStabile);
        QVERIFY(!s[3]->EstStabile && s[3]->EstStanzaMultipla);
        QCOMPARE(s[2]->NumUtenti(), qint16(10));

        // Header clicks sort ascending, then descending; each row keeps its room.
        auto* grd = BancoLobby::figlio<QTableWidget>(lista, "grd");
        const auto clic = [grd](int riga) {
            QTest::mouseClick(grd->viewport(), Qt::LeftButton, {},
                              grd->visualItemRect(grd->item(riga, 1)).center());
        };
        clic(0);
        QCOMPARE(g.testo(1, 1) + g.testo(2, 1) + g.testo(3, 1), "MultiSalaSegreta");
        clic(0);
        QCOMPARE(g.testo(1, 1) + g.testo(2, 1) + g.testo(3, 1), "SegretaSalaMulti");
        clic(2);
        BancoLobby::figlio<QPushButton>(lista, "cmdAccedi")->click();
        QCOMPARE(l.avvii(), QStringList("voice: 10.0.0.5 + 10 + 3 + Sala +  + 2302 + anna + "
                                        "192.168.1.2 + T + B + 5"));
        QTRY_VERIFY(!l.m().FrmListaStanzeEsistente());
        QVERIFY(!l.m().ListaStanzeAperta);
        QCOMPARE(l.m().IDProcessoVoice, 4242);
    }

    void fineElenco_data()
    {
        QTest::addColumn<QString>("codice");   // the request that goes wrong
        QTest::addColumn<QString>("risposta"); // "" no answer, "annulla": Annulla is clicked
        QTest::addColumn<bool>("pulsante");    // Aggiorna rather than the automatic refresh
        QTest::addColumn<QStringList>("messaggi");
        QTest::addColumn<int>("stanze");
        const QString tempo = "Il master non ha risposto in tempo",
                      annullata = "Operazione annullata";
        QTest::newRow("count late, button") << "0002"
                                            << "" << true << QStringList(tempo) << 0;
        QTest::newRow("count late, refresh") << "0002"
                                             << "" << false << QStringList() << 0;
        QTest::newRow("count cancelled") << "0002"
                                         << "annulla" << true << QStringList(annullata) << 0;
        QTest::newRow("list cancelled, refresh") << "0003"
                                                 << "annulla" << false << QStringList() << 0;
        QTest::newRow("record late, refresh") << "0004"
                                              << "" << false << QStringList(tempo) << 1;
        QTest::newRow("record cancelled") << "0004"
                                          << "annulla" << false << QStringList(annullata) << 1;
        QTest::newRow("no rooms, button")
            << "0002"
            << "00002 ^ 0 #" << true << QStringList("Non ci sono stanze attualmente") << 0;
        QTest::newRow("no rooms, refresh") << "0002"
                                           << "00002 ^ 0 #" << false << QStringList() << 0;
        QTest::newRow("count not a number") << "0002"
                                            << "00002 ^ tre #" << true << QStringList() << 0;
        QTest::newRow("count refused") << "0002"
                                       << "00003 ^ #" << true << QStringList() << 0;
        QTest::newRow("list not a number") << "0003"
                                           << "00004 ^ x #" << true << QStringList() << 0;
        QTest::newRow("short record") << "0004"
                                      << "00006 ^ A ~ 1 ~ x #" << false << QStringList() << 1;
        QTest::newRow("record max not a number")
            << "0004"
            << "00006 ^ A ~ 1 ~ x ~  ~ h ~ 1 ~ x ~ dieci ~ 1 #" << false << QStringList() << 1;
    }
    void fineElenco()
    {
        QFETCH(QString, codice);
        QFETCH(QString, risposta);
        QFETCH(bool, pulsante);
        QFETCH(QStringList, messaggi);
        QFETCH(int, stanze);
        Lobby l;
        QVERIFY(l.pronto);
        // The automatic listing comes first: with the button, the second goes wrong.
        int prima = pulsante ? 1 : 0;
        if (pulsante)
            l.f.unaVolta("0002", r("00002 ^ 1 #"));
        const bool secondo = codice == "0004";
        if (secondo)
            l.f.unaVolta("0004", r("00006 ^ A ~ 1 ~ x ~  ~ h ~ 1 ~ x ~ 9 ~ 1 #"));
        l.f.quando("0003", r("00004 ^ 2 #"));
        l.f.dopoRichiesta = [&](const R& q) {
            if (q.codice != codice || (secondo && q.parametri.value(1) != "2") || prima-- > 0)
                return;
            if (risposta == "annulla")
                BancoLobby::figlio<QPushButton>(l.m().FrmListaStanzeEsistente(), "cmdAnnulla")
                    ->click();
            else if (!risposta.isEmpty())
                l.f.invia(t(qPrintable(risposta)).toUtf8());
        };
        l.f.quando(codice, FakeMaster::niente());
        frmListaStanze* lista = l.lista();
        if (lista && pulsante)
            BancoLobby::figlio<QPushButton>(lista, "CmdAggiorna")->click();
        QVERIFY(lista && !lista->elencoInCorso());
        QCOMPARE(l.banco.dialoghi.testiMessaggi(), messaggi);
        QCOMPARE(l.m().ListaStanze.UBound(), stanze);
        QVERIFY(!lista->OperazioneAnnullata && !l.m().TimeOutMaster);
    }

    void entrata_data()
    {
        QTest::addColumn<int>("riga");
        QTest::addColumn<QString>("risposta"); // typed in the password box
        QTest::addColumn<qint64>("id");        // the start's task id
        QTest::addColumn<QStringList>("messaggi");
        QTest::addColumn<QString>("argomenti"); // "" nothing started
        const QString fine = " + anna + 192.168.1.2 + T + B + 5";
        QTest::newRow("full") << 2 << "" << qint64(9)
                              << QStringList("La stanza ha esaurito il "
                                             "numero di posti disponibili")
                              << "";
        QTest::newRow("password cancelled") << 3 << "" << qint64(9) << QStringList() << "";
        QTest::newRow("wrong password")
            << 3 << "PW" << qint64(9) << QStringList("Attenzione!!! la password non è corretta")
            << "";
        QTest::newRow("password") << 3 << "pw" << qint64(9) << QStringList()
                                  << "h7 + 5 + 1 + Multi + pw + 2304" + fine;
        QTest::newRow("start fails")
            << 1 << "" << qint64(0) << QStringList("Impossibile aprire una sessione audio")
            << "10.0.0.5 + 10 + 3 + Sala +  + 2302" + fine;
    }
    void entrata()
    {
        QFETCH(int, riga);
        QFETCH(QString, risposta);
        QFETCH(qint64, id);
        QFETCH(QStringList, messaggi);
        QFETCH(QString, argomenti);
        Lobby l;
        frmListaStanze* lista = l.lista();
        QVERIFY(lista);
        l.m().IDProcessoVoice = 77;
        l.banco.dialoghi.testi.enqueue(risposta);
        l.banco.programmi.idPredefinito = id;
        lista->griglia().impostaCellaCorrente(riga, 1);
        BancoLobby::figlio<QPushButton>(lista, "cmdAccedi")->click();
        QCOMPARE(l.banco.dialoghi.testiMessaggi(), messaggi);
        QCOMPARE(l.avvii(),
                 argomenti.isEmpty() ? QStringList() : QStringList("voice: " + argomenti));
        // The running voice client is asked to go only when a new one starts.
        QCOMPARE(l.banco.programmi.chiusure,
                 argomenti.isEmpty() ? QList<qint64>() : QList<qint64>{77});
        QCOMPARE(l.m().IDProcessoVoice, argomenti.isEmpty() ? 77 : id);
        QTRY_COMPARE(!l.m().FrmListaStanzeEsistente(), id != 0 && !argomenti.isEmpty());
        if (risposta == "PW")
            QVERIFY(l.m().StanzaCorrente().Nome.isEmpty());
    }

    void creazione_data()
    {
        QTest::addColumn<QString>("nome");
        QTest::addColumn<int>("utenti"); // index in the lists, -1 none chosen
        QTest::addColumn<QString>("risposta");
        QTest::addColumn<qint64>("id");
        QTest::addColumn<QStringList>("messaggi");
        QTest::addColumn<QString>("argomenti");
        const QString av = "10.0.0.5 + 5 + 2 +  Sala  + pw + 2302 + anna + 192.168.1.2 + T + B + 5";
        QTest::newRow("blank name")
            << "   " << 3 << "" << qint64(9) << QStringList("Inserire un nome per la stanza") << "";
        QTest::newRow("nothing chosen")
            << " Sala " << -1 << "" << qint64(9)
            << QStringList("Specificare il numero massimo di utenti per la stanza") << "";
        QTest::newRow("plus") << "A+B" << 3 << "" << qint64(9)
                              << QStringList("Il nome e la password della stanza non possono "
                                             "contenere il carattere \"+\"")
                              << "";
        QTest::newRow("exists") << " Sala " << 3 << "00072 ^ #" << qint64(9)
                                << QStringList("La stanza già esiste") << "";
        QTest::newRow("refused") << " Sala " << 3 << "00073 ^ #" << qint64(9)
                                 << QStringList("Non è possibile creare la stanza") << "";
        QTest::newRow("no answer") << " Sala " << 3 << "" << qint64(9)
                                   << QStringList("Impossibile creare la stanza") << "";
        QTest::newRow("no port") << " Sala " << 3 << "00071 ^ 10.0.0.5 #" << qint64(9)
                                 << QStringList(kIncompleti) << "";
        QTest::newRow("created") << " Sala " << 3 << "00071 ^ 10.0.0.5 ~ 2302 #" << qint64(9)
                                 << QStringList() << av;
        QTest::newRow("start fails") << " Sala " << 3 << "00071 ^ 10.0.0.5 ~ 2302 #" << qint64(0)
                                     << QStringList("Impossibile aprire una sessione audio") << av;
    }
    void creazione()
    {
        QFETCH(QString, nome);
        QFETCH(int, utenti);
        QFETCH(QString, risposta);
        QFETCH(qint64, id);
        QFETCH(QStringList, messaggi);
        QFETCH(QString, argomenti);
        Lobby l;
        l.f.quando("0007", risposta.isEmpty() ? FakeMaster::niente() : r(qPrintable(risposta)));
        l.banco.programmi.idPredefinito = id;
        // A voice client linked, but for the last row: with none, the listener stays.
        const bool conVoce = id != 0;
        QTcpSocket voce;
        if (conVoce)
            voce.connectToHost(QHostAddress::LocalHost, l.banco.client()->WSKVoice.portaAscolto());
        QTRY_COMPARE(l.m().IndiceWskVoice, qint16(conVoce));
        l.banco.pulsante("cmdNuovaStanza")->click();
        frmNuovaStanza* f = l.m().FrmNuovaStanzaEsistente();
        auto* maxU = BancoLobby::figlio<QComboBox>(f, "txtMaxUtenti");
        auto* maxA = BancoLobby::figlio<QComboBox>(f, "txtMaxAudio");
        QCOMPARE(maxU->count(), 19);
        QCOMPARE(maxU->itemText(0) + maxU->itemText(18) + maxA->itemText(0) + maxA->itemText(4),
                 "22015");
        BancoLobby::figlio<QLineEdit>(f, "txtNomeStanza")->setText(nome);
        BancoLobby::figlio<QLineEdit>(f, "txtPassword")->setText("pw");
        maxU->setCurrentIndex(utenti);
        maxA->setCurrentIndex(1);
        BancoLobby::figlio<QPushButton>(f, "cmdCreala")->click();

        QCOMPARE(l.banco.dialoghi.testiMessaggi(), messaggi);
        // Refused input sends nothing.
        const QStringList inviate = l.f.testi().mid(3);
        QCOMPARE(inviate, QTest::currentDataTag() == QString("blank name") || utenti < 0 ||
                                  nome.contains('+')
                              ? QStringList()
                              : QStringList(t("0007 ^ anna ^  Sala  ~ 5 ~ 2 ~ pw # ")));
        QCOMPARE(l.avvii(),
                 argomenti.isEmpty() ? QStringList() : QStringList("voice: " + argomenti));
        // Creation closes the running voice client's link before the start.
        QTRY_COMPARE(voce.state() == QAbstractSocket::UnconnectedState,
                     !argomenti.isEmpty() || !conVoce);
        QVERIFY(l.banco.client()->WSKVoice.InAscolto());
        const bool avviato = id != 0 && !argomenti.isEmpty();
        QTRY_COMPARE(!l.m().FrmNuovaStanzaEsistente(), avviato);
        if (!avviato) {
            QVERIFY(BancoLobby::figlio<QWidget>(f, "frm1")->isVisible());
            QCOMPARE(BancoLobby::figlio<QLineEdit>(f, "txtNomeStanza")->text(), nome);
        }
    }

    void richiesteVoce_data()
    {
        QTest::addColumn<QString>("voce");
        QTest::addColumn<QString>("risposta"); // to "0007", or pushed while waiting
        QTest::addColumn<QStringList>("messaggi");
        QTest::addColumn<QString>("argomenti");
        const QString privata = "00071 ^ 10.0.0.9 ~ 2400 ~ Stanza di anna e bea ~ anna<->bea #";
        const QString av = "10.0.0.9 + 2 + 2 + Stanza di anna e bea + anna<->bea + 2400 + anna "
                           "+ 192.168.1.2 + T + B + 5";
        const QString attesa = "0002 ^ NO PARAMETRI #";
        QTest::newRow("private") << "0001 ^ bea #" << privata << QStringList() << av;
        QTest::newRow("private exists") << "0001 ^ bea #"
                                        << "00072 ^ #" << QStringList("La stanza già esiste") << "";
        QTest::newRow("private refused")
            << "0001 ^ bea #"
            << "00073 ^ #" << QStringList("Non è possibile creare la stanza") << "";
        QTest::newRow("private late") << "0001 ^ bea #"
                                      << "" << QStringList("Impossibile creare la stanza") << "";
        QTest::newRow("no partner") << "0001 ^  #0002 ^ NO PARAMETRI #"
                                    << "" << QStringList("Non e' possibile creare la stanza") << "";
        QTest::newRow("waiting") << attesa << privata << QStringList() << av;
        QTest::newRow("waiting, exists")
            << attesa << "00072 ^ #" << QStringList("Nome stanza già esistente") << "";
        QTest::newRow("waiting, late")
            << attesa << "" << QStringList("Non e' possibile creare la stanza") << "";
        QTest::newRow("waiting, short")
            << attesa << "00071 ^ 10.0.0.9 ~ 2400 #" << QStringList(kIncompleti) << "";
        QTest::newRow("waiting, plus")
            << attesa << "00071 ^ h ~ 2400 ~ A+B ~ pw #" << QStringList(kPiu) << "";
        QTest::newRow("two in one arrival")
            << "0001 ^ bea #0002 ^ NO PARAMETRI #"
            << ""
            << QStringList{"Impossibile creare la stanza", "Non e' possibile creare la stanza"}
            << "";
    }
    void richiesteVoce()
    {
        QFETCH(QString, voce);
        QFETCH(QString, risposta);
        QFETCH(QStringList, messaggi);
        QFETCH(QString, argomenti);
        Lobby l;
        frmClient* c = l.banco.client();
        l.f.quando("0007", risposta.isEmpty() ? FakeMaster::niente() : r(qPrintable(risposta)));
        // The waiting procedure sends nothing: its answer goes out once it waits.
        QTimer spinta;
        connect(&spinta, &QTimer::timeout, [&] {
            if (c->tmrControllo.isActive() && !voce.startsWith("0001") && !risposta.isEmpty()) {
                l.f.invia(t(qPrintable(risposta)).toUtf8());
                spinta.stop();
            }
        });
        spinta.start(5);
        // Two voice clients linked; the older one asks.
        QTcpSocket link, altro;
        link.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
        QTRY_COMPARE(l.m().IndiceWskVoice, qint16(1));
        altro.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
        QTRY_COMPARE(l.m().IndiceWskVoice, qint16(2));
        QVERIFY(link.waitForConnected(5000));
        // Cut in two: the lobby puts it back together.
        const QByteArray byte = t(qPrintable(voce)).toUtf8();
        link.write(byte.left(5));
        link.flush();
        QTest::qWait(20);
        link.write(byte.mid(5));
        QTRY_COMPARE(l.banco.dialoghi.testiMessaggi().size() + l.avvii().size(),
                     messaggi.size() + !argomenti.isEmpty());
        QCOMPARE(l.banco.dialoghi.testiMessaggi(), messaggi);
        QCOMPARE(l.avvii(),
                 argomenti.isEmpty() ? QStringList() : QStringList("voice: " + argomenti));
        QCOMPARE(l.f.codici().contains("0007"), voce.contains("bea"));
        if (voce.startsWith("0001 ^ bea"))
            QCOMPARE(l.f.testi()[3], t("0007 ^ anna ^ Stanza di anna e bea ~ 2 ~ 2 ~ anna<->bea ~ "
                                       "bea # "));
        // The newest link is closed before the start.
        QTRY_COMPARE(altro.state() == QAbstractSocket::UnconnectedState, !argomenti.isEmpty());
        if (!argomenti.isEmpty()) {
            // An older client's link closing after the start keeps the new id;
            // the new client's own link closing clears it.
            auto* lbl = BancoLobby::figlio<QLabel>(c, "lbl");
            link.disconnectFromHost();
            QTRY_COMPARE(lbl->text(), "Non connesso");
            QCOMPARE(l.m().IDProcessoVoice, 4242);
            QTcpSocket nuovo;
            nuovo.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
            QTRY_COMPARE(lbl->text(), "Connesso");
            nuovo.disconnectFromHost();
            QTRY_COMPARE(l.m().IDProcessoVoice, 0);
        }
    }
};

QTEST_MAIN(TestStanze)
#include "tst_stanze.moc"
