#include "protocol/reassembler.h"

#include "protocol/separators.h"

namespace kalimo {

QByteArray StreamReassembler::feed(const QByteArray& bytes)
{
    m_pending.append(bytes);
    const qsizetype last = m_pending.lastIndexOf(SEP1_BYTE);
    QByteArray complete;
    if (last >= 0) {
        complete = m_pending.left(last + 1);
        m_pending.remove(0, last + 1);
    }
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
