#include "masterclient.h"

#include "servers/master/accountstore.h"
#include "servers/master/masteroptions.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace kalimo::master;

namespace {

// The real kalimo-master, started the way an operator would.
class MasterProcess final
{
public:
    bool start(const QStringList& args)
    {
        m_process.setProgram(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master");
        m_process.setArguments(args);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        });
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        static const QRegularExpression listening("listening on [^ ]+:(\\d+)");
        (void)QTest::qWaitFor(
            [&] {
                return listening.match(m_log).hasMatch() ||
                       m_process.state() == QProcess::NotRunning;
            },
            20000);
        const auto match = listening.match(m_log);
        if (!match.hasMatch())
            return false;
        m_port = quint16(match.captured(1).toUInt());
        return m_port != 0;
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

    quint16 port() const { return m_port; }
    QString log() const { return m_log; }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QString m_log;
    quint16 m_port = 0;
};

// Runs kalimo-master to its end; exit code and everything it wrote.
std::pair<int, QString> runToEnd(const QStringList& args)
{
    QProcess p;
    p.setProgram(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master");
    p.setArguments(args);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start();
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return {-1, "did not end"};
    }
    return {p.exitCode(), QString::fromLocal8Bit(p.readAll())};
}

} // namespace

class TestMasterProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void restartKeepsAccounts();
    void killedMidWorkLeavesReadableDatabase();
    void disableFromCommandLine();
    void silentLobbyDroppedAndNickFreed();
    void thousandConnections();
    void refusesToStartOnBadInput();
    void stopEndsRoomHosts();

private:
    QStringList args(const QStringList& extra = {}) const;
    std::unique_ptr<MasterClient> client(const MasterProcess& m);

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
            "[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n");
}

void TestMasterProcess::cleanup()
{
    m_dir.reset();
}

QStringList TestMasterProcess::args(const QStringList& extra) const
{
    return QStringList{"--config", m_config, "--data", m_data, "--port", "0"} + extra;
}

std::unique_ptr<MasterClient> TestMasterProcess::client(const MasterProcess& m)
{
    auto c = std::make_unique<MasterClient>();
    if (!c->connectTo(m.port()))
        return nullptr;
    return c;
}

void TestMasterProcess::restartKeepsAccounts()
{
    {
        MasterProcess m;
        QVERIFY2(m.start(args()), qPrintable(m.log()));
        auto c = client(m);
        QCOMPARE(registerAccount(*c, "anna", "Segreto"), "00001");
        QCOMPARE(login(*c, "anna", "Segreto"), "00001");
        QVERIFY(m.stop());
        QVERIFY(m.log().contains("registration anna created"));
        QVERIFY(m.log().contains("login anna accepted"));
    }
    MasterProcess again;
    QVERIFY2(again.start(args()), qPrintable(again.log()));
    auto c = client(again);
    QCOMPARE(registerAccount(*c, "anna", "x12"), "00002");
    QCOMPARE(registerAccount(*c, "anna", "Segreto", "kalimo", "0"), "00005");
    QCOMPARE(login(*c, "anna", "Segreto"), "00001");
    QVERIFY(again.stop());
}

void TestMasterProcess::killedMidWorkLeavesReadableDatabase()
{
    QStringList confirmed;
    {
        MasterProcess m;
        QVERIFY2(m.start(args()), qPrintable(m.log()));
        auto first = client(m);
        QCOMPARE(registerAccount(*first, "base", "secret"), "00001");
        confirmed << "base";
        std::vector<std::unique_ptr<MasterClient>> batch;
        for (int i = 0; i < 40; ++i) {
            batch.push_back(client(m));
            QVERIFY(batch.back());
            const QString nick = QString("utente%1").arg(i);
            batch.back()->request(u"0010", {nick, "kalimo", "pw1", "someone@example.org", "-1"});
        }
        // Kill as soon as some of the batch are confirmed and others still run.
        QVERIFY(QTest::qWaitFor([&] { return batch.front()->queued() > 0; }, 20000));
        m.kill();
        for (int i = 0; i < int(batch.size()); ++i) {
            const auto reply = batch[i]->next(0);
            if (reply && reply->code == "00001")
                confirmed << QString("utente%1").arg(i);
        }
    }
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(QDir(m_data).filePath(AccountStore::fileName()));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("PRAGMA integrity_check"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), "ok");
        db.close();
    }
    QSqlDatabase::removeDatabase("check");
    {
        AccountStore store(m_data);
        QVERIFY(store.count() >= confirmed.size());
        for (const QString& nick : confirmed)
            QCOMPARE(store.find(nick).status, StoreStatus::Ok);
    }
    MasterProcess again;
    QVERIFY2(again.start(args()), qPrintable(again.log()));
    auto c = client(again);
    QCOMPARE(login(*c, confirmed.last(), confirmed.last() == "base" ? "secret" : "pw1"), "00001");
    QVERIFY(again.stop());
}

