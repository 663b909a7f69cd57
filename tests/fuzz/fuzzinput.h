#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace kalimo::fuzz {

// A fuzz input cut into the arrivals of a stream: byte 0x00 ends an arrival, so the engine
// learns where messages break across reads.
inline QList<QByteArray> arrivals(const uint8_t* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))
        .split('\0');
}

inline QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// A property the parser promises broke: stop like a crash, so the input is kept.
inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace kalimo::fuzz
