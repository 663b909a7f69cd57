#include "masterclient.h"

#include "platform/termination/processes.h"
#include "servers/master/accountstore.h"
#include "servers/master/masteroptions.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace kalimo::master;

namespace {

QString program()
{
    return qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master";
}

// The real kalimo-master, started the way an operator would.
class MasterProcess final
{
public:
    bool start(const QStringList& args)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        });
        m_process.start(program(), args);
        static const QRegularExpression listening("listening on [^ ]+:(\\d+)");
        QRegularExpressionMatch match;
        (void)QTest::qWaitFor(
            [&] {
                match = listening.match(m_log);
                return match.hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            20000);
        port = quint16(match.captured(1).toUInt());
        return port != 0;
    }

    bool stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(20000) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }

    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(20000);
    }

    QString log() const { return m_log; }
    qint64 pid() const { return m_process.processId(); }
    quint16 port = 0;

private:
    QProcess m_process;
    QString m_log;
};

// Runs kalimo-master to its end: exit code (-1 if it hangs) and all it wrote.
std::pair<int, QString> runToEnd(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program(), args);
    const bool ended = p.waitForFinished(20000);
    return {ended ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAll())};
}

} // namespace

class TestMasterProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup() { m_dir.reset(); }
    void accountsSurviveAKill();
    void commandLine();
    void silentLobbyDroppedAndNickFreed();
    void thousandConnections();
    void stopEndsRoomHosts();

private:
    QStringList args(const QStringList& extra = {}) const
    {
        return QStringList{"--config", m_config, "--data", m_data, "--port", "0"} + extra;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_config;
    QString m_data;
};

void TestMasterProcess::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_data = m_dir->filePath("data");
    m_config = m_dir->filePath("master.ini");
    QFile f(m_config);
    QVERIFY(f.open(QIODevice::WriteOnly));
    // The cheapest argon2id cost keeps the suite fast.
    f.write("[Service]\nChiave=kalimo\nMaxUsers=5000\n"
            "[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n"
            "[Brakes]\nConnectionsPerAddress=5000\nRegistrationsPerAddress=5000\n");
}

void TestMasterProcess::accountsSurviveAKill()
{
    QStringList confirmed{"base"};
    {
        MasterProcess m;
        QVERIFY2(m.start(args()), qPrintable(m.log()));
        auto c = MasterClient::to(m.port);
        QCOMPARE(registerAccount(*c, "base", "secret"), "00001");
        QCOMPARE(login(*c, "base", "secret"), "00001");
        QTRY_VERIFY(m.log().contains("registration base created") &&
                    m.log().contains("login base accepted"));
        std::vector<std::unique_ptr<MasterClient>> batch;
        for (int i = 0; i < 40; ++i) {
            batch.push_back(MasterClient::to(m.port));
            batch.back()->request(u"0010", {QString("utente%1").arg(i), "kalimo", "pw1",
                                            "someone@example.org", "-1"});
        }
        // Killed once some of the batch are confirmed and others still run.
        QVERIFY(QTest::qWaitFor([&] { return batch.front()->queued() > 0; }, 20000));
        m.kill();
        for (int i = 0; i < int(batch.size()); ++i) {
            if (batch[i]->nextCode(0) == "00001")
                confirmed << QString("utente%1").arg(i);
        }
    }
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(QDir(m_data).filePath(AccountStore::fileName()));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("PRAGMA integrity_check") && q.next());
        QCOMPARE(q.value(0).toString(), "ok");
    }
    QSqlDatabase::removeDatabase("check");
    {
        AccountStore store(m_data);
        for (const QString& nick : confirmed)
            QCOMPARE(store.find(nick).status, StoreStatus::Ok);
    }
    MasterProcess again;
    QVERIFY2(again.start(args()), qPrintable(again.log()));
    auto c = MasterClient::to(again.port);
    QCOMPARE(registerAccount(*c, "base", "x12"), "00002");
    QCOMPARE(registerAccount(*c, "base", "secret", "kalimo", "0"), "00005");
    QCOMPARE(login(*c, "base", "secret"), "00001");
    if (confirmed.size() > 1)
        QCOMPARE(login(*MasterClient::to(again.port), confirmed.last(), "pw1"), "00001");
    QVERIFY(again.stop());
}

