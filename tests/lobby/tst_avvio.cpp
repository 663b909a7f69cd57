#include "lobby/frmlogin.h"
#include "lobby/frmnewuser.h"
#include "lobby/frmsplash.h"
#include "tests/support/bancolobby.h"

#include <QApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

#include <optional>

using namespace kalimo;
using namespace kalimo::lobby;

namespace {

const QByteArray kMasters = "Locale | 127.0.0.1 | 7070 | kalimo\r\n\r\n";
const QByteArray kUserIni = "USERNAME : mario\r\nPASSWORD : Segreto\r\n";

// The lobby before Sub Main, over a program folder with an account; a splash stays `splash` ms.
struct Banco : test::BancoLobby
{
    explicit Banco(int splash = 3600000)
    {
        intervalli.splash = splash;
        leggiFile = false;
    }
    // Writes a file, or removes it for "-".
    void poni(const QString& nome, const QByteArray& dati)
    {
        if (dati == "-")
            QFile::remove(cartella.file(nome));
        else
            cartella.scrivi(nome, dati);
    }
};

template <typename T = QWidget> T* figlio(QWidget* finestra, const char* nome)
{
    return finestra->findChild<T*>(QString::fromLatin1(nome));
}
QLineEdit* campo(QWidget* finestra, const char* nome)
{
    return figlio<QLineEdit>(finestra, nome);
}
void clic(QWidget* finestra, const char* nome)
{
    figlio<QPushButton>(finestra, nome)->click();
}

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

    void splashSiChiude_data()
    {
        QTest::addColumn<QString>("come");
        for (const char* come :
             {"timer", "cmdEntra", "Frame1", "lblProductName", "tasto", "finestra"})
            QTest::newRow(come) << QString(come);
    }

    void splashSiChiude()
    {
        QFETCH(QString, come);
        Banco b(come == u"timer" ? 1 : 3600000);
        b.cartella.scrivi("CntLst.klm", "anna\r\nbruno\r\n");
        Module1& m = b.modulo();
        // Guards against a splash that never closes; it must not be what closes it.
        bool salvataggio = false, splashModale = false, clientGiaCreato = true;
        QObject guardia;
        QTimer::singleShot(come == u"timer" ? 60000 : 30000, &guardia, [&] {
            salvataggio = true;
            if (m.FrmSplashEsistente())
                m.FrmSplashEsistente()->done(0);
        });
        QTimer::singleShot(0, [&] {
            frmSplash* splash = m.FrmSplashEsistente();
            splashModale =
                splash && splash->isVisible() && QApplication::activeModalWidget() == splash;
            clientGiaCreato = m.FrmClientEsistente() != nullptr;
            if (!splash || come == u"timer")
                return;
            if (come == u"cmdEntra")
                clic(splash, "cmdEntra");
            else if (come == u"tasto")
                QTest::keyClick(figlio(splash, "cmdEntra"), Qt::Key_Z);
            else if (come == u"finestra")
                QTest::keyClick(splash, Qt::Key_A);
            else
                QTest::mouseClick(figlio(splash, come.toLatin1().constData()), Qt::LeftButton, {},
                                  QPoint(2, 2));
        });
        QVERIFY(m.SubMain());
        QVERIFY(!salvataggio && splashModale && !clientGiaCreato);
        eliminaFinestreChiuse();
        QVERIFY(!m.FrmSplashEsistente());
        QVERIFY(m.FrmClientEsistente() && m.FrmClientEsistente()->isVisible());
        QCOMPARE(m.UtenteCorrente.Password, "Segreto");
        QCOMPARE(m.ContactList.UBound(), 2);
        QCOMPARE(m.ContactList[2].NickName, "bruno");
        QVERIFY(b.dialoghi.messaggi.isEmpty() && !m.FrmNewUserEsistente());
    }

    void avvio_data()
    {
        QTest::addColumn<QByteArray>("userIni"); // "-" missing
        QTest::addColumn<QByteArray>("masters");
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<QString>("finestra"); // title of the one window shown
        QTest::addColumn<QStringList>("messaggi");
        const QString recupero = "Impossibile Trovare il file Masters.txt \n"
                                 "Tentativo di recupero della configurazione precedente";
        const QString critico = "Critica Ok";
        const QByteArray no = "-";
        QTest::newRow("no account")
            << no << kMasters << no << "Attivazione del servizio" << QStringList();
        QTest::newRow("no user name") << QByteArray("PASSWORD : x\r\n") << kMasters << no
                                      << "Kalimo 2.0b - ()" << QStringList();
        QTest::newRow("masters recovered") << kUserIni << no << kMasters << "Kalimo 2.0b - (mario)"
                                           << QStringList({recupero, "Attenzione", critico});
        QTest::newRow("no masters")
            << kUserIni << no << no << ""
            << QStringList({recupero, "Attenzione", critico,
                            "Il Programma non pùo proseguire l'esecuzione", "Attenzione", critico});
    }

