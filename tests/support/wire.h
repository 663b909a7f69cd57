#pragma once

#include "protocol/separators.h"

#include <QByteArray>
#include <QString>

// Wire texts in every test: '|' for SEP1 (the end of a message), '^' for SEP2 (between code,
// sender and parameters), '~' for SEP3 (between fields).
namespace kalimo::test {

inline QString wire(const QString& text)
{
    QString s = text;
    return s.replace(u'|', SEP1).replace(u'^', SEP2).replace(u'~', SEP3);
}

inline QString wire(const char* text)
{
    return wire(QString::fromUtf8(text));
}

inline QByteArray wireBytes(QByteArray text)
{
    return text.replace('|', char(SEP1.unicode()))
        .replace('^', char(SEP2.unicode()))
        .replace('~', char(SEP3.unicode()));
}

} // namespace kalimo::test
