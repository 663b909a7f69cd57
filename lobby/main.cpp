#include "lobby/cartellaprogramma.h"
#include "lobby/module1.h"
#include "platform/desktop/dialoghiqt.h"
#include "platform/desktop/lingua.h"
#include "platform/desktop/programmi.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalimo"));
    QApplication::setApplicationVersion(QStringLiteral("2.0b"));
    kalimo::installaTraduzione();

    kalimo::DialoghiQt dialoghi;
    kalimo::AvvioProgrammiQt programmi;
    kalimo::ApriFileQt apriFile;
    kalimo::lobby::Module1 modulo({&dialoghi, &programmi, &apriFile},
                                  kalimo::lobby::cartellaProgrammaPredefinita(),
                                  kalimo::lobby::cartellaFileSpediti());
    // A second lobby on the same machine needs a voice link port of its own.
    bool numero = false;
    const uint porta =
        qEnvironmentVariable(kalimo::lobby::Module1::kVariabilePortaVoce).toUInt(&numero);
    if (numero && porta >= 1 && porta <= 65535)
        modulo.impostaPortaAscoltoVoice(quint16(porta));
    if (!modulo.SubMain())
        return 1;
    if (modulo.programmaTerminato())
        return 0;
    return QApplication::exec();
}
