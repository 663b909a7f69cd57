#pragma once

#include "platform/desktop/dialoghi.h"

namespace kalimo {

// Boxes drawn by Qt, modal over the active window.
class DialoghiQt final : public Dialoghi
{
public:
    Risposta messaggio(const QString& testo, const QString& titolo, Icona icona,
                       Pulsanti pulsanti) override;
    QString input(const QString& titolo, const QString& richiesta,
                  const QString& predefinito = {}) override;
};

} // namespace kalimo
