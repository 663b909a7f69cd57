#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kalimo::master {

// False when libsodium cannot start (no usable random source).
bool initialisePasswordHashing();

// 2 passes over 19 MiB: a common argon2id recommendation, and about three
// times the logins per second of libsodium's 64 MiB "interactive" cost, so
// a burst of lobbies is answered inside their 10-second wait.
inline constexpr quint64 kDefaultHashOps = 2;
inline constexpr quint64 kDefaultHashMemory = 19 * 1024 * 1024;

// An argon2id hash string with its salt and cost inside. Limits of 0 take
// the defaults above. No value when hashing failed (out of
// memory for the chosen cost).
std::optional<QByteArray> hashPassword(const QString& password, quint64 opsLimit, quint64 memLimit);

// Checks against a stored hash string; a malformed string never matches.
bool verifyPassword(const QByteArray& hash, const QString& password);

// A fresh random token, hex text.
QString randomToken();

} // namespace kalimo::master
