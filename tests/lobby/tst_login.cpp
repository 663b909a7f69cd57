#include "lobby/frmnewuser.h"
#include "tests/support/bancolobby.h"
#include "tests/support/certificato.h"
#include "tests/support/fakemaster.h"

#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

namespace {

const QString kNonConnesso = "Non Connesso.\nClicca su 'Connetti' per entrare nel servizio.";
const QString kPerduta = "La Connessione al Master è andata perduta";
const QString kEseguita = "Connessione al Master Eseguita";
const QString kPassword = "Invio della password in corso.....";

// A master that accepts mario, hands out two masters and current limits.
void copioneRiuscito(FakeMaster& f)
{
    f.quando("0001", FakeMaster::rispondi(u"00001", {"http://banner.example/k", "7"}));
    f.quando("0008", FakeMaster::rispondi(u"00008", {"2"}));
    f.quando("0009", [](const FakeMaster::Richiesta& r) {
        if (r.parametri.value(0) == "1")
            return FakeMaster::rispondi(u"00010", {"Uno", "127.0.0.1", "7070", "k1"});
        if (r.parametri.value(0) == "2")
            return FakeMaster::rispondi(u"00010", {"Due", "192.0.2.7", "7071", "k2"});
        return FakeMaster::rispondi(u"00011");
    });
    f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", "2.0b"}));
}

// "Primo" and, when asked, "Secondo" after it, both scripted as above, after the lines `primi`.
// With a fifth field `campoTls` (PORT standing for its port), Primo listens behind TLS only.
struct Lobby
{
    explicit Lobby(int rispostaMs = 300, const QByteArray& primi = {}, bool secondo = false,
                   QString campoTls = {}, const QSslConfiguration& tls = {})
        : banco(rispostaMs)
    {
        const bool tlsSolo = !campoTls.isEmpty();
        const bool pronto = (tlsSolo ? f.ascoltaTls(tls) : f.ascolta()) && g.ascolta();
        copioneRiuscito(f);
        copioneRiuscito(g);
        campoTls.replace("PORT", QString::number(f.porta()));
        lista =
            primi + BancoLobby::rigaMaster("Primo", tlsSolo ? FakeMaster::portaChiusa() : f.porta(),
                                           tlsSolo ? "kalimo | " + campoTls : "kalimo");
        banco.scriviMasters(lista + (secondo ? BancoLobby::rigaMaster("Secondo", g.porta()) : ""));
        m = &banco.modulo();
        c = banco.client();
        QVERIFY(pronto);
    }
    bool ascolta() const { return c->collegamentiVoce().InAscolto(); }
    QStringList& stati() { return banco.registroStato->testi; }
    // Connetti's caption, the menu buttons enabled, then connected, listening and stopped, then
    // the status line.
    QString vista()
    {
        QString s = banco.pulsante("cmdConnettiti")->text();
        for (const char* n :
             {"cmdConnettiti", "cmdListaStanze", "cmdListaUtenti", "cmdNuovaStanza", "cmdOpzioni"})
            s += banco.pulsante(n)->isEnabled() ? " 1" : " 0";
        return s +
               QString::asprintf(" %d%d%d ", m->ConnessoAlMaster, ascolta(),
                                 c->InterrompiConnessione) +
               c->lblStato()->text();
    }
    bool chiuse(FakeMaster& x)
    {
        return QTest::qWaitFor([&] { return x.connessioniAperte() == 0; }, 10000);
    }

