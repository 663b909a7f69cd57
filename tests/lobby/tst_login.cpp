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
using test::BancoLobby;
using test::eliminaFinestreChiuse;
using test::FakeMaster;

namespace {

QString t(const char* testo)
{
    return test::wire(testo);
}
QByteArray b(const char* testo)
{
    return t(testo).toUtf8();
}

const QString kNonConnesso = "Non Connesso.\nClicca su 'Connetti' per entrare nel servizio.";
const QString kNessunServer = "Servizio non disponibile; Nessuno dei server ha "
                              "risposto alla connessione.";
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
               QString(" %1%2%3 ")
                   .arg(m->ConnessoAlMaster)
                   .arg(ascolta())
                   .arg(c->InterrompiConnessione) +
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

// A first start (no User.ini) with the registration window filled in, against one scripted master
// listed after `primi`.
struct Scena
{
    Scena(const FakeMaster::Azione& risposta, int rispostaMs = 300, const QByteArray& primi = {})
        : banco(rispostaMs)
    {
        const bool ok = f.ascolta();
        f.quando("0010", risposta);
        banco.scriviMasters(primi + BancoLobby::rigaMaster("Unico", f.porta(), "chiave9"));
        QFile::remove(banco.cartella.file("User.ini"));
        finestra = banco.modulo().FrmNewUser();
        finestra->show();
        (void)QTest::qWaitForWindowExposed(finestra);
        QCoreApplication::processEvents();
        stato = std::make_unique<test::RegistroEtichetta>(finestra->lblStato());
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
    std::unique_ptr<test::RegistroEtichetta> stato;
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

        QCOMPARE(l.f.testi(),
                 QStringList({t("0001 ^ mario ^ mario ~ kalimo ~ Segreto | "),
                              t("0008 ^ mario ^ No Parametri | "), t("0009 ^ mario ^ 1 | "),
                              t("0009 ^ mario ^ 2 | "), t("0011 ^ mario ^ No Parametri | ")}));
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
    }

    void rifiuti_data()
    {
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QString>("stato");
        QTest::addColumn<QString>("messaggio");
        const auto riga = [](const char* codice, const QString& stato,
                             const QString& messaggio = {}) {
            QTest::newRow(codice) << QString(codice) << stato
                                  << (messaggio.isEmpty() ? stato : messaggio);
        };
        riga("00002", "Username o Password errati");
        // The next master is tried.
        riga("00003", "Il Master ha raggiunto il numero massimo di utenti");
        riga("00004", "Non si e' abilitati ad usare questo master");
        riga("00005", "Il tuo username risulta gia' collegato. Ritenta tra qualche minuto",
             "Il tuo username risulta gia' collegato. Attendere e rirpovare");
        riga("00006", "Autenticatore non in linea");
    }
    void rifiuti()
    {
        QFETCH(QString, codice);
        QFETCH(QString, stato);
        const bool secondoProvato = codice == "00003";
        Lobby l(300, {}, true);
        l.f.quando("0001", FakeMaster::rispondi(codice));
        l.banco.clicConnetti();
        QTEST(l.banco.dialoghi.avvisi().value(0), "messaggio");
        QCOMPARE(l.banco.dialoghi.avvisi().mid(1), QStringList({"Kalimo 2.0b", "Informazione Ok"}));
        QVERIFY(l.stati().contains(stato));
        QCOMPARE(l.f.codici(), QStringList{"0001"});
        QVERIFY(l.chiuse(l.f)); // the refused connection is closed by the lobby
        QCOMPARE(l.g.connessioni(), secondoProvato ? 1 : 0);
        QCOMPARE(l.vista(), secondoProvato ? kCollegato : "Connetti 1 0 0 0 1 001 " + stato);
    }

