#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kalimo::master {

// False when libsodium cannot start (no usable random source).
bool initialisePasswordHashing();

// An argon2id hash string with its salt and cost inside. Limits of 0 take
// libsodium's interactive defaults. No value when hashing failed (out of
// memory for the chosen cost).
std::optional<QByteArray> hashPassword(const QString& password, quint64 opsLimit, quint64 memLimit);

// Checks against a stored hash string; a malformed string never matches.
bool verifyPassword(const QByteArray& hash, const QString& password);

// A fresh random token, hex text.
QString randomToken();

} // namespace kalimo::master
