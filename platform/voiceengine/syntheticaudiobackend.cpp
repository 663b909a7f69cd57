#include "syntheticaudiobackend.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kalimo {

namespace {
QString trSynthetic(const char* text)
{
    return QCoreApplication::translate("SyntheticAudioBackend", text);
}
} // namespace

struct SyntheticAudioBackend::State
{
    QList<AudioDevice> inputs{{defaultInputId(), QStringLiteral("Synthetic input"), true}};
    QList<AudioDevice> outputs{{defaultOutputId(), QStringLiteral("Synthetic output"), true}};
    QHash<QByteArray, VoiceResult> openFailures;
    SignalSource source;
    qint64 now = 0;

    // Capture.
    bool captureOpen = false;
    int captureBufferMs = 0;
    QByteArray captureDevice;
    CaptureHandler onSamples;
    StreamErrorHandler onCaptureError;
    std::vector<qint16> capturePending;

    // Playback.
    bool playbackOpen = false;
    int playbackBufferMs = 0;
    QByteArray playbackDevice;
    PlaybackHandler onRoom;
    StreamErrorHandler onPlaybackError;
    std::vector<qint16> fifo;
    int capacity = 0;
    QVector<qint16> played;
    qint64 openedAt = 0;
    int underruns = 0;
    int stalledTicks = 0; // playback ticks left without asking for more
    bool wholeBufferQueued = false;

    // What the speaker plays leaks into the microphone.
    double echoGain = 0;
    int echoDelaySamples = 0;
};

namespace {

class SyntheticCapture final : public CaptureStream
{
public:
    explicit SyntheticCapture(std::weak_ptr<SyntheticAudioBackend::State> s) : m_state(std::move(s))
    {
    }
    ~SyntheticCapture() override
    {
        if (auto s = m_state.lock()) {
            s->captureOpen = false;
            s->onSamples = nullptr;
            s->onCaptureError = nullptr;
            s->capturePending.clear();
        }
    }

private:
    std::weak_ptr<SyntheticAudioBackend::State> m_state;
};

class SyntheticPlayback final : public PlaybackStream
{
public:
    explicit SyntheticPlayback(std::weak_ptr<SyntheticAudioBackend::State> s)
        : m_state(std::move(s))
    {
    }
    ~SyntheticPlayback() override
    {
        if (auto s = m_state.lock()) {
            s->playbackOpen = false;
            s->onRoom = nullptr;
            s->onPlaybackError = nullptr;
            s->fifo.clear();
        }
    }

    int samplesFree() const override
    {
        auto s = m_state.lock();
        return s ? std::max(0, s->capacity - int(s->fifo.size())) : 0;
    }

    int write(const qint16* samples, int count) override
    {
        auto s = m_state.lock();
        if (!s || count <= 0)
            return 0;
        const int n = std::min(count, std::max(0, s->capacity - int(s->fifo.size())));
        s->fifo.insert(s->fifo.end(), samples, samples + n);
        return n;
    }

    int samplesQueued() const override
    {
        auto s = m_state.lock();
        return s ? int(s->fifo.size()) : 0;
    }

    int capacity() const override
    {
        auto s = m_state.lock();
        return s ? s->capacity : 0;
    }

    // Each tick plays a tick's worth and then asks for more.
    int minimumQueue() const override
    {
        auto s = m_state.lock();
        return s && s->wholeBufferQueued ? s->capacity
                                         : samplesForMs(SyntheticAudioBackend::kTickMs);
    }

