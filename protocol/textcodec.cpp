#include "protocol/textcodec.h"

#include <QStringDecoder>

namespace kalimo {

QString decodeText(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes.data(), bytes.size());
}

QByteArray encodeText(QStringView text)
{
    return text.toUtf8();
}

} // namespace kalimo
