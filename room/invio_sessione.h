#pragma once

#include <QString>

namespace kalimo {

// What the host-side packet handling needs of the room session: a guaranteed
// send of one payload to one player, or to every player with id 0.
class InvioSessione
{
public:
    virtual ~InvioSessione() = default;
    virtual bool SendTo(qint32 playerId, const QString& payload) = 0;
};

} // namespace kalimo
