#include "protocol/values.h"

#include <limits>

namespace kalimo {

std::optional<int> parseInt(QStringView text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<qint16> parseInt16(QStringView text)
{
    const auto value = parseInt(text);
    if (!value || *value < std::numeric_limits<qint16>::min() ||
        *value > std::numeric_limits<qint16>::max())
        return std::nullopt;
    return static_cast<qint16>(*value);
}

bool parseFlagWord(QStringView text)
{
    const QString word = text.trimmed().toString().toUpper();
    return word != u"FALSO" && word != u"FALSE";
}

QString flagWord(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace kalimo
