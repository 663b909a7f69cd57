#include "servers/master/presence.h"

namespace kalimo::master {

std::optional<quint64> Presence::connectionOf(const QString& nick) const
{
    const auto it = m_byNick.constFind(nick);
    if (it == m_byNick.constEnd())
        return std::nullopt;
    return *it;
}

bool Presence::add(const QString& nick, quint64 connection)
{
    if (nick.isEmpty() || m_byNick.contains(nick))
        return false;
    m_byNick.insert(nick, connection);
    return true;
}

void Presence::remove(const QString& nick, quint64 connection)
{
    const auto it = m_byNick.find(nick);
    if (it != m_byNick.end() && *it == connection)
        m_byNick.erase(it);
}

} // namespace kalimo::master