    void tls_data()
    {
        QTest::addColumn<QString>("campo");  // the fifth field, PORT standing for the TLS port
        QTest::addColumn<bool>("autorita");  // the certificate is one the system trusts
        QTest::addColumn<QString>("motivo"); // empty: the TLS master takes the login
        QTest::newRow("impronta") << "tls:PORT:sha256=GIUSTA" << false << "";
        QTest::newRow("autorita") << "tls:PORT" << true << "";
        QTest::newRow("impronta sbagliata")
            << "tls:PORT:sha256=" + QString(64, '0') << false
            << "il certificato non corrisponde all'impronta indicata";
        // Pinned, a certificate the authorities vouch for is still refused.
        QTest::newRow("autorita, impronta sbagliata")
            << "tls:PORT:sha256=" + QString(64, 'a') << true
            << "il certificato non corrisponde all'impronta indicata";
        QTest::newRow("autorita sconosciuta")
            << "tls:PORT" << false
            << "il certificato non e' garantito da un'autorita' riconosciuta";
    }
    void tls()
    {
        QFETCH(QString, campo);
        QFETCH(QString, motivo);
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        const QSslConfiguration prima = QSslConfiguration::defaultConfiguration();
        const auto ripristino =
            qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(prima); });
        QSslConfiguration fidata = prima;
        fidata.addCaCertificate(cert.cert);
        if (QFETCH(bool, autorita); autorita)
            QSslConfiguration::setDefaultConfiguration(fidata);
        Lobby l(300, {}, true, campo.replace("GIUSTA", cert.improntaHex()), cert.server());
        QVERIFY(l.m->ListaMaster[1].Tls.port == l.f.porta());
        // The list handed out keeps a fifth field into Masters.txt.
        l.f.quando("0009", FakeMaster::rispondi(u"00010", {"Uno", "127.0.0.1", "7070", "k1",
                                                           "tls:7443:sha256=" + QString(64, 'B')}));
        l.f.quando("0008", FakeMaster::rispondi(u"00008", {"1"}));
        l.banco.clicConnetti();

