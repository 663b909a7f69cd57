#include "voice/programma.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    return kalimo::voce::eseguiVoce(app);
}
