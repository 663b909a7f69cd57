#include "servers/master/passwordhash.h"

#include <sodium.h>

namespace kalimo::master {

bool initialisePasswordHashing()
{
    return sodium_init() >= 0;
}

std::optional<QByteArray> hashPassword(const QString& password, quint64 opsLimit, quint64 memLimit)
{
    const QByteArray utf8 = password.toUtf8();
    QByteArray out(crypto_pwhash_STRBYTES, '\0');
    const quint64 ops = opsLimit ? opsLimit : kDefaultHashOps;
    const quint64 mem = memLimit ? memLimit : kDefaultHashMemory;
    if (crypto_pwhash_str_alg(out.data(), utf8.constData(), quint64(utf8.size()), ops, size_t(mem),
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    out.truncate(qsizetype(qstrnlen(out.constData(), out.size())));
    return out;
}

bool verifyPassword(const QByteArray& hash, const QString& password)
{
    if (hash.isEmpty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    // The libsodium call wants a zero-terminated string of bounded length.
    QByteArray terminated = hash;
    terminated.append('\0');
    const QByteArray utf8 = password.toUtf8();
    return crypto_pwhash_str_verify(terminated.constData(), utf8.constData(),
                                    quint64(utf8.size())) == 0;
}

QString randomToken()
{
    unsigned char bytes[12];
    randombytes_buf(bytes, sizeof bytes);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex());
}

} // namespace kalimo::master
