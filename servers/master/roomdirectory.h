#pragma once

#include <QString>
#include <QStringList>

namespace kalimo::master {

// A reply as the master sends it: five-digit code and its fields.
struct Reply
{
    QString code;
    QStringList fields;
};

// The directory of rooms ("0002 "/"0003 "/"0004 ") and room creation
// ("0007 "). Rooms are not hosted yet: every request gets the answer the
// lobby shows as "not available", never silence.
class RoomDirectory final
{
public:
    Reply listCount() const;
    Reply roomCount(int list) const;
    Reply room(int list, int index) const;
    Reply create(const QString& creator, const QStringList& params) const;
};

} // namespace kalimo::master
