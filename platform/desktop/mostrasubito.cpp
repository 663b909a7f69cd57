#include "platform/desktop/mostrasubito.h"

#include <QLabel>

namespace kalimo {

void mostraSubito(QLabel* etichetta, const QString& testo)
{
    if (!etichetta)
        return;
    etichetta->setText(testo);
    etichetta->repaint();
}

} // namespace kalimo
