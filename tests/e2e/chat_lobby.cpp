#include "lobby/frmchat2.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/processomaster.h"
#include "tests/support/registrazione.h"

#include <QLineEdit>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;

namespace {

constexpr int kAttesa = 20000;

// A lobby in this process, logged in as `nick`, registered first.
std::unique_ptr<BancoLobby> nuovaLobby(quint16 porta, const QString& nick)
{
    if (!test::registraAccount(porta, nick, "Segreto1"))
        return {};
    auto banco = std::make_unique<BancoLobby>(kAttesa);
    banco->scriviMasters(BancoLobby::rigaMaster("Locale", porta));
    banco->cartella.scrivi("User.ini", ("USERNAME : " + nick + "\r\nPASSWORD : Segreto1").toUtf8());
    banco->clicConnetti();
    return banco;
}

QStringList righe(frmChat2* chat)
{
    return chat ? chat->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{};
}

void scrivi(frmChat2* chat, const QString& testo)
{
    chat->findChild<QLineEdit*>("txtTesto")->setText(testo);
    chat->findChild<QPushButton*>("cmdInvia")->click();
}

} // namespace

class TestChatLobby final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void testiPrivatiEContatti()
    {
        test::ProcessoMaster master;
        QVERIFY(master.avvia());
        auto a = nuovaLobby(master.porta(), "anna");
        auto b = nuovaLobby(master.porta(), "bruno");
        QVERIFY(a && b);
        Module1& ma = a->modulo();
        Module1& mb = b->modulo();
        QVERIFY(ma.ConnessoAlMaster && mb.ConnessoAlMaster);

        frmChat2* versoBruno = ma.FinestraChat(ma.NuovaFinestraChat("bruno"));
        versoBruno->show();
        scrivi(versoBruno, "ciao bruno");
        QTRY_VERIFY_WITH_TIMEOUT(mb.FinestraChat(1), kAttesa);
        frmChat2* versoAnna = mb.FinestraChat(1);
        QVERIFY(versoAnna->isVisible() && versoAnna->SetTarget() == "anna");
        scrivi(versoAnna, "ciao anna");
        const QStringList entrambe{"<anna> ciao bruno", "<bruno> ciao anna"};
        QTRY_COMPARE_WITH_TIMEOUT(righe(versoBruno), entrambe, kAttesa);
        QTRY_COMPARE_WITH_TIMEOUT(righe(versoAnna), entrambe, kAttesa);

        // Anna asks bruno to be her contact; he accepts, and she sees him on line.
        a->dialoghi.testi.enqueue("Bruno");
        b->dialoghi.risposte.enqueue(Risposta::Si);
        a->pulsante("cmdListaUtenti")->click();
        frmListaUtenti* lista = ma.FrmListaUtenti();
        lista->FermaAggiornamento();
        lista->findChild<QPushButton*>("cmdAggiungiCL")->click();
        QTRY_VERIFY_WITH_TIMEOUT(ma.EstInContactList("bruno"), kAttesa);
        QCOMPARE(b->dialoghi.messaggi.value(0).titolo, "Inserimento in Contact List");
        // The box opens once the master's arrival has been handled, after the contact is in.
        QTRY_COMPARE_WITH_TIMEOUT(a->dialoghi.testiMessaggi(),
                                  QStringList{"L'utente ha accettato la richiesta"}, kAttesa);
        QCOMPARE(a->cartella.leggi("CntLst.klm"), "bruno\r\n");
        lista->findChild<QPushButton*>("cmdAggionaCL")->click();
        Griglia& g = lista->griglia();
        QCOMPARE(g.righe(), 2);
        QCOMPARE(g.testo(1, 1) + '|' + g.testo(1, 2), "bruno|Connesso");
    }
};

QTEST_MAIN(TestChatLobby)
#include "chat_lobby.moc"
