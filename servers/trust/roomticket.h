#pragma once

#include <QByteArray>
#include <QString>

namespace kalimo::trust {

// A room host admits a nick only with a ticket its master signed for that
// nick and room: HMAC-SHA256 over both and an expiry, keyed by the secret
// the master and its room hosts share. Text form: "<expiry>.<mac in hex>",
// the expiry in seconds since the epoch.
QString makeRoomTicket(const QByteArray& secret, const QString& nick, const QString& room,
                       qint64 expiresAt);

enum class TicketCheck { Valid, Malformed, Expired, Forged };

// Compares in constant time. A ticket valid for longer than `maxLifetime`
// from `now` is refused too: no master hands out such tickets.
TicketCheck checkRoomTicket(const QByteArray& secret, const QString& ticket, const QString& nick,
                            const QString& room, qint64 now, qint64 maxLifetime);

// Two secrets compared without telling, by the time it takes, where they
// differ or how long either is.
bool sameSecret(const QString& a, const QString& b);

} // namespace kalimo::trust
