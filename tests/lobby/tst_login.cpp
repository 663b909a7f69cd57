#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/bancolobby.h"
#include "tests/support/fakemaster.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using test::BancoLobby;
using test::FakeMaster;

namespace {

QString t(const char* testo)
{
    return test::testoProtocollo(testo);
}
QByteArray b(const char* testo)
{
    return t(testo).toUtf8();
}

const QString kNonConnesso =
    QStringLiteral("Non Connesso.\nClicca su 'Connetti' per entrare nel servizio.");
const QString kNessunServer =
    QStringLiteral("Servizio non disponibile; Nessuno dei server ha risposto alla connessione.");

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

// One master, "Primo", scripted as above, and a lobby that knows only it.
struct UnMaster
{
    explicit UnMaster(int rispostaMs = 300) : banco(rispostaMs)
    {
        pronto = f.ascolta();
        copioneRiuscito(f);
        lista = BancoLobby::rigaMaster("Primo", f.porta());
        banco.scriviMasters(lista);
    }
    FakeMaster f;
    BancoLobby banco;
    QByteArray lista;
    bool pronto = false;
};

bool inAscolto(BancoLobby& banco)
{
    return banco.client()->WSKVoice.InAscolto();
}

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    void arrivi_data();
    void arrivi();
    void loginRiuscito();
    void primoMasterRifiutaTcp();
    void rifiuti_data();
    void rifiuti();
    void nessunMaster_data();
    void nessunMaster();
    void disconnessione();
    void stopDuranteLogin();
    void stopDuranteAggiornamento();
    void finestraChiusaDuranteLogin();
    void versione_data();
    void versione();
    void connessionePersa();
    void chiusuraDuranteLogin();
    void loginSenzaRisposta();
    void timeOutListaMaster_data();
    void timeOutListaMaster();
    void risposteAPezzi();
    void risposteMalformate_data();
    void risposteMalformate();
    void controllo();
    void mastersTroppoLungo();
    void ascoltoVoce();
    void esciChiudeUltimoCollegamento();
    void portaVoceOccupata();
};

void TestLogin::arrivi_data()
{
    QTest::addColumn<QString>("dati");
    QTest::addColumn<QString>("codice");
    QTest::addColumn<QString>("parametri");

    QTest::newRow("reply with three fields")
        << t("  00012 ^ 20 ~ 5 ~ 2.0b # ") << "00012" << t("20 ~ 5 ~ 2.0b");
    QTest::newRow("two replies: the later wins")
        << t("00008 ^ 3 #00010 ^ a ~ b # ") << "00010" << t("a ~ b");
    QTest::newRow("no SEP1: nothing") << t("00012 ^ 20 ~ 5 ~ 2.0b") << ""
                                      << "";
    QTest::newRow("two SEP2: ignored") << t("00012 ^ 20 ^ 5 #") << ""
                                       << "";
    QTest::newRow("no SEP2: ignored") << t("00012 #") << ""
                                      << "";
    QTest::newRow("notification 0001 ignored") << t("0001 ^ x ~ y #") << ""
                                               << "";
    QTest::newRow("unknown four-digit code") << t("0009 ^ x ~ y #") << ""
                                             << "";
    QTest::newRow("chat texts do not touch the slot")
        << t("0002 ^ anna ~ ciao #0003 ^ anna ~ io #0004 ^ anna ~ sistema #") << ""
        << "";
    QTest::newRow("reply after a bad piece") << t("x ^ y ^ z #00002 ^ 0 #") << "00002"
                                             << "0";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
}

