#include "capturepipeline.h"

#include "audiobackend.h"

#include <QCoreApplication>

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace kalimo {

namespace {
constexpr int kBlockMs = 10;
const int kBlockSamples = samplesForMs(kBlockMs);
} // namespace

std::unique_ptr<CapturePipeline> CapturePipeline::create(const Options& options, Events events,
                                                         VoiceResult& result)
{
    auto encoder = OpusFrameEncoder::create(options.frameMs, options.bitrate, result);
    if (!encoder)
        return nullptr;
    SpeexPreprocessState* pre = speex_preprocess_state_init(kBlockSamples, kSampleRate);
    if (!pre) {
        result = VoiceResult::failure(
            VoiceError::CodecFailed,
            QCoreApplication::translate("CapturePipeline",
                                        "The speexdsp preprocessor could not start"));
        return nullptr;
    }
    spx_int32_t on = 1;
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
    result = VoiceResult::success();
    return std::unique_ptr<CapturePipeline>(
        new CapturePipeline(options, std::move(events), std::move(encoder), pre));
}

CapturePipeline::CapturePipeline(const Options& options, Events events,
                                 std::unique_ptr<OpusFrameEncoder> encoder,
                                 SpeexPreprocessState_* preprocess)
    : m_options(options), m_events(std::move(events)), m_encoder(std::move(encoder)),
      m_preprocess(preprocess), m_gate([&] {
          TransmitGate::Options g;
          g.blockMs = kBlockMs;
          g.hangoverMs = options.hangoverMs;
          return g;
      }())
{
    m_block.reserve(size_t(kBlockSamples));
    m_frame.reserve(size_t(m_encoder->frameSamples()));
    setConfig(m_config);
}

CapturePipeline::~CapturePipeline()
{
    speex_preprocess_state_destroy(m_preprocess);
}

void CapturePipeline::setConfig(const VoiceClientConfig& config)
{
    m_config = config.normalized();
    // A manual record volume wins over automatic gain: the user moved the
    // slider and expects it to act.
    m_agc = m_config.autoRecordVolume() && m_config.recordVolume == 0;
    m_manualGain = gainForVolume(m_config.recordVolume);
    spx_int32_t agc = m_agc ? 1 : 0;
    speex_preprocess_ctl(m_preprocess, SPEEX_PREPROCESS_SET_AGC, &agc);
    if (m_meter.periodMs() != m_config.notificationPeriod)
        m_meter.setPeriodMs(m_config.notificationPeriod);
    if (m_config.muted()) {
        setGate(false);
        m_frameWanted = false;
    }
}

void CapturePipeline::push(const qint16* samples, int count)
{
    while (count > 0) {
        const int n = std::min(count, kBlockSamples - int(m_block.size()));
        m_block.insert(m_block.end(), samples, samples + n);
        samples += n;
        count -= n;
        if (int(m_block.size()) == kBlockSamples) {
            processBlock(m_block.data());
            m_block.clear();
        }
    }
}

void CapturePipeline::processBlock(qint16* block)
{
    if (m_manualGain != 1.0f) {
        for (int i = 0; i < kBlockSamples; ++i)
            block[i] = qint16(std::clamp(std::lround(block[i] * m_manualGain), -32768L, 32767L));
    }
    // The meter shows the microphone as the record volume leaves it; the
    // denoiser would hide a steady sound the user wants to see.
    const auto report = [this](int peak) {
        if (m_events.level)
            m_events.level(peak);
    };
    if (m_config.muted())
        m_meter.feedSilence(kBlockSamples, report);
    else
        m_meter.feed(block, kBlockSamples, report);

    speex_preprocess_run(m_preprocess, block);
    spx_int32_t probability = -1;
    speex_preprocess_ctl(m_preprocess, SPEEX_PREPROCESS_GET_PROB, &probability);

    TransmitGate::Mode mode = TransmitGate::Mode::Open;
    if (m_config.muted())
        mode = TransmitGate::Mode::Closed;
    else if (m_config.voiceActivated())
        mode = TransmitGate::Mode::VoiceActivated;
    const int threshold = m_config.threshold >= 0 ? m_config.threshold : -1;
    const bool wasOpen = m_gate.isOpen();
    const bool open = m_gate.update(block, kBlockSamples, mode, probability, threshold);
    if (open != wasOpen)
        setGate(open);

    m_frameWanted = m_frameWanted || open;
    m_frame.insert(m_frame.end(), block, block + kBlockSamples);
    if (int(m_frame.size()) >= m_encoder->frameSamples())
        finishFrame();
}

void CapturePipeline::finishFrame()
{
    // The sequence counts frame periods, sent or not, so receivers can
    // place every frame in time.
    const quint16 seq = m_seq++;
    if (m_frameWanted) {
        QByteArray packet;
        if (!m_encoder->encode(m_frame.data(), packet))
            ++m_encodeFailures;
        else if (!packet.isEmpty() && m_events.frame)
            m_events.frame(packet, seq);
    }
    m_frame.clear();
    m_frameWanted = m_gate.isOpen();
}

void CapturePipeline::setGate(bool open)
{
    if (open)
        m_encoder->reset();
    else if (m_gate.isOpen())
        m_gate.reset(); // forced closed: start the next opening from scratch
    if (open == m_reportedOpen)
        return;
    m_reportedOpen = open;
    if (m_events.gate)
        m_events.gate(open);
}

void CapturePipeline::stop()
{
    setGate(false);
    m_block.clear();
    m_frame.clear();
    m_frameWanted = false;
}

} // namespace kalimo
