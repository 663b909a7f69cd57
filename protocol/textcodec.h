#pragma once

#include <QByteArray>
#include <QString>

namespace kalimo {

// Wire and files are UTF-8; bytes that are not valid UTF-8 are read as
// Latin-1, so texts from the older 8-bit world still read.
QString decodeText(QByteArrayView bytes);
QByteArray encodeText(QStringView text);

} // namespace kalimo
