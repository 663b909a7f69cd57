#include "qtaudiobackend.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioSource>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace kalimo {

namespace {

QString trAudio(const char* text)
{
    return QCoreApplication::translate("QtAudioBackend", text);
}

QAudioFormat voiceFormat()
{
    QAudioFormat format;
    format.setSampleRate(kSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

QList<AudioDevice> toDevices(const QList<QAudioDevice>& list)
{
    QList<AudioDevice> out;
    for (const QAudioDevice& d : list)
        out.append({d.id(), d.description(), d.isDefault()});
    return out;
}

// Finds the device or says why not.
VoiceResult findDevice(const QList<QAudioDevice>& list, const QByteArray& id, QAudioDevice& found)
{
    if (list.isEmpty())
        return VoiceResult::failure(
            VoiceError::NoAudioSystem,
            trAudio(QT_TRANSLATE_NOOP(
                "QtAudioBackend",
                "Nessuna periferica audio disponibile (il server audio è avviato?)")));
    for (const QAudioDevice& d : list) {
        if (d.id() == id) {
            found = d;
            if (!d.isFormatSupported(voiceFormat()))
                return VoiceResult::failure(
                    VoiceError::FormatUnsupported,
                    trAudio(QT_TRANSLATE_NOOP(
                                "QtAudioBackend",
                                "La periferica %1 non accetta audio a 48 kHz mono 16 bit"))
                        .arg(d.description()));
            return VoiceResult::success();
        }
    }
    return VoiceResult::failure(
        VoiceError::DeviceNotFound,
        trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "La periferica audio %1 non è presente"))
            .arg(QString::fromUtf8(id)));
}

QString describe(QAudio::Error e)
{
    switch (e) {
    case QAudio::NoError:
        return trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "nessun errore"));
    case QAudio::OpenError:
        return trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "la periferica non si apre"));
    case QAudio::IOError:
        return trAudio(
            QT_TRANSLATE_NOOP("QtAudioBackend", "lettura o scrittura sulla periferica fallita"));
    case QAudio::UnderrunError:
        return trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "la periferica è rimasta senza dati"));
    case QAudio::FatalError:
        return trAudio(
            QT_TRANSLATE_NOOP("QtAudioBackend", "la periferica ha smesso di funzionare"));
    }
    return trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "errore audio sconosciuto"));
}

std::atomic<int> gLiveDevices{0};

template <class Device> Device* track(Device* device)
{
    ++gLiveDevices;
    QObject::connect(device, &QObject::destroyed, [] { --gLiveDevices; });
    return device;
}

} // namespace

// Qt 6.4's PulseAudio streams can still call into their Qt object from
// PulseAudio's thread for a moment after stop(): a reply racing the stream's
// disconnection (seen as a crash in QPlatformAudioSink::errorChanged on
// PulseAudio's thread after the sink was deleted). So a stopped device is
// deleted a second later; the backend deletes those still waiting when it
// goes, as the thread that owns them may never run its timers again, and a
// device alive when Qt frees PulseAudio's loop after main() aborts.
// Deleted outright, never through deleteLater: Qt's PulseAudio sink runs the
// event loop in its destructor, where a deleteLater of the same device that
// came due would delete it a second time.
class QtAudioBackend::Retired final : public QObject
{
public:
    Retired()
    {
        m_sweep.setInterval(250);
        QObject::connect(&m_sweep, &QTimer::timeout, this, [this] { sweep(false); });
    }
    ~Retired() override
    {
        m_sweep.stop();
        sweep(true);
    }

    template <class Device> void adopt(Device* device)
    {
        QObject::disconnect(device, nullptr, nullptr, nullptr); // the count's too
        QObject::connect(device, &QObject::destroyed, [] { --gLiveDevices; });
        device->stop();
        if (device->thread() != thread()) {
            QTimer::singleShot(1000, device, &QObject::deleteLater);
            return;
        }
        m_waiting.push_back({device, QDeadlineTimer(1000)});
        m_since.start();
        if (!m_sweep.isActive())
            m_sweep.start();
    }
    // A stopped device's last replies come within a round trip of the
    // server: wait out the youngest's before deleting it.
    void settle() const
    {
        constexpr qint64 kSettleMs = 200;
        if (m_since.isValid() && m_since.elapsed() < kSettleMs)
            QThread::msleep(quint64(kSettleMs - m_since.elapsed()));
    }

private:
    // Taken off the list before any is deleted: a deletion may run the
    // event loop, and with it this sweep again.
    void sweep(bool all)
    {
        std::vector<QPointer<QObject>> due;
        std::erase_if(m_waiting, [&](const Waiting& w) {
            if (!all && !w.deadline.hasExpired())
                return false;
            due.push_back(w.device);
            return true;
        });
        if (m_waiting.empty())
            m_sweep.stop();
        for (const QPointer<QObject>& device : due)
            delete device.data();
    }

    struct Waiting
    {
        QPointer<QObject> device;
        QDeadlineTimer deadline;
    };
    std::vector<Waiting> m_waiting;
    QTimer m_sweep;
    QElapsedTimer m_since;
};

