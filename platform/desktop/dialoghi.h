#pragma once

#include <QString>

namespace kalimo {

// What a message box shows and what the user can answer.
enum class Icona { Nessuna, Informazione, Critica, Avviso, Domanda };
enum class Pulsanti { Ok, OkAnnulla, SiNo, SiNoAnnulla };
enum class Risposta { Ok, Annulla, Si, No };

// Message and input boxes. Windows reach boxes only through this, so tests
// can script the user's answers and read back every box shown.
class Dialoghi
{
public:
    virtual ~Dialoghi() = default;

    virtual Risposta messaggio(const QString& testo, const QString& titolo, Icona icona,
                               Pulsanti pulsanti) = 0;
    // The typed text; an empty text when the user cancelled.
    virtual QString input(const QString& titolo, const QString& richiesta,
                          const QString& predefinito = {}) = 0;
};

} // namespace kalimo
