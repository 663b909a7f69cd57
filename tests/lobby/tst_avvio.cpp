#include "lobby/frmclient.h"
#include "lobby/frmlogin.h"
#include "lobby/frmnewuser.h"
#include "lobby/frmsplash.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/cartelle.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using test::CartellaTemporanea;

namespace {

const QString kNonConnesso =
    QStringLiteral("Non Connesso.\nClicca su 'Connetti' per entrare nel servizio.");
const QByteArray kMasters = "Locale | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
const QByteArray kUserIni = "USERNAME : mario\r\nPASSWORD : Segreto\r\n";

Intervalli intervalliProva(int splash)
{
    Intervalli i;
    i.splash = splash;
    return i;
}

// A program folder, scripted services and the lobby over them.
struct Banco
{
    explicit Banco(int splash = 3600000, bool conFile = true) : splash(splash)
    {
        if (conFile) {
            cartella.scrivi(QStringLiteral("Masters.txt"), kMasters);
            cartella.scrivi(QStringLiteral("User.ini"), kUserIni);
        }
    }

    Module1& modulo()
    {
        if (!m) {
            m = std::make_unique<Module1>(Servizi{&dialoghi, &programmi, &apri},
                                          cartella.percorso(), eseguibile.percorso(),
                                          intervalliProva(splash));
            m->impostaUscita([this] { ++uscite; });
        }
        return *m;
    }

    template <typename T> static T* figlio(QWidget* finestra, const char* nome)
    {
        T* w = finestra->findChild<T*>(QString::fromLatin1(nome));
        if (!w)
            qWarning("no child %s", nome);
        return w;
    }

    int splash;
    CartellaTemporanea cartella;
    CartellaTemporanea eseguibile;
    test::FakeDialoghi dialoghi;
    test::FakeAvvioProgrammi programmi;
    test::FakeApriFile apri;
    std::unique_ptr<Module1> m;
    int uscite = 0;
};

void eliminaFinestreChiuse()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestAvvio : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }
    void cleanup() { eliminaFinestreChiuse(); }

    void avvioConAccount();
    void splashSiChiude_data();
    void splashSiChiude();
    void avvioSenzaAccount();
    void avvioSenzaMasters();
    void avvioMastersRecuperati();
    void titoloSenzaUsername();
    void clientAspetto();
    void clientPulsanti();
    void clientGuida();
    void clientEsci();
    void login_data();
    void login();
    void loginAspettoEAnnulla();
    void loginSalvataggioImpossibile();
    void newUserAspetto();
    void newUserControlli_data();
    void newUserControlli();
    void newUserPulsanti();
};

void TestAvvio::avvioConAccount()
{
    Banco b;
    b.cartella.scrivi(QStringLiteral("CntLst.klm"), "anna\r\nbruno\r\n");
    Module1& m = b.modulo();

    bool splashModale = false;
    bool clientGiaCreato = true;
    QTimer::singleShot(0, [&] {
        frmSplash* splash = m.FrmSplashEsistente();
        splashModale = splash && splash->isVisible() && QApplication::activeModalWidget() == splash;
        clientGiaCreato = m.FrmClientEsistente() != nullptr;
        if (splash)
            QTest::keyClick(splash, Qt::Key_A);
    });
    QVERIFY(m.SubMain());
    QVERIFY(splashModale);
    QVERIFY(!clientGiaCreato);
    eliminaFinestreChiuse();
    QVERIFY(!m.FrmSplashEsistente());

    frmClient* client = m.FrmClientEsistente();
    QVERIFY(client);
    QVERIFY(client->isVisible());
    QCOMPARE(client->windowTitle(), QStringLiteral("Kalimo 2.0b - (mario)"));
    QCOMPARE(m.UtenteCorrente.Password, QStringLiteral("Segreto"));
    QCOMPARE(m.ListaMaster.UBound(), 1);
    QCOMPARE(m.ContactList.UBound(), 2);
    QCOMPARE(m.ContactList[2].NickName, QStringLiteral("bruno"));
    QVERIFY(!m.FrmNewUserEsistente());
    QVERIFY(b.dialoghi.messaggi.isEmpty());

    // The shared state as start-up leaves it.
    QCOMPARE(m.SEP1, QString(QChar(29)));
    QCOMPARE(m.SEP3, QString(QChar(31)));
    QCOMPARE(m.SEP4, QString(QChar(28)));
    QCOMPARE(m.SEP9, QString(QChar(23)));
    QCOMPARE(m.IndiceWskVoice, qint16(0));
    QCOMPARE(m.ListaStanze.UBound(), 0);
    QCOMPARE(m.FinestreChat.UBound(), 0);
    QVERIFY(!m.ConnessoAlMaster);
    QVERIFY(!m.TimeOutMaster);
    QCOMPARE(m.IDProcessoVoice, 0);
    QVERIFY(m.StanzaCorrente().Nome.isEmpty());
}

