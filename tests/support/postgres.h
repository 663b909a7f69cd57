#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

// The test's own PostgreSQL on a free loopback port, trusting local connections; under root it
// runs as the `postgres` user, since PostgreSQL refuses root.
class TestPostgres final
{
public:
    ~TestPostgres() { stop(); }

    static QString user() { return QStringLiteral("kalimo"); }
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }

    bool start()
    {
        m_dir =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kalimo-pg-XXXXXX"));
        const passwd* pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
        if (pw &&
            ::chown(QFile::encodeName(m_dir->path()).constData(), pw->pw_uid, pw->pw_gid) == 0) {
            m_uid = pw->pw_uid;
            m_gid = pw->pw_gid;
        } else if (::geteuid() == 0) {
            return fail(QStringLiteral("running as root, but no postgres user to own a folder"));
        }
        QProcess init;
        if (!prepare(init, QStringLiteral("initdb"),
                     QStringLiteral("-D %1 -U %2 -A trust -E UTF8 --locale=C --no-sync")
                         .arg(m_dir->filePath(QStringLiteral("data")), user())))
            return false;
        init.start();
        if (!init.waitForFinished(120000) || init.exitCode() != 0)
            return fail(QStringLiteral("initdb failed: ") + QString::fromLocal8Bit(init.readAll()));
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return fail(QStringLiteral("no free port"));
        m_port = probe.serverPort();
        probe.close();
        return launch();
    }

    // Starts the stopped server again on the same folder and port.
    bool launch()
    {
        m_server = std::make_unique<QProcess>();
        if (!prepare(*m_server, QStringLiteral("postgres"),
                     QStringLiteral("-D %1 -p %2 -k %3 -c listen_addresses=127.0.0.1 -c fsync=off "
                                    "-c max_connections=300")
                         .arg(m_dir->filePath(QStringLiteral("data")))
                         .arg(m_port)
                         .arg(m_dir->path())))
            return false;
        // Into a file: a pipe nobody reads would stall the server once full.
        const QString log = m_dir->filePath(QStringLiteral("server.log"));
        m_server->setStandardOutputFile(log, QIODevice::Append);
        m_server->start();
        const QDeadlineTimer deadline(60000);
        while (m_server->waitForStarted(10000) && !deadline.hasExpired() &&
               m_server->state() == QProcess::Running) {
            if (exec(QStringLiteral("postgres"), QStringLiteral("SELECT 1")))
                return true;
            m_server->waitForFinished(100);
        }
        QFile file(log);
        (void)file.open(QIODevice::ReadOnly);
        return fail(QStringLiteral("postgres does not serve: ") +
                    QString::fromLocal8Bit(file.readAll().right(2000)));
    }

    // A fast shutdown: sessions are cut, as when the server goes away.
    void stop()
    {
        if (!m_server || m_server->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_server->processId()), SIGINT);
        if (!m_server->waitForFinished(30000)) {
            m_server->kill();
            m_server->waitForFinished(5000);
        }
    }

    // A fresh database for one test, so tests do not see each other's rows.
    bool createDatabase(const QString& name)
    {
        return exec(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE ") + name);
    }

    bool exec(const QString& database, const QString& statement)
    {
        const QString connection = QStringLiteral("test-postgres-admin");
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(m_port);
            db.setDatabaseName(database);
            db.setUserName(user());
            QSqlQuery q(db);
            ok = db.open() && q.exec(statement);
            m_error = ok ? QString() : db.lastError().text() + u' ' + q.lastError().text();
        }
        QSqlDatabase::removeDatabase(connection);
        return ok;
    }

private:
    bool fail(const QString& why)
    {
        m_error = why;
        return false;
    }

    bool prepare(QProcess& p, const QString& program, const QString& arguments)
    {
        // Debian keeps the programs out of PATH, one folder per major version.
        QStringList folders;
        for (const QFileInfo& v : QDir(QStringLiteral("/usr/lib/postgresql"))
                                      .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
            folders << v.filePath() + QStringLiteral("/bin");
        const QString path = QStandardPaths::findExecutable(program, folders);
        if (path.isEmpty())
            return fail(program + QStringLiteral(" not found (install postgresql)"));
        p.setProgram(path);
        p.setArguments(arguments.split(u' '));
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir->path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        p.setProcessEnvironment(env);
        if (m_uid != 0) {
            p.setChildProcessModifier([uid = m_uid, gid = m_gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            });
        }
        return true;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_server;
    quint16 m_port = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QString m_error;
};