namespace {

int bytesForMs(int ms)
{
    return samplesForMs(ms) * int(sizeof(qint16));
}

class QtCapture final : public QObject, public CaptureStream
{
public:
    QtCapture(QtAudioBackend::Retired& retired, const QAudioDevice& device, int bufferMs,
              CaptureHandler onSamples, StreamErrorHandler onError)
        : m_retired(retired), m_source(track(new QAudioSource(device, voiceFormat()))),
          m_onSamples(std::move(onSamples)), m_onError(std::move(onError))
    {
        m_source->setBufferSize(bytesForMs(bufferMs));
    }
    ~QtCapture() override { m_retired.adopt(m_source); }

    VoiceResult start()
    {
        m_io = m_source->start();
        if (!m_io || m_source->error() != QAudio::NoError)
            return VoiceResult::failure(
                VoiceError::DeviceOpenFailed,
                trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "Registrazione: %1"))
                    .arg(describe(m_source->error())));
        QObject::connect(m_io, &QIODevice::readyRead, this, &QtCapture::drain);
        QObject::connect(m_source, &QAudioSource::stateChanged, this, &QtCapture::onState);
        return VoiceResult::success();
    }

private:
    void drain()
    {
        const QByteArray bytes = m_io->readAll();
        if (bytes.isEmpty())
            return;
        m_pending.append(bytes);
        const int count = int(m_pending.size() / qsizetype(sizeof(qint16)));
        if (count == 0)
            return;
        m_samples.resize(size_t(count));
        std::memcpy(m_samples.data(), m_pending.constData(), size_t(count) * sizeof(qint16));
        m_pending.remove(0, qsizetype(count) * qsizetype(sizeof(qint16)));
        m_onSamples(m_samples.data(), count);
    }

    void onState(QAudio::State)
    {
        const QAudio::Error e = m_source->error();
        if (e == QAudio::NoError || e == QAudio::UnderrunError || m_failed)
            return;
        m_failed = true;
        if (m_onError)
            m_onError(VoiceResult::failure(
                VoiceError::DeviceFailed,
                trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "Registrazione: %1"))
                    .arg(describe(e))));
    }

    QtAudioBackend::Retired& m_retired;
    QAudioSource* m_source; // see Retired
    QIODevice* m_io = nullptr;
    CaptureHandler m_onSamples;
    StreamErrorHandler m_onError;
    QByteArray m_pending;
    std::vector<qint16> m_samples;
    bool m_failed = false;
};

class QtPlayback final : public QObject, public PlaybackStream
{
public:
    QtPlayback(QtAudioBackend::Retired& retired, const QAudioDevice& device, int bufferMs,
               PlaybackHandler onRoom, StreamErrorHandler onError)
        : m_retired(retired), m_sink(track(new QAudioSink(device, voiceFormat()))),
          m_onRoom(std::move(onRoom)), m_onError(std::move(onError))
    {
        m_sink->setBufferSize(bytesForMs(bufferMs));
        m_timer.setInterval(QtAudioBackend::kPushIntervalMs);
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    ~QtPlayback() override
    {
        m_timer.stop();
        m_retired.adopt(m_sink);
    }

    VoiceResult start()
    {
        m_io = m_sink->start();
        if (!m_io || m_sink->error() != QAudio::NoError)
            return VoiceResult::failure(
                VoiceError::DeviceOpenFailed,
                trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "Riproduzione: %1"))
                    .arg(describe(m_sink->error())));
        QObject::connect(m_sink, &QAudioSink::stateChanged, this, &QtPlayback::onState);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            // Away for longer than the audio left queued: it ran dry on us.
            if (m_lastTickNs > 0 && (now - m_lastTickNs) / 1000 >= m_queuedUs)
                m_starvedAtNs = now;
            m_lastTickNs = now;
            const int seen = m_underruns;
            // Full once and drained since: the server is playing. Nothing
            // drained for a while: it stopped, waiting for a full buffer.
            const qsizetype free = m_sink->bytesFree();
            if (!m_playing && m_filled && free > 0)
                m_playing = true;
            if (m_playing) {
                m_stalledTicks = free == m_lastFree ? m_stalledTicks + 1 : 0;
                if (m_stalledTicks * QtAudioBackend::kPushIntervalMs >= 50) {
                    m_playing = m_filled = false;
                    m_stalledTicks = 0;
                    ++m_underruns;
                }
            }
            if (m_underruns != seen)
                countLateFeed(now);
            m_onRoom();
            m_lastFree = m_sink->bytesFree();
            m_queuedUs = qint64(std::max<qsizetype>(0, m_sink->bufferSize() - m_lastFree)) *
                         1000000 / (kSampleRate * qint64(sizeof(qint16)));
            if (!m_playing && m_lastFree < samplesForMs(QtAudioBackend::kPushIntervalMs) * 2)
                m_filled = true;
        });
        m_timer.start();
        m_clock.start();
        return VoiceResult::success();
    }

    int samplesFree() const override
    {
        return m_io ? int(m_sink->bytesFree() / qsizetype(sizeof(qint16))) : 0;
    }

    int write(const qint16* samples, int count) override
    {
        if (!m_io || count <= 0)
            return 0;
        const qint64 written = m_io->write(reinterpret_cast<const char*>(samples),
                                           qint64(count) * qint64(sizeof(qint16)));
        return written > 0 ? int(written / qint64(sizeof(qint16))) : 0;
    }

    int samplesQueued() const override
    {
        // PulseAudio starts a stream, and starts it again after running
        // dry, only once its whole buffer is full: until then nothing
        // counts as queued.
        if (!m_io || !m_playing)
            return 0;
        return int(std::max<qsizetype>(0, m_sink->bufferSize() - m_sink->bytesFree()) /
                   qsizetype(sizeof(qint16)));
    }

    int capacity() const override
    {
        return m_io ? int(m_sink->bufferSize() / qsizetype(sizeof(qint16))) : 0;
    }

    // PulseAudio splits the buffer asked for: a quarter goes to the sink,
    // which takes a block that long at a time, and the stream asks for more
    // only a quarter at a time, so what bytesFree() shows as queued can be
    // that much ahead of what is really there. Only a full buffer always
    // holds a block more than the sink takes: a larger queue needs a larger
    // buffer.
    int minimumQueue() const override { return capacity(); }

    int underruns() const override { return m_underruns; }
    int lateFeeds() const override { return m_lateFeeds; }

