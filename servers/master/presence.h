#pragma once

#include <QHash>
#include <QString>

#include <optional>

namespace kalimo::master {

// Who is logged in, and on which connection: one login per nick. Kept apart
// so that it can move into shared storage when masters share their users.
class Presence final
{
public:
    bool isConnected(const QString& nick) const { return m_byNick.contains(nick); }
    std::optional<quint64> connectionOf(const QString& nick) const;
    // False when the nick is already logged in elsewhere.
    bool add(const QString& nick, quint64 connection);
    // Only the connection that holds the nick can free it.
    void remove(const QString& nick, quint64 connection);
    int count() const { return int(m_byNick.size()); }

private:
    QHash<QString, quint64> m_byNick;
};

} // namespace kalimo::master
