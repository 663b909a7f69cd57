#include "voiceengine.h"

#include "capturepipeline.h"
#include "playbackmixer.h"

#include <QCoreApplication>

#include <algorithm>

namespace kalimo {

namespace {

QString trEngine(const char* text)
{
    return QCoreApplication::translate("VoiceEngine", text);
}

// Playback is mixed in short blocks, so that a talk spurt's first frame is
// played from the next block rather than from the next whole frame.
constexpr int kBlockSamples = kSampleRate / 500;

bool listed(const QList<AudioDevice>& list, const QByteArray& id)
{
    return std::any_of(list.begin(), list.end(), [&](const AudioDevice& d) { return d.id == id; });
}

} // namespace

VoiceEngine::VoiceEngine(AudioBackend& backend, AudioSettings settings, QObject* parent)
    : VoiceEngine(backend, std::move(settings), Options{}, parent)
{
}

VoiceEngine::VoiceEngine(AudioBackend& backend, AudioSettings settings, const Options& options,
                         QObject* parent)
    : QObject(parent), m_backend(backend), m_settings(std::move(settings)), m_options(options)
{
    qRegisterMetaType<kalimo::VoiceResult>();
    qRegisterMetaType<kalimo::VoiceClientConfig>();
    m_block.resize(size_t(kBlockSamples));
}

VoiceEngine::~VoiceEngine()
{
    // Streams first: their handlers reach into the pipelines.
    m_captureStream.reset();
    m_playbackStream.reset();
}

bool VoiceEngine::isConnected() const
{
    return m_captureStream != nullptr;
}

bool VoiceEngine::isTransmitting() const
{
    return m_capture && m_capture->gateOpen();
}

bool VoiceEngine::isEchoCancelling() const
{
    return m_capture && m_capture->echoCancelling();
}

int VoiceEngine::playbackUnderruns() const
{
    return m_underrunsBefore + (m_playbackStream ? m_playbackStream->underruns() : 0);
}

int VoiceEngine::playbackLateFeeds() const
{
    return m_lateFeedsBefore + (m_playbackStream ? m_playbackStream->lateFeeds() : 0);
}

int VoiceEngine::playbackBufferMs() const
{
    return m_playbackStream ? m_bufferMs : 0;
}

int VoiceEngine::playbackQueueMs() const
{
    return m_queueSamples / samplesForMs(1);
}

int VoiceEngine::speakerCount() const
{
    return m_mixer ? m_mixer->speakerCount() : 0;
}

VoiceResult VoiceEngine::Connect(const VoiceClientConfig& config)
{
    VoiceResult result = open(config);
    // A refused second Connect leaves the running one alone.
    if (!result.ok() && result.error != VoiceError::AlreadyConnected) {
        m_captureStream.reset();
        m_playbackStream.reset();
        m_capture.reset();
        m_mixer.reset();
    }
    Q_EMIT ConnectResult(result);
    return result;
}

VoiceResult VoiceEngine::open(const VoiceClientConfig& config)
{
    if (isConnected())
        return VoiceResult::failure(
            VoiceError::AlreadyConnected,
            trEngine(QT_TRANSLATE_NOOP("VoiceEngine", "Il motore voce è già collegato")));
    std::optional<AudioDeviceChoice> choice;
    if (VoiceResult r = chosenDevices(choice); !r.ok())
        return r;
    if (VoiceResult r = buildPipelines(*choice, config); !r.ok())
        return r;
    return openStreams(*choice);
}

// The saved choice, when both of its devices are still there.
VoiceResult VoiceEngine::chosenDevices(std::optional<AudioDeviceChoice>& choice)
{
    choice = m_settings.load();
    if (!choice)
        return VoiceResult::failure(
            VoiceError::SetupRequired,
            trEngine(QT_TRANSLATE_NOOP("VoiceEngine",
                                       "Non è ancora stata scelta nessuna periferica audio")));
    const QList<AudioDevice> inputs = m_backend.inputDevices();
    const QList<AudioDevice> outputs = m_backend.outputDevices();
    if (inputs.isEmpty() || outputs.isEmpty())
        return VoiceResult::failure(
            VoiceError::NoAudioSystem,
            trEngine(QT_TRANSLATE_NOOP(
                "VoiceEngine",
                "Nessuna periferica audio disponibile (il server audio è avviato?)")));
    if (!listed(inputs, choice->inputId))
        return VoiceResult::failure(
            VoiceError::SetupRequired,
            trEngine(QT_TRANSLATE_NOOP("VoiceEngine",
                                       "La periferica di ingresso scelta %1 non è più presente"))
                .arg(choice->inputName));
    if (!listed(outputs, choice->outputId))
        return VoiceResult::failure(
            VoiceError::SetupRequired,
            trEngine(QT_TRANSLATE_NOOP("VoiceEngine",
                                       "La periferica di uscita scelta %1 non è più presente"))
                .arg(choice->outputName));

    return VoiceResult::success();
}

VoiceResult VoiceEngine::buildPipelines(const AudioDeviceChoice& choice,
                                        const VoiceClientConfig& config)
{
    VoiceResult result;
    CapturePipeline::Options co;
    co.frameMs = m_options.frameMs;
    co.bitrate = m_options.bitrate;
    co.hangoverMs = m_options.hangoverMs;
    co.echoCancel = choice.echoCancel;
    co.preRollMs = m_options.preRollMs;
    CapturePipeline::Events events;
    events.frame = [this](const QByteArray& frame, quint16 seq) {
        Q_EMIT FrameEncoded(frame, seq);
    };
    events.gate = [this](bool open) {
        if (open)
            Q_EMIT RecordStart();
        else
            Q_EMIT RecordStop();
    };
    events.level = [this](int peak) { Q_EMIT InputLevel(peak); };
    m_capture = CapturePipeline::create(co, std::move(events), result);
    if (!m_capture)
        return result;
    m_capture->setExpectedLoss(m_expectedLoss);
    PlaybackMixer::Options mo;
    mo.speakerTimeoutMs = m_options.speakerTimeoutMs;
    m_mixer = std::make_unique<PlaybackMixer>(mo);
    for (auto it = m_levels.cbegin(); it != m_levels.cend(); ++it)
        m_mixer->setSpeakerLevel(it.key(), it.value().first, it.value().second);
    m_sinceReport = 0;
    m_config = config.normalized();
    applyConfig();
    m_failing = false;
    return VoiceResult::success();
}

VoiceResult VoiceEngine::openStreams(const AudioDeviceChoice& choice)
{
    auto onError = [this](const VoiceResult& r) { deviceFailed(r); };
    // The microphone first: opening a device holds the thread up for a
    // moment, which a playback device already running with its short
    // queue would not outlast, while the microphone's sound waits for us.
    auto capture = m_backend.openCapture(
        choice.inputId, m_options.captureBufferMs,
        [this](const qint16* samples, int count) {
            if (m_capture)
                m_capture->push(samples, count);
        },
        onError);
    if (!capture.stream)
        return capture.result;
    auto playback = m_backend.openPlayback(
        choice.outputId, m_options.playbackBufferMs, [this] { pushPlayback(); }, onError);
    if (!playback.stream)
        return playback.result;
    m_captureStream = std::move(capture.stream);
    m_playbackStream = std::move(playback.stream);
    m_outputId = choice.outputId;
    m_bufferMs = m_options.playbackBufferMs;
    ++m_generation;
    m_underrunsSeen = m_playbackStream->underruns();
    m_underrunsBefore = m_lateFeedsBefore = 0;
    m_recent.clear();
    m_calmSamples = 0;
    m_sinceTrim = -1;
    m_trimAfterSamples = qint64(samplesForMs(std::max(m_options.queueTrimMs, 10)));
    m_deviceShrunk = false;
    m_sinceOpen = 0;
    m_queueSamples = m_options.playbackQueueMs > 0 ? samplesForMs(m_options.playbackQueueMs)
                                                   : m_playbackStream->minimumQueue();
    m_maxQueueSamples = m_queueSamples + samplesForMs(20);
    // What is kept queued is how long the speaker lags what we write.
    m_capture->setOutputLatency(m_queueSamples);
    pushPlayback(); // the device starts with its queue, not with a gap
    return VoiceResult::success();
}

void VoiceEngine::Disconnect()
{
    if (m_capture)
        m_capture->stop(); // reports RecordStop if the gate was open
    m_captureStream.reset();
    m_playbackStream.reset();
    m_capture.reset();
    m_mixer.reset();
}

VoiceResult VoiceEngine::SetClientConfig(const VoiceClientConfig& config)
{
    m_config = config.normalized();
    applyConfig();
    return VoiceResult::success();
}

void VoiceEngine::applyConfig()
{
    if (m_capture)
        m_capture->setConfig(m_config);
    if (m_mixer) {
        m_mixer->setVolume(m_config.playbackVolume);
        m_mixer->setMaxLateRate(
            jitterMaxLateRate(m_config.bufferQuality, m_config.bufferAggressiveness));
    }
    if (m_outputMeter.periodMs() != m_config.notificationPeriod)
        m_outputMeter.setPeriodMs(m_config.notificationPeriod);
}

VoiceResult VoiceEngine::SetTransmitTargets(const QList<quint32>& targets)
{
    if (targets.size() == 1 && targets.first() == 0)
        return VoiceResult::success();
    return VoiceResult::failure(
        VoiceError::InvalidArgument,
        trEngine(
            QT_TRANSLATE_NOOP("VoiceEngine", "La voce si può inviare solo a tutta la stanza")));
}

void VoiceEngine::FrameReceived(quint32 speakerId, quint16 seq, const QByteArray& frame)
{
    if (m_mixer)
        m_mixer->put(speakerId, seq, frame);
}

void VoiceEngine::RemoveSpeaker(quint32 speakerId)
{
    if (m_mixer)
        m_mixer->remove(speakerId);
    // Gone as a listener too.
    if (m_listenerLoss.remove(speakerId))
        ListenerReport(0, 0);
}

void VoiceEngine::ListenerReport(quint32 listenerId, int lossPercent)
{
    if (listenerId != 0)
        m_listenerLoss.insert(listenerId, std::clamp(lossPercent, 0, 100));
    int worst = 0;
    for (int loss : std::as_const(m_listenerLoss))
        worst = std::max(worst, loss);
    SetExpectedLoss(worst);
}

void VoiceEngine::SetSpeakerLevel(quint32 speakerId, int percent, bool muted)
{
    percent = std::clamp(percent, 0, 200);
    if (percent == 100 && !muted)
        m_levels.remove(speakerId);
    else
        m_levels.insert(speakerId, {percent, muted});
    if (m_mixer)
        m_mixer->setSpeakerLevel(speakerId, percent, muted);
}

void VoiceEngine::SetExpectedLoss(int percent)
{
    m_expectedLoss = std::clamp(percent, 0, 100);
    if (m_capture)
        m_capture->setExpectedLoss(m_expectedLoss);
}

void VoiceEngine::adjustQueue()
{
    const int least = m_playbackStream->minimumQueue(), step = samplesForMs(5);
    const int biggestBufferMs = m_options.playbackBufferMs + 20;
    const bool deviceIsLatency =
        least >= m_playbackStream->capacity() && m_bufferMs > m_options.playbackBufferMs;
    if (m_playbackStream->underruns() != m_underrunsSeen) {
        m_underrunsSeen = m_playbackStream->underruns();
        if (m_sinceOpen < qint64(samplesForMs(m_options.playbackSettleMs))) {
            if (m_capture)
                m_capture->playbackRestarted();
            return;
        }
        const int wanted = std::min(m_queueSamples + step, m_maxQueueSamples);
        // Dry soon after a trim: that level was too low here, so wait
        // twice as long before trying it again. So too when a shrunk device
        // must grow again, however late: this machine stalls now and then
        // for longer than the smaller device holds.
        const bool regrown = m_deviceShrunk && wanted > m_playbackStream->capacity();
        if ((m_sinceTrim >= 0 && m_sinceTrim < m_trimAfterSamples) || regrown)
            m_trimAfterSamples = std::min(m_trimAfterSamples * 2, qint64(samplesForMs(600000)));
        m_deviceShrunk = m_deviceShrunk && !regrown;
        m_sinceTrim = -1;
        m_calmSamples = 0;
        if (wanted <= m_playbackStream->capacity())
            m_queueSamples = wanted;
        else if (m_bufferMs < biggestBufferMs)
            reopenPlaybackLater(m_bufferMs + 5, wanted);
        if (m_capture) {
            m_capture->setOutputLatency(m_queueSamples);
            m_capture->playbackRestarted();
        }
    } else if (m_calmSamples >= m_trimAfterSamples && (m_queueSamples > least || deviceIsLatency)) {
        // More queued than this machine has needed lately: every block of
        // it is latency.
        m_calmSamples = 0;
        m_sinceTrim = 0;
        if (m_queueSamples > least) {
            m_queueSamples = std::max(least, m_queueSamples - step);
            if (m_capture)
                m_capture->setOutputLatency(m_queueSamples);
        } else {
            // A device that must be kept full is only as small as it was
            // opened: one grown for a passing stall comes back a step.
            reopenPlaybackLater(m_bufferMs - 5, m_queueSamples - step);
            m_deviceShrunk = true;
        }
    }
}

void VoiceEngine::reopenPlaybackLater(int bufferMs, int queueSamples)
{
    const int generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, bufferMs, queueSamples] {
            if (generation != m_generation || !m_playbackStream)
                return;
            const auto open = [&] {
                return m_backend.openPlayback(
                    m_outputId, bufferMs, [this] { pushPlayback(); },
                    [this](const VoiceResult& r) { deviceFailed(r); });
            };
            // The new device starts with what the old one still held, so
            // the switch is heard as (at most) a few ms said twice rather
            // than as a gap. Some devices take one stream at a time.
            const int unplayed =
                std::min(m_playbackStream->capacity() - m_playbackStream->samplesFree(),
                         int(m_recent.size()));
            auto playback = open();
            m_underrunsBefore += m_playbackStream->underruns();
            m_lateFeedsBefore += m_playbackStream->lateFeeds();
            if (!playback.stream) {
                m_playbackStream.reset();
                playback = open();
            }
            ++m_generation;
            if (!playback.stream) {
                m_playbackStream.reset();
                deviceFailed(playback.result);
                return;
            }
            const int carried = std::min(unplayed, playback.stream->samplesFree());
            playback.stream->write(m_recent.data() + m_recent.size() - carried, carried);
            m_playbackStream = std::move(playback.stream);
            m_bufferMs = bufferMs;
            m_sinceOpen = 0;
            m_underrunsSeen = m_playbackStream->underruns();
            m_queueSamples = std::clamp(
                queueSamples, m_playbackStream->minimumQueue(),
                std::max(m_playbackStream->minimumQueue(), m_playbackStream->capacity()));
            if (m_capture) {
                m_capture->setOutputLatency(m_queueSamples);
                m_capture->playbackRestarted();
            }
            pushPlayback();
        },
        Qt::QueuedConnection);
}