    FakeMaster f, g;
    BancoLobby banco;
    QByteArray lista;
    Module1* m = nullptr;
    frmClient* c = nullptr;
};

const QString kCollegato = "Disconnetti 1 1 1 1 0 110 " + kEseguita;

// A first start (no User.ini) with the registration window filled in, against one scripted master.
struct Scena
{
    explicit Scena(const FakeMaster::Azione& risposta, int rispostaMs = 300) : banco(rispostaMs)
    {
        const bool ok = f.ascolta();
        f.quando("0010", risposta);
        banco.scriviMasters(BancoLobby::rigaMaster("Unico", f.porta(), "chiave9"));
        QFile::remove(banco.cartella.file("User.ini"));
        finestra = banco.modulo().FrmNewUser();
        finestra->show();
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
};

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    void loginRiuscito()
    {
        Lobby l(300, BancoLobby::rigaMaster("Spento", FakeMaster::portaChiusa()));
        bool ascoltoPrima = false; // listening starts only after the last request
        l.f.dopoRichiesta = [&](const FakeMaster::Richiesta&) { ascoltoPrima |= l.ascolta(); };
        l.banco.clicConnetti();

        QCOMPARE(l.f.testi(), QStringList({wire("0001 ^ mario ^ mario ~ kalimo ~ Segreto | "),
                                           wire("0008 ^ mario ^ No Parametri | "),
                                           wire("0009 ^ mario ^ 1 | "), wire("0009 ^ mario ^ 2 | "),
                                           wire("0011 ^ mario ^ No Parametri | ")}));
        QVERIFY(!ascoltoPrima);
        QCOMPARE(l.stati(), QStringList({"In Connessione al master Spento",
                                         "Impossibile contattare il master Spento",
                                         "In Connessione al master Primo",
                                         "Connesso al master Primo", kPassword, kEseguita}));
        QVERIFY(l.banco.dialoghi.messaggi.isEmpty() && !l.m->master().tmrControllo().isActive());
        QCOMPARE(l.vista(), kCollegato);
        QCOMPARE(QStringList({l.m->UtenteCorrente.IPAddress, l.m->IndirizzoBanner,
                              l.m->VersioneMaster, QString::number(l.m->MinutiRefreshBanner),
                              QString::number(l.m->MaxUtentiStanza),
                              QString::number(l.m->MaxUtentiAudioStanza)}),
                 QStringList({"127.0.0.1", "http://banner.example/k", "2.0b", "7", "20", "5"}));
        // The fetched list replaces the stored one from the next start; the list in
        // use stays and becomes the backup.
        QCOMPARE(l.banco.cartella.leggi("Masters.txt"),
                 QByteArray("Uno | 127.0.0.1 | 7070 | k1\r\n\r\nDue | 192.0.2.7 | "
                            "7071 | k2\r\n\r\n"));
        QCOMPARE(l.banco.cartella.leggi("Masters.old.txt"), l.lista);
        QCOMPARE(l.m->ListaMaster.UBound(), 2);
        QCOMPARE(l.m->ListaMaster[2].Nome, "Primo");

        // Voice links, the user's Disconnetti, the master dropping the link, Esci.
        auto* lbl = BancoLobby::figlio<QLabel>(l.c, "lbl");
        QTcpSocket uno, due, tre;
        const auto collega = [&](QTcpSocket& s, int indice) {
            s.connectToHost(QHostAddress::LocalHost, l.c->collegamentiVoce().portaAscolto());
            return QTest::qWaitFor([&] { return l.m->IndiceWskVoice == indice; }, 10000) &&
                   lbl->text() == "Connesso";
        };
        QVERIFY(collega(uno, 1) && collega(due, 2));
        uno.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return lbl->text() == "Non connesso"; }, 10000));
        QCOMPARE(l.c->collegamentiVoce().collegamentiAperti(), 1);
        const int richieste = l.f.richieste().size();
        l.stati().clear();
        // The user disconnects: nothing is said to the master; the listener closes, not the link.
        l.banco.clicConnetti();
        QCOMPARE(l.stati(),
                 QStringList({"Disconnessione in corso", kPerduta, "Non connesso", kNonConnesso}));
        QCOMPARE(l.vista(), "Connetti 1 0 0 0 1 001 " + kNonConnesso);
        QVERIFY(l.chiuse(l.f) && l.c->collegamentiVoce().Aperto(2));
        QCOMPARE(l.f.richieste().size(), richieste);
        // The next login listens again, and numbering goes on.
        l.banco.clicConnetti();
        QCOMPARE(l.vista(), kCollegato);
        QVERIFY(collega(tre, 3));

        l.stati().clear();
        l.f.chiudiConnessione();
        QVERIFY(QTest::qWaitFor([&] { return !l.m->ConnessoAlMaster; }, 10000));
        QCOMPARE(l.stati(), QStringList({kPerduta, "Non connesso"}));
        // After a login the settings stay locked until the user disconnects.
        QCOMPARE(l.vista(), "Connetti 1 0 0 0 0 010 Non connesso");
        QVERIFY(l.banco.dialoghi.messaggi.isEmpty());
        l.banco.clicConnetti();
        QVERIFY(l.m->ConnessoAlMaster);
        QCOMPARE(l.f.connessioni(), 3);
        // Esci closes the last voice link only, and does not tell the master.
        l.banco.pulsante("cmdEsci")->click();
        QCOMPARE(l.banco.uscite, 1);
        QTRY_COMPARE(tre.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(due.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(l.f.codici().last(), "0011");
    }

    // The fifth field, PORT standing for the TLS port, GIUSTA for the certificate's fingerprint.
    void tls_data()
    {
        QTest::addColumn<QString>("campo");
        QTest::addColumn<bool>("autorita");  // the certificate is one the system trusts
        QTest::addColumn<QString>("motivo"); // empty: the TLS master takes the login
        QTest::newRow("fingerprint") << "tls:PORT:sha256=GIUSTA" << false << "";
        // Pinned, a certificate the authorities vouch for is still refused.
        QTest::newRow("changed fingerprint")
            << "tls:PORT:sha256=" + QString(64, '0') << true
            << "il certificato non corrisponde all'impronta indicata";
        QTest::newRow("unknown authority")
            << "tls:PORT" << false
            << "il certificato non e' garantito da un'autorita' riconosciuta";
    }
    void tls()
    {
        QFETCH(QString, campo);
        QFETCH(QString, motivo);
        CertificatoProva cert;
        QVERIFY(cert.crea());
        const QSslConfiguration prima = QSslConfiguration::defaultConfiguration();
        const auto ripristino =
            qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(prima); });
        QSslConfiguration fidata = prima;
        fidata.addCaCertificate(cert.cert);
        if (QFETCH(bool, autorita); autorita)
            QSslConfiguration::setDefaultConfiguration(fidata);
        Lobby l(300, {}, true, campo.replace("GIUSTA", cert.improntaHex()), cert.server());
        // The list handed out keeps a fifth field into Masters.txt.
        l.f.quando("0009", FakeMaster::rispondi(u"00010", {"Uno", "127.0.0.1", "7070", "k1",
                                                           "tls:7443:sha256=" + QString(64, 'B')}));
        l.f.quando("0008", FakeMaster::rispondi(u"00008", {"1"}));
        l.banco.clicConnetti();

        QVERIFY(l.m->ConnessoAlMaster && l.banco.dialoghi.messaggi.isEmpty());
        // Refused like a master that does not answer: the next one is tried.
        const QStringList tentativi =
            motivo.isEmpty()
                ? QStringList{"Connesso al master Primo"}
                : QStringList{"Impossibile contattare il master Primo (" + motivo + ")",
                              "In Connessione al master Secondo", "Connesso al master Secondo"};
        QCOMPARE(l.stati(), QStringList("In Connessione al master Primo") + tentativi +
                                QStringList({kPassword, kEseguita}));
        QCOMPARE(l.f.codici().size() + l.g.connessioni(), motivo.isEmpty() ? 4 : 1);
        if (motivo.isEmpty())
            QCOMPARE(l.banco.cartella.leggi("Masters.txt"),
                     "Uno | 127.0.0.1 | 7070 | k1 | tls:7443:sha256=" + QByteArray(64, 'b') +
                         "\r\n\r\n");
    }

    // One row per way a login fails: the request that goes wrong and what the master does then
    // ("niente": nothing, "chiudi": it closes, "stop": the window closes meanwhile, "porta": the
    // voice port is taken; otherwise its raw reply), the boxes, whether a new master list is
    // stored, and the window after.
    void fallimenti_data()
    {
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QByteArray>("azione");
        QTest::addColumn<QStringList>("avvisi");
        QTest::addColumn<bool>("listaNuova");
        QTest::addColumn<QString>("vista");
        const auto riga = [](const char* nome, const char* codice, const QByteArray& azione,
                             const QString& avviso, bool nuova, const QString& vista,
                             const QString& titolo = "Kalimo 2.0b") {
            QTest::newRow(nome) << QString(codice) << azione
                                << (avviso.isEmpty()
                                        ? QStringList()
                                        : QStringList({avviso, titolo, "Informazione Ok"}))
                                << nuova << vista;
        };
        // The next master is tried.
        riga("refused", "0001", wireBytes("00003 ^ |"),
             "Il Master ha raggiunto il numero massimo di utenti", true, kCollegato);
        // A master list that comes late leaves the login standing and the stored list.
        riga("time-out", "0009", "niente", "Il master non ha risposto in tempo", false, kCollegato);
        // A name that would add a field to Masters.txt.
        riga("malformed", "0009",
             wireBytes("00010 ^ U") + "|no" + wireBytes(" ~ 127.0.0.1 ~ 7070 ~ k |"), "", false,
             kCollegato);
        riga("connection lost", "0001", "chiudi", "", false,
             "Connetti 1 0 0 0 1 000 Servizio non disponibile; Nessuno dei server ha risposto alla "
             "connessione.");
        riga("window closed", "0001", "stop", "", false, "");
        // The login stands; only the voice link is missing.
        riga("voice port taken", "", "porta", "", true, "Disconnetti 1 1 1 1 0 100 " + kEseguita);
        riga("client too old", "0011", wireBytes("00012 ^ 20 ~ 5 ~ 1.9 |"),
             "La tua versione del client Kalimo non e' piu' compatibile con la versione corrente "
             "dei master; Collegati al sito https://kalimo.example.org e scarica la versione "
             "aggiornata",
             true, "Connetti 1 0 0 0 0 010 Non connesso", "Attenzione!!!");
    }
    void fallimenti()
    {
        QFETCH(QString, codice);
        QFETCH(QByteArray, azione);
        const bool risposta = !QByteArrayList{"niente", "chiudi", "stop", "porta"}.contains(azione);
        // A limit out of reach where only a reply, the close or the stop may end the wait.
        Lobby l(azione == "niente" ? 100 : kSoloFermo, {}, azione != "chiudi");
        l.f.quando(codice, azione == "chiudi"                       ? FakeMaster::chiudi()
                           : azione == "niente" || azione == "stop" ? FakeMaster::niente()
                                                                    : FakeMaster::grezzo(azione));
        QPointer<frmClient> c = l.c;
        l.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
            if (r.codice == codice && azione == "stop")
                QTimer::singleShot(0, [&] { c->close(); });
        };
        QTcpServer occupante;
        if (azione == "porta") {
            QVERIFY(occupante.listen(QHostAddress::LocalHost, 0));
            l.m->impostaPortaAscoltoVoice(occupante.serverPort());
        }
        const QByteArray lista = l.banco.cartella.leggi("Masters.txt");
        Guardia guardia;
        l.banco.clicConnetti();
        QVERIFY2(!guardia.scattata, "the wait outlived the stop");
        QTEST(l.banco.dialoghi.avvisi(), "avvisi");
        QTEST(l.banco.cartella.leggi("Masters.txt") != lista, "listaNuova");
        // Only a refusal moves on to the next master.
        QCOMPARE(l.g.connessioni(), int(risposta && codice == "0001"));
        QVERIFY(!l.m->master().occupato());
        if (!l.m->ConnessoAlMaster || l.g.connessioni())
            QVERIFY(l.chiuse(l.f));
        eliminaFinestreChiuse();
        QCOMPARE(c.isNull(), azione == "stop");
        if (c)
            QTEST(l.vista(), "vista");
        else // the voice link went with the window
            QCOMPARE(l.f.codici(), QStringList{"0001"});
    }

    void registrazioneTestoInviato_data()
    {
        QTest::addColumn<QString>("utente");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("nuovo");
        QTest::addColumn<QString>("testo");
        QTest::addColumn<QByteArray>("ini");
        const QString mario = "0010 ^ mario ^ mario ~ chiave9 ~ SeGreto ~ mario@x.it ~ -1 | ";
        const QByteArray iniMario("USERNAME : mario\r\nPASSWORD : SeGreto\r\n");
        QTest::newRow("new user") << QString(" Mario ") << " SeGreto " << true << mario << iniMario;
        QTest::newRow("registered")
            << QString("anna") << "pw:con:due" << false
            << "0010 ^ anna ^ anna ~ chiave9 ~ pw:con:due ~ mario@x.it ~ 0 | "
            << QByteArray("USERNAME : anna\r\nPASSWORD : pw:con:due\r\n");
        // Framing characters typed are dropped.
        QTest::newRow("framing typed")
            << QString("ma") + SEP1 + "rio" << QString("Se") + SEP3 + "Greto" << true << mario
            << iniMario;
    }

    void registrazioneTestoInviato()
    {
        QFETCH(QString, password);
        QFETCH(bool, nuovo);
        Scena s(FakeMaster::rispondi(nuovo ? u"00001" : u"00005"));
        QFETCH(QString, utente);
        s.compila(utente, password, password, " mario@x.it ");
        BancoLobby::figlio<QRadioButton>(s.finestra, nuovo ? "optNU" : "optGR")->setChecked(true);
        s.invia()->click();
        QFETCH(QString, testo);
        QCOMPARE(s.f.testi(), QStringList{wire(testo)});
        QTEST(s.ini(), "ini");
    }

    // One row per way a registration ends: the master's reply, or "chiudi" (it closes the
    // connection), "irraggiungibile" (no master answers). The lobby's stop and time-out are the
    // login's.
    void registrazioneEsiti_data()
    {
        QTest::addColumn<QString>("risposta");
        QTest::addColumn<QString>("stato");
        QTest::addColumn<bool>("socketChiuso");
        const auto riga = [](const char* risposta, const QString& stato, bool chiuso) {
            QTest::newRow(risposta) << QString(risposta) << stato << chiuso;
        };
        riga("00001", "Registrazione Eseguita", false);
        riga("00002", "Esiste già un utente con questo nome", true);
        riga("00005", "La registrazione e' stata effettuata correttamente", true);
        riga("chiudi", "Invio dei dati in corso...", true);
        riga("irraggiungibile",
             "Impossibile contattare il master: Gamma (il certificato non corrisponde "
             "all'impronta indicata)",
             true);
    }

    void registrazioneEsiti()
    {
        QFETCH(QString, risposta);
        const bool salvato = risposta == "00001" || risposta == "00005";
        // A limit out of reach: the close must end the wait.
        Scena s(risposta == "chiudi" ? FakeMaster::chiudi() : FakeMaster::rispondi(risposta),
                kSoloFermo);
        Module1& m = s.banco.modulo();
        // A closed master, then one behind TLS whose certificate is not the pinned one.
        CertificatoProva cert;
        FakeMaster tls;
        if (risposta == "irraggiungibile") {
            QVERIFY(cert.crea() && tls.ascoltaTls(cert.server()));
            s.banco.scriviMasters(
                BancoLobby::rigaMaster("Alfa", FakeMaster::portaChiusa()) +
                BancoLobby::rigaMaster("Gamma", FakeMaster::portaChiusa(),
                                       QString("k | tls:%1:sha256=").arg(tls.porta()) +
                                           QString(64, '0')));
            m.CaricaMasters();
        }
        s.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
        Guardia guardia;
        s.invia()->click();
        QVERIFY(!guardia.scattata);

        QTEST(!m.registrazione().connesso(), "socketChiuso");
        eliminaFinestreChiuse();
        QCOMPARE(s.finestra && s.finestra->isVisible(), !salvato);
        if (s.finestra)
            QTEST(s.testo(), "stato");
        QCOMPARE(s.banco.cartella.esiste("User.ini"), salvato);
        frmClient* client = m.FrmClientEsistente();
        QCOMPARE(s.banco.dialoghi.avvisi(),
                 risposta == "00001" ? QStringList({"Registrazione eseguita correttamente",
                                                    "Kalimo 2.0b", "Informazione Ok"})
                                     : QStringList());
        QCOMPARE(client && client->isVisible(), salvato);
        QCOMPARE(m.UtenteCorrente.NickName + m.UtenteCorrente.Password,
                 salvato ? "marioSeGreto" : "");
        // The registration socket goes with its window.
        QVERIFY(s.finestra || QTest::qWaitFor([&] { return s.f.connessioniAperte() == 0; }, 10000));
        if (!salvato)
            return;
        // The contact list already in the folder is in use, so a later rewrite keeps it.
        QCOMPARE(m.ContactList.UBound(), 2);
        QVERIFY(m.EliminaDaContactList("anna"));
        QCOMPARE(s.banco.cartella.leggi("CntLst.klm"), QByteArray("bruno\r\n"));
    }

    void registrazioneControlliPrimaDellInvio()
    {
        Scena s(FakeMaster::rispondi(u"00002"));
        // Each rule in turn; nothing reaches the master until all pass (ten characters of email
        // do).
        const QList<QStringList> casi{
            {" ab ", "x", "y", "", "Indicare una username di almeno 3 caratteri"},
            {"mario", "Segreto", " Segreto ", "a@b.it", "Inserire una email"},
            {"mario", " xy ", " xy ", "mario@x.it", "Indicare una password di almeno 3 caratteri"},
            {"mario", "Segreto", "segreto", "", "Le password inserite non coincidono"},
            {"mario", "Segreto", "Segreto", "mario@x.it", "Esiste già un utente con questo nome"}};
        for (const QStringList& c : casi) {
            s.compila(c[0], c[1], c[2], c[3]);
            s.invia()->click();
            QCOMPARE(s.testo(), c[4]);
            QCOMPARE(s.f.codici().size(), c == casi.last() ? 1 : 0);
            QVERIFY(s.banco.dialoghi.messaggi.isEmpty() && !s.banco.cartella.esiste("User.ini"));
        }
        // After a refusal the user corrects the name and sends again.
        s.f.quando("0010", FakeMaster::rispondi(u"00001"));
        s.compila("mario2", "Segreto", "Segreto", "mario@x.it");
        s.invia()->click();
        QCOMPARE(s.f.codici().join(' ') + ' ' + s.f.richieste().last().utente, "0010 0010 mario2");
        QCOMPARE(s.ini(), QByteArray("USERNAME : mario2\r\nPASSWORD : Segreto\r\n"));
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
