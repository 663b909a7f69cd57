#include "lobby/frmclient.h"
#include "lobby/frmnuovastanza.h"
#include "tests/servers/master/masterclient.h"
#include "tests/support/lobbyvoce.h"
#include "tests/support/processivoce.h"
#include "tests/support/processomaster.h"

#include <QComboBox>
#include <QFileInfo>
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
        QVERIFY2(installa.waitForFinished(120000) && installa.exitCode() == 0,
                 installa.readAll().constData());
        m_usr = m_radice.filePath("usr");
        qputenv("KALIMO_BIN_DIR", (m_usr + "/bin").toUtf8());
        preparaAmbienteVoce(m_dir);
    }

    void files()
    {
        // The programs and the files the lobby copies at its first start are used below.
        for (const char* file :
             {"share/kalimo/miniguida_en.txt", "share/kalimo/inforegistrazione.txt",
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
            QCOMPARE(MasterClient::to(master.porta())->replyCodes({signUp(nick, "Segreto1")}),
                     "00001");
        Lobby a(m_dir, master.porta(), "ana"), b(m_dir, master.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);
        // ana enters the permanent room and is counted in it.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));
        a.entra("Piazza");
        QVERIFY(a.avviatore.vede({"grid|ana"}));
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(1), kAttesaVoce); // linked back
        QVERIFY(b.vedeStanze({"Piazza 1 / 5"}));

        // bea creates a room; her voice client joins it.
        b.banco.pulsante("cmdNuovaStanza")->click();
        frmNuovaStanza* nuova = b.m->FrmNuovaStanzaEsistente();
        nuova->findChild<QLineEdit*>("txtNomeStanza")->setText("Sala");
        nuova->findChild<QComboBox*>("txtMaxUtenti")->setCurrentText("4");
        nuova->findChild<QComboBox*>("txtMaxAudio")->setCurrentText("2");
        BancoLobby::figlio<QPushButton>(nuova, "cmdCreala")->click();
        QVERIFY(b.avviatore.vede({"grid|bea"}));
        QVERIFY(a.vedeStanze({"Piazza 1 / 5", "Sala 1 / 4"}));

        // ana moves there: her first voice client is asked to close.
        a.entra("Sala");
        QVERIFY(a.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(b.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(a.vedeStanze({"Piazza 0 / 5", "Sala 2 / 4"}));
        // ana takes the floor.
        a.avviatore.comando("talk");
        QVERIFY(b.avviatore.vede({"grid|bea,ana*"}));

        // Closing the newest voice link ends the voice client on its other end.
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(2), kAttesaVoce);
        a.m->FrmClient()->ChiudiVoce(a.m->IndiceWskVoice);
        QVERIFY(b.avviatore.vede({"grid|bea"}));
        QVERIFY(a.vedeStanze({"Piazza 0 / 5", "Sala 1 / 4"}));
    }

private:
    QTemporaryDir m_radice, m_dir;
    QString m_usr;
};

QTEST_MAIN(TestInstalled)
#include "installed_journey.moc"
