#include "servers/master/roomdirectory.h"

#include "servers/master/mastercodes.h"

namespace kalimo::master {

Reply RoomDirectory::listCount() const
{
    return {reply::NotAvailable.toString(), {}};
}

Reply RoomDirectory::roomCount(int) const
{
    return {reply::NotAvailable.toString(), {}};
}

Reply RoomDirectory::room(int, int) const
{
    return {reply::NotAvailable.toString(), {}};
}

Reply RoomDirectory::create(const QString&, const QStringList&) const
{
    return {reply::RoomRefused.toString(), {}};
}

} // namespace kalimo::master