void TestAvvio::splashSiChiude_data()
{
    QTest::addColumn<QString>("come");
    QTest::newRow("timer") << QStringLiteral("timer");
    QTest::newRow("Entra") << QStringLiteral("cmdEntra");
    QTest::newRow("frame") << QStringLiteral("Frame1");
    QTest::newRow("label inside the frame") << QStringLiteral("lblProductName");
    QTest::newRow("key on the button") << QStringLiteral("tasto");
}

void TestAvvio::splashSiChiude()
{
    QFETCH(QString, come);
    Banco b(come == u"timer" ? 1 : 3600000);
    Module1& m = b.modulo();

    // Guards against a splash that never closes; it must not be what closes it.
    bool salvataggio = false;
    QTimer guardia;
    guardia.setSingleShot(true);
    connect(&guardia, &QTimer::timeout, [&] {
        salvataggio = true;
        if (m.FrmSplashEsistente())
            m.FrmSplashEsistente()->done(0);
    });
    guardia.start(come == u"timer" ? 60000 : 30000);

    QTimer::singleShot(0, [&] {
        frmSplash* splash = m.FrmSplashEsistente();
        if (!splash || come == u"timer")
            return;
        if (come == u"cmdEntra") {
            Banco::figlio<QPushButton>(splash, "cmdEntra")->click();
        } else if (come == u"tasto") {
            QTest::keyClick(Banco::figlio<QPushButton>(splash, "cmdEntra"), Qt::Key_Z);
        } else {
            QWidget* bersaglio = Banco::figlio<QWidget>(splash, come.toLatin1().constData());
            QTest::mouseClick(bersaglio, Qt::LeftButton, {}, QPoint(2, 2));
        }
    });
    QVERIFY(m.SubMain());
    QVERIFY(!salvataggio);
    QVERIFY(m.FrmClientEsistente() && m.FrmClientEsistente()->isVisible());
}

void TestAvvio::avvioSenzaAccount()
{
    Banco b;
    QVERIFY(QFile::remove(b.cartella.file(QStringLiteral("User.ini"))));
    b.cartella.scrivi(QStringLiteral("CntLst.klm"), "anna\r\n");
    Module1& m = b.modulo();
    // A splash would wait for an hour here: the test would never end.
    QVERIFY(m.SubMain());
    QVERIFY(m.FrmNewUserEsistente() && m.FrmNewUserEsistente()->isVisible());
    QVERIFY(!m.FrmSplashEsistente());
    QVERIFY(!m.FrmClientEsistente());
    QCOMPARE(m.ContactList.UBound(), 0);
    QCOMPARE(m.ListaMaster.UBound(), 1);
    QVERIFY(b.dialoghi.messaggi.isEmpty());
}

