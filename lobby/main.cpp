#include "lobby/cartellaprogramma.h"
#include "lobby/module1.h"
#include "platform/desktop/dialoghiqt.h"
#include "platform/desktop/programmi.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalimo"));
    QApplication::setApplicationVersion(QStringLiteral("2.0b"));

    kalimo::DialoghiQt dialoghi;
    kalimo::AvvioProgrammiQt programmi;
    kalimo::ApriFileQt apriFile;
    kalimo::Module1 modulo({&dialoghi, &programmi, &apriFile},
                           kalimo::cartellaProgrammaPredefinita(),
                           QApplication::applicationDirPath());
    if (!modulo.SubMain())
        return 1;
    if (modulo.programmaTerminato())
        return 0;
    return QApplication::exec();
}
