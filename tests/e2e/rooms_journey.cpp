#include "lobby/frmclient.h"
#include "lobby/frmnuovastanza.h"
#include "tests/support/lobbyvoce.h"
#include "tests/support/processomaster.h"
#include "tests/support/registrazione.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

class TestRoomsJourney final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { preparaAmbienteVoce(m_dir); }

    void journey()
    {
        ProcessoMaster master;
        QVERIFY(master.avvia(porteStanze() +
                             "[PermanentRooms]\nsize=1\n1\\Name=Piazza\n1\\MaxUsers=5\n"
                             "1\\MaxAudioUsers=2\n"));
        QVERIFY(registraAccount(master.porta(), "ana", "Segreto1"));
        QVERIFY(registraAccount(master.porta(), "bea", "Segreto1"));
        Lobby a(m_dir, master.porta(), "ana"), b(m_dir, master.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);

        // ana enters the permanent room and is counted in it.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));
        a.entra("Piazza");
        QVERIFY(a.avviatore.vede({"grid|ana"}));
        QTRY_COMPARE_WITH_TIMEOUT(a.m->FrmClient()->findChild<QLabel*>("lbl")->text(), "Connesso",
                                  kAttesaVoce);
        QVERIFY(b.vedeStanze({"Piazza 1 / 5"}));

        // bea creates a room; her voice client joins it.
        Lobby::pulsante(b.m->FrmClient(), "cmdNuovaStanza")->click();
        frmNuovaStanza* nuova = b.m->FrmNuovaStanzaEsistente();
        nuova->findChild<QLineEdit*>("txtNomeStanza")->setText("Sala");
        nuova->findChild<QComboBox*>("txtMaxUtenti")->setCurrentText("4");
        nuova->findChild<QComboBox*>("txtMaxAudio")->setCurrentText("2");
        Lobby::pulsante(nuova, "cmdCreala")->click();
        QVERIFY(b.avviatore.vede({"grid|bea"}));
        QVERIFY(a.vedeStanze({"Piazza 1 / 5", "Sala 1 / 4"}));

        // ana moves there: her first voice client is asked to close.
        a.entra("Sala");
        QVERIFY(a.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(b.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(a.vedeStanze({"Piazza 0 / 5", "Sala 2 / 4"}));

        // Inside the room ana invites bea, who accepts: both lobbies get the
        // private room and their new voice clients meet there.
        // Both voice clients linked to their lobbies: a request sent before is lost.
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
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestRoomsJourney)
#include "rooms_journey.moc"