void TestAvvio::avvioSenzaMasters()
{
    Banco b;
    QVERIFY(QFile::remove(b.cartella.file(QStringLiteral("Masters.txt"))));
    Module1& m = b.modulo();
    QVERIFY(!m.SubMain());
    QCOMPARE(b.dialoghi.testiMessaggi(),
             (QStringList{QStringLiteral("Impossibile Trovare il file Masters.txt \n"
                                         "Tentativo di recupero della configurazione precedente"),
                          QStringLiteral("Il Programma non pùo proseguire l'esecuzione")}));
    for (const auto& box : b.dialoghi.messaggi) {
        QCOMPARE(box.titolo, QStringLiteral("Attenzione"));
        QCOMPARE(box.icona, Icona::Critica);
        QCOMPARE(box.pulsanti, Pulsanti::Ok);
    }
    QVERIFY(m.programmaTerminato());
    QCOMPARE(b.uscite, 1);
    QVERIFY(!m.FrmSplashEsistente());
    QVERIFY(!m.FrmClientEsistente());
    QVERIFY(!m.FrmNewUserEsistente());
}

void TestAvvio::avvioMastersRecuperati()
{
    Banco b(1);
    QVERIFY(QFile::remove(b.cartella.file(QStringLiteral("Masters.txt"))));
    b.cartella.scrivi(QStringLiteral("Masters.old.txt"), kMasters);
    Module1& m = b.modulo();
    QVERIFY(m.SubMain());
    QCOMPARE(b.dialoghi.messaggi.size(), 1);
    QVERIFY(m.FrmClientEsistente());
    QCOMPARE(b.cartella.leggi(QStringLiteral("Masters.txt")), kMasters);
    QCOMPARE(b.uscite, 0);
}

void TestAvvio::titoloSenzaUsername()
{
    Banco b(1);
    b.cartella.scrivi(QStringLiteral("User.ini"), "PASSWORD : x\r\n");
    Module1& m = b.modulo();
    QVERIFY(m.SubMain());
    QCOMPARE(m.FrmClientEsistente()->windowTitle(), QStringLiteral("Kalimo 2.0b - ()"));
}

void TestAvvio::clientAspetto()
{
    Banco b;
    Module1& m = b.modulo();
    QVERIFY(m.LeggiUserIni());
    frmClient* client = m.FrmClient();
    client->show();

    QCOMPARE(Banco::figlio<QGroupBox>(client, "Frame1")->title(),
             QStringLiteral("Menù principale"));
    const QList<QPair<const char*, QString>> pulsanti{
        {"cmdConnettiti", QStringLiteral("Connetti")},
        {"cmdListaStanze", QStringLiteral("Lista &Stanze")},
        {"cmdListaUtenti", QStringLiteral("Contact List")},
        {"cmdNuovaStanza", QStringLiteral("Crea Stanza")},
        {"cmdGuida", QStringLiteral("Informazioni")},
        {"cmdOpzioni", QStringLiteral("Opzioni")},
        {"cmdEsci", QStringLiteral("Esci")}};
    QList<QWidget*> ordine;
    for (const auto& [nome, testo] : pulsanti) {
        auto* pulsante = Banco::figlio<QPushButton>(client, nome);
        QVERIFY(pulsante);
        QCOMPARE(pulsante->text(), testo);
        ordine.append(pulsante);
    }
    // The not-connected state.
    QVERIFY(ordine[0]->isEnabled());
    QVERIFY(!ordine[1]->isEnabled());
    QVERIFY(!ordine[2]->isEnabled());
    QVERIFY(!ordine[3]->isEnabled());
    QVERIFY(ordine[4]->isEnabled());
    QVERIFY(ordine[5]->isEnabled());
    QVERIFY(ordine[6]->isEnabled());
    QCOMPARE(client->lblStato()->text(), kNonConnesso);
    QCOMPARE(Banco::figlio<QLabel>(client, "lbl")->text(), QStringLiteral("Label1"));

    // Tab order: the buttons in the order of the menu.
    QList<QWidget*> catena;
    QWidget* w = ordine[0];
    do {
        if (ordine.contains(w))
            catena.append(w);
        w = w->nextInFocusChain();
    } while (w != ordine[0] && catena.size() < ordine.size());
    QCOMPARE(catena, ordine);

    QVERIFY(!m.TimeOutMaster);
    client->tmrControllo.setInterval(1);
    client->tmrControllo.start();
    QVERIFY(Attesa::finche([&m] { return m.TimeOutMaster; }));
    client->tmrControllo.stop();
}

