#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "tests/servers/master/masterclient.h"
#include "tests/support/bancolobby.h"
#include "tests/support/postgres.h"
#include "tests/support/processomaster.h"

#include <QTest>

using namespace kalimo;
using namespace kalimo::lobby;
using test::BancoLobby;
using test::ProcessoMaster;

// Two masters on one database, the second on another address: when the first dies,
// "Connetti" lands on the second with the account registered on the first.
class TestServiceFailover final : public QObject
{
    Q_OBJECT
    TestPostgres m_postgres;

private Q_SLOTS:
    void connettiSulSecondoMaster()
    {
        QVERIFY2(m_postgres.start() && m_postgres.createDatabase("kalimo"),
                 qPrintable(m_postgres.error()));
        const QByteArray database = QString("[Database]\nDriver=postgresql\nPort=%1\nName=kalimo\n")
                                        .arg(m_postgres.port())
                                        .toUtf8();
        ProcessoMaster primo, secondo;
        QVERIFY2(primo.avvia(database), qPrintable(primo.registro()));
        QVERIFY2(secondo.avvia(database + "[Network]\nAddress=127.0.0.2\n"),
                 qPrintable(secondo.registro()));
        QCOMPARE(MasterClient::to(primo.porta())->replyCodes({signUp("anna", "Segreto1")}),
                 "00001");

        BancoLobby banco(20000);
        banco.scriviMasters(BancoLobby::rigaMaster("Primo", primo.porta()) +
                            "Secondo | 127.0.0.2 | " + QByteArray::number(secondo.porta()) +
                            " | kalimo\r\n");
        banco.cartella.scrivi("User.ini", "USERNAME : anna\r\nPASSWORD : Segreto1\r\n");
        Module1& m = banco.modulo();
        primo.uccidi();
        banco.clicConnetti();
        QVERIFY(m.ConnessoAlMaster);
        QVERIFY(banco.registroStato->testi.contains("Impossibile contattare il master Primo"));
    }
};

QTEST_MAIN(TestServiceFailover)
#include "service_failover.moc"