        const QStringList login = {kPassword, kEseguita};
        QVERIFY(l.m->ConnessoAlMaster && l.banco.dialoghi.messaggi.isEmpty());
        if (motivo.isEmpty()) {
            QCOMPARE(l.stati(),
                     QStringList({"In Connessione al master Primo", "Connesso al master Primo"}) +
                         login);
            QCOMPARE(l.f.codici(), QStringList({"0001", "0008", "0009", "0011"}));
            QCOMPARE(l.g.connessioni(), 0);
            QCOMPARE(l.banco.cartella.leggi("Masters.txt"),
                     "Uno | 127.0.0.1 | 7070 | k1 | tls:7443:sha256=" + QByteArray(64, 'b') +
                         "\r\n\r\n");
            return;
        }
        // Refused like a master that does not answer: the next one is tried.
        QCOMPARE(l.stati(),
                 QStringList({"In Connessione al master Primo",
                              "Impossibile contattare il master Primo (" + motivo + ")",
                              "In Connessione al master Secondo", "Connesso al master Secondo"}) +
                     login);
        QVERIFY(l.f.codici().isEmpty());
    }

    // An empty list; masters that refuse one after another end the same way (loginRiuscito,
    // interrotto).
    void nessunMaster()
    {
        BancoLobby banco;
        banco.scriviMasters({});
        banco.clicConnetti();
        QCOMPARE(banco.registroStato->testi, QStringList{kNessunServer});
        QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
        QVERIFY(!banco.modulo().ConnessoAlMaster && banco.dialoghi.messaggi.isEmpty());
    }

    void disconnessioni()
    {
        Lobby l;
        l.banco.clicConnetti();
        QCOMPARE(l.vista(), kCollegato);
        const int richieste = l.f.richieste().size();
        l.stati().clear();
        // The user disconnects: nothing is said to the master.
        l.banco.clicConnetti();
        QCOMPARE(l.stati(),
                 QStringList({"Disconnessione in corso", kPerduta, "Non connesso", kNonConnesso}));
        QCOMPARE(l.vista(), "Connetti 1 0 0 0 1 001 " + kNonConnesso);
        QVERIFY(l.chiuse(l.f));
        QCOMPARE(l.f.richieste().size(), richieste);
        // The next login listens again.
        l.banco.clicConnetti();
        QCOMPARE(l.vista(), kCollegato);

        // The master drops the link.
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
    }

    // A login that ends during a wait: the user's stop, the window closed, the master closing.
    void interrotto_data()
    {
        QTest::addColumn<QString>("muto");   // the request the master leaves unanswered
        QTest::addColumn<QString>("azione"); // what happens then
        QTest::addColumn<QString>("codici");
        QTest::addColumn<QStringList>("stati");
        const auto riga = [](const char* nome, const char* muto, const char* azione,
                             const char* codici, const QStringList& stati) {
            QTest::newRow(nome) << QString(muto) << QString(azione) << QString(codici)
                                << QStringList{"In Connessione al master Primo",
                                               "Connesso al master Primo", kPassword} +
                                       stati;
        };
        const QStringList stop{"Disconnessione in corso", kPerduta, "Non connesso", kNonConnesso};
        riga("stop at the password", "0001", "stop", "0001", stop);
        // Nothing more is asked, nobody listens, the stored list stays.
        riga("stop at the master list", "0009", "stop", "0001 0008 0009",
             QStringList{kEseguita} + stop);
        // The attempt stops, then the window closes.
        riga("window closed", "0001", "close", "0001", {});
        riga("master closes", "0001", "", "0001", {kPerduta, "Non connesso", kNessunServer});
    }
    void interrotto()
    {
        QFETCH(QString, muto);
        QFETCH(QString, azione);
        // Only the click, the close or the master can end the wait.
        Lobby l(test::kSoloFermo, {}, !azione.isEmpty());
        l.f.quando(muto, azione.isEmpty() ? FakeMaster::chiudi() : FakeMaster::niente());
        QPointer<frmClient> c = l.c;
        QString didascalia;
        l.f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
            if (r.codice != muto)
                return;
            didascalia = l.banco.pulsante("cmdConnettiti")->text();
            if (!azione.isEmpty())
                QTimer::singleShot(0, [&] {
                    if (azione == "stop")
                        l.banco.clicConnetti();
                    else
                        c->close();
                });
        };
        const QByteArray lista = l.banco.cartella.leggi("Masters.txt");
        test::Guardia guardia;
        l.banco.clicConnetti();
        QVERIFY2(!guardia.scattata, "the wait outlived the stop");
        QCOMPARE(didascalia, "Disconnetti");
        QTEST(l.f.codici().join(' '), "codici");
        QTEST(l.stati(), "stati");
        QVERIFY(!l.m->ConnessoAlMaster && !l.m->master().occupato() && !l.ascolta());
        QVERIFY(l.banco.dialoghi.messaggi.isEmpty() && l.chiuse(l.f) && l.g.connessioni() == 0);
        QCOMPARE(l.banco.cartella.leggi("Masters.txt"), lista);
        QCOMPARE(l.banco.cartella.leggi("Masters.old.txt"), lista);
        eliminaFinestreChiuse();
        QCOMPARE(c.isNull(), azione == "close");
        if (c)
            QCOMPARE(l.vista().left(10), "Connetti 1");
    }

    void dopoLaPassword_data()
    {
        QTest::addColumn<QString>("muto");     // the request left unanswered
        QTest::addColumn<QString>("versione"); // the master's, otherwise
        QTest::addColumn<QStringList>("avvisi");
        const QStringList tardi{"Il master non ha risposto in tempo", "Kalimo 2.0b",
                                "Informazione Ok"};
        const QStringList vecchia{
            "La tua versione del client Kalimo non e' piu' compatibile con la "
            "versione corrente dei master; Collegati al sito "
            "https://kalimo.example.org e scarica la versione aggiornata",
            "Attenzione!!!", "Informazione Ok"};
        QTest::newRow("0008 unanswered") << "0008"
                                         << "" << tardi;
        QTest::newRow("0009 unanswered") << "0009"
                                         << "" << tardi;
        QTest::newRow("0011 unanswered") << "0011"
                                         << "" << QStringList();
        QTest::newRow("same version") << ""
                                      << "2.0b" << QStringList();
        QTest::newRow("older version") << ""
                                       << "1.9" << vecchia;
        QTest::newRow("letter case counts") << ""
                                            << "2.0B" << vecchia;
    }
    void dopoLaPassword()
    {
        QFETCH(QString, muto);
        QFETCH(QString, versione);
        Lobby l(muto.isEmpty() ? 300 : 100);
        if (muto.isEmpty())
            l.f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", versione}));
        else
            l.f.quando(muto, FakeMaster::niente());
        l.banco.clicConnetti();
        QTEST(l.banco.dialoghi.avvisi(), "avvisi");
        if (muto == "0008" || muto == "0009")
            QCOMPARE(l.banco.cartella.leggi("Masters.txt"), l.lista);
        // A master list that comes late leaves the login standing and the rest still
        // runs; a client too old is turned away.
        if (muto.isEmpty() && !l.banco.dialoghi.messaggi.isEmpty()) {
            QCOMPARE(l.stati().mid(l.stati().size() - 2), QStringList({kPerduta, "Non connesso"}));
            QCOMPARE(l.vista().left(13), "Connetti 1 0 ");
            QVERIFY(!l.m->ConnessoAlMaster && l.chiuse(l.f));
            return;
        }
        QVERIFY(l.m->ConnessoAlMaster && l.ascolta());
        QCOMPARE(l.f.codici().last(), "0011");
    }

    // No decision in time: the connection stays, in the connecting look, no message.
    void senzaDecisione()
    {
        Lobby l(100);
        l.f.quando("0001", FakeMaster::grezzo(b("00001 ^ senza fine")));
        l.banco.clicConnetti();
        QCOMPARE(l.vista(), "Disconnetti 1 0 0 0 1 100 " + kPassword);
        QVERIFY(!l.m->master().occupato() && !l.m->master().tmrControllo().isActive());
        QCOMPARE(l.f.connessioniAperte(), 1);
        QCOMPARE(l.f.codici(), QStringList{"0001"});
        QVERIFY(l.banco.dialoghi.messaggi.isEmpty());
    }

    // The master's checks are answered with their block unchanged, whatever arrives
    // around them (how arrivals are split and joined is the link's, tested there).
    void controlli()
    {
        Lobby l;
        l.f.quando("0008", FakeMaster::grezzo(b("0005 ^ tok2 | 00008 ^ 0 | ")));
        l.banco.clicConnetti();
        QVERIFY(l.m->ConnessoAlMaster);
        // A count of 0 keeps the stored list.
        QVERIFY(!l.f.codici().contains("0009"));
        QCOMPARE(l.banco.cartella.leggi("Masters.txt"), l.lista);
        l.f.invia(b("0005 ^ a ~ b | 0001 ^ x ~ y | 0005 ^ | "));
        QVERIFY(QTest::qWaitFor([&] { return l.f.codici().count("0014") == 3; }, 10000));
        QCOMPARE(l.f.testi().filter(t("0014 ")),
                 QStringList({t("0014 ^ mario ^ tok2 | "), t("0014 ^ mario ^ a ~ b | "),
                              t("0014 ^ mario ^  | ")}));
    }

    void risposteMalformate_data()
    {
        QTest::addColumn<QString>("codice");
        QTest::addColumn<QByteArray>("risposta");
        QTest::addColumn<QString>("valori"); // banner, minutes, room limit, version; list written
        const auto riga = [](const char* nome, const char* codice, const QByteArray& risposta,
                             const char* valori = "http://banner.example/k 7 20 2.0b 0") {
            QTest::newRow(nome) << QString(codice) << risposta << QString(valori);
        };
        riga("login without fields", "0001", b("00001 ^ |"), " 0 20 2.0b 1");
        riga("login minutes too large", "0001", b("00001 ^ http://x ~ 70000 |"),
             "http://x 0 20 2.0b 1");
        riga("count not a number", "0008", b("00008 ^ due |"));
        riga("00009 instead of a count", "0008", b("00009 ^ 2 |"));
        riga("short master record", "0009", b("00010 ^ Uno ~ 127.0.0.1 ~ 7070 |"));
        riga("port not a number", "0009", b("00010 ^ Uno ~ 127.0.0.1 ~ porta ~ k |"));
        riga("port out of range", "0009", b("00010 ^ Uno ~ 127.0.0.1 ~ 70000 ~ k |"));
        riga("00011 for a record", "0009", b("00011 ^ |"));
        riga("limits without fields", "0011", b("00012 ^ |"), "http://banner.example/k 7 0  1");
        riga("name with the file's separator", "0009",
             b("00010 ^ U") + "|no" + b(" ~ 127.0.0.1 ~ 7070 ~ k |"));
    }
    void risposteMalformate()
    {
        QFETCH(QString, codice);
        QFETCH(QByteArray, risposta);
        Lobby l;
        l.f.quando(codice, FakeMaster::grezzo(risposta));
        l.banco.clicConnetti();
        QVERIFY(l.m->ConnessoAlMaster && l.ascolta() && l.banco.dialoghi.messaggi.isEmpty());
        QTEST(QString("%1 %2 %3 %4 %5")
                  .arg(l.m->IndirizzoBanner)
                  .arg(l.m->MinutiRefreshBanner)
                  .arg(l.m->MaxUtentiStanza)
                  .arg(l.m->VersioneMaster)
                  .arg(l.banco.cartella.leggi("Masters.txt") != l.lista),
              "valori");
        // The program folder still starts: its master list still reads.
        QVERIFY(l.m->CaricaMasters());
    }

    void ascoltoVoce()
    {
        Lobby l;
        Module1& m = *l.m;
        frmClient* c = l.c;
        auto* lbl = BancoLobby::figlio<QLabel>(c, "lbl");
        l.banco.clicConnetti();
        const quint16 porta = c->collegamentiVoce().portaAscolto();
        QVERIFY(l.ascolta() && porta != 0);
        QTcpSocket uno, due, tre;
        const auto collega = [&](QTcpSocket& s, quint16 p, int indice) {
            s.connectToHost(QHostAddress::LocalHost, p);
            return QTest::qWaitFor([&] { return m.IndiceWskVoice == indice; }, 10000) &&
                   lbl->text() == "Connesso";
        };
        QVERIFY(collega(uno, porta, 1));
        QVERIFY(collega(due, porta, 2));

        // The voice client closing its end.
        uno.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return lbl->text() == "Non connesso"; }, 10000));
        QCOMPARE(c->collegamentiVoce().collegamentiAperti(), 1);
        // "Disconnetti" closes the listener but not the link.
        l.banco.clicConnetti();
        QVERIFY(!l.ascolta() && c->collegamentiVoce().Aperto(2));
        // The next login listens again, and numbering goes on.
        l.banco.clicConnetti();
        QVERIFY(l.ascolta());
        QVERIFY(collega(tre, c->collegamentiVoce().portaAscolto(), 3));
        // Esci closes the last voice link only, and does not tell the master.
        l.banco.pulsante("cmdEsci")->click();
        QCOMPARE(l.banco.uscite, 1);
        QTRY_COMPARE(tre.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(due.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(l.f.codici().last(), "0011");
    }

    void portaOccupata()
    {
        QTcpServer occupante;
        QVERIFY(occupante.listen(QHostAddress::LocalHost, 0));
        Lobby l;
        l.m->impostaPortaAscoltoVoice(occupante.serverPort());
        l.banco.clicConnetti();
        // The login stands; only the voice link is missing.
        QCOMPARE(l.vista(), "Disconnetti 1 1 1 1 0 100 " + kEseguita);
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
        const auto riga = [](const char* nome, const QString& utente, const QString& password,
                             bool nuovo, const QString& testo, const QByteArray& ini) {
            QTest::newRow(nome) << utente << password << nuovo << testo << ini;
        };
        riga("new user", " Mario ", " SeGreto ", true, mario, iniMario);
        riga("registered", "anna", "pw:con:due", false,
             "0010 ^ anna ^ anna ~ chiave9 ~ pw:con:due ~ mario@x.it ~ 0 | ",
             "USERNAME : anna\r\nPASSWORD : pw:con:due\r\n");
        // Framing characters typed are dropped.
        riga("framing typed", QString("ma") + SEP1 + "rio", QString("Se") + SEP3 + "Greto", true,
             mario, iniMario);
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
        QCOMPARE(s.f.testi(), QStringList{test::wire(testo)});
        QTEST(s.ini(), "ini");
    }

    void registrazioneEsiti_data()
    {
        QTest::addColumn<QString>("risposta"); // a code, "niente" or "chiudi"
        QTest::addColumn<QString>("stato");
        QTest::addColumn<bool>("socketChiuso");
        const QString invio = "Invio dei dati in corso...";
        const auto riga = [](const char* nome, const char* risposta, const QString& stato,
                             bool chiuso) {
            QTest::newRow(nome) << QString(risposta) << stato << chiuso;
        };
        riga("00001", "00001", "Registrazione Eseguita", false);
        riga("00002", "00002", "Esiste già un utente con questo nome", true);
        riga("00003", "00003",
             "Servizio di autenticazione non disponibile. Ripetere l'operazione in un secondo "
             "momento.",
             true);
        riga("00004", "00004", "Nome utente o password non corretti", true);
        riga("00005", "00005", "La registrazione e' stata effettuata correttamente", true);
        riga("unknown code", "00009", invio, false);
        riga("no reply", "niente", invio, false);
        riga("master closes", "chiudi", invio, true);
    }

    void registrazioneEsiti()
    {
        QFETCH(QString, risposta);
        const bool salvato = risposta == "00001" || risposta == "00005";
        // A limit out of reach where the close must end the wait; 100 ms where only a time-out can.
        Scena s(risposta == "niente"   ? FakeMaster::niente()
                : risposta == "chiudi" ? FakeMaster::chiudi()
                                       : FakeMaster::rispondi(risposta),
                risposta == "chiudi" ? test::kSoloFermo : 100);
        test::Guardia guardia;
        s.invia()->click();
        QVERIFY(!guardia.scattata);

        QVERIFY(s.finestra);
        QTEST(s.testo(), "stato");
        QTEST(!s.banco.modulo().registrazione().connesso(), "socketChiuso");
        QCOMPARE(s.banco.cartella.esiste("User.ini"), salvato);
        Module1& m = s.banco.modulo();
        frmClient* client = m.FrmClientEsistente();
        QCOMPARE(s.banco.dialoghi.avvisi(),
                 risposta == "00001" ? QStringList({"Registrazione eseguita correttamente",
                                                    "Kalimo 2.0b", "Informazione Ok"})
                                     : QStringList());
        QCOMPARE(s.finestra->isVisible() && s.invia()->isEnabled(), !salvato);
        QCOMPARE(client && client->isVisible(), salvato);
        QCOMPARE(m.UtenteCorrente.NickName + m.UtenteCorrente.Password,
                 salvato ? "marioSeGreto" : "");
        if (!salvato)
            return;
        eliminaFinestreChiuse();
        QVERIFY(!s.finestra);
        // The registration socket goes with its window.
        QVERIFY(QTest::qWaitFor([&] { return s.f.connessioniAperte() == 0; }, 10000));
    }

    // Closed masters and a TLS one whose certificate is not the pinned one are skipped.
    void registrazioneMaster()
    {
        test::CertificatoProva cert;
        QVERIFY(cert.crea());
        FakeMaster t;
        QVERIFY(t.ascoltaTls(cert.server()));
        t.quando("0010", FakeMaster::rispondi(u"00001"));
        const QByteArray campo = "tls:" + QByteArray::number(t.porta()) + ":sha256=";
        const QByteArray chiusa = QByteArray::number(FakeMaster::portaChiusa());
        Scena s(FakeMaster::niente(), 300,
                "Alfa | 127.0.0.1 | " + chiusa + " | k\r\nGamma | 127.0.0.1 | " + chiusa +
                    " | k | " + campo + QByteArray(64, '0') + "\r\nDelta | 127.0.0.1 | " + chiusa +
                    " | k | " + campo + cert.improntaHex().toLatin1() + "\r\n");
        s.invia()->click();
        QCOMPARE(s.stato->testi,
                 QStringList({"", "In Connessione al master: Alfa",
                              "Impossibile contattare il master: Alfa",
                              "In Connessione al master: Gamma",
                              "Impossibile contattare il master: Gamma (il certificato non "
                              "corrisponde all'impronta indicata)",
                              "In Connessione al master: Delta", "Connesso al master: Delta",
                              "Invio dei dati in corso...", "Registrazione Eseguita"}));
        QCOMPARE(t.codici(), QStringList{"0010"});
        QVERIFY(s.f.codici().isEmpty());
    }

    void registrazioneNessunMaster_data()
    {
        QTest::addColumn<QByteArray>("lista");
        QTest::addColumn<QString>("testo");
        QTest::newRow("all closed") << BancoLobby::rigaMaster("Alfa", FakeMaster::portaChiusa()) +
                                           BancoLobby::rigaMaster("Beta", FakeMaster::portaChiusa())
                                    << "Impossibile contattare il master: Beta";
        QTest::newRow("empty list")
            << QByteArray("\r\n")
            << "Servizio non disponibile; Nessuno dei server ha risposto alla connessione.";
    }
    void registrazioneNessunMaster()
    {
        QFETCH(QByteArray, lista);
        Scena n(FakeMaster::niente());
        n.banco.scriviMasters(lista);
        n.banco.modulo().CaricaMasters();
        QCOMPARE(n.banco.modulo().ListaMaster.UBound(), lista.size() > 2 ? 2 : 0);
        n.invia()->click();
        QTEST(n.testo(), "testo");
        QVERIFY(n.finestra->isVisible() && !n.banco.cartella.esiste("User.ini") &&
                n.banco.dialoghi.messaggi.isEmpty());
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
            {"mario", "Segreto", "Segreto", "m@rio.it ", "Inserire una email"},
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

    void registrazioneAnnullaDuranteLAttesa()
    {
        Scena s(FakeMaster::niente(), test::kSoloFermo);
        s.f.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
            QTimer::singleShot(0, [&] {
                BancoLobby::figlio<QPushButton>(s.finestra, "cmdEsci")->click();
                s.f.invia(FakeMaster::messaggio(u"00001")); // too late to count
            });
        };
        s.invia()->click();
        QVERIFY(s.finestra.isNull() || !s.finestra->isVisible());
        eliminaFinestreChiuse();
        QVERIFY(s.finestra.isNull() && !s.banco.cartella.esiste("User.ini"));
        QVERIFY(!s.banco.modulo().FrmClientEsistente() && s.banco.dialoghi.messaggi.isEmpty());
    }

    void registrazioneFileDellaCartella()
    {
        Scena s(FakeMaster::rispondi(u"00005"));
        Module1& m = s.banco.modulo();
        s.banco.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
        QCOMPARE(m.ContactList.UBound(), 0);
        {
            test::CartellaBloccata blocco(s.banco.cartella.percorso());
            if (!blocco.attiva())
                QSKIP("this system cannot make a folder refuse files");
            s.invia()->click();
        }
        QCOMPARE(s.banco.dialoghi.avvisi(),
                 QStringList({"Impossibile salvare le impostazioni nel file User.ini",
                              "Kalimo 2.0b", "Critica Ok"}));
        // The account exists on the master: this session goes on with it.
        QVERIFY(m.UtenteCorrente.NickName == "mario" && m.FrmClientEsistente() &&
                m.FrmClientEsistente()->isVisible());
        // The contact list in the folder is in use, so a later rewrite keeps it.
        QCOMPARE(m.ContactList.UBound(), 2);
        QVERIFY(m.EliminaDaContactList("anna"));
        QCOMPARE(s.banco.cartella.leggi("CntLst.klm"), QByteArray("bruno\r\n"));
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