void TestAvvio::clientPulsanti()
{
    Banco b;
    Module1& m = b.modulo();
    QVERIFY(m.LeggiUserIni());
    frmClient* client = m.FrmClient();
    client->show();

    // Opzioni opens the account settings with the account loaded.
    Banco::figlio<QPushButton>(client, "cmdOpzioni")->click();
    frmLogin* login = m.FrmLoginEsistente();
    QVERIFY(login && login->isVisible());
    QVERIFY(!login->isModal());
    QCOMPARE(Banco::figlio<QLineEdit>(login, "txtUserName")->text(), QStringLiteral("mario"));
    QCOMPARE(Banco::figlio<QLineEdit>(login, "txtPassword")->text(), QStringLiteral("Segreto"));
    // A second click shows the same window.
    Banco::figlio<QPushButton>(client, "cmdOpzioni")->click();
    QCOMPARE(m.FrmLoginEsistente(), login);
}

void TestAvvio::clientGuida()
{
    Banco b;
    Module1& m = b.modulo();
    frmClient* client = m.FrmClient();
    auto* guida = Banco::figlio<QPushButton>(client, "cmdGuida");

    guida->click(); // no help file anywhere: nothing happens
    QVERIFY(b.apri.aperti.isEmpty());
    QVERIFY(b.dialoghi.messaggi.isEmpty());

    // The one shipped beside the program serves when the program folder has none.
    b.eseguibile.scrivi(QStringLiteral("miniguida.txt"), "guida");
    guida->click();
    QCOMPARE(b.apri.aperti, QStringList{b.eseguibile.file(QStringLiteral("miniguida.txt"))});

    b.cartella.scrivi(QStringLiteral("miniguida.txt"), "guida");
    guida->click();
    QCOMPARE(b.apri.aperti.last(), b.cartella.file(QStringLiteral("miniguida.txt")));

    // A viewer that fails says nothing either.
    b.apri.esito = false;
    guida->click();
    QCOMPARE(b.apri.aperti.size(), 3);
    QVERIFY(b.dialoghi.messaggi.isEmpty());
}

void TestAvvio::clientEsci()
{
    Banco b;
    Module1& m = b.modulo();
    frmClient* client = m.FrmClient();
    client->show();
    auto* chat = new QWidget;
    chat->show();
    m.FinestreChat.aggiungi(chat);

    // Esci unwinds a wait that is running when it is clicked.
    bool mai = false;
    QTimer::singleShot(0, [&] { Banco::figlio<QPushButton>(client, "cmdEsci")->click(); });
    QCOMPARE(Attesa::finche({[&mai] { return mai; }}), Attesa::kInterrotta);
    QVERIFY(m.programmaTerminato());
    QCOMPARE(b.uscite, 1);
    QVERIFY(!chat->isVisible());
    QVERIFY(b.dialoghi.messaggi.isEmpty());
}

void TestAvvio::login_data()
{
    QTest::addColumn<QString>("utente");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("conferma");
    QTest::addColumn<QString>("errore");
    QTest::addColumn<QByteArray>("file");

    const QByteArray vecchio = kUserIni;
    QTest::newRow("answer No") << "luigi"
                               << "nuova" << false << QString() << vecchio;
    QTest::newRow("short user name, checked first")
        << " ab "
        << "x" << true << QStringLiteral("Inserire una UserName di almeno 3 caratteri alfanumerici")
        << vecchio;
    QTest::newRow("short password")
        << "abc"
        << "  xy  " << true
        << QStringLiteral("Inserire una Password di almeno 3 caratteri alfanumerici") << vecchio;
    QTest::newRow("only the length counts")
        << "a.-"
        << "!!!" << true << QString() << QByteArray("USERNAME : a.-\r\nPASSWORD : !!!\r\n");
    QTest::newRow("lower-cased and trimmed")
        << "  MaRio Rossi "
        << " PwD:1 " << true << QString()
        << QByteArray("USERNAME : mario rossi\r\nPASSWORD : PwD:1\r\n");
}

