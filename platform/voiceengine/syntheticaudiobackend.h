#pragma once

#include "audiobackend.h"
#include "signalsource.h"

#include <QHash>
#include <QVector>

#include <memory>

namespace kalimo {

// Devices that exist only in memory, for tests and benchmarks. Time is
// virtual: nothing happens until advance() is called. Capture plays the
// configured signal; playback is recorded sample by sample, so an index into
// played() is a time since the playback stream opened.
class SyntheticAudioBackend final : public AudioBackend
{
public:
    static constexpr int kTickMs = 10;

    SyntheticAudioBackend();
    ~SyntheticAudioBackend() override;

    static QByteArray defaultInputId() { return QByteArrayLiteral("synthetic-in"); }
    static QByteArray defaultOutputId() { return QByteArrayLiteral("synthetic-out"); }

    void setInputDevices(QList<AudioDevice> devices);
    void setOutputDevices(QList<AudioDevice> devices);
    // The device is listed but refuses to open with this result.
    void setOpenFailure(const QByteArray& deviceId, VoiceResult result);
    void setCaptureSource(SignalSource source);
    // The microphone also hears the speaker, `gain` times as loud and
    // `delayMs` later (a multiple of 10 ms).
    void setEchoPath(double gain, int delayMs);

    // Moves virtual time on by `ms` (in 10 ms ticks): capture delivers its
    // signal in chunks of its buffer size, playback plays out what was
    // written (silence on underrun) and then asks for more.
    void advance(int ms);
    // For the next `ms`, playback plays out without asking for more: a
    // feeding thread that is late.
    void stallFeed(int ms);
    // Playback needs its whole buffer queued, as PulseAudio's does: its size
    // is then its latency.
    void setWholeBufferQueued(bool whole);
    // A running stream fails as if unplugged.
    void failCapture(const VoiceResult& result);
    void failPlayback(const VoiceResult& result);

    qint64 nowSamples() const;
    bool captureOpen() const;
    bool playbackOpen() const;
    int captureBufferMs() const;  // as the last open asked
    int playbackBufferMs() const; // as the last open asked
    QByteArray captureDevice() const;
    QByteArray playbackDevice() const;
    // Everything the last playback stream played, one entry per sample.
    const QVector<qint16>& played() const;
    // Virtual time (samples) when that stream opened.
    qint64 playbackOpenedAt() const;
    // Ticks where less than a tick's worth of audio was waiting.
    int underruns() const;
    void clearPlayed();

    QList<AudioDevice> inputDevices() const override;
    QList<AudioDevice> outputDevices() const override;
    OpenResult<CaptureStream> openCapture(const QByteArray& deviceId, int bufferMs,
                                          CaptureHandler onSamples,
                                          StreamErrorHandler onError) override;
    OpenResult<PlaybackStream> openPlayback(const QByteArray& deviceId, int bufferMs,
                                            PlaybackHandler onRoom,
                                            StreamErrorHandler onError) override;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace kalimo
