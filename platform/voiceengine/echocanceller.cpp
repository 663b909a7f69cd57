#include "echocanceller.h"

#include "audiobackend.h"

#include <QCoreApplication>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace kalimo {

namespace {

double meanSquare(const qint16* v, qsizetype n)
{
    double sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += double(v[i]) * double(v[i]);
    return n > 0 ? sum / double(n) : 0;
}

// Far end louder than this (about -50 dBFS) counts as talking.
constexpr double kFarActive = 10.0 * 10.0;
// What is left while only the far end talks is lowered by this much more
// (about -10 dB): the adaptive filter alone leaves 10 to 15 dB of a voice
// whose pitch wanders.
constexpr float kResidualGain = 0.32f;
// The filter took at least this share away: the block was echo alone.
constexpr double kEchoOnly = 0.25;
// Up to this share left, the block is lowered less and less.
constexpr double kPartly = 0.5;

} // namespace

std::unique_ptr<EchoCanceller> EchoCanceller::create(int blockSamples, VoiceResult& result,
                                                     int tailMs)
{
    SpeexEchoState* st = speex_echo_state_init(blockSamples, samplesForMs(tailMs));
    if (!st) {
        result = VoiceResult::failure(
            VoiceError::CodecFailed,
            QCoreApplication::translate("EchoCanceller", "Il filtro contro l'eco non si avvia"));
        return nullptr;
    }
    spx_int32_t rate = kSampleRate;
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    result = VoiceResult::success();
    return std::unique_ptr<EchoCanceller>(new EchoCanceller(st, blockSamples));
}

EchoCanceller::EchoCanceller(SpeexEchoState_* state, int blockSamples)
    : m_state(state), m_blockSamples(blockSamples), m_reference(size_t(blockSamples))
{
}

EchoCanceller::~EchoCanceller()
{
    speex_echo_state_destroy(m_state);
}

void EchoCanceller::playback(const qint16* samples, int count)
{
    if (count <= 0)
        return;
    m_far.insert(m_far.end(), samples, samples + count);
    // With the microphone stopped nothing is taken out: keep a second.
    const qsizetype cap = m_latency + samplesForMs(1000);
    if (qsizetype(m_far.size()) > 2 * cap)
        m_far.erase(m_far.begin(), m_far.end() - cap);
}

void EchoCanceller::process(const qint16* mic, qint16* out)
{
    // Block after block the reference moves on by exactly one block, so the
    // filter sees a steady echo path. Only when the speaker's clock has run
    // well ahead of the microphone's is the reference moved up, at once.
    const qsizetype n = m_blockSamples;
    const qsizetype excess = qsizetype(m_far.size()) - m_latency;
    if (excess > 3 * n)
        m_far.erase(m_far.begin(), m_far.begin() + (excess - n));
    const qsizetype take = std::min<qsizetype>(n, qsizetype(m_far.size()));
    std::copy(m_far.begin(), m_far.begin() + take, m_reference.begin());
    std::fill(m_reference.begin() + take, m_reference.end(), qint16(0));
    m_far.erase(m_far.begin(), m_far.begin() + take);
    speex_echo_cancellation(m_state, mic, m_reference.data(), out);

    // The echo arrives up to a tail later than its reference: hold the far
    // end's level for about that long.
    m_farLevel = std::max(meanSquare(m_reference.data(), n), m_farLevel * 0.93);
    const double in = meanSquare(mic, n), left = meanSquare(out, n);
    // The filter took most of the block away: it was echo. A near talker
    // keeps the block's level up (double talk) and opens it again at once.
    float target = 1.0f;
    if (m_farLevel > kFarActive && in > 0) {
        // How loud the echo alone is against the far end, from blocks
        // known to be echo; a microphone no louder than that hears no one
        // else, however poorly the filter fits a pitch it has not met yet.
        const double kept = left / in;
        m_echoReturn *= 0.998;
        if (kept < kEchoOnly)
            m_echoReturn = std::max(in / m_farLevel, m_echoReturn);
        if (kept < kEchoOnly || in <= m_echoReturn * m_farLevel)
            target = kResidualGain;
        else if (kept < kPartly)
            target = kResidualGain +
                     (1.0f - kResidualGain) * float((kept - kEchoOnly) / (kPartly - kEchoOnly));
    }
    m_gain = target >= m_gain ? target : std::max(target, m_gain * 0.7f);
    if (m_gain < 1.0f) {
        for (qsizetype i = 0; i < n; ++i)
            out[i] = qint16(std::lround(float(out[i]) * m_gain));
    }
}

void EchoCanceller::attach(SpeexPreprocessState_* preprocess)
{
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, m_state);
}

void EchoCanceller::reset()
{
    speex_echo_state_reset(m_state);
    m_far.clear();
    m_farLevel = 0;
    m_echoReturn = 0;
    m_gain = 1.0f;
}

} // namespace kalimo
