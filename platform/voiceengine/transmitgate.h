#pragma once

#include <QtGlobal>

namespace kalimo {

// Decides, block by block, whether the microphone is sent. Voice activation
// looks at the block's energy against a tracked noise floor, with a speech
// probability as a tie-breaker, opens only after a short onset, closes only
// after a hangover, and uses a lower margin to stay open than to open.
class TransmitGate final
{
public:
    enum class Mode { Closed, Open, VoiceActivated };

    struct Options
    {
        int blockMs = 10;
        int hangoverMs = 400;
        int onsetMs = 20;
        double openMarginDb = 12.0;   // above the noise floor, to open
        double closeMarginDb = 6.0;   // above the noise floor, to stay open
        double strongMarginDb = 20.0; // opens without help from the probability
        double minSpeechDb = -60.0;   // quieter than this is never speech
        int minProbability = 50;      // percent, for a moderate margin
    };

    TransmitGate();
    explicit TransmitGate(const Options& options);

    // One block of audio; `probability` is the speech probability in percent
    // (or -1 if unknown); `threshold` 0..100 replaces the adaptive decision
    // with "peak above threshold". Returns whether the gate is open after it.
    bool update(const qint16* block, int count, Mode mode, int probability, int threshold);

    bool isOpen() const { return m_open; }
    double noiseFloorDb() const { return m_floorDb; }
    void reset();

private:
    bool isSpeech(double energyDb, int peakPercent, int probability, int threshold) const;

    Options m_options;
    bool m_open = false;
    bool m_speaking = false; // the last block counted as speech
    bool m_floorKnown = false;
    double m_floorDb = -90.0;
    int m_onsetBlocks = 0;
    int m_hangoverLeft = 0;
};

// Peak level 0..100 over windows of a given length of audio.
class PeakMeter final
{
public:
    // 0 turns the meter off.
    void setPeriodMs(int ms);
    int periodMs() const { return m_periodMs; }
    // Feeds samples; `report` is called with the peak of each completed window.
    template <class Report> void feed(const qint16* samples, int count, Report&& report)
    {
        if (m_periodSamples <= 0)
            return;
        for (int i = 0; i < count; ++i) {
            const int v = samples[i] < 0 ? -int(samples[i]) : int(samples[i]);
            if (v > m_peak)
                m_peak = v;
            if (++m_filled == m_periodSamples) {
                report(toPercent(m_peak));
                m_peak = 0;
                m_filled = 0;
            }
        }
    }
    // Counts silence (for a muted input) without reading samples.
    template <class Report> void feedSilence(int count, Report&& report)
    {
        if (m_periodSamples <= 0)
            return;
        m_filled += count;
        while (m_filled >= m_periodSamples) {
            m_filled -= m_periodSamples;
            report(toPercent(m_peak));
            m_peak = 0;
        }
    }
    static int toPercent(int peak) { return peak >= 32767 ? 100 : (peak * 100) / 32767; }

private:
    int m_periodMs = 0;
    int m_periodSamples = 0;
    int m_filled = 0;
    int m_peak = 0;
};

} // namespace kalimo
