#include "protocol/tlsfield.h"

#include <cctype>

namespace kalimo {

namespace {
constexpr QStringView kPrefix = u"tls:";
constexpr QStringView kSha256 = u"sha256=";
} // namespace

bool looksLikeTlsField(QStringView field)
{
    return field.trimmed().startsWith(kPrefix, Qt::CaseInsensitive);
}

std::optional<TlsEndpoint> parseTlsField(QStringView field)
{
    field = field.trimmed();
    if (!field.startsWith(kPrefix, Qt::CaseInsensitive))
        return std::nullopt;
    field = field.mid(kPrefix.size());
    const qsizetype colon = field.indexOf(u':');
    const QStringView portText = colon < 0 ? field : field.left(colon);
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    TlsEndpoint e;
    e.port = quint16(port);
    if (colon < 0)
        return e;
    const QStringView rest = field.mid(colon + 1);
    if (!rest.startsWith(kSha256, Qt::CaseInsensitive))
        return std::nullopt;
    QString hex = rest.mid(kSha256.size()).toString();
    hex.remove(u':');
    for (QChar c : hex) {
        if (c.unicode() > 127 || !std::isxdigit(static_cast<unsigned char>(c.toLatin1())))
            return std::nullopt;
    }
    e.sha256 = QByteArray::fromHex(hex.toLatin1());
    if (hex.size() != 64 || e.sha256.size() != 32)
        return std::nullopt;
    return e;
}

QString tlsField(const TlsEndpoint& endpoint)
{
    QString s = kPrefix.toString() + QString::number(endpoint.port);
    if (!endpoint.sha256.isEmpty())
        s += u':' + kSha256.toString() + QString::fromLatin1(endpoint.sha256.toHex());
    return s;
}

} // namespace kalimo