void TestLogin::arrivi()
{
    QFETCH(QString, dati);
    QFETCH(QString, codice);
    QFETCH(QString, parametri);
    BancoLobby banco;
    Module1& m = banco.modulo();
    m.GestisciDatiArrivatiMaster(dati);
    QCOMPARE(m.CodiceRisposta, codice);
    QCOMPARE(m.ParametriRisposta, parametri);
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestLogin::loginRiuscito()
{
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    const QByteArray& vecchia = u.lista;
    Module1& m = banco.modulo();
    frmClient* c = banco.client();
    QList<bool> ascoltoAlleRichieste;
    f.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
        ascoltoAlleRichieste.append(inAscolto(banco));
    };
    QVERIFY(!inAscolto(banco));

    banco.clicConnetti();

    QCOMPARE(f.testi(), QStringList({
                            t("0001 ^ mario ^ mario ~ kalimo ~ Segreto # "),
                            t("0008 ^ mario ^ No Parametri # "),
                            t("0009 ^ mario ^ 1 # "),
                            t("0009 ^ mario ^ 2 # "),
                            t("0011 ^ mario ^ No Parametri # "),
                        }));
    // Listening starts only after the last request.
    QCOMPARE(ascoltoAlleRichieste, QList<bool>({false, false, false, false, false}));
    QVERIFY(inAscolto(banco));
    QCOMPARE(banco.registroStato->testi,
             QStringList({"In Connessione al master Primo", "Connesso al master Primo",
                          "Invio della password in corso.....", "Connessione al Master Eseguita"}));
    QVERIFY(banco.dialoghi.messaggi.isEmpty());

    QVERIFY(m.ConnessoAlMaster);
    QVERIFY(!c->InterrompiConnessione);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Disconnetti");
    QVERIFY(banco.pulsante("cmdConnettiti")->isEnabled());
    QVERIFY(banco.pulsante("cmdListaStanze")->isEnabled());
    QVERIFY(banco.pulsante("cmdListaUtenti")->isEnabled());
    QVERIFY(banco.pulsante("cmdNuovaStanza")->isEnabled());
    QVERIFY(!banco.pulsante("cmdOpzioni")->isEnabled());
    QCOMPARE(m.UtenteCorrente.IPAddress, "127.0.0.1");
    QCOMPARE(m.IndirizzoBanner, "http://banner.example/k");
    QCOMPARE(m.MinutiRefreshBanner, qint16(7));
    QCOMPARE(m.MaxUtentiStanza, qint16(20));
    QCOMPARE(m.MaxUtentiAudioStanza, qint16(5));
    QCOMPARE(m.VersioneMaster, "2.0b");
    QVERIFY(!c->tmrControllo.isActive());

    // The fetched list replaces the stored one from the next start; the list
    // in use stays and becomes the backup.
    QCOMPARE(banco.cartella.leggi("Masters.txt"),
             QByteArray("Uno | 127.0.0.1 | 7070 | k1\r\n\r\nDue | 192.0.2.7 | 7071 | k2\r\n\r\n"));
    QCOMPARE(banco.cartella.leggi("Masters.old.txt"), vecchia);
    QCOMPARE(m.ListaMaster.UBound(), 1);
    QCOMPARE(m.ListaMaster[1].Nome, "Primo");
}

void TestLogin::primoMasterRifiutaTcp()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    copioneRiuscito(f);
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Spento", FakeMaster::portaChiusa()) +
                        BancoLobby::rigaMaster("Acceso", f.porta()));
    banco.modulo();
    banco.clicConnetti();

    QCOMPARE(
        banco.registroStato->testi.mid(0, 4),
        QStringList({"In Connessione al master Spento", "Impossibile contattare il master Spento",
                     "In Connessione al master Acceso", "Connesso al master Acceso"}));
    QCOMPARE(banco.registroStato->testi.last(), "Connessione al Master Eseguita");
    QVERIFY(banco.modulo().ConnessoAlMaster);
    QCOMPARE(f.codici().first(), "0001");
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestLogin::rifiuti_data()
{
    QTest::addColumn<QString>("codice");
    QTest::addColumn<QString>("stato");
    QTest::addColumn<QString>("messaggio");
    QTest::addColumn<bool>("secondoProvato");

    QTest::newRow("00002 wrong password") << "00002"
                                          << "Username o Password errati"
                                          << "Username o Password errati" << false;
    QTest::newRow("00003 full: the next master")
        << "00003"
        << "Il Master ha raggiunto il numero massimo di utenti"
        << "Il Master ha raggiunto il numero massimo di utenti" << true;
    QTest::newRow("00004 not enabled") << "00004"
                                       << "Non si e' abilitati ad usare questo master"
                                       << "Non si e' abilitati ad usare questo master" << false;
    QTest::newRow("00005 already connected")
        << "00005"
        << "Il tuo username risulta gia' collegato. Ritenta tra qualche minuto"
        << "Il tuo username risulta gia' collegato. Attendere e rirpovare" << false;
    QTest::newRow("00006 authenticator offline") << "00006"
                                                 << "Autenticatore non in linea"
                                                 << "Autenticatore non in linea" << false;
}