void TestMasterProcess::commandLine()
{
    auto [code, out] = runToEnd({"--config", m_dir->filePath("missing.ini"), "--data", m_data});
    QCOMPARE(code, 1);
    QVERIFY(out.contains("not found"));
    std::tie(code, out) = runToEnd({"--port", "banana"});
    QCOMPARE(code, 2);
    QVERIFY(out.contains("banana"));

    MasterProcess m;
    QVERIFY2(m.start(args()), qPrintable(m.log()));
    std::tie(code, out) =
        runToEnd({"--config", m_config, "--data", m_data, "--port", QString::number(m.port)});
    QCOMPARE(code, 1);
    QVERIFY(out.contains("cannot listen"));
    // The account tool works beside a running master.
    auto c = MasterClient::to(m.port);
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    std::tie(code, out) = runToEnd({"--data", m_data, "--disable", "anna"});
    QCOMPARE(code, 0);
    QVERIFY(out.contains("anna"));
    QCOMPARE(login(*c, "anna", "secret"), "00004");
    QCOMPARE(runToEnd({"--data", m_data, "--enable", "anna"}).first, 0);
    QCOMPARE(login(*c, "anna", "secret"), "00001");
    std::tie(code, out) = runToEnd({"--data", m_data, "--disable", "nobody"});
    QCOMPARE(code, 1);
    QVERIFY(out.contains("nobody"));
    QVERIFY(m.stop());
}

void TestMasterProcess::silentLobbyDroppedAndNickFreed()
{
    MasterProcess m;
    QVERIFY2(m.start(args({"--check-interval-ms", "30"})), qPrintable(m.log()));
    QCOMPARE(registerAccount(*MasterClient::to(m.port), "anna", "secret"), "00001");
    auto silent = MasterClient::to(m.port);
    QCOMPARE(login(*silent, "anna", "secret"), "00001");
    QVERIFY(silent->waitClosed());
    QCOMPARE(silent->checkTokens().size(), 2);
    QTRY_VERIFY(m.log().contains("anna dropped: two checks unanswered"));
    QCOMPARE(login(*MasterClient::to(m.port), "anna", "secret"), "00001");
    QVERIFY(m.stop());
}

void TestMasterProcess::thousandConnections()
{
    QVERIFY(kalimo::raiseOpenFileLimit() > 2200);
    MasterProcess m;
    QVERIFY2(m.start(args()), qPrintable(m.log()));
    QCOMPARE(registerAccount(*MasterClient::to(m.port), "anna", "secret"), "00001");
    std::vector<std::unique_ptr<MasterClient>> clients(1000);
    for (auto& c : clients) {
        c = std::make_unique<MasterClient>();
        c->socket().connectToHost(QHostAddress::LocalHost, m.port);
    }
    const auto all = [&](auto holds) {
        return std::all_of(clients.begin(), clients.end(),
                           [&](const auto& c) { return holds(*c); });
    };
    QVERIFY(QTest::qWaitFor([&] { return all([](auto& c) { return c.isConnected(); }); }, 60000));
    // Every one of them asks at once; every one gets its own answer.
    for (auto& c : clients)
        c->request(u"0010", {"anna", "kalimo", "secret", "someone@example.org", "0"});
    QVERIFY(QTest::qWaitFor(
        [&] { return all([](auto& c) { return c.queued() > 0 || !c.isConnected(); }); }, 120000));
    QVERIFY(all([](auto& c) { return c.nextCode(0) == "00005" && c.isConnected(); }));
    clients.clear();
    QVERIFY(m.stop());
}

void TestMasterProcess::stopEndsRoomHosts()
{
    const quint16 first = freePortRun(4);
    QVERIFY(first != 0);
    QFile f(m_config);
    QVERIFY(f.open(QIODevice::Append));
    f.write(QString("[Rooms]\nBindAddress=127.0.0.1\nFirstUdpPort=%1\nLastUdpPort=%2\n"
                    "[PermanentRooms]\nsize=1\n1\\Name=Piazza\n")
                .arg(first)
                .arg(first + 3)
                .toUtf8());
    f.close();
    MasterProcess m;
    QVERIFY2(m.start(args()), qPrintable(m.log()));
    auto c = MasterClient::to(m.port);
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    QCOMPARE(login(*c, "anna", "secret"), "00001");
    QCOMPARE(c->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
    QVERIFY(QTest::qWaitFor([&] { return m.log().contains("room \"Piazza\" (permanent) open"); }));

    QFile children(QString("/proc/%1/task/%1/children").arg(m.pid()));
    QVERIFY(children.open(QIODevice::ReadOnly));
    const QStringList hosts =
        QString::fromLatin1(children.readAll()).split(' ', Qt::SkipEmptyParts);
    QCOMPARE(hosts.size(), 2);
    QVERIFY(m.stop());
    for (const QString& host : hosts)
        QVERIFY2(processGone(host.toLongLong()), qPrintable(m.log()));
}

QTEST_GUILESS_MAIN(TestMasterProcess)
#include "tst_masterprocess.moc"
