#include "echocanceller.h"

#include "audiobackend.h"

#include <QCoreApplication>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>

namespace kalimo {

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
}

void EchoCanceller::attach(SpeexPreprocessState_* preprocess)
{
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, m_state);
}

void EchoCanceller::reset()
{
    speex_echo_state_reset(m_state);
    m_far.clear();
}

} // namespace kalimo