private:
    void countLateFeed(qint64 now)
    {
        if (m_starvedAtNs > 0 && now - m_starvedAtNs < 200000000)
            ++m_lateFeeds;
        m_starvedAtNs = 0;
    }

    void onState(QAudio::State state)
    {
        // Running dry is reported from PulseAudio's thread; by the time the
        // signal gets here our next write has cleared the sink's error, so
        // the state is all there is to go by.
        if (state == QAudio::IdleState) {
            ++m_underruns;
            countLateFeed(m_clock.nsecsElapsed());
            m_playing = m_filled = false;
        }
        const QAudio::Error e = m_sink->error();
        if (e == QAudio::NoError || e == QAudio::UnderrunError || m_failed)
            return;
        m_failed = true;
        m_timer.stop();
        if (m_onError)
            m_onError(VoiceResult::failure(
                VoiceError::DeviceFailed,
                trAudio(QT_TRANSLATE_NOOP("QtAudioBackend", "Riproduzione: %1")).arg(describe(e))));
    }

    QtAudioBackend::Retired& m_retired;
    QAudioSink* m_sink; // see Retired
    QIODevice* m_io = nullptr;
    QTimer m_timer;
    PlaybackHandler m_onRoom;
    StreamErrorHandler m_onError;
    bool m_failed = false;
    int m_underruns = 0;
    bool m_filled = false;
    bool m_playing = false;
    qsizetype m_lastFree = -1;
    int m_stalledTicks = 0;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    qint64 m_queuedUs = 0;    // queued after the last feed
    qint64 m_starvedAtNs = 0; // when a feed last came too late
    int m_lateFeeds = 0;
};

template <class Stream, class Impl, class Handler>
OpenResult<Stream> openStream(QtAudioBackend::Retired& retired, const QList<QAudioDevice>& devices,
                              const QByteArray& id, int bufferMs, Handler handler,
                              StreamErrorHandler onError)
{
    QAudioDevice device;
    VoiceResult found = findDevice(devices, id, device);
    if (!found.ok())
        return {nullptr, found};
    auto stream =
        std::make_unique<Impl>(retired, device, bufferMs, std::move(handler), std::move(onError));
    VoiceResult started = stream->start();
    if (!started.ok())
        return {nullptr, started};
    return {std::move(stream), started};
}

} // namespace

QtAudioBackend::QtAudioBackend() : m_retired(std::make_unique<Retired>()) {}

QtAudioBackend::~QtAudioBackend()
{
    m_retired->settle();
}

int QtAudioBackend::liveDevices()
{
    return gLiveDevices;
}

QList<AudioDevice> QtAudioBackend::inputDevices() const
{
    return toDevices(QMediaDevices::audioInputs());
}

QList<AudioDevice> QtAudioBackend::outputDevices() const
{
    return toDevices(QMediaDevices::audioOutputs());
}

OpenResult<CaptureStream> QtAudioBackend::openCapture(const QByteArray& deviceId, int bufferMs,
                                                      CaptureHandler onSamples,
                                                      StreamErrorHandler onError)
{
    return openStream<CaptureStream, QtCapture>(*m_retired, QMediaDevices::audioInputs(), deviceId,
                                                bufferMs, std::move(onSamples), std::move(onError));
}

OpenResult<PlaybackStream> QtAudioBackend::openPlayback(const QByteArray& deviceId, int bufferMs,
                                                        PlaybackHandler onRoom,
                                                        StreamErrorHandler onError)
{
    return openStream<PlaybackStream, QtPlayback>(*m_retired, QMediaDevices::audioOutputs(),
                                                  deviceId, bufferMs, std::move(onRoom),
                                                  std::move(onError));
}

} // namespace kalimo
