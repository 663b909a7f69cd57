#pragma once

#include <QByteArray>

namespace kalimo {

// Joins a TCP stream back into whole messages. Each arrival is appended to
// what was left over; everything up to and including the last SEP1 is handed
// out, the rest waits for the next arrival. No message may be longer than
// `cap`, ended or not: a longer one is dropped with what follows it and
// overflowed() turns true, so the owner can close the connection.
class StreamReassembler final
{
public:
    static constexpr qsizetype kDefaultCap = 64 * 1024;

    explicit StreamReassembler(qsizetype cap = kDefaultCap) : m_cap(cap) {}

    // Returns the complete messages of the stream so far (possibly empty).
    QByteArray feed(const QByteArray& bytes);

    bool overflowed() const { return m_overflowed; }
    qsizetype pendingSize() const { return m_pending.size(); }
    void clear();

private:
    QByteArray m_pending;
    qsizetype m_cap;
    bool m_overflowed = false;
};

} // namespace kalimo
