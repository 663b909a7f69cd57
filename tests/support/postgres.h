#pragma once

#include <QDeadlineTimer>
#include <QDir>
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
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/kalimo-pg-XXXXXX");
        if (const passwd* pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr) {
            m_uid = pw->pw_uid;
            m_gid = pw->pw_gid;
        }
        if (::geteuid() == 0 && (m_uid == 0 || ::chown(QFile::encodeName(m_dir->path()).constData(),
                                                       m_uid, m_gid) != 0))
            return fail("running as root, but no postgres user to own a folder");
        QProcess init;
        QTcpServer probe;
        if (!prepare(init, "initdb",
                     {"-D", data(), "-U", user(), "-A", "trust", "-E", "UTF8", "--locale=C",
                      "--no-sync"}))
            return false;
        init.start();
        if (!init.waitForFinished(120000) || init.exitCode() != 0)
            return fail("initdb failed: " + QString::fromLocal8Bit(init.readAll()));
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return fail("no free port");
        m_port = probe.serverPort();
        probe.close();
        return launch();
    }

    // Starts the stopped server again on the same folder and port.
    bool launch()
    {
        m_server = std::make_unique<QProcess>();
        if (!prepare(*m_server, "postgres",
                     {"-D", data(), "-p", QString::number(m_port), "-k", m_dir->path(), "-c",
                      "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
                      "max_connections=300"}))
            return false;
        // Into a file: a pipe nobody reads would stall the server once full.
        const QString log = m_dir->filePath("server.log");
        m_server->setStandardOutputFile(log, QIODevice::Append);
        m_server->start();
        const QDeadlineTimer deadline(60000);
        while (m_server->waitForStarted(10000) && !deadline.hasExpired() &&
               m_server->state() == QProcess::Running) {
            if (exec("postgres", "SELECT 1"))
                return true;
            m_server->waitForFinished(100);
        }
        QFile file(log);
        (void)file.open(QIODevice::ReadOnly);
        return fail("postgres does not serve: " +
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
    bool createDatabase(const QString& name) { return exec("postgres", "CREATE DATABASE " + name); }

    bool exec(const QString& database, const QString& statement)
    {
        const QString connection = "test-postgres-admin";
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
            db.setHostName("127.0.0.1");
            db.setPort(m_port);
            db.setDatabaseName(database);
            db.setUserName(user());
            QSqlQuery q(db);
            const bool ok = db.open() && q.exec(statement);
            m_error = ok ? QString() : db.lastError().text() + u' ' + q.lastError().text();
        }
        QSqlDatabase::removeDatabase(connection);
        return m_error.isEmpty();
    }

private:
    QString data() const { return m_dir->filePath("data"); }
    bool fail(const QString& why)
    {
        m_error = why;
        return false;
    }

    bool prepare(QProcess& p, const QString& program, const QStringList& arguments)
    {
        // Debian keeps the programs out of PATH, one folder per major version.
        QStringList folders;
        for (const QFileInfo& v :
             QDir("/usr/lib/postgresql").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
            folders << v.filePath() + "/bin";
        p.setProgram(QStandardPaths::findExecutable(program, folders));
        p.setArguments(arguments);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir->path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C");
        p.setProcessEnvironment(env);
        if (m_uid != 0) {
            p.setChildProcessModifier([uid = m_uid, gid = m_gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            });
        }
        return !p.program().isEmpty() || fail(program + " not found (install postgresql)");
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_server;
    quint16 m_port = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QString m_error;
};
