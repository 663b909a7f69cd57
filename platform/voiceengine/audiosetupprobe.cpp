#include "audiosetupprobe.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace kalimo {

namespace {
constexpr int kCaptureBufferMs = 20;
constexpr int kPlaybackBufferMs = 40;
} // namespace

AudioSetupProbe::AudioSetupProbe(AudioBackend& backend, QObject* parent)
    : QObject(parent), m_backend(backend)
{
}

AudioSetupProbe::~AudioSetupProbe()
{
    m_capture.reset();
    m_playback.reset();
}

VoiceResult AudioSetupProbe::startInputLevel(const QByteArray& inputId, int periodMs)
{
    stopInputLevel();
    m_meter.setPeriodMs(std::max(periodMs, 10));
    auto opened = m_backend.openCapture(
        inputId, kCaptureBufferMs,
        [this](const qint16* samples, int count) {
            m_meter.feed(samples, count, [this](int peak) { Q_EMIT InputLevel(peak); });
        },
        [this](const VoiceResult&) {
            QMetaObject::invokeMethod(this, &AudioSetupProbe::stopInputLevel, Qt::QueuedConnection);
        });
    m_capture = std::move(opened.stream);
    return opened.result;
}

void AudioSetupProbe::stopInputLevel()
{
    m_capture.reset();
}

VoiceResult AudioSetupProbe::playTestSound(const QByteArray& outputId, int durationMs, double hz)
{
    stopTestSound();
    m_tone = SignalSource::tone(hz, 0.3);
    m_toneLeft = samplesForMs(std::clamp(durationMs, 10, 10000));
    m_drainLeft = samplesForMs(kPlaybackBufferMs);
    m_finishing = false;
    auto opened = m_backend.openPlayback(
        outputId, kPlaybackBufferMs, [this] { feedTestSound(); },
        [this](const VoiceResult&) { finishTestSound(); });
    m_playback = std::move(opened.stream);
    return opened.result;
}

void AudioSetupProbe::stopTestSound()
{
    m_playback.reset();
    m_finishing = false;
}

void AudioSetupProbe::feedTestSound()
{
    if (!m_playback || m_finishing)
        return;
    std::vector<qint16> block;
    int room = m_playback->samplesFree();
    while (room > 0 && (m_toneLeft > 0 || m_drainLeft > 0)) {
        const bool tone = m_toneLeft > 0;
        const int n = int(std::min<qint64>(room, tone ? m_toneLeft : m_drainLeft));
        block.assign(size_t(n), 0);
        if (tone) {
            m_tone.generate(block.data(), n);
            // Fade the last 5 ms so the sound ends without a click.
            const int fade = std::min<qint64>(samplesForMs(5), m_toneLeft);
            for (int i = 0; i < n; ++i) {
                const qint64 left = m_toneLeft - i;
                if (left <= fade)
                    block[size_t(i)] = qint16(block[size_t(i)] * double(left) / fade);
            }
        }
        const int written = m_playback->write(block.data(), n);
        if (written <= 0)
            return;
        (tone ? m_toneLeft : m_drainLeft) -= written;
        room -= written;
    }
    if (m_toneLeft <= 0 && m_drainLeft <= 0)
        finishTestSound();
}

void AudioSetupProbe::finishTestSound()
{
    if (m_finishing || !m_playback)
        return;
    m_finishing = true;
    // Inside the stream's own handler: close it from the event loop.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_playback.reset();
            m_finishing = false;
            Q_EMIT TestSoundFinished();
        },
        Qt::QueuedConnection);
}

} // namespace kalimo
