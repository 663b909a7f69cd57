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
constexpr int kMaxBlockSamples = samplesForMs(kBlockMs);
// The denoiser's output lags its input by one of its own frames: a third
// of a block lags 3.3 ms instead of 10 and removes as much noise. Its time
// constants count frames, so it learns a sound that never changes (a
// steady tone from the first moment) as noise three times sooner.
const int kDenoiseSamples = kBlockSamples / 3;

SpeexPreprocessState* preprocessor(int frameSamples, bool denoise)
{
    SpeexPreprocessState* state = speex_preprocess_state_init(frameSamples, kSampleRate);
    if (state) {
        spx_int32_t on = denoise ? 1 : 0;
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
    }
    return state;
}
} // namespace

std::unique_ptr<CapturePipeline> CapturePipeline::create(const Options& options, Events events,
                                                         VoiceResult& result)
{
    auto encoder = OpusFrameEncoder::create(options.frameMs, options.bitrate, result);
    if (!encoder)
        return nullptr;
    std::unique_ptr<EchoCanceller> echo;
    if (options.echoCancel) {
        echo = EchoCanceller::create(result);
        if (!echo)
            return nullptr;
    }
    SpeexPreprocessState* pre = preprocessor(kDenoiseSamples, true);
    // The gate's speech probability comes from a whole block, as before the
    // denoiser's frame was shortened, on a copy that goes nowhere.
    SpeexPreprocessState* vad = preprocessor(kBlockSamples, false);
    if (!pre || !vad) {
        if (pre)
            speex_preprocess_state_destroy(pre);
        if (vad)
            speex_preprocess_state_destroy(vad);
        result = VoiceResult::failure(
            VoiceError::CodecFailed,
            QCoreApplication::translate("CapturePipeline",
                                        "Il filtro del microfono (speexdsp) non si avvia"));
        return nullptr;
    }
    result = VoiceResult::success();
    return std::unique_ptr<CapturePipeline>(new CapturePipeline(
        options, std::move(events), std::move(encoder), pre, vad, std::move(echo)));
}

CapturePipeline::CapturePipeline(const Options& options, Events events,
                                 std::unique_ptr<OpusFrameEncoder> encoder,
                                 SpeexPreprocessState_* preprocess, SpeexPreprocessState_* vad,
                                 std::unique_ptr<EchoCanceller> echo)
    : m_options(options), m_events(std::move(events)), m_encoder(std::move(encoder)),
      m_preprocess(preprocess), m_vad(vad), m_echo(std::move(echo)), m_gate([&] {
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
    speex_preprocess_state_destroy(m_vad);
}

void CapturePipeline::played(const qint16* samples, int count)
{
    if (m_echo)
        m_echo->playback(samples, count);
}

void CapturePipeline::setOutputLatency(int samples)
{
    if (m_echo)
        m_echo->setOutputLatency(samples);
}

void CapturePipeline::playbackRestarted()
{
    // A filter fitted to the old delay would add echo rather than remove it
    // until it adapted again.
    if (m_echo)
        m_echo->reset();
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
        m_history.clear(); // nothing heard while muted is ever sent
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

    if (m_echo) {
        qint16 clean[kMaxBlockSamples];
        // Out of the path only while nothing is sent, where the 8 ms it
        // skips go unheard.
        m_echo->process(block, clean, !m_gate.isOpen() && !m_frameWanted);
        std::copy(clean, clean + kBlockSamples, block);
    }
    qint16 copy[kMaxBlockSamples];
    std::copy(block, block + kBlockSamples, copy);
    speex_preprocess_run(m_vad, copy);
    spx_int32_t probability = -1;
    speex_preprocess_ctl(m_vad, SPEEX_PREPROCESS_GET_PROB, &probability);
    for (int at = 0; at < kBlockSamples; at += kDenoiseSamples)
        speex_preprocess_run(m_preprocess, block + at);

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
        if (m_preRollDue) {
            for (const auto& [pcm, s] : m_history)
                send(pcm.data(), s);
        }
        m_preRollDue = false;
        m_history.clear();
        send(m_frame.data(), seq);
        m_frame.clear();
    } else if (m_options.preRollMs > 0 && !m_config.muted()) {
        const size_t keep =
            size_t(std::max(1, samplesForMs(m_options.preRollMs) / m_encoder->frameSamples()));
        if (m_history.size() >= keep)
            m_history.erase(m_history.begin());
        m_history.emplace_back(std::move(m_frame), seq);
        m_frame = {};
        m_frame.reserve(size_t(m_encoder->frameSamples()));
    } else {
        m_frame.clear();
    }
    m_frameWanted = m_gate.isOpen();
}

void CapturePipeline::setExpectedLoss(int percent)
{
    m_encoder->setExpectedLoss(percent);
    // Opus's in-band redundancy needs a talker its voice detector takes
    // for speech and leaves a steady sound bare: whole copies of the last
    // frames instead, a second one once a lost frame's neighbour is often
    // lost too.
    m_spares = percent < 2 ? 0 : percent < 20 ? 1 : 2;
    m_encoder->setInbandFec(m_spares == 0);
}

void CapturePipeline::send(const qint16* pcm, quint16 seq)
{
    QByteArray packet;
    if (!m_encoder->encode(pcm, packet)) {
        ++m_encodeFailures;
        return;
    }
    if (packet.isEmpty())
        return;
    const QByteArray bare = packet;
    if (m_spares > 0) {
        QList<QByteArray> spares(m_spares);
        bool any = false;
        for (const auto& [sent, at] : m_sent) {
            const int back = quint16(seq - at);
            if (back >= 1 && back <= m_spares) {
                spares[back - 1] = sent;
                any = true;
            }
        }
        if (any)
            attachSpares(packet, spares);
    }
    m_sent.insert(m_sent.begin(), {bare, seq});
    if (int(m_sent.size()) > kMaxSpares)
        m_sent.pop_back();
    if (m_events.frame)
        m_events.frame(packet, seq);
}

void CapturePipeline::setGate(bool open)
{
    if (open) {
        m_encoder->reset();
        // Voice activation opens a little after the first syllable began;
        // a talk button is pressed before it.
        m_preRollDue = m_config.voiceActivated();
        if (!m_preRollDue)
            m_history.clear();
    } else if (m_gate.isOpen())
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
    m_history.clear();
    m_frameWanted = false;
}

} // namespace kalimo
