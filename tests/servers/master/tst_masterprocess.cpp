#include "masterclient.h"

#include "platform/termination/processes.h"
#include "servers/master/accountstore.h"
#include "tests/support/processomaster.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace kalimo::master;
using kalimo::test::ProcessoMaster;

namespace {

// Runs kalimo-master to its end: "code:" and all it wrote (code -1 if it hangs).
QString runToEnd(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master", args);
    const int code = p.waitForFinished(20000) ? p.exitCode() : -1;
    return QString::number(code) + ':' + QString::fromLocal8Bit(p.readAll());
}

// Many accounts from one address.
const QByteArray kIni = "[Service]\nChiave=kalimo\nMaxUsers=5000\n"
                        "[Brakes]\nConnectionsPerAddress=5000\nRegistrationsPerAddress=5000\n";

} // namespace

class TestMasterProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void accountsSurviveAKill()
    {
        QStringList confirmed{"base"};
        ProcessoMaster m;
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        {
            auto c = MasterClient::to(m.porta());
            QCOMPARE(c->replyCodes({signUp("base"), loginAs("base")}), "00001 00001");
            QTRY_VERIFY(m.registro().contains("registration base created") &&
                        m.registro().contains("login base accepted"));
            std::vector<std::unique_ptr<MasterClient>> batch;
            for (int i = 0; i < 40; ++i) {
                batch.push_back(MasterClient::to(m.porta()));
                batch.back()->request(u"0010", {QString("utente%1").arg(i), "kalimo", "pw1",
                                                "someone@example.org", "-1"});
            }
            // Killed once some of the batch are confirmed and others still run.
            QVERIFY(QTest::qWaitFor([&] { return batch.front()->queued() > 0; }, 20000));
            m.uccidi();
            for (int i = 0; i < int(batch.size()); ++i) {
                if (batch[i]->nextCode(0) == "00001")
                    confirmed << QString("utente%1").arg(i);
            }
        }
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(QDir(m.dati()).filePath(AccountStore::fileName()));
            QSqlQuery q(db);
            QVERIFY(db.open() && q.exec("PRAGMA integrity_check") && q.next());
            QCOMPARE(q.value(0).toString(), "ok");
        }
        QSqlDatabase::removeDatabase("check");
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        for (const QString& nick : confirmed)
            QCOMPARE(login(*MasterClient::to(m.porta()), nick, nick == "base" ? "secret" : "pw1"),
                     "00001");
        QVERIFY(m.ferma());
    }

    void commandLine()
    {
        ProcessoMaster m;
        QVERIFY(runToEnd({"--config", m.config() + ".missing", "--data", m.dati()})
                    .contains(QRegularExpression("(?s)^1:.*not found")));
        QVERIFY(runToEnd({"--port", "banana"}).contains(QRegularExpression("(?s)^2:.*banana")));
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        QVERIFY(runToEnd({"--config", m.config(), "--data", m.dati(), "--port",
                          QString::number(m.porta())})
                    .contains(QRegularExpression("(?s)^1:.*cannot listen")));
        // The account tool works beside a running master.
        auto c = MasterClient::to(m.porta());
        QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
        QVERIFY(runToEnd({"--data", m.dati(), "--disable", "anna"}).startsWith("0:"));
        QCOMPARE(login(*c, "anna", "secret"), "00004");
        QVERIFY(runToEnd({"--data", m.dati(), "--enable", "anna"}).startsWith("0:"));
        QCOMPARE(login(*c, "anna", "secret"), "00001");
        QVERIFY(runToEnd({"--data", m.dati(), "--disable", "nobody"})
                    .contains(QRegularExpression("(?s)^1:.*nobody")));
        QVERIFY(m.ferma());
    }

    void thousandConnections()
    {
        QVERIFY(kalimo::raiseOpenFileLimit() > 2200);
        ProcessoMaster m;
        QVERIFY2(m.avvia(kIni), qPrintable(m.registro()));
        QCOMPARE(registerAccount(*MasterClient::to(m.porta()), "anna", "secret"), "00001");
        std::vector<std::unique_ptr<MasterClient>> clients(1000);
        for (auto& c : clients) {
            c = std::make_unique<MasterClient>();
            c->socket().connectToHost(QHostAddress::LocalHost, m.porta());
        }
        const auto all = [&](auto holds) {
            return std::all_of(clients.begin(), clients.end(),
                               [&](const auto& c) { return holds(*c); });
        };
        QVERIFY(
            QTest::qWaitFor([&] { return all([](auto& c) { return c.isConnected(); }); }, 60000));
        // Every one of them asks at once; every one gets its own answer.
        for (auto& c : clients)
            c->request(u"0010", {"anna", "kalimo", "secret", "someone@example.org", "0"});
        QVERIFY(QTest::qWaitFor(
            [&] { return all([](auto& c) { return c.queued() > 0 || !c.isConnected(); }); },
            120000));
        QVERIFY(all([](auto& c) { return c.nextCode(0) == "00005" && c.isConnected(); }));
        clients.clear();
        QVERIFY(m.ferma());
    }

    void stopEndsRoomHosts()
    {
        const quint16 first = freePortRun(4);
        QVERIFY(first != 0);
        ProcessoMaster m;
        QVERIFY2(m.avvia(kIni + QString("[Rooms]\nBindAddress=127.0.0.1\nFirstUdpPort=%1\n"
                                        "LastUdpPort=%2\n[PermanentRooms]\nsize=1\n1\\Name=P\n")
                                    .arg(first)
                                    .arg(first + 3)
                                    .toUtf8()),
                 qPrintable(m.registro()));
        auto c = MasterClient::to(m.porta());
        QCOMPARE(c->replyCodes({signUp("anna"), loginAs("anna"), newRoom("Sala")}),
                 "00001 00001 00071");
        QVERIFY(QTest::qWaitFor([&] { return m.registro().contains("\"P\" (permanent) open"); }));
        QFile children(QString("/proc/%1/task/%1/children").arg(m.pid()));
        QVERIFY(children.open(QIODevice::ReadOnly));
        const QStringList hosts =
            QString::fromLatin1(children.readAll()).split(' ', Qt::SkipEmptyParts);
        QCOMPARE(hosts.size(), 2);
        QVERIFY(m.ferma());
        for (const QString& host : hosts)
            QVERIFY2(processGone(host.toLongLong()), qPrintable(m.registro()));
    }
};

QTEST_GUILESS_MAIN(TestMasterProcess)
#include "tst_masterprocess.moc"