void TestLogin::rifiuti()
{
    QFETCH(QString, codice);
    QFETCH(QString, stato);
    QFETCH(QString, messaggio);
    QFETCH(bool, secondoProvato);

    FakeMaster primo;
    FakeMaster secondo;
    QVERIFY(primo.ascolta());
    QVERIFY(secondo.ascolta());
    primo.quando("0001", FakeMaster::rispondi(codice));
    copioneRiuscito(secondo);
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", primo.porta()) +
                        BancoLobby::rigaMaster("Secondo", secondo.porta()));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    QCOMPARE(banco.dialoghi.messaggi.size(), 1);
    QCOMPARE(banco.dialoghi.messaggi[0].testo, messaggio);
    QCOMPARE(banco.dialoghi.messaggi[0].titolo, "Kalimo 2.0b");
    QCOMPARE(banco.dialoghi.messaggi[0].icona, Icona::Informazione);
    QCOMPARE(banco.dialoghi.messaggi[0].pulsanti, Pulsanti::Ok);
    QVERIFY(banco.registroStato->testi.contains(stato));
    QCOMPARE(primo.codici(), QStringList{"0001"});
    // The refused connection is closed by the lobby.
    QVERIFY(QTest::qWaitFor([&] { return primo.connessioniAperte() == 0; }, 10000));

    if (secondoProvato) {
        QCOMPARE(secondo.connessioni(), 1);
        QVERIFY(m.ConnessoAlMaster);
        QCOMPARE(banco.registroStato->testi.last(), "Connessione al Master Eseguita");
    } else {
        QCOMPARE(secondo.connessioni(), 0);
        QVERIFY(!m.ConnessoAlMaster);
        QVERIFY(banco.client()->InterrompiConnessione);
        QCOMPARE(banco.client()->lblStato()->text(), stato);
        QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
        QVERIFY(!banco.pulsante("cmdListaStanze")->isEnabled());
        QVERIFY(!inAscolto(banco));
    }
}

void TestLogin::nessunMaster_data()
{
    QTest::addColumn<int>("quanti");
    QTest::newRow("empty list") << 0;
    QTest::newRow("two refusing TCP") << 2;
}

