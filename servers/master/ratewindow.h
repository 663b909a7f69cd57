#pragma once

#include "servers/shared/clock.h"

#include <deque>

namespace kalimo::master {

// At most `limit` events in any `windowMs`. Memory stays at `limit` times.
class RateWindow final
{
public:
    RateWindow(int limit, qint64 windowMs) : m_limit(limit), m_windowMs(windowMs) {}

    // Counts the event and returns true, or returns false when over the limit.
    bool allow(qint64 now)
    {
        forget(now);
        if (int(m_times.size()) >= m_limit)
            return false;
        m_times.push_back(now);
        return true;
    }

    // Nothing left in the window: the owner may discard it.
    bool idle(qint64 now)
    {
        forget(now);
        return m_times.empty();
    }

private:
    void forget(qint64 now)
    {
        while (!m_times.empty() && m_times.front() <= now - m_windowMs)
            m_times.pop_front();
    }

    int m_limit;
    qint64 m_windowMs;
    std::deque<qint64> m_times;
};

} // namespace kalimo::master
