#include "tests/support/bancovoce.h"
#include "voice/collegamentolobby.h"
#include "voice/frmchat.h"
#include "voice/lineacomando.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextBrowser>

using namespace kalimo;
using namespace kalimo::voce;
using namespace kalimo::test;
Q_DECLARE_METATYPE(kalimo::voce::EsitoAvvio::Tipo)

namespace {

const auto righe = [](const frmChat* f) {
    return f ? f->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
};
const auto clic = [](QWidget* f, const char* nome) { f->findChild<QPushButton*>(nome)->click(); };

} // namespace

class TestVoiceClient final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The lobby's voice-link port is set only by the tests of the link.
    void cleanup() { qunsetenv(CollegamentoLobby::kVariabilePorta); }

    void rigaDiComando_data()
    {
        QTest::addColumn<QString>("riga");
        QTest::addColumn<EsitoAvvio::Tipo>("tipo");
        using T = EsitoAvvio::Tipo;
        QTest::newRow("valid") << kRiga << T::Valida;
        QTest::newRow("empty") << "" << T::Vuota;
        QTest::newRow("ten fields") << "a + 1 + 1 + n + p + 2302 + A + i + t + b" << T::Errata;
        QTest::newRow("plus in a name") << kRiga + " + x" << T::Errata;
        QTest::newRow("max users") << QString(kRiga).replace("+ 10 +", "+ dieci +") << T::Errata;
        QTest::newRow("banner 16 bit") << QString(kRiga).replace("+ 3", "+ 40000") << T::Errata;
        QTest::newRow("port 0") << QString(kRiga).replace("2302", "0") << T::Errata;
    }
    void rigaDiComando()
    {
        QFETCH(QString, riga);
        QFETCH(EsitoAvvio::Tipo, tipo);
        const EsitoAvvio e = leggiRigaDiComando(riga);
        QCOMPARE(e.tipo, tipo);
        QCOMPARE(e.errore.isEmpty(), tipo != EsitoAvvio::Tipo::Errata);
        if (tipo != EsitoAvvio::Tipo::Valida) {
            // The program ends: silently with 0 for nothing, with a box and 2 for a bad line.
            const bool errata = tipo == EsitoAvvio::Tipo::Errata;
            Banco b;
            QVERIFY(!b.avvia(riga) && (errata || !b.modulo->finestra()));
            QCOMPARE(b.codice, errata ? 2 : 0);
            QCOMPARE(b.dialoghi.avvisi().value(1), errata ? "Kalimo" : "");
            return;
        }
        const auto& d = e.dati;
        QCOMPARE(QString("%1|%2|%3|%4|").arg(d.Nome, d.Password, d.NickName, d.IndirizzoBanner) +
                     QString::asprintf("%d %d %d", d.porta, d.MinutiRefreshBanner, d.MaxUtenti),
                 "Sala  Blu|pass word|Ana||2302 3 10");
        // One argument or split by a shell: the same text.
        QCOMPARE(testoDaArgomenti({"voice", "a + b"}), testoDaArgomenti({"voice", "a", "+", "b"}));
    }

    // Every way the join or the audio fails: its box, then clean-up and code 1.
    void joinFailures_data()
    {
        QTest::addColumn<int>("connect"); // the host's answer; -1: no host answers
        QTest::addColumn<QList<int>>("voce");
        QTest::addColumn<QStringList>("avvisi");
        const auto riga = [](const char* nome, int connect, QList<int> voce, const QString& testo,
                             const char* titolo) {
            QTest::newRow(nome) << connect << voce
                                << (testo.isEmpty()
                                        ? QStringList()
                                        : QStringList{testo, titolo,
                                                      connect > 0 ? "Nessuna Ok" : "Critica Ok"});
        };
        const QString no = "Non e' possibile collegarsi alla stanza, ";
        riga("no host", -1, {},
             "Impossibile connettersi alla stanza; problema sull'enumerazione degli host",
             "Errore");
        // The host's reason picks the text.
        riga("room full", 1, {}, no + "i posti disponibili sono tutti occupati", "Kalimo");
        riga("name in use", 2, {}, no + "nella stanza c'e' gia' un utente con il tuo nome",
             "Kalimo");
        riga("wrong password", 3, {}, no + "la password della stanza non e' corretta", "Kalimo");
        riga("no ticket", 8, {}, no + "il master non ha autorizzato l'accesso con questo nome",
             "Kalimo");
        const QString audio = "La periferica Audio non funziona correttamente\r\noppure non e' "
                              "possibile inizializzare le DirectX \r\nError:%1\r\n Error "
                              "Description: nessun audio";
        riga("no audio", 0, {2}, audio.arg(2), "Errore Fatale");
        riga("set-up twice", 0, {1, 1}, audio.arg(1), "Errore Fatale");
        riga("set-up then fine", 0, {1, 0}, "", "");
    }
    void joinFailures()
    {
        QFETCH(int, connect);
        QFETCH(QList<int>, voce);
        QFETCH(QStringList, avvisi);
        Banco b;
        b.canale->rispondeEnum = connect >= 0;
        b.canale->esitoConnect = qMax(connect, 0);
        for (int e : voce)
            b.canale->esitiVoce << VoiceResult{VoiceError(e), "nessun audio"};
        QCOMPARE(b.avvia(), avvisi.isEmpty());
        QCOMPARE(b.impostazioni, int(voce.contains(1)));
        QCOMPARE(b.dialoghi.avvisi(), avvisi);
        if (!avvisi.isEmpty())
            QCOMPARE(b.canale->chiamate.mid(b.canale->chiamate.size() - 5)
                         << QString::number(b.codice),
                     kPulizia + QStringList{"1"});
    }

    void dispatcher()
    {
        Banco b;
        QVERIFY(b.avvia());
        // The room keeps updating while a box waits for the user.
        QStringList dietro;
        b.dialoghi.mentreAperta = [&] {
            b.arriva("0004^7~true|");
            dietro = b.righe();
        };
        b.arriva("0002 ^ Ana ~ 3 | 0008 ^ Cia | 0002 ^ Bea ~ 7 | tail");
        QCOMPARE(dietro, (QStringList{"Ana", "Bea*"}));
        QCOMPARE(b.etichetta("lblNUC"), "2");
        QCOMPARE(b.etichetta("lblNUPC"), "1");
        b.canale->inviati.clear(); // the answer to Cia
        // No SEP1, missing fields, unknown ids and codes, bad values, chat lines.
        b.arriva("0002 ^ Cia ~ 8");
        b.arriva("0002 | 0002 ^ Dan | 0002 ^ Dan ~ x | 0004 ^ 99 ~ true | 0004 ^ 7 | "
                 "0004 ^ 3 ~ forse | 0003 | 0003 ^ Nessuno | 0008 | 0009 ^ | 0010 | 9999 ^ a | "
                 "0005 ^ Bea ~ ciao | 0006 ^ Bea ~ ciao | 0007 ^ Bea ~ ciao | ^ | ||");
        QCOMPARE(b.righe(), (QStringList{"Ana", "Bea*"}));
        QCOMPARE(b.dialoghi.messaggi.size(), 1);
        QVERIFY(b.canale->inviati.isEmpty());
        b.arriva("0004 ^ 7 ~ false |");
        QCOMPARE(b.righe(), (QStringList{"Ana", "Bea"}));
        QCOMPARE(b.etichetta("lblNUPC"), "0");
        b.arriva("0003 ^ Bea |");
        QCOMPARE(b.righe(), (QStringList{"Ana"}));
        QCOMPARE(b.etichetta("lblNUC"), "1");
        QVERIFY(b.canale->chiamate.contains("rimuovi 7"));
    }

    void invitations_data()
    {
        QTest::addColumn<QString>("arrivo");
        QTest::addColumn<Risposta>("risposta");
        QTest::addColumn<bool>("invitata");
        QTest::addColumn<QStringList>("esito"); // the boxes, then what was sent
        const QStringList invito{"L'utente Bea ti invita in privato; \rAccetti?", "Invito",
                                 "Domanda SiNo"};
        QTest::newRow("accepted") << "0008 ^ Bea |" << Risposta::Si << false
                                  << invito + QStringList(wire("0005 ^ Ana ^Bea| "));
        QTest::newRow("refused") << "0008 ^ Bea |" << Risposta::No << false
                                 << invito + QStringList(wire("0006 ^ Ana ^Bea| "));
        QTest::newRow("they accept") << "0009 ^ Bea |" << Risposta::Ok << true
                                     << QStringList{"L'utente Bea ha accettato il tuo l'invito.\r"
                                                    "Cliccando su OK verrà creata la stanza",
                                                    "Kalimo", "Informazione Ok"};
        QTest::newRow("they refuse")
            << "0010 ^ Bea |" << Risposta::Ok << true
            << QStringList{"L'Utente Bea non ha accettato l'invito", "Kalimo", "Informazione Ok"};
        // Answers to an invitation this user never sent are forged.
        QTest::newRow("forged acceptance")
            << "0009 ^ Bea |" << Risposta::Ok << false << QStringList();
        QTest::newRow("forged refusal") << "0010 ^ Bea |" << Risposta::Ok << false << QStringList();
    }
    void invitations()
    {
        QFETCH(QString, arrivo);
        QFETCH(Risposta, risposta);
        Banco b;
        QVERIFY(b.avvia());
        if (QFETCH(bool, invitata); invitata) {
            b.arriva("0002 ^ Bea ~ 7 |");
            b.f().griglia().impostaCellaCorrente(1, 1);
            b.w<QAbstractButton>("cmdStanzaPrivata")->click();
            b.canale->inviati.clear();
        }
        b.dialoghi.risposte << risposta;
        b.arriva(arrivo);
        QTEST(b.dialoghi.avvisi() + b.canale->inviati, "esito");
    }

    void talkControls()
    {
        Banco b;
        QVERIFY(b.avvia());
        const QString vero = wire("0001 ^ Ana ^ true |"), falso = wire("0001 ^ Ana ^ false |");
        auto premi = [&](Qt::KeyboardModifiers m) { b.tasto(QEvent::KeyPress, m); };
        auto lascia = [&](Qt::KeyboardModifiers m) { b.tasto(QEvent::KeyRelease, m); };
        auto flags = [&] { return b.canale->configurazioni.last().flags; };

        b.w<QAbstractButton>("perla")->click();
        premi(Qt::ControlModifier);
        QCOMPARE(b.canale->inviati, QStringList{vero});
        QCOMPARE(flags(), 40);
        lascia(Qt::ShiftModifier);
        QVERIFY(b.f().InParola());
        lascia(Qt::NoModifier);
        QVERIFY(!b.f().InParola());
        QCOMPARE(b.canale->inviati, (QStringList{vero, falso}));
        QCOMPARE(flags(), 1);

        premi(Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(!b.f().InParola());
        premi(Qt::ControlModifier);
        QVERIFY(b.f().InParola());
        b.w<QAbstractButton>("muto")->click();
        QVERIFY(!b.f().InParola());

        QTest::mousePress(b.w("cmdParla"), Qt::RightButton);
        QVERIFY(b.f().InParola());
        QTest::mouseRelease(b.w("cmdParla"), Qt::RightButton);
        QVERIFY(!b.f().InParola());
        QCOMPARE(b.canale->inviati.size(), 6);

        // The host refuses: muted, and the closing gate does not hide why.
        b.w<QAbstractButton>("perla")->click();
        b.arriva("0001 ^ |");
        Q_EMIT b.canale->RecordStop();
        QCOMPARE(flags(), 1);
        QCOMPARE(b.etichetta("lblEstParlante"), "Non puoi parlare");
        QVERIFY(b.f().InParola());
    }

    // Right click on a member: own volume and local mute, kept by nick.
    void memberVolumeAndMute()
    {
        Banco b;
        QVERIFY(b.avvia());
        b.arriva("0002 ^ Ana ~ 3 | 0002 ^ Bea ~ 7 |");
        // None for the local user, the header or past the last row.
        QVERIFY(!b.f().menuMembro(1) && !b.f().menuMembro(0) && !b.f().menuMembro(3));
        b.f().menuMembro(2)->actions().at(1)->trigger();
        for (const char* volume : {"150 %", "300", ""}) {
            b.dialoghi.testi << volume;
            b.f().menuMembro(2)->actions().at(0)->trigger();
        }
        QCOMPARE(b.dialoghi.inputs.first().predefinito, "100");
        QCOMPARE(b.dialoghi.testiMessaggi(),
                 QStringList{"Il volume deve essere un numero da 0 a 200."});
        b.f().menuMembro(2)->actions().at(1)->trigger();
        QCOMPARE(b.canale->livelli, (QStringList{"7 Bea 100 muto", "7 Bea 150 muto", "7 Bea 150"}));
        // Back in the room under another id, Bea keeps her volume.
        b.arriva("0003 ^ Bea | 0002 ^ Bea ~ 9 | 0002 ^ Cia ~ 4 |");
        QCOMPARE(b.canale->livelli.mid(3), QStringList{"9 Bea 150"});
    }

    void sessionTerminated()
    {
        Banco b;
        QVERIFY(b.avvia());
        Q_EMIT b.canale->TerminateSession(7);
        QCOMPARE(b.dialoghi.avvisi(), QStringList({"La connessione alla stanza e' terminata.",
                                                   "Uscita", "Informazione Ok"}));
        QCOMPARE(b.canale->configurazioni.last().notificationPeriod, 0);
        b.tasto(QEvent::KeyPress, Qt::ControlModifier);
        QVERIFY(!b.f().InParola());
        QVERIFY(b.codice == -1 && b.f().isVisible());
    }

    void closing_data()
    {
        QTest::addColumn<int>("modo");
        QTest::newRow("chiudi") << 0;
        QTest::newRow("window closed") << 1;
        QTest::newRow("lobby's stop") << 2;
    }
    void closing()
    {
        QFETCH(int, modo);
        Banco b;
        QVERIFY(b.avvia());
        // No banner address: no banner and no reloads.
        QVERIFY(!b.w("picBanner")->isVisible() && !b.w<QTimer>("tmrRefreshBanner")->isActive());
        QCOMPARE(b.canale->chiamate,
                 (QStringList{"enum 127.0.0.1:2302", "connect Ana/pass word", "voce"}));
        // Muted, no threshold, level events every 100 ms: the record's defaults.
        QVERIFY(b.canale->configurazioni.first() == VoiceClientConfig{});
        b.canale->chiamate.clear();
        if (modo == 0)
            b.w<QAbstractButton>("chiudi")->click();
        else if (modo == 1)
            b.f().close();
        else
            b.modulo->ChiusuraRichiesta();
        // A second request while closing changes nothing.
        b.f().close();
        b.f().Chiudi();
        QVERIFY(b.codice == 0 && !b.f().isVisible());
        QCOMPARE(b.canale->configurazioni.last().notificationPeriod, 0);
        QCOMPARE(b.canale->chiamate, kPulizia);
    }

    // The room's chat windows for "ana", in a room with bruno, carla and dario.
    void chat()
    {
        test::FakeDialoghi dialoghi;
        Module1 modulo{ServiziVoce{&dialoghi, {}, {}, {}, {}}};
        Stanza& stanza = modulo.StanzaCorrente();
        QStringList inviati;
        ChatStanza c{modulo, [&](const QString& m) { inviati << m; }};
        modulo.UtenteLocale.NickName = "ana";
        stanza.MaxUtenti = 10;
        for (const char* nick : {"ana", "bruno", "carla", "dario"})
            stanza.AggiungiUtente(stanza.NumUtenti() + 1, nick, "");
        c.RigaPubblica("bruno", "persa");
        c.ApriChatPubblica();
        frmChat* f = c.ChatPubblica();
        QVERIFY(f->isVisible());
        auto* testo = f->findChild<QLineEdit*>("txtTesto");
        testo->setText(QString("ciao") + SEP1 + " a tutti");
        QTest::keyClick(testo, Qt::Key_Return);
        clic(f, "cmdInvia"); // empty: nothing
        QCOMPARE(inviati, QStringList{test::wire("0002 ^ ana ^ ana ~ ciao a tutti | ")});
        c.InviaTestoPrivato("bruno", "x");
        QCOMPARE(inviati.last(), test::wire("0003 ^ ana ^ ana ~ bruno ~ x | "));

        stanza.IgnoraUtente("carla");
        c.RigaPrivata("carla", "ignorata");
        c.ApriChatPrivata("ana"); // oneself
        QCOMPARE(c.numeroChatPrivate(), 0);

        c.RigaPrivata("bruno", "ciao");
        f = c.ChatPrivata("bruno");
        QVERIFY(f && f->isVisible());
        c.RigaPropria("bruno", "come va");
        clic(f, "cmdNascondi");
        clic(f, "cmdIgnora");
        QVERIFY(stanza.EstUtenteIgnorato("bruno"));
        // An open window still shows an ignored sender, and comes back when hidden.
        c.RigaPrivata("bruno", "bene");
        QVERIFY(f->isVisible());
        QCOMPARE(righe(f), QStringList({"<bruno>  ciao", "<ana>  come va", "<bruno>  bene"}));
        f->hide();
        c.ApriChatPrivata("bruno");
        QVERIFY(f->isVisible() && !stanza.EstUtenteIgnorato("bruno"));
        QCOMPARE(c.numeroChatPrivate(), 1);

        // Closed: its slot is free, the own echo has nowhere to go, the next open unloads it.
        clic(f, "cmdChiudi");
        c.RigaPropria("bruno", "perso");
        c.RigaPrivata("bruno", "di nuovo");
        QCOMPARE(righe(c.ChatPrivata("bruno")), QStringList{"<bruno>  di nuovo"});
        QPointer<frmChat> chiusa = f;
        c.ApriChatPrivata("dario");
        QTRY_VERIFY(!chiusa);
        QCOMPARE(c.numeroChatPrivate(), 2);

        c.ScaricaTutte();
        QCOMPARE(c.numeroChatPrivate(), 0);
        c.RigaPubblica("bruno", "dopo");
        c.RigaPropria("dario", "dopo");
    }

    void collegamento()
    {
        QTcpServer lobby;
        QVERIFY(lobby.listen(QHostAddress::LocalHost));
        const quint16 porta = lobby.serverPort();
        lobby.close();
        qputenv(CollegamentoLobby::kVariabilePorta, QByteArray::number(porta));
        Banco b(nullptr, {30, 0, 200, 60000});
        QVERIFY(b.avvia());
        auto* timer = b.w<QTimer>("TimerConnessione");
        QSignalSpy tick(timer, &QTimer::timeout);
        // Nobody listens yet: the attempts go on.
        QTRY_VERIFY(tick.count() >= 2);
        QVERIFY(timer->isActive());
        QVERIFY(lobby.listen(QHostAddress::LocalHost, porta));
        QTRY_VERIFY(lobby.hasPendingConnections() && !timer->isActive());
        QTcpSocket* link = lobby.nextPendingConnection();

        // Accepting an invitation, then someone accepting ours: one request each.
        b.arriva("0002 ^ Bea ~ 7 |");
        b.f().griglia().impostaCellaCorrente(1, 1);
        b.f().findChild<QAbstractButton*>("cmdStanzaPrivata")->click();
        b.dialoghi.risposte.enqueue(Risposta::Si);
        b.arriva("0008 ^ Bea |");
        b.arriva("0009 ^ Bea |");
        QByteArray arrivati;
        QTRY_COMPARE((arrivati += link->readAll()), wireBytes("0002 ^ NO PARAMETRI |0001 ^ Bea |"));

        // The lobby closing the link ends the client as its close button does.
        link->disconnectFromHost();
        QTRY_COMPARE(b.codice, 0);
        QCOMPARE(b.canale->chiamate.mid(b.canale->chiamate.size() - kPulizia.size()), kPulizia);
        QVERIFY(!b.f().isVisible());
    }

    // The lobby closing the link while the audio set-up window waits for the
    // user ends the client there and then.
    void chiusoDuranteImpostazioni()
    {
        QTcpServer lobby;
        QVERIFY(lobby.listen(QHostAddress::LocalHost));
        qputenv(CollegamentoLobby::kVariabilePorta, QByteArray::number(lobby.serverPort()));
        Banco b(nullptr, {30, 0, 10, 60000});
        b.canale->esitiVoce << VoiceResult{VoiceError::SetupRequired, "prima volta"};
        bool chiuso = false;
        b.duranteImpostazioni = [&] {
            // The window's own loop: it runs until the user answers or the program ends.
            QVERIFY(Attesa::finche([&] { return lobby.hasPendingConnections(); }));
            lobby.nextPendingConnection()->disconnectFromHost();
            chiuso = Attesa::finche([&] { return b.codice >= 0; });
        };
        QVERIFY(!b.avvia());
        QVERIFY(!chiuso); // the wait was ended by the program's end, not by the user
        QCOMPARE(b.codice, 0);
        QCOMPARE(b.canale->chiamate.mid(b.canale->chiamate.size() - kPulizia.size()), kPulizia);
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void banner()
    {
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost));
        int richieste = 0;
        connect(&web, &QTcpServer::newConnection, [&] {
            while (QTcpSocket* s = web.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s, &richieste] {
                    if (!s->readAll().startsWith("GET /pagina"))
                        return;
                    ++richieste;
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                             "<b>Pubblicit\xc3\xa0</b>");
                    s->disconnectFromHost();
                });
            }
        });
        const QString indirizzo = QString("http://127.0.0.1:%1/pagina").arg(web.serverPort());
        // Every `minuti` ticks, every tick for 0 and 1.
        for (const int minuti : {3, 0}) {
            richieste = 0;
            Banco b;
            QString riga = QString(kRiga).replace("+  + 3", "+ " + indirizzo + " + ");
            QVERIFY(b.avvia(riga + QString::number(minuti)));
            QTRY_COMPARE(b.w<QTextBrowser>("WB")->toPlainText(), "Pubblicità");
            QVERIFY(b.w("picBanner")->isVisible());
            // Ticks by hand, each seen through before the next.
            auto* timer = b.w<QTimer>("tmrRefreshBanner");
            QVERIFY(timer->isActive());
            timer->stop();
            for (int k = 1; k <= 7; ++k) {
                QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
                QTRY_COMPARE(richieste, 1 + k / qMax(minuti, 1));
            }
        }
    }
};

QTEST_MAIN(TestVoiceClient)
#include "tst_voiceclient.moc"