void TestLogin::nessunMaster()
{
    QFETCH(int, quanti);
    BancoLobby banco;
    QByteArray righe;
    for (int i = 0; i < quanti; ++i)
        righe += BancoLobby::rigaMaster(QString("M%1").arg(i + 1), FakeMaster::portaChiusa());
    banco.scriviMasters(righe);
    banco.modulo();
    banco.clicConnetti();

    QStringList attesi;
    for (int i = 0; i < quanti; ++i)
        attesi << QString("In Connessione al master M%1").arg(i + 1)
               << QString("Impossibile contattare il master M%1").arg(i + 1);
    attesi << kNessunServer;
    QCOMPARE(banco.registroStato->testi, attesi);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QVERIFY(!banco.modulo().ConnessoAlMaster);
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestLogin::disconnessione()
{
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    banco.clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
    QVERIFY(inAscolto(banco));
    const int richieste = f.richieste().size();
    banco.registroStato->testi.clear();

    banco.clicConnetti();

    QCOMPARE(banco.registroStato->testi,
             QStringList({"Disconnessione in corso", "La Connessione al Master è andata perduta",
                          "Non connesso", kNonConnesso}));
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(banco.client()->InterrompiConnessione);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QVERIFY(banco.pulsante("cmdOpzioni")->isEnabled());
    QVERIFY(!banco.pulsante("cmdListaStanze")->isEnabled());
    QVERIFY(!banco.pulsante("cmdListaUtenti")->isEnabled());
    QVERIFY(!banco.pulsante("cmdNuovaStanza")->isEnabled());
    QVERIFY(!inAscolto(banco));
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return f.connessioniAperte() == 0; }, 10000));
    // Nothing is said to the master.
    QCOMPARE(f.richieste().size(), richieste);

    // The next login listens again.
    banco.clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
    QVERIFY(inAscolto(banco));
}

void TestLogin::stopDuranteLogin()
{
    FakeMaster primo;
    FakeMaster secondo;
    QVERIFY(primo.ascolta());
    QVERIFY(secondo.ascolta());
    copioneRiuscito(secondo);
    primo.quando("0001", FakeMaster::niente());
    // 60 s: only the stop click can end this wait.
    BancoLobby banco(60000);
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", primo.porta()) +
                        BancoLobby::rigaMaster("Secondo", secondo.porta()));
    Module1& m = banco.modulo();
    bool didascaliaNellAttesa = false;
    primo.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
        didascaliaNellAttesa = banco.pulsante("cmdConnettiti")->text() == "Disconnetti";
        QTimer::singleShot(0, [&] { banco.clicConnetti(); });
    };

    banco.clicConnetti();

    QVERIFY(didascaliaNellAttesa);
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(banco.client()->InterrompiConnessione);
    QCOMPARE(secondo.connessioni(), 0);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QCOMPARE(banco.client()->lblStato()->text(), kNonConnesso);
    QVERIFY(banco.registroStato->testi.contains("Disconnessione in corso"));
    QVERIFY(!inAscolto(banco));
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return primo.connessioniAperte() == 0; }, 10000));
}

void TestLogin::stopDuranteAggiornamento()
{
    UnMaster u(60000);
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    const QByteArray& vecchia = u.lista;
    f.quando("0009", FakeMaster::niente());
    Module1& m = banco.modulo();
    f.dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
        if (r.codice == "0009")
            QTimer::singleShot(0, [&] { banco.clicConnetti(); });
    };

    banco.clicConnetti();

    // Nothing more is asked and nobody listens after the user disconnected.
    QCOMPARE(f.codici(), QStringList({"0001", "0008", "0009"}));
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(!inAscolto(banco));
    QCOMPARE(banco.cartella.leggi("Masters.txt"), vecchia);
    QVERIFY(!banco.cartella.esiste("Masters.old.txt") ||
            banco.cartella.leggi("Masters.old.txt") == vecchia);
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestLogin::finestraChiusaDuranteLogin()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0001", FakeMaster::niente());
    BancoLobby banco(60000);
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
    QPointer<frmClient> c = banco.client();
    f.dopoRichiesta = [&](const FakeMaster::Richiesta&) {
        QTimer::singleShot(0, [&] { c->close(); });
    };
    banco.clicConnetti();

    // The attempt stops, then the window closes; nothing is left waiting.
    QVERIFY(c.isNull() || !c->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(c.isNull());
    QVERIFY(!banco.modulo().ConnessoAlMaster);
    QVERIFY(QTest::qWaitFor([&] { return f.connessioniAperte() == 0; }, 10000));
}

void TestLogin::versione_data()
{
    QTest::addColumn<QString>("versione");
    QTest::addColumn<bool>("avviso");
    QTest::newRow("same") << "2.0b" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("older") << "1.9" << true;
    QTest::newRow("letter case counts") << "2.0B" << true;
}

