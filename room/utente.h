#pragma once

#include <QString>

namespace kalimo {

// A user in a room or in a list. A new one has every field at its zero value.
struct Utente
{
    qint32 IDUtente = 0;
    QString NickName;
    QString IPAddress;
    bool Parlante = false;
    QString Password;
    bool Ignora = false;
};

} // namespace kalimo
