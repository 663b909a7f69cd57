#include "lobby/frmclient.h"
#include "lobby/frmlistautenti.h"
#include "lobby/module1.h"
#include "room/griglia.h"
#include "tests/servers/master/masterclient.h"
#include "tests/support/bancolobby.h"
#include "tests/support/lobbyvoce.h"
#include "tests/support/postgres.h"
#include "tests/support/processomaster.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::ProcessoMaster;

constexpr int kAttesa = 20000;

// Two masters on one database, the second on another address: when the
// first dies, "Connetti" lands on the second with the same account, and the
// contact list shows who is on line there.
class TestServiceFailover final : public QObject
{
    Q_OBJECT
    TestPostgres m_postgres;
    int m_databases = 0;

    // A fresh database on the test's own server, as a master's configuration names it.
    QByteArray nuovoDatabase()
    {
        const QString nome = QStringLiteral("kalimo%1").arg(++m_databases);
        if (!m_postgres.createDatabase(nome))
            return {};
        return QStringLiteral("[Database]\nDriver=postgresql\nPort=%1\nName=%2\n")
            .arg(m_postgres.port())
            .arg(nome)
            .toUtf8();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_postgres.start(), qPrintable(m_postgres.error())); }

    void connettiSulSecondoMaster()
    {
        const QByteArray database = nuovoDatabase();
        QVERIFY(!database.isEmpty());
        ProcessoMaster primo;
        ProcessoMaster secondo;
        QVERIFY2(primo.avvia(database), qPrintable(primo.registro()));
        QVERIFY2(secondo.avvia(database + "[Network]\nAddress=127.0.0.2\n"),
                 qPrintable(secondo.registro()));

        for (const char* nick : {"anna", "bruno"})
            QCOMPARE(registerAccount(*MasterClient::to(primo.porta()), nick, "Segreto1"), "00001");
        // Bruno is on line on the second master.
        auto bruno = MasterClient::to(secondo.porta(), QHostAddress("127.0.0.2"));
        QCOMPARE(login(*bruno, "bruno", "Segreto1"), "00001");

        BancoLobby banco(kAttesa);
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", primo.porta()) +
                            "Secondo | 127.0.0.2 | " + QByteArray::number(secondo.porta()) +
                            " | kalimo\r\n");
        banco.cartella.scrivi("User.ini", "USERNAME : anna\r\nPASSWORD : Segreto1\r\n");
        banco.cartella.scrivi("CntLst.klm", "bruno\r\n");
        Module1& m = banco.modulo();
        m.CaricaContactList();

        primo.uccidi();
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

    // ana on one master invites bea, on the other, from a room of the first: both voice clients
    // meet in the private room.
    void invitoTraDueMaster()
    {
        QTemporaryDir dir;
        test::preparaAmbienteVoce(dir);
        const QByteArray database = nuovoDatabase();
        QVERIFY(!database.isEmpty());
        ProcessoMaster primo, secondo;
        QVERIFY2(primo.avvia(database + test::porteStanze() +
                             "[PermanentRooms]\nsize=1\n1\\Name=Piazza\n1\\MaxUsers=5\n"),
                 qPrintable(primo.registro()));
        QVERIFY2(secondo.avvia(database + test::porteStanze()), qPrintable(secondo.registro()));
        QCOMPARE(registerAccount(*MasterClient::to(primo.porta()), "ana", "Segreto1"), "00001");
        QCOMPARE(registerAccount(*MasterClient::to(secondo.porta()), "bea", "Segreto1"), "00001");
        test::Lobby a(dir, primo.porta(), "ana"), b(dir, secondo.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);

        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));
        a.entra("Piazza");
        QVERIFY(a.avviatore.vede({"grid|ana"}));
        QVERIFY(b.vedeStanze({"Piazza 1 / 5"}));
        b.entra("Piazza");
        QVERIFY(b.avviatore.vede({"grid|ana,bea"}));

        // Both voice clients linked to their lobbies: a request sent before is lost.
        for (test::Lobby* l : {&a, &b})
            QTRY_COMPARE_WITH_TIMEOUT(l->m->IndiceWskVoice, qint16(1), test::kAttesaVoce);
        a.avviatore.comando("invite bea");
        const QStringList insieme{"grid|ana,bea", "grid|bea,ana"};
        QVERIFY(b.avviatore.vede(insieme, 2));
        QVERIFY(a.avviatore.vede(insieme, 2));
        for (test::Lobby* l : {&a, &b})
            QCOMPARE(l->m->StanzaCorrente().Nome, "Stanza di ana e bea");
    }
};

QTEST_MAIN(TestServiceFailover)
#include "service_failover.moc"
