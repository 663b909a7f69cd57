#pragma once

#include "audiobackend.h"

namespace kalimo {

// The machine's devices through Qt Multimedia, push mode both ways, with
// explicit devices and buffer sizes (Qt's defaults are unusable for voice).
// Streams belong to the thread that opens them.
class QtAudioBackend final : public AudioBackend
{
public:
    QList<AudioDevice> inputDevices() const override;
    QList<AudioDevice> outputDevices() const override;

    OpenResult<CaptureStream> openCapture(const QByteArray& deviceId, int bufferMs,
                                          CaptureHandler onSamples,
                                          StreamErrorHandler onError) override;
    OpenResult<PlaybackStream> openPlayback(const QByteArray& deviceId, int bufferMs,
                                            PlaybackHandler onRoom,
                                            StreamErrorHandler onError) override;

    // How often playback asks for data.
    static constexpr int kPushIntervalMs = 2;
    // Kept queued at first once PulseAudio plays; more after it ran dry.
    // Pushed every 2 ms, 20 ms ran dry about once a minute on a machine
    // with a load average of 5, every 10 ms 48 times (bench_pipeline
    // underrun).
    static constexpr int kQueueMs = 20;
};

} // namespace kalimo