    void avvio()
    {
        QFETCH(QByteArray, userIni);
        QFETCH(QByteArray, masters);
        QFETCH(QByteArray, backup);
        QFETCH(QString, finestra);
        // A splash would wait for an hour where none must show: the test would never end.
        Banco b(finestra.startsWith("Kalimo") ? 1 : 3600000);
        b.poni("User.ini", userIni);
        b.poni("Masters.txt", masters);
        b.poni("Masters.old.txt", backup);
        b.cartella.scrivi("CntLst.klm", "anna\r\n");
        Module1& m = b.modulo();
        QCOMPARE(m.SubMain(), !finestra.isEmpty());
        QTEST(b.dialoghi.avvisi(), "messaggi");
        QStringList aperte;
        for (QWidget* w : {(QWidget*)m.FrmSplashEsistente(), (QWidget*)m.FrmClientEsistente(),
                           (QWidget*)m.FrmNewUserEsistente()})
            if (w && w->isVisible())
                aperte << w->windowTitle();
        QCOMPARE(aperte, finestra.isEmpty() ? QStringList() : QStringList{finestra});
        QCOMPARE(m.programmaTerminato(), finestra.isEmpty());
        QCOMPARE(b.uscite, finestra.isEmpty() ? 1 : 0);
        if (backup != "-")
            QCOMPARE(b.cartella.leggi("Masters.txt"), backup);
        // Contacts belong to an account.
        if (userIni == "-")
            QCOMPARE(m.ContactList.UBound(), 0);
    }

