#include "servers/trust/roomticket.h"

#include <array>

#include <sodium.h>

namespace kalimo::trust {

namespace {

using Mac = std::array<unsigned char, crypto_auth_hmacsha256_BYTES>;

Mac macOf(const QByteArray& secret, const QString& nick, const QString& room, qint64 expiresAt)
{
    // Each field ends with a zero byte, which no field holds: no two
    // different triples sign the same bytes.
    [[maybe_unused]] static const int ready = sodium_init();
    QByteArray message = QByteArrayLiteral("kalimo room ticket");
    message.append('\0');
    for (const QByteArray& field : {nick.toUtf8(), room.toUtf8(), QByteArray::number(expiresAt)}) {
        message.append(field);
        message.append('\0');
    }
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(secret.constData()),
                                size_t(secret.size()));
    crypto_auth_hmacsha256_update(&state,
                                  reinterpret_cast<const unsigned char*>(message.constData()),
                                  static_cast<unsigned long long>(message.size()));
    Mac mac{};
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof state);
    return mac;
}

} // namespace

QString makeRoomTicket(const QByteArray& secret, const QString& nick, const QString& room,
                       qint64 expiresAt)
{
    const Mac mac = macOf(secret, nick, room, expiresAt);
    const QByteArray hex =
        QByteArray(reinterpret_cast<const char*>(mac.data()), qsizetype(mac.size())).toHex();
    return QString::number(expiresAt) + u'.' + QString::fromLatin1(hex);
}

TicketCheck checkRoomTicket(const QByteArray& secret, const QString& ticket, const QString& nick,
                            const QString& room, qint64 now, qint64 maxLifetime)
{
    const qsizetype dot = ticket.indexOf(u'.');
    if (dot <= 0 || ticket.size() - dot - 1 != qsizetype(2 * crypto_auth_hmacsha256_BYTES))
        return TicketCheck::Malformed;
    bool ok = false;
    const qint64 expiresAt = QStringView(ticket).left(dot).toLongLong(&ok);
    const QByteArray given = QByteArray::fromHex(ticket.mid(dot + 1).toLatin1());
    if (!ok || given.size() != qsizetype(crypto_auth_hmacsha256_BYTES))
        return TicketCheck::Malformed;
    const Mac mac = macOf(secret, nick, room, expiresAt);
    if (sodium_memcmp(mac.data(), given.constData(), mac.size()) != 0)
        return TicketCheck::Forged;
    if (expiresAt < now || expiresAt > now + maxLifetime)
        return TicketCheck::Expired;
    return TicketCheck::Valid;
}

bool sameSecret(const QString& a, const QString& b)
{
    // Equal-length digests, compared in constant time.
    std::array<unsigned char, crypto_generichash_BYTES> da{}, db{};
    const QByteArray ua = a.toUtf8();
    const QByteArray ub = b.toUtf8();
    crypto_generichash(da.data(), da.size(), reinterpret_cast<const unsigned char*>(ua.constData()),
                       static_cast<unsigned long long>(ua.size()), nullptr, 0);
    crypto_generichash(db.data(), db.size(), reinterpret_cast<const unsigned char*>(ub.constData()),
                       static_cast<unsigned long long>(ub.size()), nullptr, 0);
    return sodium_memcmp(da.data(), db.data(), da.size()) == 0;
}

} // namespace kalimo::trust
