#include "lobby/cartellaprogramma.h"

#include "platform/desktop/installazione.h"
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

void preparaCartellaUtente(const QString& cartella, const QString& cartellaDati)
{
    inizializzaRisorse();
    const QDir dir(cartella);
    const QString sorgente =
        cartellaDati.isEmpty() ? QStringLiteral(":/kalimo/") : cartellaDati + u'/';
    const auto copia = [&dir, &sorgente](const QString& nome) {
        const QString destinazione = dir.filePath(nome);
        if (QFileInfo::exists(destinazione))
            return;
        if (QFile::copy(sorgente + nome, destinazione))
            QFile::setPermissions(destinazione, QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ReadGroup | QFile::ReadOther);
    };
    if (!QFileInfo::exists(dir.filePath(QStringLiteral("Masters.old.txt"))))
        copia(QStringLiteral("Masters.txt"));
    for (const char* testo :
         {"miniguida.txt", "inforegistrazione.txt", "miniguida_en.txt", "inforegistrazione_en.txt"})
        copia(QString::fromLatin1(testo));
}

QString cartellaFileSpediti()
{
    const QString installati = cartellaDatiInstallati(QCoreApplication::applicationDirPath());
    return installati.isEmpty() ? QCoreApplication::applicationDirPath() : installati;
}

QString cartellaProgrammaPredefinita()
{
    const QString daAmbiente = qEnvironmentVariable("KALIMO_HOME");
    const QString cartellaUtente =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    // An installed copy never writes beside its programs, even when it could (root).
    const QString dati = cartellaDatiInstallati(QCoreApplication::applicationDirPath());
    const QString eseguibile = dati.isEmpty() ? QCoreApplication::applicationDirPath() : QString();
    const QString scelta = scegliCartellaProgramma(daAmbiente, eseguibile, cartellaUtente);
    if (daAmbiente.isEmpty() && scelta == QDir::cleanPath(cartellaUtente)) {
        QDir().mkpath(scelta);
        preparaCartellaUtente(scelta, dati);
    }
    return scelta;
}

} // namespace kalimo::lobby
