#include "platform/desktop/lingua.h"
#include "voice/programma.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    kalimo::installaTraduzione();
    return kalimo::voce::eseguiVoce(app);
}