void TestLogin::versione()
{
    QFETCH(QString, versione);
    QFETCH(bool, avviso);
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    f.quando("0011", FakeMaster::rispondi(u"00012", {"20", "5", versione}));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    if (!avviso) {
        QVERIFY(banco.dialoghi.messaggi.isEmpty());
        QVERIFY(m.ConnessoAlMaster);
        return;
    }
    QCOMPARE(banco.dialoghi.messaggi.size(), 1);
    const auto& box = banco.dialoghi.messaggi[0];
    QCOMPARE(box.titolo, "Attenzione!!!");
    QCOMPARE(box.icona, Icona::Informazione);
    QCOMPARE(box.testo, "La tua versione del client Kalimo non e' piu' compatibile con la versione "
                        "corrente dei master; Collegati al sito https://kalimo.example.org e "
                        "scarica la versione aggiornata");
    QVERIFY(!m.ConnessoAlMaster);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QCOMPARE(banco.registroStato->testi.mid(banco.registroStato->testi.size() - 2),
             QStringList({"La Connessione al Master è andata perduta", "Non connesso"}));
    QVERIFY(QTest::qWaitFor([&] { return f.connessioniAperte() == 0; }, 10000));
}

void TestLogin::connessionePersa()
{
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    banco.clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
    banco.registroStato->testi.clear();

    f.chiudiConnessione();
    QVERIFY(QTest::qWaitFor([&] { return !m.ConnessoAlMaster; }, 10000));

    QCOMPARE(banco.registroStato->testi,
             QStringList({"La Connessione al Master è andata perduta", "Non connesso"}));
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QVERIFY(banco.pulsante("cmdConnettiti")->isEnabled());
    QVERIFY(!banco.pulsante("cmdListaStanze")->isEnabled());
    QVERIFY(!banco.pulsante("cmdListaUtenti")->isEnabled());
    QVERIFY(!banco.pulsante("cmdNuovaStanza")->isEnabled());
    // After a login the settings stay locked until the user disconnects.
    QVERIFY(!banco.pulsante("cmdOpzioni")->isEnabled());
    QVERIFY(banco.dialoghi.messaggi.isEmpty());

    // "Connetti" works again.
    banco.clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(f.connessioni(), 2);
}

void TestLogin::chiusuraDuranteLogin()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0001", FakeMaster::chiudi());
    // 60 s: the close, not the time-out, must end the wait.
    BancoLobby banco(60000);
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(!m.TimeOutMaster);
    QVERIFY(banco.registroStato->testi.contains("La Connessione al Master è andata perduta"));
    QCOMPARE(banco.registroStato->testi.last(), kNessunServer);
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Connetti");
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
}

void TestLogin::loginSenzaRisposta()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0001", FakeMaster::grezzo(b("00001 ^ senza fine")));
    BancoLobby banco(100);
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    // No decision: the connection stays, in the connecting look, no message.
    QVERIFY(m.TimeOutMaster);
    QVERIFY(m.CodiceRisposta.isEmpty());
    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(f.connessioniAperte(), 1);
    QCOMPARE(f.codici(), QStringList{"0001"});
    QCOMPARE(banco.pulsante("cmdConnettiti")->text(), "Disconnetti");
    QVERIFY(!banco.pulsante("cmdListaStanze")->isEnabled());
    QCOMPARE(banco.client()->lblStato()->text(), "Invio della password in corso.....");
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
    QVERIFY(!inAscolto(banco));
    QVERIFY(!banco.client()->tmrControllo.isActive());
}

void TestLogin::timeOutListaMaster_data()
{
    QTest::addColumn<QString>("muto");
    QTest::addColumn<int>("messaggi");
    QTest::newRow("0008 unanswered") << "0008" << 1;
    QTest::newRow("0009 unanswered") << "0009" << 1;
    QTest::newRow("0011 unanswered: no message") << "0011" << 0;
}

