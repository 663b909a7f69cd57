#include "platform/desktop/lingua.h"

#include "resources/risorse.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

namespace kalimo {

namespace {

QString g_lingua = QStringLiteral("it");

} // namespace

QString linguaPer(const QStringList& lingue)
{
    // Only the first choice counts: a user who puts Italian first gets it.
    const QString prima = lingue.value(0);
    if (prima == u"en" || prima.startsWith(u"en-") || prima.startsWith(u"en_"))
        return QStringLiteral("en");
    return QStringLiteral("it");
}

QString installaTraduzione()
{
    const QString lingua = linguaPer(QLocale::system().uiLanguages());
    if (lingua == u"it")
        return g_lingua;
    inizializzaRisorse();
    auto* traduttore = new QTranslator(QCoreApplication::instance());
    if (traduttore->load(QStringLiteral(":/kalimo/traduzioni/kalimo_") + lingua) &&
        QCoreApplication::installTranslator(traduttore)) {
        g_lingua = lingua;
    } else {
        delete traduttore;
    }
    return g_lingua;
}

QString linguaInterfaccia()
{
    return g_lingua;
}

} // namespace kalimo
