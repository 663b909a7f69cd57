#include "platform/desktop/programmi.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <csignal>
#include <sys/types.h>

namespace kalimo {

qint64 AvvioProgrammiQt::avvia(const QString& programma, const QString& argomenti)
{
    const QString cartella =
        m_cartella.isEmpty() ? QCoreApplication::applicationDirPath() : m_cartella;
    const QString percorso = QDir(cartella).filePath(programma);
    if (!QFileInfo(percorso).isExecutable())
        return 0;
    qint64 pid = 0;
    if (!QProcess::startDetached(percorso, {argomenti}, cartella, &pid))
        return 0;
    return pid;
}

bool AvvioProgrammiQt::chiediChiusura(qint64 idProcesso)
{
    // Never signal a process group or ourselves by mistake.
    if (idProcesso <= 0 || idProcesso == QCoreApplication::applicationPid())
        return false;
    return ::kill(static_cast<pid_t>(idProcesso), SIGTERM) == 0;
}

bool ApriFileQt::apri(const QString& percorso)
{
    if (!QFileInfo::exists(percorso))
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(percorso).absoluteFilePath()));
}

} // namespace kalimo