void VoiceEngine::pushPlayback()
{
    if (!m_playbackStream || !m_mixer)
        return;
    if (m_options.playbackQueueMs <= 0) {
        adjustQueue();
    } else if (m_playbackStream->underruns() != m_underrunsSeen) {
        m_underrunsSeen = m_playbackStream->underruns();
        if (m_capture)
            m_capture->playbackRestarted();
    }
    // Keep only what the device needs queued: every block more is latency.
    const int block = int(m_block.size());
    while (m_playbackStream && m_mixer && m_playbackStream->samplesQueued() < m_queueSamples &&
           m_playbackStream->samplesFree() >= block) {
        m_mixer->render(m_block.data(), block);
        m_outputMeter.feed(m_block.data(), block, [this](int peak) { Q_EMIT OutputLevel(peak); });
        const int written = m_playbackStream->write(m_block.data(), block);
        if (m_capture)
            m_capture->played(m_block.data(), written);
        m_recent.insert(m_recent.end(), m_block.begin(), m_block.begin() + written);
        if (m_recent.size() > size_t(samplesForMs(200)))
            m_recent.erase(m_recent.begin(), m_recent.end() - samplesForMs(100));
        m_sinceReport += written;
        m_calmSamples += written;
        m_sinceOpen += written;
        if (m_sinceTrim >= 0)
            m_sinceTrim += written;
        if (written < block)
            break;
    }
    if (m_mixer && m_options.receptionReportMs > 0 &&
        m_sinceReport >= samplesForMs(m_options.receptionReportMs)) {
        m_sinceReport = 0;
        const auto reception = m_mixer->takeReception();
        for (auto it = reception.cbegin(); it != reception.cend(); ++it) {
            if (it.value().received + it.value().lost > 0)
                Q_EMIT ReceptionReport(it.key(), it.value().lossPercent());
        }
    }
}

void VoiceEngine::deviceFailed(const VoiceResult& result)
{
    // Called from inside a stream's handler: tear down once control is back
    // in the event loop.
    if (m_failing)
        return;
    m_failing = true;
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            Disconnect();
            Q_EMIT DeviceError(result);
        },
        Qt::QueuedConnection);
}

} // namespace kalimo
