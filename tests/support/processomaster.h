#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace kalimo::test {

// The real kalimo-master ($KALIMO_BIN_DIR) on a free loopback port, with a data folder of its own.
class ProcessoMaster final
{
public:
    ProcessoMaster()
    {
        QObject::connect(&m_processo, &QProcess::readyReadStandardError, [this] {
            m_registro += QString::fromLocal8Bit(m_processo.readAllStandardError());
        });
    }
    ~ProcessoMaster() { ferma(); }

    // `ini`: extra configuration; the cheapest password hash keeps tests fast.
    // `argomenti`: further options of the command line. Started again, it keeps its data.
    bool avvia(const QByteArray& ini = {}, const QStringList& argomenti = {})
    {
        QFile file(config());
        if (!m_cartella.isValid() || !file.open(QIODevice::WriteOnly))
            return false;
        file.write("[Accounts]\nHashOpsLimit=1\nHashMemLimitKiB=8\n" + ini);
        file.close();
        m_registro.clear();
        m_processo.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-master",
                         QStringList{"--config", config(), "--data", dati(), "--port", "0"} +
                             argomenti);
        static const QRegularExpression inAscolto("listening on [^ ]+:(\\d+)");
        (void)QTest::qWaitFor(
            [this] {
                return inAscolto.match(m_registro).hasMatch() ||
                       m_processo.state() == QProcess::NotRunning;
            },
            20000);
        m_porta = quint16(inAscolto.match(m_registro).captured(1).toUInt());
        return m_porta != 0;
    }

    // Ends it as an operator would; true when it ended cleanly.
    bool ferma()
    {
        if (m_processo.state() == QProcess::NotRunning)
            return false;
        m_processo.terminate();
        if (m_processo.waitForFinished(20000))
            return m_processo.exitStatus() == QProcess::NormalExit && m_processo.exitCode() == 0;
        uccidi();
        return false;
    }
    // Ends the master at once, as a crash would; its port is closed on return.
    void uccidi()
    {
        m_processo.kill();
        m_processo.waitForFinished(10000);
    }

    quint16 porta() const { return m_porta; }
    qint64 pid() const { return m_processo.processId(); }
    QString registro() const { return m_registro; }
    QString config() const { return m_cartella.filePath("master.ini"); }
    QString dati() const { return m_cartella.filePath("dati"); }

private:
    QTemporaryDir m_cartella;
    QProcess m_processo;
    QString m_registro;
    quint16 m_porta = 0;
};

} // namespace kalimo::test