    int underruns() const override
    {
        auto s = m_state.lock();
        return s ? s->underruns : 0;
    }

private:
    std::weak_ptr<SyntheticAudioBackend::State> m_state;
};

VoiceResult checkOpen(const QList<AudioDevice>& list,
                      const QHash<QByteArray, VoiceResult>& failures, const QByteArray& id,
                      bool busy)
{
    if (list.isEmpty())
        return VoiceResult::failure(
            VoiceError::NoAudioSystem,
            trSynthetic(QT_TRANSLATE_NOOP("SyntheticAudioBackend",
                                          "Nessuna periferica audio disponibile")));
    const bool listed =
        std::any_of(list.begin(), list.end(), [&](const AudioDevice& d) { return d.id == id; });
    if (!listed)
        return VoiceResult::failure(
            VoiceError::DeviceNotFound,
            trSynthetic(
                QT_TRANSLATE_NOOP("SyntheticAudioBackend", "La periferica audio %1 non è presente"))
                .arg(QString::fromUtf8(id)));
    if (failures.contains(id))
        return failures.value(id);
    if (busy)
        return VoiceResult::failure(
            VoiceError::DeviceOpenFailed,
            trSynthetic(QT_TRANSLATE_NOOP("SyntheticAudioBackend", "La periferica è occupata")));
    return VoiceResult::success();
}

} // namespace

SyntheticAudioBackend::SyntheticAudioBackend() : m_state(std::make_shared<State>()) {}

SyntheticAudioBackend::~SyntheticAudioBackend() = default;

void SyntheticAudioBackend::setInputDevices(QList<AudioDevice> devices)
{
    m_state->inputs = std::move(devices);
}

void SyntheticAudioBackend::setOutputDevices(QList<AudioDevice> devices)
{
    m_state->outputs = std::move(devices);
}

void SyntheticAudioBackend::setOpenFailure(const QByteArray& deviceId, VoiceResult result)
{
    m_state->openFailures.insert(deviceId, std::move(result));
}

void SyntheticAudioBackend::setCaptureSource(SignalSource source)
{
    m_state->source = std::move(source);
}

QList<AudioDevice> SyntheticAudioBackend::inputDevices() const
{
    return m_state->inputs;
}

QList<AudioDevice> SyntheticAudioBackend::outputDevices() const
{
    return m_state->outputs;
}

OpenResult<CaptureStream> SyntheticAudioBackend::openCapture(const QByteArray& deviceId,
                                                             int bufferMs, CaptureHandler onSamples,
                                                             StreamErrorHandler onError)
{
    State& s = *m_state;
    VoiceResult r = checkOpen(s.inputs, s.openFailures, deviceId, s.captureOpen);
    if (!r.ok())
        return {nullptr, r};
    s.captureOpen = true;
    s.captureBufferMs = bufferMs;
    s.captureDevice = deviceId;
    s.onSamples = std::move(onSamples);
    s.onCaptureError = std::move(onError);
    s.capturePending.clear();
    return {std::make_unique<SyntheticCapture>(m_state), r};
}

OpenResult<PlaybackStream> SyntheticAudioBackend::openPlayback(const QByteArray& deviceId,
                                                               int bufferMs, PlaybackHandler onRoom,
                                                               StreamErrorHandler onError)
{
    State& s = *m_state;
    VoiceResult r = checkOpen(s.outputs, s.openFailures, deviceId, s.playbackOpen);
    if (!r.ok())
        return {nullptr, r};
    s.playbackOpen = true;
    s.playbackBufferMs = bufferMs;
    s.playbackDevice = deviceId;
    s.onRoom = std::move(onRoom);
    s.onPlaybackError = std::move(onError);
    s.fifo.clear();
    s.capacity = samplesForMs(std::max(bufferMs, kTickMs));
    s.played.clear();
    s.openedAt = s.now;
    s.underruns = 0;
    return {std::make_unique<SyntheticPlayback>(m_state), r};
}

namespace {

// Mixes into a captured block what the speaker played the echo delay ago.
void addEcho(SyntheticAudioBackend::State& s, qint16* block, int count)
{
    const qint64 start = s.now - s.openedAt - s.echoDelaySamples;
    for (int i = 0; i < count; ++i) {
        const qint64 at = start + i;
        if (at < 0 || at >= s.played.size())
            continue;
        const long v = block[i] + std::lround(s.echoGain * s.played[qsizetype(at)]);
        block[i] = qint16(std::clamp(v, -32768L, 32767L));
    }
}

} // namespace