void TestMasterProcess::disableFromCommandLine()
{
    MasterProcess m;
    QVERIFY2(m.start(args()), qPrintable(m.log()));
    auto c = client(m);
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    // The account tool works beside a running master.
    auto [code, out] = runToEnd({"--data", m_data, "--disable", "anna"});
    QCOMPARE(code, 0);
    QVERIFY(out.contains("anna"));
    QCOMPARE(login(*c, "anna", "secret"), "00004");
    std::tie(code, out) = runToEnd({"--data", m_data, "--enable", "anna"});
    QCOMPARE(code, 0);
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
    auto reg = client(m);
    QCOMPARE(registerAccount(*reg, "anna", "secret"), "00001");
    auto silent = client(m);
    QCOMPARE(login(*silent, "anna", "secret"), "00001");
    QVERIFY(silent->waitClosed());
    QCOMPARE(silent->checksSeen(), 2);
    auto lobby = client(m);
    lobby->setAnswerChecks(true);
    QCOMPARE(login(*lobby, "anna", "secret"), "00001");
    QVERIFY(QTest::qWaitFor([&] { return lobby->checksSeen() >= 5; }, 20000));
    QVERIFY(lobby->isConnected());
    QVERIFY(m.log().contains("anna dropped: two checks unanswered"));
    QVERIFY(m.stop());
}

void TestMasterProcess::thousandConnections()
{
    QVERIFY(raiseOpenFileLimit() > 2200);
    MasterProcess m;
    QVERIFY2(m.start(args()), qPrintable(m.log()));
    {
        auto reg = client(m);
        QCOMPARE(registerAccount(*reg, "anna", "secret"), "00001");
    }
    constexpr int kClients = 1000;
    std::vector<std::unique_ptr<MasterClient>> clients;
    clients.reserve(kClients);
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<MasterClient>();
        c->socket().connectToHost(QHostAddress::LocalHost, m.port());
        clients.push_back(std::move(c));
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const auto& c : clients) {
                if (!c->isConnected())
                    return false;
            }
            return true;
        },
        60000));
    // Every one of them asks at once; every one gets its own answer.
    for (auto& c : clients)
        c->request(u"0010", {"anna", "kalimo", "secret", "someone@example.org", "0"});
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const auto& c : clients) {
                if (c->queued() == 0 && c->isConnected())
                    return false;
            }
            return true;
        },
        120000));
    int confirmed = 0;
    for (auto& c : clients) {
        if (c->nextCode(0) == "00005" && c->isConnected())
            ++confirmed;
    }
    QCOMPARE(confirmed, kClients);
    clients.clear();
    QVERIFY(m.stop());
}

void TestMasterProcess::refusesToStartOnBadInput()
{
    auto [code, out] = runToEnd({"--config", m_dir->filePath("missing.ini"), "--data", m_data});
    QCOMPARE(code, 1);
    QVERIFY(out.contains("not found"));
    std::tie(code, out) = runToEnd({"--port", "banana"});
    QCOMPARE(code, 2);
    QVERIFY(out.contains("banana"));

    MasterProcess first;
    QVERIFY2(first.start(args()), qPrintable(first.log()));
    std::tie(code, out) =
        runToEnd({"--config", m_config, "--data", m_data, "--port", QString::number(first.port())});
    QCOMPARE(code, 1);
    QVERIFY(out.contains("cannot listen"));
    QVERIFY(first.stop());
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
    auto c = client(m);
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    QCOMPARE(login(*c, "anna", "secret"), "00001");
    QCOMPARE(c->replyTo(u"0007", {"Sala", "5", "2", ""}), "00071");
    QVERIFY(QTest::qWaitFor([&] { return m.log().contains("room \"Piazza\" (permanent) open"); }));

    const qint64 pid = m.process().processId();
    QFile children(QString("/proc/%1/task/%1/children").arg(pid));
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
