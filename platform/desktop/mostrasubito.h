#pragma once

#include <QString>

class QLabel;

namespace kalimo {

// Writes a status line and paints it now, so it shows during the wait that follows.
void mostraSubito(QLabel* etichetta, const QString& testo);

} // namespace kalimo
