#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>

namespace kalimo {

// Milliseconds on a clock that never goes back: what the servers' rate
// limits and deadlines count with. Tests bring their own.
using Clock = std::function<qint64()>;

inline Clock steadyClock()
{
    return [] {
        using namespace std::chrono;
        return qint64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    };
}

} // namespace kalimo