void TestLogin::timeOutListaMaster()
{
    QFETCH(QString, muto);
    QFETCH(int, messaggi);
    UnMaster u(100);
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    const QByteArray& vecchia = u.lista;
    f.quando(muto, FakeMaster::niente());
    Module1& m = banco.modulo();
    banco.clicConnetti();

    QCOMPARE(banco.dialoghi.messaggi.size(), messaggi);
    if (messaggi) {
        QCOMPARE(banco.dialoghi.messaggi[0].testo, "Il master non ha risposto in tempo");
        QCOMPARE(banco.dialoghi.messaggi[0].titolo, "Kalimo 2.0b");
        QCOMPARE(banco.dialoghi.messaggi[0].icona, Icona::Informazione);
        QCOMPARE(banco.cartella.leggi("Masters.txt"), vecchia);
        QVERIFY(!m.TimeOutMaster);
    }
    // The login stands and the rest still runs.
    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(f.codici().last(), "0011");
    QVERIFY(inAscolto(banco));
}

void TestLogin::risposteAPezzi()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    copioneRiuscito(f);
    // The login reply cut in three, the last piece carrying a check with it;
    // the count comes with a check in one arrival.
    f.quando("0001", FakeMaster::aPezzi(
                         {b("000"), b("01 ^ http://b.example ~"), b(" 9 # 0005 ^ tok1 # ")}, 80));
    f.quando("0008", FakeMaster::grezzo(b("0005 ^ tok2 # 00008 ^ 0 # ")));
    BancoLobby banco;
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    QVERIFY(m.ConnessoAlMaster);
    QCOMPARE(m.IndirizzoBanner, "http://b.example");
    QCOMPARE(m.MinutiRefreshBanner, qint16(9));
    QVERIFY(QTest::qWaitFor([&] { return f.codici().count("0014") == 2; }, 10000));
    const QStringList testi = f.testi();
    QVERIFY(testi.contains(t("0014 ^ mario ^ tok1 # ")));
    QVERIFY(testi.contains(t("0014 ^ mario ^ tok2 # ")));
    // A count of 0 keeps the stored list.
    QVERIFY(!f.codici().contains("0009"));
    QCOMPARE(banco.cartella.leggi("Masters.txt"), BancoLobby::rigaMaster("Primo", f.porta()));
}

void TestLogin::risposteMalformate_data()
{
    QTest::addColumn<QString>("codice");
    QTest::addColumn<QByteArray>("risposta");
    QTest::addColumn<bool>("scritto");
    QTest::addColumn<QString>("banner");
    QTest::addColumn<int>("minuti");
    QTest::addColumn<int>("maxUtenti");
    QTest::addColumn<QString>("versione");

    const QByteArray ok;
    QTest::newRow("login without fields")
        << "0001" << b("00001 ^ #") << true << "" << 0 << 20 << "2.0b";
    QTest::newRow("login minutes not a number")
        << "0001" << b("00001 ^ http://x ~ tanti #") << true << "http://x" << 0 << 20 << "2.0b";
    QTest::newRow("login minutes too large")
        << "0001" << b("00001 ^ http://x ~ 70000 #") << true << "http://x" << 0 << 20 << "2.0b";
    QTest::newRow("count not a number")
        << "0008" << b("00008 ^ due #") << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("negative count")
        << "0008" << b("00008 ^ -3 #") << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("00009 instead of a count")
        << "0008" << b("00009 ^ 2 #") << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("short master record") << "0009" << b("00010 ^ Uno ~ 127.0.0.1 ~ 7070 #") << false
                                         << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("port not a number") << "0009" << b("00010 ^ Uno ~ 127.0.0.1 ~ porta ~ k #")
                                       << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("port out of range") << "0009" << b("00010 ^ Uno ~ 127.0.0.1 ~ 70000 ~ k #")
                                       << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("name with the file's separator")
        << "0009" << b("00010 ^ U|no ~ 127.0.0.1 ~ 7070 ~ k #") << false
        << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("00011 for a record")
        << "0009" << b("00011 ^ #") << false << "http://banner.example/k" << 7 << 20 << "2.0b";
    QTest::newRow("limits not numbers") << "0011" << b("00012 ^ venti ~ cinque #") << true
                                        << "http://banner.example/k" << 7 << 0 << "";
    QTest::newRow("limits without fields")
        << "0011" << b("00012 ^ #") << true << "http://banner.example/k" << 7 << 0 << "";
}

