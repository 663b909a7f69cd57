#include "lobby/cartellaprogramma.h"

#include "resources/risorse.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace kalimo::lobby {

QString scegliCartellaProgramma(const QString& daAmbiente, const QString& cartellaEseguibile,
                                const QString& cartellaUtente)
{
    if (!daAmbiente.isEmpty())
        return QDir::cleanPath(daAmbiente);
    if (!cartellaEseguibile.isEmpty() && cartellaScrivibile(cartellaEseguibile))
        return QDir::cleanPath(cartellaEseguibile);
    return QDir::cleanPath(cartellaUtente);
}

bool cartellaScrivibile(const QString& cartella)
{
    // Permission bits do not tell the whole story (read-only mounts, root):
    // try to create a file.
    QTemporaryFile prova(QDir(cartella).filePath(QStringLiteral(".kalimo-prova-XXXXXX")));
    return prova.open();
}

void preparaCartellaUtente(const QString& cartella)
{
    inizializzaRisorse();
    const QDir dir(cartella);
    const auto copia = [&dir](const QString& nome) {
        const QString destinazione = dir.filePath(nome);
        if (QFileInfo::exists(destinazione))
            return;
        if (QFile::copy(QStringLiteral(":/kalimo/") + nome, destinazione))
            QFile::setPermissions(destinazione, QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ReadGroup | QFile::ReadOther);
    };
    if (!QFileInfo::exists(dir.filePath(QStringLiteral("Masters.old.txt"))))
        copia(QStringLiteral("Masters.txt"));
    copia(QStringLiteral("miniguida.txt"));
    copia(QStringLiteral("inforegistrazione.txt"));
}

QString cartellaProgrammaPredefinita()
{
    const QString daAmbiente = qEnvironmentVariable("KALIMO_HOME");
    const QString cartellaUtente =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString scelta =
        scegliCartellaProgramma(daAmbiente, QCoreApplication::applicationDirPath(), cartellaUtente);
    if (daAmbiente.isEmpty() && scelta == QDir::cleanPath(cartellaUtente)) {
        QDir().mkpath(scelta);
        preparaCartellaUtente(scelta);
    }
    return scelta;
}

} // namespace kalimo::lobby
