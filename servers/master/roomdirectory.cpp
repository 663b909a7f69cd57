#include "servers/master/roomdirectory.h"

#include "protocol/codes.h"
#include "protocol/values.h"
#include "servers/master/masterconfig.h"

namespace kalimo::master {

Reply RoomDirectory::listCount() const
{
    return {reply::RoomListCount.toString(), {QString::number(kLists)}};
}

QList<const Room*> RoomDirectory::listed(int list) const
{
    const Room::Kind wanted = list == 1 ? Room::Kind::Permanent : Room::Kind::User;
    QList<const Room*> rooms;
    if (list < 1 || list > kLists)
        return rooms;
    for (const auto& [key, room] : m_rooms) {
        if (room->kind == wanted && room->live)
            rooms.append(room.get());
    }
    return rooms;
}

Reply RoomDirectory::roomCount(int list) const
{
    const qsizetype n = listed(list).size();
    if (n == 0)
        return {reply::NoRooms.toString(), {}};
    return {reply::RoomCount.toString(), {QString::number(n)}};
}

Reply RoomDirectory::room(int list, int index) const
{
    const QList<const Room*> rooms = listed(list);
    // The password itself never leaves the master: the lobby asks it to check
    // what the user typed.
    // Rooms come and go between the lobby's requests: a place beyond the
    // end is one that emptied meanwhile.
    if (index < 1 || index > rooms.size())
        return {reply::NoRoomHere.toString(), {}};
    const Room& r = *rooms.at(index - 1);
    return {reply::RoomRecord.toString(),
            {r.nome, QString::number(r.members.size()), flagWord(r.kind == Room::Kind::Permanent),
             r.password.isEmpty() ? QString() : kHasPassword.toString(), addressOf(r),
             QString::number(r.port), flagWord(false), QString::number(r.maxUtenti),
             QString::number(r.maxUtentiAudio)}};
}

Room& RoomDirectory::add(Room::Kind kind, const QString& nome)
{
    auto room = std::make_unique<Room>();
    room->key = m_nextKey++;
    room->kind = kind;
    room->nome = nome;
    Room& r = *room;
    m_rooms.emplace(r.key, std::move(room));
    return r;
}

void RoomDirectory::remove(quint64 key)
{
    m_rooms.erase(key);
}

Room* RoomDirectory::find(quint64 key)
{
    const auto it = m_rooms.find(key);
    return it == m_rooms.end() ? nullptr : it->second.get();
}

Room* RoomDirectory::byName(const QString& nome)
{
    for (auto& [key, room] : m_rooms) {
        if (sameRoomName(room->nome, nome))
            return room.get();
    }
    return nullptr;
}

Room* RoomDirectory::byIdentity(const QString& identity)
{
    if (identity.isEmpty())
        return nullptr;
    for (auto& [key, room] : m_rooms) {
        if (room->identity == identity)
            return room.get();
    }
    return nullptr;
}

Room* RoomDirectory::byLink(quint64 link)
{
    if (link == 0)
        return nullptr;
    for (auto& [key, room] : m_rooms) {
        if (room->link == link)
            return room.get();
    }
    return nullptr;
}

int RoomDirectory::roomsOf(const QString& creator) const
{
    int n = 0;
    for (const auto& [key, room] : m_rooms)
        n += room->creator == creator ? 1 : 0;
    return n;
}

QSet<quint16> RoomDirectory::portsInUse() const
{
    QSet<quint16> ports;
    for (const auto& [key, room] : m_rooms) {
        if (room->port != 0)
            ports.insert(room->port);
    }
    return ports;
}

QList<Room*> RoomDirectory::all()
{
    QList<Room*> rooms;
    for (auto& [key, room] : m_rooms)
        rooms.append(room.get());
    return rooms;
}

QList<const Room*> RoomDirectory::all() const
{
    QList<const Room*> rooms;
    for (const auto& [key, room] : m_rooms)
        rooms.append(room.get());
    return rooms;
}

} // namespace kalimo::master
