#pragma once

#include <QByteArray>
#include <QString>

// Wire texts in every test: '|' for SEP1 (the end of a message), '^' for SEP2 (between code,
// sender and parameters), '~' for SEP3 (between fields).
namespace kalimo::test {

inline QByteArray wireBytes(QByteArray text)
{
    return text.replace('|', '\x1d').replace('^', '\x1e').replace('~', '\x1f');
}

inline QString wire(const char* text)
{
    return QString::fromUtf8(wireBytes(text));
}

} // namespace kalimo::test