void TestAvvio::login()
{
    QFETCH(QString, utente);
    QFETCH(QString, password);
    QFETCH(bool, conferma);
    QFETCH(QString, errore);
    QFETCH(QByteArray, file);

    Banco b;
    Module1& m = b.modulo();
    QVERIFY(m.LeggiUserIni());
    QPointer<frmLogin> login = m.FrmLogin();
    login->show();
    Banco::figlio<QLineEdit>(login, "txtUserName")->setText(utente);
    Banco::figlio<QLineEdit>(login, "txtPassword")->setText(password);
    b.dialoghi.risposte.enqueue(conferma ? Risposta::Si : Risposta::No);
    Banco::figlio<QPushButton>(login, "cmdSalva")->click();

    QVERIFY(!b.dialoghi.messaggi.isEmpty());
    QCOMPARE(b.dialoghi.messaggi[0].testo, QStringLiteral("Salvare le impostazioni correnti?"));
    QCOMPARE(b.dialoghi.messaggi[0].titolo, QStringLiteral("Salvataggio"));
    QCOMPARE(b.dialoghi.messaggi[0].icona, Icona::Informazione);
    QCOMPARE(b.dialoghi.messaggi[0].pulsanti, Pulsanti::SiNo);
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")), file);

    const bool salvato = conferma && errore.isEmpty();
    if (errore.isEmpty()) {
        QCOMPARE(b.dialoghi.messaggi.size(), 1);
    } else {
        QCOMPARE(b.dialoghi.messaggi.size(), 2);
        QCOMPARE(b.dialoghi.messaggi[1].testo, errore);
        QCOMPARE(b.dialoghi.messaggi[1].titolo, QStringLiteral("Informazione"));
        QCOMPARE(b.dialoghi.messaggi[1].icona, Icona::Critica);
    }
    QCOMPARE(login->isVisible(), !salvato);
    if (salvato) {
        QCOMPARE(m.UtenteCorrente.NickName, utente.trimmed().toLower());
        QCOMPARE(m.UtenteCorrente.Password, password.trimmed());
        eliminaFinestreChiuse();
        QVERIFY(!login);
    } else {
        QCOMPARE(m.UtenteCorrente.NickName, QStringLiteral("mario"));
        QCOMPARE(m.UtenteCorrente.Password, QStringLiteral("Segreto"));
    }
}

