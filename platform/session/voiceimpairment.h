#pragma once

#include <QtGlobal>

#include <optional>
#include <random>

namespace kalimo::session {

// A bad network on purpose: arriving voice datagrams are dropped or held
// back at random, from a seed, so tests and benchmarks can try loss and
// jitter without root or a real link.
class VoiceImpairment final
{
public:
    struct Settings
    {
        int lossPercent = 0; // 0..100
        int maxDelayMs = 0;  // each datagram waits 0..maxDelayMs more
        quint32 seed = 1;
        bool active() const { return lossPercent > 0 || maxDelayMs > 0; }
    };

    explicit VoiceImpairment(const Settings& settings);
    // Nothing when the next datagram is lost; else how long it waits (ms).
    std::optional<int> next();

private:
    Settings m_settings;
    std::mt19937 m_random;
};

} // namespace kalimo::session
