#include "lobby/frmclient.h"
#include "lobby/frmnuovastanza.h"
#include "tests/servers/master/masterclient.h"
#include "tests/support/lobbyvoce.h"
#include "tests/support/processivoce.h"
#include "tests/support/processomaster.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

// This build installed into a staging folder, then used from there: the lobby's first
// start, and a short journey with the installed servers and voice clients.
class TestInstalled final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_radice.isValid());
        QProcess installa;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", m_radice.path());
        installa.setProcessEnvironment(env);
        installa.setProcessChannelMode(QProcess::MergedChannels);
        installa.start(qEnvironmentVariable("KALIMO_CMAKE"),
                       {"--install", qEnvironmentVariable("KALIMO_BUILD_DIR"), "--prefix", "/usr"});
        QVERIFY(installa.waitForFinished(120000));
        QVERIFY2(installa.exitCode() == 0, installa.readAll().constData());
        m_usr = m_radice.filePath("usr");
        qputenv("KALIMO_BIN_DIR", (m_usr + "/bin").toUtf8());
        preparaAmbienteVoce(m_dir);
    }

    void files()
    {
        for (const char* programma :
             {"bin/kalimo", "libexec/kalimo/voice", "bin/kalimo-master", "bin/kalimo-roomhost"})
            QVERIFY2(QFileInfo(m_usr + "/" + programma).isExecutable(), programma);
        for (const char* file :
             {"share/kalimo/Masters.txt", "share/kalimo/miniguida.txt",
              "share/kalimo/miniguida_en.txt", "share/kalimo/inforegistrazione.txt",
              "share/applications/org.kalimo.Kalimo.desktop",
              "share/metainfo/org.kalimo.Kalimo.metainfo.xml",
              "share/icons/hicolor/scalable/apps/org.kalimo.Kalimo.svg",
              "share/icons/hicolor/256x256/apps/org.kalimo.Kalimo.png",
              "share/doc/kalimo/copyright", "share/doc/kalimo-server/copyright"})
            QVERIFY2(QFileInfo(m_usr + "/" + file).isFile(), file);
        // No voice beside the lobby: it must be found in the helpers' folder.
        QVERIFY(!QFileInfo::exists(m_usr + "/bin/voice"));
    }

    // Even where it could write beside itself (as root), an installed lobby keeps its files
    // in the per-user data folder, and its first start puts the default master list there.
    void primoAvvio()
    {
        QTemporaryDir casa;
        QProcess lobby;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("KALIMO_HOME");
        env.insert("HOME", casa.path());
        env.insert("XDG_DATA_HOME", casa.filePath("dati"));
        lobby.setProcessEnvironment(env);
        lobby.start(m_usr + "/bin/kalimo", {});
        QVERIFY(lobby.waitForStarted(kAttesaVoce));
        const QString lista = casa.filePath("dati/kalimo/Masters.txt");
        const QString guida = casa.filePath("dati/kalimo/miniguida.txt");
        // Both files come at start-up, one after the other: the lobby ends once both are there.
        QVERIFY(QTest::qWaitFor(
            [&] { return QFileInfo::exists(lista) && QFileInfo::exists(guida); }, kAttesaVoce));
        lobby.kill();
        lobby.waitForFinished(kAttesaVoce);
        QFile copia(lista), originale(m_usr + "/share/kalimo/Masters.txt");
        QVERIFY(copia.open(QIODevice::ReadOnly) && originale.open(QIODevice::ReadOnly));
        QCOMPARE(copia.readAll(), originale.readAll());
        QVERIFY(!QFileInfo::exists(m_usr + "/bin/Masters.txt"));
    }

    // Finding, making, sharing and leaving rooms, with the installed servers and voice clients.
    void journey()
    {
        ProcessoMaster master;
        QVERIFY(master.avvia(porteStanze() +
                             "[PermanentRooms]\nsize=1\n1\\Name=Piazza\n1\\MaxUsers=5\n"
                             "1\\MaxAudioUsers=2\n"));
        // The lobby's registration text is pinned by the lobby tests, the master's reading of
        // that same text by the master tests.
        for (const char* nick : {"ana", "bea"})
            QCOMPARE(registerAccount(*MasterClient::to(master.porta()), nick, "Segreto1"), "00001");
        Lobby a(m_dir, master.porta(), "ana"), b(m_dir, master.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);
        QCOMPARE(a.banco.client()->lblStato()->text(), "Connessione al Master Eseguita");
        // The real master's login reply, read field by field.
        const Module1& m = *a.m;
        QCOMPARE((QStringList{m.VersioneMaster, QString::number(m.MaxUtentiStanza),
                              QString::number(m.MaxUtentiAudioStanza),
                              QString::number(m.MinutiRefreshBanner), m.UtenteCorrente.IPAddress}),
                 (QStringList{"2.0b", "20", "5", "5", "127.0.0.1"}));
        // The master's own list comes back and is stored for the next start.
        const QByteArray lista = BancoLobby::rigaMaster("Locale", master.porta());
        QCOMPARE(a.banco.cartella.leggi("Masters.txt"), lista);
        QCOMPARE(a.banco.cartella.leggi("Masters.old.txt"), lista);

        // ana enters the permanent room and is counted in it.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));
        a.entra("Piazza");
        QVERIFY(a.avviatore.vede({"grid|ana"}));
        QTRY_COMPARE_WITH_TIMEOUT(a.m->FrmClient()->findChild<QLabel*>("lbl")->text(), "Connesso",
                                  kAttesaVoce);
        QVERIFY(b.vedeStanze({"Piazza 1 / 5"}));

        // bea creates a room; her voice client joins it and records what it hears.
        const QString ascoltoBea = m_dir.filePath("bea.rec");
        qputenv("KALIMO_AUDIO_RECORD", ascoltoBea.toUtf8());
        b.banco.pulsante("cmdNuovaStanza")->click();
        frmNuovaStanza* nuova = b.m->FrmNuovaStanzaEsistente();
        nuova->findChild<QLineEdit*>("txtNomeStanza")->setText("Sala");
        nuova->findChild<QComboBox*>("txtMaxUtenti")->setCurrentText("4");
        nuova->findChild<QComboBox*>("txtMaxAudio")->setCurrentText("2");
        BancoLobby::figlio<QPushButton>(nuova, "cmdCreala")->click();
        QVERIFY(b.avviatore.vede({"grid|bea"}));
        QVERIFY(a.vedeStanze({"Piazza 1 / 5", "Sala 1 / 4"}));

        // ana moves there, playing a tone: her first voice client is asked to close.
        qputenv("KALIMO_AUDIO_TONE", "440");
        qputenv("KALIMO_AUDIO_RECORD", m_dir.filePath("ana.rec").toUtf8());
        a.entra("Sala");
        QVERIFY(a.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(b.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(a.vedeStanze({"Piazza 0 / 5", "Sala 2 / 4"}));
        // ana takes the floor; bea hears her.
        a.avviatore.comando("talk");
        QVERIFY(b.avviatore.vede({"grid|bea,ana*"}));
        QVERIFY(QTest::qWaitFor([&] { return toniSentiti(ascoltoBea, 440, 0).first >= 3; },
                                kAttesaVoce));

        // Inside the room ana invites bea, who accepts: both lobbies get the private room and
        // their new voice clients meet there. Both voice clients linked to their lobbies first:
        // a request sent before is lost.
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(2), kAttesaVoce);
        a.avviatore.comando("invite bea");
        const QStringList insieme{"grid|ana,bea", "grid|bea,ana"};
        QVERIFY(b.avviatore.vede(insieme, 2));
        QVERIFY(a.avviatore.vede(insieme, 3));
        for (Lobby* l : {&a, &b}) {
            QCOMPARE(l->m->StanzaCorrente().Nome, "Stanza di ana e bea");
            QVERIFY(l->banco.dialoghi.messaggi.isEmpty());
        }
        // Left by both, Sala goes; the private room is never listed.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));

        // Closing the newest voice link ends the voice client on its other end.
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(3), kAttesaVoce);
        a.m->FrmClient()->ChiudiVoce(a.m->IndiceWskVoice);
        QVERIFY(b.avviatore.vede({"grid|bea"}, 2));

        // bea disconnects: her voice link stops listening, and the master frees her nick.
        b.banco.clicConnetti();
        QVERIFY(!b.m->ConnessoAlMaster && !b.banco.client()->collegamentiVoce().InAscolto());
        QCOMPARE(b.banco.pulsante("cmdConnettiti")->text(), "Connetti");
        QVERIFY(QTest::qWaitFor([&] { return master.registro().contains("closed by the client"); },
                                kAttesaVoce));
        b.banco.clicConnetti();
        QVERIFY(b.m->ConnessoAlMaster);
    }

private:
    QTemporaryDir m_radice, m_dir;
    QString m_usr;
};

QTEST_MAIN(TestInstalled)
#include "installed_journey.moc"