void TestAvvio::loginAspettoEAnnulla()
{
    Banco b;
    Module1& m = b.modulo();
    QVERIFY(m.LeggiUserIni());
    QPointer<frmLogin> login = m.FrmLogin();
    login->show();
    QCOMPARE(login->windowTitle(), QStringLiteral("Informazioni di accesso"));
    QCOMPARE(Banco::figlio<QLabel>(login, "Label1")->text(),
             QStringLiteral("Modifica le informazioni di accesso"));
    QCOMPARE(Banco::figlio<QLabel>(login, "Label2")->text(), QStringLiteral("User Name"));
    QCOMPARE(Banco::figlio<QLabel>(login, "Label3")->text(), QStringLiteral("Password"));
    QCOMPARE(Banco::figlio<QPushButton>(login, "cmdSalva")->text(), QStringLiteral("Salva"));
    QCOMPARE(Banco::figlio<QPushButton>(login, "cmdAnnulla")->text(), QStringLiteral("Chiudi"));
    auto* utente = Banco::figlio<QLineEdit>(login, "txtUserName");
    auto* password = Banco::figlio<QLineEdit>(login, "txtPassword");
    QCOMPARE(utente->maxLength(), 20);
    QCOMPARE(password->maxLength(), 20);
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QTest::keyClicks(utente, QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
    QCOMPARE(utente->text().size(), 20);

    Banco::figlio<QPushButton>(login, "cmdAnnulla")->click();
    QVERIFY(!login->isVisible());
    QVERIFY(b.dialoghi.messaggi.isEmpty());
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")), kUserIni);
    eliminaFinestreChiuse();
    QVERIFY(!login);
    // Opened again, it loads the account afresh.
    QCOMPARE(Banco::figlio<QLineEdit>(m.FrmLogin(), "txtUserName")->text(),
             QStringLiteral("mario"));
}

void TestAvvio::loginSalvataggioImpossibile()
{
    Banco b;
    Module1& m = b.modulo();
    QVERIFY(m.LeggiUserIni());
    frmLogin* login = m.FrmLogin();
    login->show();
    Banco::figlio<QLineEdit>(login, "txtUserName")->setText(QStringLiteral("luigi"));
    b.dialoghi.rispostaPredefinita = Risposta::Si;
    {
        test::CartellaBloccata blocco(b.cartella.percorso());
        if (!blocco.attiva())
            QSKIP("this system cannot make a folder refuse writes");
        Banco::figlio<QPushButton>(login, "cmdSalva")->click();
    }
    QCOMPARE(b.dialoghi.messaggi.size(), 2);
    QCOMPARE(b.dialoghi.messaggi[1].icona, Icona::Critica);
    QVERIFY(b.dialoghi.messaggi[1].testo.contains(QStringLiteral("User.ini")));
    // Nothing typed is lost, nothing saved is lost, the account in use is unchanged.
    QVERIFY(login->isVisible());
    QCOMPARE(Banco::figlio<QLineEdit>(login, "txtUserName")->text(), QStringLiteral("luigi"));
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")), kUserIni);
    QCOMPARE(m.UtenteCorrente.NickName, QStringLiteral("mario"));
}

void TestAvvio::newUserAspetto()
{
    Banco b;
    frmNewUser* nuovo = b.modulo().FrmNewUser();
    nuovo->show();
    QCOMPARE(nuovo->windowTitle(), QStringLiteral("Attivazione del servizio"));
    QCOMPARE(Banco::figlio<QGroupBox>(nuovo, "Frame3")->title(),
             QStringLiteral(" Informazioni per la registrazione "));
    QCOMPARE(Banco::figlio<QGroupBox>(nuovo, "Frame1")->title(), QStringLiteral(" Sei un ...... "));
    QCOMPARE(Banco::figlio<QGroupBox>(nuovo, "Frame2")->title(),
             QStringLiteral(" Trattamento dei dati "));
    QCOMPARE(Banco::figlio<QLabel>(nuovo, "Label1")->text(), QStringLiteral("UserName"));
    QCOMPARE(Banco::figlio<QLabel>(nuovo, "Label2")->text(), QStringLiteral("Password"));
    QCOMPARE(Banco::figlio<QLabel>(nuovo, "Label3")->text(), QStringLiteral("Conferma Password"));
    QCOMPARE(Banco::figlio<QLabel>(nuovo, "Label4")->text(), QStringLiteral("EMail"));
    const QList<QPair<const char*, int>> campi{
        {"txtUserName", 20}, {"txtPassword", 20}, {"txtPassword2", 20}, {"txtEmail", 100}};
    for (const auto& [nome, limite] : campi)
        QCOMPARE(Banco::figlio<QLineEdit>(nuovo, nome)->maxLength(), limite);
    QCOMPARE(Banco::figlio<QLineEdit>(nuovo, "txtPassword")->echoMode(), QLineEdit::Password);
    QCOMPARE(Banco::figlio<QLineEdit>(nuovo, "txtPassword2")->echoMode(), QLineEdit::Password);
    QCOMPARE(Banco::figlio<QLineEdit>(nuovo, "txtEmail")->echoMode(), QLineEdit::Normal);

    auto* nu = Banco::figlio<QRadioButton>(nuovo, "optNU");
    auto* gr = Banco::figlio<QRadioButton>(nuovo, "optGR");
    QCOMPARE(nu->text(), QStringLiteral("Nuovo utente"));
    QCOMPARE(gr->text(), QStringLiteral("Utente già registrato"));
    QVERIFY(nu->isChecked());
    gr->click();
    QVERIFY(!nu->isChecked());

    auto* td = Banco::figlio<QPlainTextEdit>(nuovo, "txtTD");
    QVERIFY(td->isReadOnly());
    QVERIFY(!(td->focusPolicy() & Qt::TabFocus));
    QVERIFY(!td->toPlainText().isEmpty());
    QVERIFY(Banco::figlio<QLabel>(nuovo, "Label6")
                ->text()
                .startsWith(QStringLiteral("Compilando ed inviando il presente modulo elettronico "
                                           "il/la sottoscritto/a,")));
    QCOMPARE(Banco::figlio<QPushButton>(nuovo, "cmdSemplice")->text(),
             QStringLiteral("Utilizzo dei dati"));
    QCOMPARE(Banco::figlio<QPushButton>(nuovo, "cmdInvia")->text(), QStringLiteral("&Invia"));
    QCOMPARE(Banco::figlio<QPushButton>(nuovo, "cmdEsci")->text(), QStringLiteral("&Annulla"));
    QVERIFY(nuovo->lblStato()->text().isEmpty());
}

void TestAvvio::newUserControlli_data()
{
    QTest::addColumn<QString>("utente");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("conferma");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("stato");

    const QString email = QStringLiteral("mario@x.it");
    QTest::newRow("short user name first") << " ab "
                                           << "x"
                                           << "y"
                                           << ""
                                           << "Indicare una username di almeno 3 caratteri";
    QTest::newRow("short password")
        << "mario"
        << " xy "
        << " xy " << email << "Indicare una password di almeno 3 caratteri";
    QTest::newRow("different confirmation")
        << "mario"
        << "Segreto"
        << "segreto" << email << "Le password inserite non coincidono";
    QTest::newRow("blanks around the confirmation") << "mario"
                                                    << "Segreto"
                                                    << " Segreto "
                                                    << "a@b.it"
                                                    << "Inserire una email";
    QTest::newRow("e-mail of 9") << "mario"
                                 << "Segreto"
                                 << "Segreto"
                                 << "m@rio.it "
                                 << "Inserire una email";
}

void TestAvvio::newUserControlli()
{
    QFETCH(QString, utente);
    QFETCH(QString, password);
    QFETCH(QString, conferma);
    QFETCH(QString, email);
    QFETCH(QString, stato);

    Banco b;
    frmNewUser* nuovo = b.modulo().FrmNewUser();
    nuovo->show();
    Banco::figlio<QLineEdit>(nuovo, "txtUserName")->setText(utente);
    Banco::figlio<QLineEdit>(nuovo, "txtPassword")->setText(password);
    Banco::figlio<QLineEdit>(nuovo, "txtPassword2")->setText(conferma);
    Banco::figlio<QLineEdit>(nuovo, "txtEmail")->setText(email);
    nuovo->lblStato()->setText(QStringLiteral("vecchio"));
    Banco::figlio<QPushButton>(nuovo, "cmdInvia")->click();
    QCOMPARE(nuovo->lblStato()->text(), stato);
    QVERIFY(b.dialoghi.messaggi.isEmpty());
    QVERIFY(nuovo->isVisible());
    QVERIFY(Banco::figlio<QPushButton>(nuovo, "cmdInvia")->isEnabled());
    // Nothing is saved before a master has accepted the account.
    QCOMPARE(b.cartella.leggi(QStringLiteral("User.ini")), kUserIni);
}

void TestAvvio::newUserPulsanti()
{
    Banco b;
    QPointer<frmNewUser> nuovo = b.modulo().FrmNewUser();
    nuovo->show();
    Banco::figlio<QPushButton>(nuovo, "cmdSemplice")->click();
    QVERIFY(b.apri.aperti.isEmpty()); // no help text anywhere
    b.cartella.scrivi(QStringLiteral("inforegistrazione.txt"), "info");
    Banco::figlio<QPushButton>(nuovo, "cmdSemplice")->click();
    QCOMPARE(b.apri.aperti, QStringList{b.cartella.file(QStringLiteral("inforegistrazione.txt"))});

    Banco::figlio<QPushButton>(nuovo, "cmdEsci")->click();
    QVERIFY(!nuovo->isVisible());
    eliminaFinestreChiuse();
    QVERIFY(!nuovo);
    QCOMPARE(b.uscite, 0);
}

QTEST_MAIN(TestAvvio)
#include "tst_avvio.moc"
