#pragma once

// What every bench that drives our servers from outside needs: an event loop
// spun until a condition holds, a process's memory, and one of our servers
// started beside the bench on the port it reports.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>
#include <functional>

namespace kalimo::bench {

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs, int sliceMs = 20)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, sliceMs);
    }
    return true;
}

inline void pause(int ms)
{
    waitUntil([] { return false; }, ms, 5);
}

// A /proc/PID/status field in KiB (VmRSS, VmHWM); -1 when unreadable.
inline qint64 residentKiB(qint64 pid, const char* field = "VmRSS:")
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// kalimo-master or kalimo-roomhost from the bench's own folder. Its standard
// error is drained all along (a full pipe would stall it) and only counted.
class ServerProcess final
{
public:
    ServerProcess()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { drain(); });
    }
    ~ServerProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // `input` goes to its standard input, which is closed after it. On failure
    // its start-up log is printed.
    bool start(const QString& program, const QStringList& arguments, const QByteArray& input = {})
    {
        m_process.setProgram(QCoreApplication::applicationDirPath() + u'/' + program);
        m_process.setArguments(arguments);
        m_process.start();
        m_process.write(input);
        m_process.closeWriteChannel();
        static const QRegularExpression listening(QStringLiteral("listening on [^ ]+:(\\d+)"));
        waitUntil(
            [&] {
                drain();
                return listening.match(m_startLog).hasMatch() ||
                       m_process.state() == QProcess::NotRunning;
            },
            20000);
        m_port = quint16(listening.match(m_startLog).captured(1).toUInt());
        if (m_port == 0)
            std::fprintf(stderr, "%s did not start:\n%s\n", qPrintable(program),
                         qPrintable(m_startLog));
        m_started = true;
        m_startLog.clear();
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    qint64 logBytes()
    {
        drain();
        return m_logBytes;
    }
    void killHard() { m_process.kill(); }

private:
    void drain()
    {
        const QByteArray err = m_process.readAllStandardError();
        m_logBytes += err.size();
        if (!m_started)
            m_startLog += QString::fromLocal8Bit(err);
    }

    QProcess m_process;
    QString m_startLog;
    quint16 m_port = 0;
    qint64 m_logBytes = 0;
    bool m_started = false;
};

} // namespace kalimo::bench