void TestLogin::risposteMalformate()
{
    QFETCH(QString, codice);
    QFETCH(QByteArray, risposta);
    QFETCH(bool, scritto);
    QFETCH(QString, banner);
    QFETCH(int, minuti);
    QFETCH(int, maxUtenti);
    QFETCH(QString, versione);

    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    const QByteArray& vecchia = u.lista;
    f.quando(codice, FakeMaster::grezzo(risposta));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    QVERIFY(m.ConnessoAlMaster);
    QVERIFY(inAscolto(banco));
    QCOMPARE(m.IndirizzoBanner, banner);
    QCOMPARE(int(m.MinutiRefreshBanner), minuti);
    QCOMPARE(int(m.MaxUtentiStanza), maxUtenti);
    QCOMPARE(m.VersioneMaster, versione);
    QCOMPARE(banco.cartella.leggi("Masters.txt") != vecchia, scritto);
    QVERIFY(banco.dialoghi.messaggi.isEmpty());
    // The program folder still starts: its master list still reads.
    QVERIFY(m.CaricaMasters());
}

void TestLogin::controllo()
{
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    banco.clicConnetti();
    QVERIFY(m.ConnessoAlMaster);
    m.CodiceRisposta = "00042";

    f.invia(b("0005 ^ a ~ b # 0001 ^ x ~ y # 0005 ^ # "));
    QVERIFY(QTest::qWaitFor([&] { return f.codici().count("0014") == 2; }, 10000));
    const QStringList testi = f.testi();
    QCOMPARE(testi.mid(testi.size() - 2),
             QStringList({t("0014 ^ mario ^ a ~ b # "), t("0014 ^ mario ^  # ")}));
    // Notifications never touch the reply slot.
    QCOMPARE(m.CodiceRisposta, "00042");
}

void TestLogin::mastersTroppoLungo()
{
    FakeMaster f;
    QVERIFY(f.ascolta());
    f.quando("0001", FakeMaster::grezzo(QByteArray(70 * 1024, 'x')));
    BancoLobby banco(60000);
    banco.scriviMasters(BancoLobby::rigaMaster("Primo", f.porta()));
    Module1& m = banco.modulo();
    banco.clicConnetti();

    // A master that never ends its message is dropped, not buffered forever.
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(banco.registroStato->testi.contains("La Connessione al Master è andata perduta"));
    QVERIFY(QTest::qWaitFor([&] { return f.connessioniAperte() == 0; }, 10000));
}