    void client()
    {
        Banco b;
        Module1& m = b.modulo();
        QVERIFY(m.LeggiUserIni());
        frmClient* client = m.FrmClient();
        client->show();
        // Opzioni opens the account settings with the account loaded, the same window every time.
        clic(client, "cmdOpzioni");
        frmLogin* login = m.FrmLoginEsistente();
        QVERIFY(login && login->isVisible() && !login->isModal());
        QCOMPARE(
            QStringList({campo(login, "txtUserName")->text(), campo(login, "txtPassword")->text()}),
            QStringList({"mario", "Segreto"}));
        clic(client, "cmdOpzioni");
        QCOMPARE(m.FrmLoginEsistente(), login);

        // Guida: silent with no help file or a failing viewer; the program folder's before the one
        // shipped beside the program.
        clic(client, "cmdGuida");
        b.eseguibile.scrivi("miniguida.txt", "guida");
        clic(client, "cmdGuida");
        b.cartella.scrivi("miniguida.txt", "guida");
        clic(client, "cmdGuida");
        b.apri.esito = false;
        clic(client, "cmdGuida");
        QCOMPARE(b.apri.aperti,
                 QStringList({b.eseguibile.file("miniguida.txt"), b.cartella.file("miniguida.txt"),
                              b.cartella.file("miniguida.txt")}));
        QVERIFY(b.dialoghi.messaggi.isEmpty());

        // Esci unwinds a wait that is running when it is clicked.
        auto* chat = new QWidget;
        chat->show();
        m.FinestreChat.aggiungi(chat);
        bool mai = false;
        QTimer::singleShot(0, [&] { clic(client, "cmdEsci"); });
        QCOMPARE(Attesa::finche({[&mai] { return mai; }}), Attesa::kInterrotta);
        QVERIFY(m.programmaTerminato());
        QCOMPARE(b.uscite, 1);
        QVERIFY(!chat->isVisible());
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void login_data()
    {
        QTest::addColumn<QString>("utente");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("conferma");
        QTest::addColumn<QString>("errore"); // "!": the folder refuses the file
        QTest::addColumn<QByteArray>("file");
        const QString corta = "Inserire una %1 di almeno 3 caratteri alfanumerici";
        QTest::newRow("answer No") << "luigi" << QString("nuova") << false << QString() << kUserIni;
        QTest::newRow("short user name, checked first")
            << " ab " << QString("x") << true << corta.arg("UserName") << kUserIni;
        QTest::newRow("short password")
            << "abc" << QString("  xy  ") << true << corta.arg("Password") << kUserIni;
        QTest::newRow("only the length counts")
            << "a.-" << QString("!!!") << true << QString()
            << QByteArray("USERNAME : a.-\r\nPASSWORD : !!!\r\n");
        QTest::newRow("lower-cased and trimmed")
            << "  MaRio Rossi " << QString(" PwD:1 ") << true << QString()
            << QByteArray("USERNAME : mario rossi\r\nPASSWORD : PwD:1\r\n");
        QTest::newRow("unwritable folder")
            << "luigi" << QString("Segreto") << true << "!" << kUserIni;
    }

    void login()
    {
        QFETCH(QString, utente);
        QFETCH(QString, password);
        QFETCH(bool, conferma);
        QFETCH(QString, errore);
        Banco b;
        Module1& m = b.modulo();
        QVERIFY(m.LeggiUserIni());
        QPointer<frmLogin> login = m.FrmLogin();
        login->show();
        campo(login, "txtUserName")->setText(utente);
        campo(login, "txtPassword")->setText(password);
        b.dialoghi.risposte.enqueue(conferma ? Risposta::Si : Risposta::No);
        {
            std::optional<test::CartellaBloccata> blocco;
            if (errore == "!" && !blocco.emplace(b.cartella.percorso()).attiva())
                QSKIP("this system cannot make a folder refuse writes");
            clic(login, "cmdSalva");
        }
        QStringList attesi{"Salvare le impostazioni correnti?", "Salvataggio", "Informazione SiNo"};
        if (errore == "!")
            attesi << "Impossibile salvare le impostazioni nel file User.ini"
                   << "Kalimo 2.0b"
                   << "Critica Ok";
        else if (!errore.isEmpty())
            attesi << errore << "Informazione"
                   << "Critica Ok";
        QCOMPARE(b.dialoghi.avvisi(), attesi);
        QTEST(b.cartella.leggi("User.ini"), "file");
        // Nothing typed is lost until it is saved; the account in use changes only then.
        const bool salvato = conferma && errore.isEmpty();
        QCOMPARE(login->isVisible(), !salvato);
        const QStringList usato{m.UtenteCorrente.NickName, m.UtenteCorrente.Password};
        if (!salvato) {
            QCOMPARE(campo(login, "txtUserName")->text(), utente);
            QCOMPARE(usato, QStringList({"mario", "Segreto"}));
            return;
        }
        QCOMPARE(usato, QStringList({utente.trimmed().toLower(), password.trimmed()}));
        eliminaFinestreChiuse();
        QVERIFY(!login);
    }

    void loginAspetto()
    {
        Banco b;
        Module1& m = b.modulo();
        QVERIFY(m.LeggiUserIni());
        QPointer<frmLogin> login = m.FrmLogin();
        login->show();
        QTest::keyClicks(campo(login, "txtUserName"), "abcdefghijklmnopqrstuvwxyz");
        QCOMPARE(campo(login, "txtUserName")->text().size(), 20);
        clic(login, "cmdAnnulla");
        QVERIFY(!login->isVisible() && b.dialoghi.messaggi.isEmpty());
        QCOMPARE(b.cartella.leggi("User.ini"), kUserIni);
        eliminaFinestreChiuse();
        QVERIFY(!login);
        // Opened again, it loads the account afresh.
        QCOMPARE(campo(m.FrmLogin(), "txtUserName")->text(), "mario");
    }

    void newUser()
    {
        Banco b;
        QPointer<frmNewUser> nuovo = b.modulo().FrmNewUser();
        nuovo->show();
        QVERIFY(figlio<QRadioButton>(nuovo, "optNU")->isChecked());
        clic(nuovo, "cmdSemplice"); // no help text anywhere
        b.cartella.scrivi("inforegistrazione.txt", "info");
        clic(nuovo, "cmdSemplice");
        QCOMPARE(b.apri.aperti, QStringList{b.cartella.file("inforegistrazione.txt")});
        clic(nuovo, "cmdEsci");
        eliminaFinestreChiuse();
        QVERIFY(!nuovo);
        QCOMPARE(b.uscite, 0);
    }
};

QTEST_MAIN(TestAvvio)
#include "tst_avvio.moc"
