#include "platform/session/voiceimpairment.h"

#include <algorithm>

namespace kalimo::session {

VoiceImpairment::VoiceImpairment(const Settings& settings)
    : m_settings(settings), m_random(settings.seed)
{
    m_settings.lossPercent = std::clamp(m_settings.lossPercent, 0, 100);
    m_settings.maxDelayMs = std::max(0, m_settings.maxDelayMs);
}

std::optional<int> VoiceImpairment::next()
{
    // Both draws happen for every datagram, so a run's delays do not depend
    // on its loss rate.
    const int roll = std::uniform_int_distribution<int>(0, 99)(m_random);
    const int delay = std::uniform_int_distribution<int>(0, m_settings.maxDelayMs)(m_random);
    if (roll < m_settings.lossPercent)
        return std::nullopt;
    return delay;
}

} // namespace kalimo::session
