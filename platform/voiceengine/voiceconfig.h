#pragma once

#include <QtGlobal>

namespace kalimo {

// The voice client's configuration record, field for field.
struct VoiceClientConfig
{
    // Flag bits.
    static constexpr int RecordMuted = 1;
    static constexpr int AutoRecordVolume = 8;
    static constexpr int AutoVoiceActivated = 32;

    // "No threshold applies": the gate decides on its own.
    static constexpr int ThresholdUnused = -2;
    static constexpr int ThresholdDefault = -1;

    int size = 0;
    int flags = RecordMuted;
    // 0 = default (unity, or automatic with AutoRecordVolume); 1..100 = manual
    // level, 50 being unity gain. Values outside 0..100 are clamped.
    int recordVolume = 0;
    // 0 = default (unity); 1..100 = manual level, 50 being unity gain.
    int playbackVolume = 0;
    // Negative = adaptive voice activation; 0..100 = the input peak (the
    // InputLevel scale) above which a voice-activated gate opens.
    int threshold = ThresholdUnused;
    // 0 = default; 1..100 trade latency for fewer dropouts.
    int bufferQuality = 0;
    // 0 = default; 1..100 how hard the jitter buffer cuts delay.
    int bufferAggressiveness = 0;
    // Level events every this many ms of audio; 0 = none.
    int notificationPeriod = 100;

    bool muted() const { return (flags & RecordMuted) != 0; }
    bool voiceActivated() const { return (flags & AutoVoiceActivated) != 0; }
    bool autoRecordVolume() const { return (flags & AutoRecordVolume) != 0; }

    // The record with every field brought into its valid range.
    VoiceClientConfig normalized() const;

    friend bool operator==(const VoiceClientConfig&, const VoiceClientConfig&) = default;
};

// Linear gain for a volume value: 0 means default (1.0); 1..100 follow
// (v/50)^2, so 50 is unity, 100 is +12 dB and 1 is about -34 dB.
float gainForVolume(int volume);

// The share of packets (percent, 1..20) the jitter buffer lets arrive too late,
// from the record's buffer fields: quality lowers it (more delay, fewer
// dropouts), aggressiveness raises it. 4 when both are 0.
int jitterMaxLateRate(int bufferQuality, int bufferAggressiveness);

} // namespace kalimo
