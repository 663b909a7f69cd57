#include "transmitgate.h"

#include "audiobackend.h"

#include <algorithm>
#include <cmath>

namespace kalimo {

TransmitGate::TransmitGate() : TransmitGate(Options{}) {}

TransmitGate::TransmitGate(const Options& options) : m_options(options) {}

void TransmitGate::reset()
{
    m_open = false;
    m_speaking = false;
    m_onsetBlocks = 0;
    m_hangoverLeft = 0;
}

bool TransmitGate::isSpeech(double energyDb, int peakPercent, int probability, int threshold) const
{
    if (threshold >= 0)
        return peakPercent > threshold;
    if (energyDb < m_options.minSpeechDb)
        return false;
    const double margin = energyDb - m_floorDb;
    if (m_speaking)
        return margin > m_options.closeMarginDb;
    if (margin > m_options.strongMarginDb)
        return true;
    return margin > m_options.openMarginDb && probability >= m_options.minProbability;
}

bool TransmitGate::update(const qint16* block, int count, Mode mode, int probability, int threshold)
{
    if (count <= 0)
        return m_open;
    double sum = 0.0;
    int peak = 0;
    for (int i = 0; i < count; ++i) {
        const int v = block[i];
        sum += double(v) * double(v);
        peak = std::max(peak, v < 0 ? -v : v);
    }
    const double energyDb = 10.0 * std::log10(sum / count / (32768.0 * 32768.0) + 1e-10);

    const bool speech = isSpeech(energyDb, PeakMeter::toPercent(peak), probability, threshold);

    // The floor falls fast and rises slowly, slower still under speech, so
    // a long sentence does not become the new floor.
    if (!m_floorKnown) {
        m_floorDb = std::max(energyDb, -90.0);
        m_floorKnown = true;
    } else if (energyDb < m_floorDb) {
        m_floorDb += 0.3 * (energyDb - m_floorDb);
    } else {
        m_floorDb += std::min(energyDb - m_floorDb, speech ? 0.01 : 0.05);
    }
    m_floorDb = std::clamp(m_floorDb, -90.0, -10.0);
    m_speaking = speech;

    switch (mode) {
    case Mode::Closed:
        m_open = false;
        m_onsetBlocks = 0;
        m_hangoverLeft = 0;
        break;
    case Mode::Open:
        m_open = true;
        m_onsetBlocks = 0;
        m_hangoverLeft = 0;
        break;
    case Mode::VoiceActivated: {
        const int onsetBlocks = std::max(1, m_options.onsetMs / m_options.blockMs);
        const int hangoverBlocks = std::max(0, m_options.hangoverMs / m_options.blockMs);
        if (speech) {
            m_onsetBlocks = std::min(m_onsetBlocks + 1, onsetBlocks);
            if (m_open || m_onsetBlocks >= onsetBlocks) {
                m_open = true;
                m_hangoverLeft = hangoverBlocks;
            }
        } else {
            m_onsetBlocks = 0;
            if (m_open) {
                if (m_hangoverLeft > 0)
                    --m_hangoverLeft;
                else
                    m_open = false;
            }
        }
        break;
    }
    }
    return m_open;
}

void PeakMeter::setPeriodMs(int ms)
{
    m_periodMs = std::max(ms, 0);
    m_periodSamples = samplesForMs(m_periodMs);
    m_filled = 0;
    m_peak = 0;
}

} // namespace kalimo