void TestLogin::ascoltoVoce()
{
    UnMaster u;
    QVERIFY(u.pronto);
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    frmClient* c = banco.client();
    auto* lbl = BancoLobby::figlio<QLabel>(c, "lbl");
    QCOMPARE(lbl->text(), "Label1");
    banco.clicConnetti();
    QVERIFY(c->WSKVoice.InAscolto());
    const quint16 porta = c->WSKVoice.portaAscolto();
    QVERIFY(porta != 0);

    QTcpSocket uno;
    uno.connectToHost(QHostAddress::LocalHost, porta);
    QVERIFY(QTest::qWaitFor([&] { return m.IndiceWskVoice == 1; }, 10000));
    QCOMPARE(lbl->text(), "Connesso");
    QTcpSocket due;
    due.connectToHost(QHostAddress::LocalHost, porta);
    QVERIFY(QTest::qWaitFor([&] { return m.IndiceWskVoice == 2; }, 10000));
    QCOMPARE(lbl->text(), "Connesso");
    QCOMPARE(c->WSKVoice.collegamentiAperti(), 2);

    // Voice-link messages reach their call point whole, even cut in two.
    QSignalSpy dati(c, &frmClient::datiVoceArrivati);
    QVERIFY(uno.state() == QAbstractSocket::ConnectedState || uno.waitForConnected(10000));
    uno.write(b("0001 ^ an"));
    uno.flush();
    QTest::qWait(50);
    uno.write(b("na #0002 ^ NO PARAMETRI #"));
    QVERIFY(QTest::qWaitFor([&] { return !dati.isEmpty(); }, 10000));
    QTest::qWait(50);
    QStringList arrivati;
    for (const QList<QVariant>& s : dati)
        arrivati.append(s.at(0).toString());
    QCOMPARE(arrivati.join(QString()), t("0001 ^ anna #0002 ^ NO PARAMETRI #"));

    // The voice client closing its end.
    m.IDProcessoVoice = 777;
    uno.disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return lbl->text() == "Non connesso"; }, 10000));
    QCOMPARE(m.IDProcessoVoice, 0);
    QCOMPARE(c->WSKVoice.collegamentiAperti(), 1);
    QVERIFY(c->WSKVoice.Aperto(2));

    // "Disconnetti" closes the listener but not the link.
    banco.clicConnetti();
    QVERIFY(!c->WSKVoice.InAscolto());
    QTest::qWait(50);
    QCOMPARE(due.state(), QAbstractSocket::ConnectedState);
    QVERIFY(c->WSKVoice.Aperto(2));
    QTcpSocket rifiutato;
    rifiutato.connectToHost(QHostAddress::LocalHost, porta);
    QVERIFY(!rifiutato.waitForConnected(5000));

    // The next login listens again, and numbering goes on.
    banco.clicConnetti();
    QVERIFY(c->WSKVoice.InAscolto());
    QTcpSocket tre;
    tre.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
    QVERIFY(QTest::qWaitFor([&] { return m.IndiceWskVoice == 3; }, 10000));
    QCOMPARE(lbl->text(), "Connesso");
}

void TestLogin::esciChiudeUltimoCollegamento()
{
    UnMaster u;
    QVERIFY(u.pronto);
    FakeMaster& f = u.f;
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    frmClient* c = banco.client();
    banco.clicConnetti();
    QTcpSocket vecchio;
    vecchio.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
    QVERIFY(QTest::qWaitFor([&] { return m.IndiceWskVoice == 1; }, 10000));
    QTcpSocket nuovo;
    nuovo.connectToHost(QHostAddress::LocalHost, c->WSKVoice.portaAscolto());
    QVERIFY(QTest::qWaitFor([&] { return m.IndiceWskVoice == 2; }, 10000));

    banco.pulsante("cmdEsci")->click();

    QCOMPARE(banco.uscite, 1);
    QVERIFY(
        QTest::qWaitFor([&] { return nuovo.state() == QAbstractSocket::UnconnectedState; }, 10000));
    QCOMPARE(vecchio.state(), QAbstractSocket::ConnectedState);
    // The master is not told.
    QVERIFY(!f.codici().contains("0013"));
    QCOMPARE(f.codici().last(), "0011");
}

void TestLogin::portaVoceOccupata()
{
    QTcpServer occupante;
    QVERIFY(occupante.listen(QHostAddress::LocalHost, 0));
    UnMaster u;
    QVERIFY(u.pronto);
    BancoLobby& banco = u.banco;
    Module1& m = banco.modulo();
    m.impostaPortaAscoltoVoice(occupante.serverPort());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("voice link cannot listen"));
    banco.clicConnetti();

    // The login stands; only the voice link is missing.
    QVERIFY(m.ConnessoAlMaster);
    QVERIFY(!inAscolto(banco));
    QCOMPARE(banco.client()->lblStato()->text(), "Connessione al Master Eseguita");
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
