#pragma once

#include <QString>

#include <memory>

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

// Rooms hold their users by shared reference, so a caller may keep one after
// it leaves the room.
using UtentePtr = std::shared_ptr<Utente>;

} // namespace kalimo
