#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

// A PostgreSQL server of the test's own: initdb and postgres in a temporary
// folder, on a free loopback port, trusting local connections. PostgreSQL
// refuses to run as root, so under root both run as the `postgres` system
// user in a folder it owns.
class TestPostgres final
{
public:
    ~TestPostgres() { stop(); }

    static QString user() { return QStringLiteral("kalimo"); }
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }

    bool start()
    {
        if (!findPrograms() || !makeFolder())
            return false;
        QProcess init;
        prepare(init, m_initdb,
                {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), user(),
                 QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"),
                 QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                 QStringLiteral("--no-sync")});
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
        prepare(*m_server, m_postgres,
                {QStringLiteral("-D"), dataDir(), QStringLiteral("-p"), QString::number(m_port),
                 QStringLiteral("-k"), m_dir->path(), QStringLiteral("-c"),
                 QStringLiteral("listen_addresses=127.0.0.1"), QStringLiteral("-c"),
                 QStringLiteral("fsync=off"), QStringLiteral("-c"),
                 QStringLiteral("max_connections=300")});
        // Into a file: a pipe nobody reads would stall the server once full.
        m_server->setStandardOutputFile(m_dir->filePath(QStringLiteral("server.log")),
                                        QIODevice::Append);
        m_server->start();
        if (!m_server->waitForStarted(10000))
            return fail(QStringLiteral("postgres did not start"));
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            if (m_server->state() == QProcess::NotRunning)
                return fail(QStringLiteral("postgres ended: ") + log());
            if (ping())
                return true;
            m_server->waitForFinished(100);
        }
        return fail(QStringLiteral("postgres does not accept connections"));
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
            ok = db.open();
            QSqlQuery q(db);
            ok = ok && q.exec(statement);
            if (!ok)
                m_error = db.lastError().text() + QLatin1Char(' ') + q.lastError().text();
            db.close();
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

    QString log() const
    {
        QFile f(m_dir->filePath(QStringLiteral("server.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll().right(2000))
                                           : QString();
    }

    QString dataDir() const { return m_dir->filePath(QStringLiteral("data")); }

    bool ping() { return exec(QStringLiteral("postgres"), QStringLiteral("SELECT 1")); }

    bool findPrograms()
    {
        m_initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        m_postgres = QStandardPaths::findExecutable(QStringLiteral("postgres"));
        // Debian keeps them out of PATH, one folder per major version.
        const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                         .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& v : versions) {
            const QString bin =
                QStringLiteral("/usr/lib/postgresql/") + v + QStringLiteral("/bin/");
            if (m_initdb.isEmpty() && QFileInfo(bin + QStringLiteral("initdb")).isExecutable())
                m_initdb = bin + QStringLiteral("initdb");
            if (m_postgres.isEmpty() && QFileInfo(bin + QStringLiteral("postgres")).isExecutable())
                m_postgres = bin + QStringLiteral("postgres");
        }
        if (m_initdb.isEmpty() || m_postgres.isEmpty())
            return fail(QStringLiteral("initdb or postgres not found (install postgresql)"));
        return true;
    }

    bool makeFolder()
    {
        m_dir =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kalimo-pg-XXXXXX"));
        if (!m_dir->isValid())
            return fail(QStringLiteral("no temporary folder"));
        if (::geteuid() != 0)
            return true;
        const passwd* pw = ::getpwnam("postgres");
        if (!pw)
            return fail(QStringLiteral("running as root, but there is no postgres user"));
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        if (::chown(QFile::encodeName(m_dir->path()).constData(), m_uid, m_gid) != 0)
            return fail(QStringLiteral("cannot hand the folder to postgres"));
        return true;
    }

    void prepare(QProcess& p, const QString& program, const QStringList& arguments) const
    {
        p.setProgram(program);
        p.setArguments(arguments);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir->path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        p.setProcessEnvironment(env);
        if (::geteuid() == 0) {
            const uid_t uid = m_uid;
            const gid_t gid = m_gid;
            p.setChildProcessModifier([uid, gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            });
        }
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_server;
    QString m_initdb;
    QString m_postgres;
    quint16 m_port = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QString m_error;
};
