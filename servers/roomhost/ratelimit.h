#pragma once

#include "servers/shared/clock.h"

namespace kalimo::roomhost {

// A token bucket: `burst` tokens at most, refilled at `perSecond`.
class TokenBucket final
{
public:
    TokenBucket(int burst, int perSecond, const Clock* clock);

    // Takes `n` tokens when that many are there; false (nothing taken) else.
    bool take(int n = 1);
    int available();

private:
    void refill();

    double m_tokens;
    int m_burst;
    int m_perSecond;
    const Clock* m_clock;
    qint64 m_last;
};

} // namespace kalimo::roomhost
