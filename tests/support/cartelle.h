#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QString>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kalimo::test {

// A throw-away program folder with helpers to put files in and read them back.
class CartellaTemporanea final
{
public:
    QString percorso() const { return m_dir.path(); }
    QString file(const QString& nome) const { return QDir(m_dir.path()).filePath(nome); }
    bool esiste(const QString& nome) const { return QFile::exists(file(nome)); }

    bool scrivi(const QString& nome, const QByteArray& dati) const
    {
        QFile f(file(nome));
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(dati) == dati.size();
    }

    QByteArray leggi(const QString& nome) const
    {
        QFile f(file(nome));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};

// Makes a folder refuse new and renamed files while it lives. Ordinary users
// get a read-only mode; root ignores modes, so it gets the immutable
// attribute. attiva() is false where neither works (then skip the test).
class CartellaBloccata final
{
public:
    explicit CartellaBloccata(const QString& percorso) : m_percorso(percorso)
    {
        if (::geteuid() != 0) {
            m_permessi = QFile::permissions(percorso);
            m_attiva =
                QFile::setPermissions(percorso, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            m_modoPermessi = m_attiva;
            return;
        }
        m_attiva = impostaImmutabile(true);
    }

    ~CartellaBloccata()
    {
        if (!m_attiva)
            return;
        if (m_modoPermessi)
            QFile::setPermissions(m_percorso, m_permessi);
        else
            impostaImmutabile(false);
    }

    CartellaBloccata(const CartellaBloccata&) = delete;
    CartellaBloccata& operator=(const CartellaBloccata&) = delete;

    bool attiva() const { return m_attiva; }

private:
    bool impostaImmutabile(bool si)
    {
        const int fd = ::open(QFile::encodeName(m_percorso).constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = si ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString m_percorso;
    QFileDevice::Permissions m_permessi;
    bool m_attiva = false;
    bool m_modoPermessi = false;
};

} // namespace kalimo::test
