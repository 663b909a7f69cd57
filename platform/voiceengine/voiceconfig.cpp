#include "voiceconfig.h"

#include <algorithm>

namespace kalimo {

VoiceClientConfig VoiceClientConfig::normalized() const
{
    VoiceClientConfig c = *this;
    c.recordVolume = std::clamp(c.recordVolume, 0, 100);
    c.playbackVolume = std::clamp(c.playbackVolume, 0, 100);
    c.threshold = std::clamp(c.threshold, ThresholdUnused, 100);
    c.bufferQuality = std::clamp(c.bufferQuality, 0, 100);
    c.bufferAggressiveness = std::clamp(c.bufferAggressiveness, 0, 100);
    // A period shorter than one block would fire several times per block.
    c.notificationPeriod = c.notificationPeriod <= 0 ? 0 : std::max(c.notificationPeriod, 10);
    return c;
}

float gainForVolume(int volume)
{
    if (volume <= 0)
        return 1.0f;
    const float v = static_cast<float>(std::min(volume, 100)) / 50.0f;
    return v * v;
}

int jitterMaxLateRate(int bufferQuality, int bufferAggressiveness)
{
    const int q = std::clamp(bufferQuality, 0, 100);
    const int a = std::clamp(bufferAggressiveness, 0, 100);
    return std::clamp(4 - (3 * q) / 100 + (16 * a) / 100, 1, 20);
}

} // namespace kalimo