void SyntheticAudioBackend::setEchoPath(double gain, int delayMs)
{
    m_state->echoGain = gain;
    m_state->echoDelaySamples = samplesForMs(delayMs);
}

void SyntheticAudioBackend::advance(int ms)
{
    // Handlers may close streams (and so clear these callbacks): keep the
    // state alive and re-check before every call.
    std::shared_ptr<State> keep = m_state;
    State& s = *keep;
    const int tick = samplesForMs(kTickMs);
    std::vector<qint16> block(size_t(tick), 0);
    for (int done = 0; done < ms; done += kTickMs) {
        s.source.generate(block.data(), tick);
        if (s.echoGain != 0 && s.playbackOpen)
            addEcho(s, block.data(), tick);
        if (s.captureOpen) {
            s.capturePending.insert(s.capturePending.end(), block.begin(), block.end());
            const size_t chunk = size_t(samplesForMs(std::max(s.captureBufferMs, kTickMs)));
            while (s.captureOpen && s.capturePending.size() >= chunk) {
                std::vector<qint16> out(s.capturePending.begin(),
                                        s.capturePending.begin() + qsizetype(chunk));
                s.capturePending.erase(s.capturePending.begin(),
                                       s.capturePending.begin() + qsizetype(chunk));
                CaptureHandler handler = s.onSamples;
                if (handler)
                    handler(out.data(), int(out.size()));
            }
        }
        if (s.playbackOpen) {
            const int n = std::min(tick, int(s.fifo.size()));
            const qsizetype at = s.played.size();
            s.played.resize(at + n);
            std::copy(s.fifo.begin(), s.fifo.begin() + n, s.played.begin() + at);
            s.fifo.erase(s.fifo.begin(), s.fifo.begin() + n);
            if (n < tick) {
                s.played.resize(s.played.size() + (tick - n), 0);
                ++s.underruns;
            }
        }
        s.now += tick;
        if (s.playbackOpen && s.stalledTicks > 0) {
            --s.stalledTicks;
        } else if (s.playbackOpen) {
            PlaybackHandler handler = s.onRoom;
            if (handler)
                handler();
        }
    }
}

void SyntheticAudioBackend::stallFeed(int ms)
{
    m_state->stalledTicks = ms / kTickMs;
}

void SyntheticAudioBackend::setWholeBufferQueued(bool whole)
{
    m_state->wholeBufferQueued = whole;
}

void SyntheticAudioBackend::failCapture(const VoiceResult& result)
{
    StreamErrorHandler handler = m_state->onCaptureError;
    if (m_state->captureOpen && handler)
        handler(result);
}

void SyntheticAudioBackend::failPlayback(const VoiceResult& result)
{
    StreamErrorHandler handler = m_state->onPlaybackError;
    if (m_state->playbackOpen && handler)
        handler(result);
}

qint64 SyntheticAudioBackend::nowSamples() const
{
    return m_state->now;
}
bool SyntheticAudioBackend::captureOpen() const
{
    return m_state->captureOpen;
}
bool SyntheticAudioBackend::playbackOpen() const
{
    return m_state->playbackOpen;
}
int SyntheticAudioBackend::captureBufferMs() const
{
    return m_state->captureBufferMs;
}
int SyntheticAudioBackend::playbackBufferMs() const
{
    return m_state->playbackBufferMs;
}
QByteArray SyntheticAudioBackend::captureDevice() const
{
    return m_state->captureDevice;
}
QByteArray SyntheticAudioBackend::playbackDevice() const
{
    return m_state->playbackDevice;
}
const QVector<qint16>& SyntheticAudioBackend::played() const
{
    return m_state->played;
}
qint64 SyntheticAudioBackend::playbackOpenedAt() const
{
    return m_state->openedAt;
}
int SyntheticAudioBackend::underruns() const
{
    return m_state->underruns;
}

void SyntheticAudioBackend::clearPlayed()
{
    m_state->played.clear();
    m_state->openedAt = m_state->now;
}

} // namespace kalimo
