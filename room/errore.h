#pragma once

#include <QString>

namespace kalimo {

// The last error of a room operation. Fresh: 0 and an empty text until the
// first Inizializza.
struct Errore
{
    qint16 Numero = 0;
    QString Descrizione;

    void Inizializza()
    {
        Numero = 0;
        Descrizione = QStringLiteral("No Errori");
    }
    void Imposta(qint16 numero, const QString& descrizione)
    {
        Numero = numero;
        Descrizione = descrizione;
    }
};

} // namespace kalimo
