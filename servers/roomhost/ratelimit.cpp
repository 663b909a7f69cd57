#include "servers/roomhost/ratelimit.h"

#include <algorithm>

namespace kalimo::roomhost {

TokenBucket::TokenBucket(int burst, int perSecond, const Clock* clock)
    : m_tokens(burst), m_burst(std::max(1, burst)), m_perSecond(std::max(1, perSecond)),
      m_clock(clock), m_last((*clock)())
{
}

void TokenBucket::refill()
{
    const qint64 now = (*m_clock)();
    // A clock that goes back (a test's, or a bad one) must not drain tokens.
    if (now > m_last) {
        m_tokens =
            std::min<double>(m_burst, m_tokens + double(now - m_last) * m_perSecond / 1000.0);
        m_last = now;
    }
}

bool TokenBucket::take(int n)
{
    refill();
    if (n < 0 || m_tokens < n)
        return false;
    m_tokens -= n;
    return true;
}

int TokenBucket::available()
{
    refill();
    return static_cast<int>(m_tokens);
}

} // namespace kalimo::roomhost
