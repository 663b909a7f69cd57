#include "protocol/reassembler.h"

#include "protocol/separators.h"

namespace kalimo {

QByteArray StreamReassembler::feed(const QByteArray& bytes)
{
    m_pending.append(bytes);
    // A message over the cap is refused even when its end came along in the
    // same arrival: the messages before it are handed out, the rest dropped.
    qsizetype start = 0;
    for (qsizetype end; (end = m_pending.indexOf(SEP1_BYTE, start)) >= 0; start = end + 1) {
        if (end - start > m_cap) {
            QByteArray complete = m_pending.left(start);
            m_pending.clear();
            m_overflowed = true;
            return complete;
        }
    }
    QByteArray complete = m_pending.left(start);
    m_pending.remove(0, start);
    if (m_pending.size() > m_cap) {
        m_pending.clear();
        m_overflowed = true;
    }
    return complete;
}

void StreamReassembler::clear()
{
    m_pending.clear();
    m_overflowed = false;
}

} // namespace kalimo
