#include "lobby/frmchat2.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/processomaster.h"

#include <QLineEdit>
#include <QTcpSocket>

using namespace kalimo;
using test::BancoLobby;

namespace {

constexpr int kRispostaMs = 20000;

// Registers `nick` on the master the way the registration window does.
bool registra(quint16 porta, const QString& nick)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, porta);
    if (!s.waitForConnected(kRispostaMs))
        return false;
    s.write(encodeText(
        masterRequest(u"0010", nick, {nick, "kalimo", "Segreto1", "x@example.org", "-1"})));
    QByteArray risposta;
    while (!risposta.contains(char(29)) && s.waitForReadyRead(kRispostaMs))
        risposta += s.readAll();
    return risposta.startsWith("00001");
}

// A lobby in this process, logged in as `nick`.
std::unique_ptr<BancoLobby> lobby(quint16 porta, const QString& nick)
{
    auto banco = std::make_unique<BancoLobby>(kRispostaMs);
    banco->scriviMasters(BancoLobby::rigaMaster("Locale", porta));
    banco->cartella.scrivi("User.ini",
                           ("USERNAME : " + nick + "\r\nPASSWORD : Segreto1\r\n").toUtf8());
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
    void init() { Attesa::riprendi(); }

    void testiPrivatiEContatti()
    {
        test::ProcessoMaster master;
        QVERIFY(master.avvia());
        QVERIFY(registra(master.porta(), "anna"));
        QVERIFY(registra(master.porta(), "bruno"));
        auto a = lobby(master.porta(), "anna");
        auto b = lobby(master.porta(), "bruno");
        Module1& ma = a->modulo();
        Module1& mb = b->modulo();
        QVERIFY(ma.ConnessoAlMaster && mb.ConnessoAlMaster);

        frmChat2* versoBruno = ma.FinestraChat(ma.NuovaFinestraChat("bruno"));
        versoBruno->show();
        scrivi(versoBruno, "ciao bruno");
        QTRY_VERIFY_WITH_TIMEOUT(mb.FinestraChat(1), kRispostaMs);
        frmChat2* versoAnna = mb.FinestraChat(1);
        QCOMPARE(versoAnna->SetTarget(), "anna");
        QVERIFY(versoAnna->isVisible());
        scrivi(versoAnna, "ciao anna");
        const QStringList entrambe{"<anna> ciao bruno", "<bruno> ciao anna"};
        QTRY_COMPARE_WITH_TIMEOUT(righe(versoBruno), entrambe, kRispostaMs);
        QTRY_COMPARE_WITH_TIMEOUT(righe(versoAnna), entrambe, kRispostaMs);

        // A text to someone not on line: its echo, then a system line.
        frmChat2* versoNessuno = ma.FinestraChat(ma.NuovaFinestraChat("nessuno"));
        scrivi(versoNessuno, "ci sei?");
        QTRY_COMPARE_WITH_TIMEOUT(
            righe(versoNessuno),
            QStringList({"<anna> ci sei?", "<System Message> L'utente nessuno non è connesso: "
                                           "il messaggio non è stato recapitato."}),
            kRispostaMs);

        // Anna asks bruno to be her contact; he accepts.
        a->dialoghi.testi.enqueue("Bruno");
        b->dialoghi.risposte.enqueue(Risposta::Si);
        a->pulsante("cmdListaUtenti")->click();
        frmListaUtenti* lista = ma.FrmListaUtenti();
        lista->tmrAvvio.stop();
        lista->findChild<QPushButton*>("cmdAggiungiCL")->click();
        QTRY_VERIFY_WITH_TIMEOUT(ma.EstInContactList("bruno"), kRispostaMs);
        QCOMPARE(b->dialoghi.messaggi.value(0).titolo, "Inserimento in Contact List");
        QCOMPARE(a->dialoghi.testiMessaggi(), QStringList{"L'utente ha accettato la richiesta"});
        QCOMPARE(a->cartella.leggi("CntLst.klm"), "bruno\r\n");
        QVERIFY(!mb.EstInContactList("anna"));

        // The presence refresh asks the master: bruno is on line.
        ma.ContactList[1].Stato = kFalso;
        lista->findChild<QPushButton*>("cmdAggionaCL")->click();
        Griglia& g = lista->griglia();
        QCOMPARE(g.righe(), 2);
        QCOMPARE(g.testo(1, 1) + '|' + g.testo(1, 2), "bruno|Connesso");
        QCOMPARE(a->dialoghi.messaggi.size(), 1);
    }
};

QTEST_MAIN(TestChatLobby)
#include "chat_lobby.moc"
