#include "protocol/framing.h"

#include "protocol/separators.h"

#include <algorithm>

namespace kalimo {

QString parameterBlock(const QStringList& params)
{
    if (params.isEmpty())
        return QStringLiteral(" No Parametri ");
    QString block = u' ' + params.first() + u' ';
    for (qsizetype i = 1; i < params.size(); ++i)
        block += SEP3 + u' ' + params.at(i) + u' ';
    return block;
}

QString masterRequest(QStringView code, QStringView nick, const QStringList& params)
{
    const bool presence = code == u"0012";
    const bool roomLists = code == u"0002";
    QString text = code.toString() + u' ';
    if (presence)
        text += u' ';
    text += SEP2 + u' ' + nick.toString() + u' ' + SEP2 + parameterBlock(params) + SEP1;
    if (!presence && !roomLists)
        text += u' ';
    return text;
}

QString senderMessage(QStringView code, QStringView sender, QStringView block, bool trailingBlank)
{
    QString text = code.toString() + u' ' + SEP2 + u' ' + sender.toString() + u' ' + SEP2 +
                   block.toString() + SEP1;
    if (trailingBlank)
        text += u' ';
    return text;
}

QString voiceLinkMessage(QStringView code, QStringView parameter)
{
    return code.toString() + u' ' + SEP2 + u' ' + parameter.toString() + u' ' + SEP1;
}

QString joinFields(const QStringList& fields)
{
    const QString glue = u' ' + QString(SEP3) + u' ';
    return fields.join(glue);
}

QString hostMessage(QStringView code, const QStringList& fields)
{
    return code.toString() + u' ' + SEP2 + u' ' + joinFields(fields) + u' ' + SEP1 + u' ';
}

QList<QStringList> splitMessages(QStringView text)
{
    QList<QStringList> messages;
    const QList<QStringView> pieces = text.trimmed().split(SEP1);
    for (qsizetype i = 0; i + 1 < pieces.size(); ++i) {
        QStringList parts;
        for (QStringView part : pieces.at(i).split(SEP2))
            parts.append(part.trimmed().toString());
        messages.append(parts);
    }
    return messages;
}

QStringList splitFields(QStringView block)
{
    QStringList fields;
    if (block.isEmpty())
        return fields;
    for (QStringView field : block.split(SEP3))
        fields.append(field.trimmed().toString());
    return fields;
}

QString fieldAt(const QStringList& fields, qsizetype i)
{
    return i >= 0 && i < fields.size() ? fields.at(i) : QString();
}

bool hasControlCharacter(QStringView text)
{
    return std::any_of(text.begin(), text.end(), isControlCharacter);
}

QString stripControlCharacters(QStringView text)
{
    QString clean;
    clean.reserve(text.size());
    for (QChar c : text) {
        if (isFramingCharacter(c))
            continue;
        clean.append(c);
    }
    return clean;
}

} // namespace kalimo
