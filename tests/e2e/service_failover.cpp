#include "lobby/frmclient.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/postgres.h"
#include "tests/support/processomaster.h"

#include <QLabel>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>

#include <signal.h>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::ProcessoMaster;

namespace {

constexpr int kAttesa = 20000;

// The first reply to `code` from the master at address:port, the checks
// answered meanwhile; the socket stays open (a login stays logged in).
QString chiedi(QTcpSocket& s, const QString& address, quint16 porta, QStringView code,
               const QString& nick, const QStringList& parametri)
{
    if (s.state() != QAbstractSocket::ConnectedState) {
        s.connectToHost(address, porta);
        if (!s.waitForConnected(kAttesa))
            return QStringLiteral("none");
    }
    s.write(encodeText(masterRequest(code, nick, parametri)));
    QByteArray arrivati;
    while (s.waitForReadyRead(kAttesa)) {
        arrivati += s.readAll();
        for (const QStringList& parti : splitMessages(decodeText(arrivati))) {
            if (parti.value(0).size() == 5)
                return parti.value(0);
        }
    }
    return QStringLiteral("none");
}

} // namespace

// Two masters on one database, the second on another address: when the
// first dies, "Connetti" lands on the second with the same account, and the
// contact list shows who is on line there.
class TestServiceFailover final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void connettiSulSecondoMaster()
    {
        TestPostgres postgres;
        QVERIFY2(postgres.start(), qPrintable(postgres.error()));
        QVERIFY(postgres.createDatabase("kalimo"));
        const QByteArray database = QStringLiteral("[Database]\nDriver=postgresql\nPort=%1\n")
                                        .arg(postgres.port())
                                        .toUtf8();
        ProcessoMaster primo;
        ProcessoMaster secondo;
        QVERIFY2(primo.avvia(database), qPrintable(primo.registro()));
        QVERIFY2(secondo.avvia(database + "[Network]\nAddress=127.0.0.2\n"),
                 qPrintable(secondo.registro()));

        for (const QString& nick : {QStringLiteral("anna"), QStringLiteral("bruno")}) {
            QTcpSocket s;
            QCOMPARE(chiedi(s, "127.0.0.1", primo.porta(), u"0010", nick,
                            {nick, "kalimo", "Segreto1", "x@example.org", "-1"}),
                     "00001");
        }
        // Bruno is on line on the second master.
        QTcpSocket bruno;
        QCOMPARE(chiedi(bruno, "127.0.0.2", secondo.porta(), u"0001", "bruno",
                        {"bruno", "kalimo", "Segreto1"}),
                 "00001");

        BancoLobby banco(kAttesa);
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", primo.porta()) +
                            "Secondo | 127.0.0.2 | " + QByteArray::number(secondo.porta()) +
                            " | kalimo\r\n");
        banco.cartella.scrivi("User.ini", "USERNAME : anna\r\nPASSWORD : Segreto1\r\n");
        banco.cartella.scrivi("CntLst.klm", "bruno\r\n");
        Module1& m = banco.modulo();
        m.CaricaContactList();

        ::kill(pid_t(primo.pid()), SIGKILL);
        banco.clicConnetti();
        QVERIFY(m.ConnessoAlMaster);
        QCOMPARE(banco.client()->lblStato()->text(), "Connessione al Master Eseguita");
        QVERIFY(banco.registroStato->testi.contains("Impossibile contattare il master Primo"));

        banco.pulsante("cmdListaUtenti")->click();
        frmListaUtenti* lista = m.FrmListaUtenti();
        lista->FermaAggiornamento();
        lista->findChild<QPushButton*>("cmdAggionaCL")->click();
        Griglia& g = lista->griglia();
        QTRY_COMPARE_WITH_TIMEOUT(g.righe(), 2, kAttesa);
        QCOMPARE(g.testo(1, 1) + '|' + g.testo(1, 2), "bruno|Connesso");
    }
};

QTEST_MAIN(TestServiceFailover)
#include "service_failover.moc"
