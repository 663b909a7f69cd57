#include "resources/risorse.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE must be used outside any namespace.
static void inizializza()
{
    Q_INIT_RESOURCE(kalimo);
}

namespace kalimo {

void inizializzaRisorse()
{
    inizializza();
}

} // namespace kalimo
