#include "platform/session/replaywindow.h"

namespace kalimo::session {

bool ReplayWindow::admit(quint64 counter) const
{
    if (!m_windowed)
        return counter >= m_next;
    if (!m_any || counter > m_top)
        return true;
    const quint64 behind = m_top - counter;
    return behind < kWidth && !((m_seen >> behind) & 1u);
}

void ReplayWindow::record(quint64 counter)
{
    if (!m_windowed) {
        m_next = counter + 1;
    } else if (!m_any || counter > m_top) {
        const quint64 ahead = m_any ? counter - m_top : kWidth;
        m_seen = ahead >= kWidth ? 1u : (m_seen << ahead) | 1u;
        m_top = counter;
        m_any = true;
    } else {
        m_seen |= quint64(1) << (m_top - counter);
    }
}

} // namespace kalimo::session
