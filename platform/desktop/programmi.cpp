#include "platform/desktop/programmi.h"

#include "platform/desktop/installazione.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <csignal>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace kalimo {

namespace {

int apriManiglia(qint64 pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

bool segnala(int maniglia)
{
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, maniglia, SIGTERM, nullptr, 0) == 0;
#else
    Q_UNUSED(maniglia);
    return false;
#endif
}

} // namespace

AvvioProgrammiQt::~AvvioProgrammiQt()
{
    for (const int maniglia : std::as_const(m_maniglie))
        ::close(maniglia);
}

qint64 AvvioProgrammiQt::avvia(const QString& programma, const QString& argomenti)
{
    const QString cartella =
        m_cartella.isEmpty() ? QCoreApplication::applicationDirPath() : m_cartella;
    // Beside us in a build or a portable folder; in the helpers' folder once installed.
    QString percorso = QDir(cartella).filePath(programma);
    if (!QFileInfo(percorso).isExecutable())
        percorso = QDir(cartellaAiutanti(cartella)).filePath(programma);
    if (!QFileInfo(percorso).isExecutable())
        return 0;
    qint64 pid = 0;
    if (!QProcess::startDetached(percorso, {argomenti}, cartella, &pid) || pid <= 0)
        return 0;
    const int maniglia = apriManiglia(pid);
    if (maniglia >= 0) {
        if (const int vecchia = m_maniglie.value(pid, -1); vecchia >= 0)
            ::close(vecchia);
        m_maniglie.insert(pid, maniglia);
    }
    return pid;
}

bool AvvioProgrammiQt::chiediChiusura(qint64 idProcesso)
{
    // Only a process we started, through the handle taken at its start.
    const int maniglia = m_maniglie.value(idProcesso, -1);
    if (maniglia < 0)
        return false;
    const bool segnalato = segnala(maniglia);
    if (!segnalato) {
        // Gone: its handle is of no more use.
        ::close(maniglia);
        m_maniglie.remove(idProcesso);
    }
    return segnalato;
}

bool ApriFileQt::apri(const QString& percorso)
{
    if (!QFileInfo::exists(percorso))
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(percorso).absoluteFilePath()));
}

} // namespace kalimo
