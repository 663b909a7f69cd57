#include "echocanceller.h"

#include "audiobackend.h"

#include <QCoreApplication>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kalimo {

namespace {

const int kBlockSamples = samplesForMs(webrtc::AudioProcessing::kChunkSizeMs);

// Quieter speaker samples (-60 dBFS) make no echo worth the canceller's delay.
constexpr int kLoud = 32;
// How long a sound's echo may last after it was heard: the tail the
// canceller covers, and more.
constexpr int kEchoTailMs = 500;

// The reference reaches the library when its sound leaves the speaker, so
// what is left to report is the way through the air and the microphone's
// own buffer: unknown, and found by the delay estimator.
constexpr int kReportedDelayMs = 0;

webrtc::EchoCancellation::SuppressionLevel level(EchoCanceller::Suppression s)
{
    switch (s) {
    case EchoCanceller::Suppression::High:
        return webrtc::EchoCancellation::kHighSuppression;
    case EchoCanceller::Suppression::Moderate:
        return webrtc::EchoCancellation::kModerateSuppression;
    case EchoCanceller::Suppression::Low:
        break;
    }
    return webrtc::EchoCancellation::kLowSuppression;
}

// A warning says a setting was clamped; the block was still processed.
bool accepted(int error)
{
    return error == webrtc::AudioProcessing::kNoError ||
           error == webrtc::AudioProcessing::kBadStreamParameterWarning;
}

} // namespace

std::unique_ptr<EchoCanceller> EchoCanceller::create(VoiceResult& result)
{
    return create(Options{}, result);
}

std::unique_ptr<EchoCanceller> EchoCanceller::create(const Options& options, VoiceResult& result)
{
    // The extended filter follows 128 ms of reflections (48 without it);
    // the delay estimator places that window up to half a second after the
    // reference, so the tail covers well over 200 ms of room.
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    const webrtc::StreamConfig mono(kSampleRate, 1);
    const bool ok =
        apm && apm->Initialize(webrtc::ProcessingConfig{{mono, mono, mono, mono}}) == 0 &&
        apm->echo_cancellation()->Enable(true) == 0 &&
        apm->echo_cancellation()->set_suppression_level(level(options.suppression)) == 0 &&
        apm->noise_suppression()->Enable(options.noiseSuppression) == 0 &&
        apm->high_pass_filter()->Enable(options.highPass) == 0;
    if (!ok) {
        result = VoiceResult::failure(
            VoiceError::CodecFailed,
            QCoreApplication::translate("EchoCanceller", "Il filtro contro l'eco non si avvia"));
        return nullptr;
    }
    result = VoiceResult::success();
    return std::unique_ptr<EchoCanceller>(new EchoCanceller(std::move(apm)));
}

EchoCanceller::EchoCanceller(std::unique_ptr<webrtc::AudioProcessing> apm)
    : m_apm(std::move(apm)), m_frame(std::make_unique<webrtc::AudioFrame>())
{
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::playback(const qint16* samples, int count)
{
    if (count <= 0)
        return;
    for (int i = count - 1; i >= 0; --i) {
        if (std::abs(int(samples[i])) >= kLoud) {
            m_lastLoud = m_written + i;
            break;
        }
    }
    m_written += count;
    m_far.insert(m_far.end(), samples, samples + count);
    // With the microphone stopped nothing is taken out: keep a second.
    const qsizetype cap = m_latency + samplesForMs(1000);
    if (qsizetype(m_far.size()) > 2 * cap)
        m_far.erase(m_far.begin(), m_far.end() - cap);
}

void EchoCanceller::process(const qint16* mic, qint16* out, bool mayLeave)
{
    const bool echoLikely =
        m_lastLoud >= 0 && m_written - m_lastLoud < m_latency + samplesForMs(kEchoTailMs);
    if (echoLikely)
        m_inPath = true;
    else if (mayLeave)
        m_inPath = false;
    // Block after block the reference moves on by exactly one block, so the
    // filter sees a steady echo path. Only when the speaker's clock has run
    // well ahead of the microphone's is the reference moved up, at once.
    const qsizetype n = kBlockSamples;
    const qsizetype excess = qsizetype(m_far.size()) - m_latency;
    if (excess > 3 * n)
        m_far.erase(m_far.begin(), m_far.begin() + (excess - n));
    const qsizetype take = std::min<qsizetype>(n, qsizetype(m_far.size()));
    // The library may rewrite a frame's format fields: set them every time.
    const auto frame = [this] {
        m_frame->sample_rate_hz_ = kSampleRate;
        m_frame->num_channels_ = 1;
        m_frame->samples_per_channel_ = size_t(kBlockSamples);
        return m_frame.get();
    };
    qint16* data = m_frame->data_;
    std::copy(m_far.begin(), m_far.begin() + take, data);
    std::fill(data + take, data + n, qint16(0));
    m_far.erase(m_far.begin(), m_far.begin() + take);
    const bool reverseOk = accepted(m_apm->ProcessReverseStream(frame()));

    std::copy(mic, mic + n, data);
    m_apm->set_stream_delay_ms(kReportedDelayMs);
    if (reverseOk && accepted(m_apm->ProcessStream(frame())) && m_inPath) {
        std::copy(data, data + n, out);
        return;
    }
    std::copy(mic, mic + n, out);
}

void EchoCanceller::reset()
{
    m_apm->Initialize();
    m_far.clear();
}

} // namespace kalimo
