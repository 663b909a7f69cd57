#include "platform/desktop/installazione.h"

#include <QDir>
#include <QFileInfo>

namespace kalimo {

QString cartellaAiutanti(const QString& cartellaProgrammi)
{
    return QDir::cleanPath(
        QDir(cartellaProgrammi).filePath(QStringLiteral(KALIMO_DA_BIN_A_AIUTANTI)));
}

QString cartellaDatiInstallati(const QString& cartellaProgrammi)
{
    const QString dati =
        QDir::cleanPath(QDir(cartellaProgrammi).filePath(QStringLiteral(KALIMO_DA_BIN_A_DATI)));
    // The master list is what an installed copy always ships.
    if (!QFileInfo(QDir(dati).filePath(QStringLiteral("Masters.txt"))).isFile())
        return {};
    return dati;
}

} // namespace kalimo
