#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

namespace kalimo::master {

// A reply as the master sends it: five-digit code and its fields.
struct Reply
{
    QString code;
    QStringList fields;
};

// A room the master has started a room host for.
struct Room
{
    enum class Kind { Permanent, User, Private };

    quint64 key = 0;
    Kind kind = Kind::User;
    QString nome;
    int maxUtenti = 0;
    int maxUtentiAudio = 0;
    QString password;
    quint16 port = 0;
    QString creator;  // empty for permanent rooms
    QString identity; // the token its room host identifies with
    QString hostKey;  // its session key in hex, as it identified
    // Identified since its room host was (re)started: only such rooms are
    // listed, since nobody answers at the port before.
    bool live = false;
    quint64 link = 0; // the room link it reports on, 0 when none
    QSet<QString> members;
    // Started by hand or by systemd, not by this master; reached at `address`.
    bool external = false;
    QString address;
};

// The rooms and the listing exchange. Lists: 1 = permanent rooms, 2 = rooms
// created by users; private rooms are never listed. Kept apart from the
// processes so it can move into shared storage.
class RoomDirectory final
{
public:
    static constexpr int kLists = 2;
    // A room host reporting more members than any room can hold is lying.
    static constexpr int kMaxMembers = 4096;

    Reply listCount() const;
    Reply roomCount(int list) const;
    Reply room(int list, int index) const;

    void setClientAddress(const QString& address) { m_clientAddress = address; }
    const QString& clientAddress() const { return m_clientAddress; }
    const QString& addressOf(const Room& r) const
    {
        return r.address.isEmpty() ? m_clientAddress : r.address;
    }

    Room& add(Room::Kind kind, const QString& nome);
    void remove(quint64 key);
    Room* find(quint64 key);
    Room* byName(const QString& nome);
    const Room* byName(const QString& nome) const
    {
        return const_cast<RoomDirectory*>(this)->byName(nome);
    }
    Room* byIdentity(const QString& identity);
    Room* byLink(quint64 link);
    int roomsOf(const QString& creator) const;
    QSet<quint16> portsInUse() const;
    QList<Room*> all();
    QList<const Room*> all() const;

private:
    QList<const Room*> listed(int list) const;

    std::map<quint64, std::unique_ptr<Room>> m_rooms; // in creation order
    quint64 m_nextKey = 1;
    QString m_clientAddress;
};

} // namespace kalimo::master
