#include "lobby/frmchat2.h"
#include "tests/support/lobbyvoce.h"
#include "tests/support/processomaster.h"
#include "tests/support/registrazione.h"

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

class TestChatInvite final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { preparaAmbienteVoce(m_dir); }

    void invito_data()
    {
        QTest::addColumn<bool>("accetta");
        QTest::newRow("accettato") << true;
        QTest::newRow("rifiutato") << false;
    }

    // anna invites bea from the private chat window of her lobby.
    void invito()
    {
        QFETCH(bool, accetta);
        ProcessoMaster master;
        QVERIFY(master.avvia(porteStanze()));
        QVERIFY(registraAccount(master.porta(), "anna", "Segreto1"));
        QVERIFY(registraAccount(master.porta(), "bea", "Segreto1"));
        Lobby a(m_dir, master.porta(), "anna"), b(m_dir, master.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);
        b.banco.dialoghi.risposte.enqueue(accetta ? Risposta::Si : Risposta::No);

        const QPointer<frmChat2> chat = a.m->FinestraChat(a.m->NuovaFinestraChat("bea"));
        chat->show();
        Lobby::pulsante(chat, "CmdInvita")->click();
        QTRY_COMPARE_WITH_TIMEOUT(b.banco.dialoghi.messaggi.size(), 1, kAttesaVoce);
        const FakeDialoghi::Messaggio domanda = b.banco.dialoghi.messaggi.first();
        QCOMPARE(domanda.titolo, "Invito in chat privata");
        QCOMPARE(
            domanda.testo,
            " L'utente anna ti ha invitato in una stanza privata.\r Vuoi accettare la richiesta?");
        QCOMPARE(domanda.pulsanti, Pulsanti::SiNo);

        if (!accetta) {
            const QStringList attese{
                "<System Message> La richiesta di invito è stata inoltrata.... ",
                "<System Message> La richiesta di invito è stata rifiutata "};
            QTRY_COMPARE_WITH_TIMEOUT(chat->Trascrizione().split('\n'), attese, kAttesaVoce);
            // The refusal is handled in full on arrival: nothing started before or after it.
            for (Lobby* l : {&a, &b}) {
                QVERIFY(l->avviatore.tracce.isEmpty());
                QVERIFY(l->m->StanzaCorrente().Nome.isEmpty());
            }
            QVERIFY(a.banco.dialoghi.messaggi.isEmpty());
            QVERIFY(chat && chat->isVisible());
            return;
        }

        // Both voice clients meet in the one room host the master started.
        const QStringList insieme{"grid|anna,bea", "grid|bea,anna"};
        QVERIFY(a.avviatore.vede(insieme));
        QVERIFY(b.avviatore.vede(insieme));
        const Stanza& sa = a.m->StanzaCorrente();
        const Stanza& sb = b.m->StanzaCorrente();
        QCOMPARE(sa.Nome, "Stanza di anna e bea");
        QCOMPARE(sb.Nome + '|' + sb.IPStanza + '|' + sb.PortaUtenti + '|' + sb.Password,
                 sa.Nome + '|' + sa.IPStanza + '|' + sa.PortaUtenti + '|' + sa.Password);
        QCOMPARE(a.avviatore.tracce.size() + b.avviatore.tracce.size(), 2);
        // The inviter's chat windows go once the room is on its way.
        QTRY_VERIFY_WITH_TIMEOUT(!chat || !chat->isVisible(), kAttesaVoce);
        QVERIFY(a.banco.dialoghi.messaggi.isEmpty());
        QCOMPARE(b.banco.dialoghi.messaggi.size(), 1);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestChatInvite)
#include "chat_invite.moc"
