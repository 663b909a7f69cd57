#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kalimo {

// Where a master takes TLS connections, written as one field of a master
// record: "tls:PORT" or "tls:PORT:sha256=HEX". The fingerprint, when given,
// is the SHA-256 of the certificate in DER and replaces the check against
// the system's authorities (a master with a certificate of its own making).
struct TlsEndpoint
{
    quint16 port = 0;
    QByteArray sha256; // 32 bytes, or empty

    friend bool operator==(const TlsEndpoint&, const TlsEndpoint&) = default;
};

// A field that means to be one: it starts with "tls:" (any letter case).
bool looksLikeTlsField(QStringView field);
// The endpoint of a well-formed field; nothing for anything else. The
// fingerprint's hex may be in either case, with or without colons.
std::optional<TlsEndpoint> parseTlsField(QStringView field);
// The field of an endpoint, fingerprint in lower-case hex without colons.
QString tlsField(const TlsEndpoint& endpoint);

} // namespace kalimo
