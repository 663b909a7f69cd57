#include "fakemaster.h"
#include "membro.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

using namespace kalimo;
using namespace kalimo::roomhost::test;
using kalimo::session::SessionResult;

namespace {

// The real kalimo-roomhost, started the way the master starts it.
class RoomProcess final
{
public:
    RoomProcess()
    {
        m_process.setProgram(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-roomhost");
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            log += QString::fromLocal8Bit(m_process.readAllStandardError());
        });
    }
    ~RoomProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWait);
        }
    }

    // Room data on standard input; the port it listens on, 0 on failure.
    quint16 start(const QString& data, const QStringList& args = {})
    {
        m_process.setArguments(args);
        m_process.start();
        if (!m_process.waitForStarted(kWait))
            return 0;
        m_process.write(data.toUtf8());
        m_process.closeWriteChannel();
        static const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
        (void)QTest::qWaitFor(
            [&] {
                return listening.match(log).hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            kWait);
        return quint16(listening.match(log).captured(1).toUInt());
    }
    bool waitEnd()
    {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, kWait) &&
               m_process.exitStatus() == QProcess::NormalExit;
    }
    int exitCode() const { return m_process.exitCode(); }
    void signal(int sig) { ::kill(pid_t(m_process.processId()), sig); }

    QString log;

private:
    QProcess m_process;
};

const QString kRoom = "name=Sala viva\nmax_users=4\nbind=127.0.0.1\npermanent=true\n";

} // namespace

class TestRoomHostProcess final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roomDataOnStdinThenSigterm()
    {
        RoomProcess room;
        const quint16 port = room.start(kRoom + "password=chiave segreta\n");
        QVERIFY2(port != 0, qPrintable(room.log));
        Membro ana("Ana"), eva("Eva");
        QCOMPARE(eva.join(port, "sbagliata"), int(SessionResult::WrongPassword));
        QCOMPARE(ana.join(port, "chiave segreta"), 0);
        QVERIFY(ana.waitMessages(1));
        QCOMPARE(ana.payloads.first(), wire("0002 | Ana ~ %1 $ ").arg(ana.id));
        room.signal(SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(ana.terminated, int(SessionResult::HostClosed), kWait);
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 0);
        for (const char* line : {"refused \"Eva\": wrong room password", "join: \"Ana\"",
                                 "ends: terminated (SIGTERM)"})
            QVERIFY2(room.log.contains(line), line);
    }

    void configFileAndMasterEndOrder()
    {
        FakeMaster master;
        QVERIFY(master.server.isListening());
        QTemporaryDir dir;
        QFile file(dir.filePath("room.conf"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QString("name=Sala viva\nmax_users=4\nmax_speakers=2\nbind=127.0.0.1\n"
                           "master_host=127.0.0.1\nmaster_port=%1\nserver_password=spw\n"
                           "identity=Ana\n")
                       .arg(master.server.serverPort())
                       .toUtf8());
        file.close();
        RoomProcess room;
        const quint16 port = room.start({}, {"--config", file.fileName()});
        QVERIFY2(port != 0, qPrintable(room.log));
        QVERIFY(master.waitMessages(1));
        QCOMPARE(
            master.received,
            wire("0001 | 1 | Sala viva ~ 4 ~ 2 ~ False ~  ~ spw ~ False ~ %1 ~ Ana $ ").arg(port));
        master.socket->write(encodeText(wire("0001 | $ ")));
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 0);
        QVERIFY(room.log.contains("ends: the master ordered the room to end"));
    }

    void refusesBadRoomData()
    {
        RoomProcess room;
        QCOMPARE(room.start("name=Sala\nmax_users=4\npassword=x\nport=70000\n"), quint16(0));
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 2);
        QVERIFY2(room.log.contains("bad room data: line 4: port"), qPrintable(room.log));
    }
};

QTEST_GUILESS_MAIN(TestRoomHostProcess)
#include "tst_roomhostprocess.moc"
