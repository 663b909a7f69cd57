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
    void threeMembersThenSigterm()
    {
        RoomProcess room;
        const quint16 port = room.start(kRoom + "password=chiave segreta\n");
        QVERIFY2(port != 0, qPrintable(room.log));
        Membro ana("Ana"), bea("Bea"), cia("Cia"), eva("Eva");
        QCOMPARE(eva.join(port, "sbagliata"), int(SessionResult::WrongPassword));
        QCOMPARE(ana.join(port, "chiave segreta"), 0);
        QCOMPARE(bea.join(port, "chiave segreta"), 0);
        QVERIFY(ana.talk(true));
        QVERIFY(ana.waitMessages(3));
        QCOMPARE(cia.join(port, "chiave segreta"), 0);
        QVERIFY(cia.waitMessages(4));
        QCOMPARE(cia.payloads.mid(0, 4), (QStringList{wire("0002 | Ana ~ %1 $ ").arg(ana.id),
                                                      wire("0002 | Bea ~ %1 $ ").arg(bea.id),
                                                      wire("0002 | Cia ~ %1 $ ").arg(cia.id),
                                                      wire("0004 | %1 ~ true $ ").arg(ana.id)}));
        QVERIFY(ana.client.SendVoice("voce"));
        QTRY_COMPARE_WITH_TIMEOUT(cia.voices.size(), 1, kWait);
        QCOMPARE(cia.voices.first().from, ana.id);

        bea.client.Close();
        QVERIFY(ana.waitMessages(5));
        QCOMPARE(ana.messages.last(), (QStringList{"0003", "Bea"}));

        room.signal(SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(ana.terminated, int(SessionResult::HostClosed), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(cia.terminated, int(SessionResult::HostClosed), kWait);
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 0);
        for (const char* line :
             {"refused \"Eva\": wrong room password", "join: \"Ana\"", "floor taken by \"Ana\"",
              "leave: \"Bea\"", "ends: terminated (SIGTERM)"})
            QVERIFY2(room.log.contains(line), line);
    }

    void masterLinkAndEndOrder()
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

        Membro ana("Ana");
        QCOMPARE(ana.join(port), 0);
        QVERIFY(master.waitMessages(2));
        QCOMPARE(master.messages().last(),
                 (QStringList{"0002", "Sala viva", QString::number(ana.id), "Ana", "", "False"}));

        master.socket->write(encodeText(wire("0001 | $ ")));
        QTRY_COMPARE_WITH_TIMEOUT(ana.terminated, int(SessionResult::HostClosed), kWait);
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 0);
        QVERIFY(room.log.contains("linked to the master"));
        QVERIFY(room.log.contains("ends: the master ordered the room to end"));
    }

    void endsWhenNobodyJoins()
    {
        RoomProcess room;
        QVERIFY(room.start("name=Vuota\nmax_users=2\nbind=127.0.0.1\nfirst_join_timeout_ms=50\n") !=
                0);
        QVERIFY(room.waitEnd());
        QCOMPARE(room.exitCode(), 0);
        QVERIFY(room.log.contains("ends: nobody joined within 50 ms"));
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
