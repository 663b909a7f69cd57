#pragma once

#include "audiobackend.h"

#include <memory>

namespace kalimo {

// The machine's devices through Qt Multimedia, push mode both ways, with
// explicit devices and buffer sizes (Qt's defaults are unusable for voice).
// Streams belong to the thread that opens them.
class QtAudioBackend final : public AudioBackend
{
public:
    QtAudioBackend();
    ~QtAudioBackend() override;

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
    // Qt devices not yet deleted, of every backend.
    static int liveDevices();

    class Retired; // stopped devices, deleted with the backend at the latest

private:
    std::unique_ptr<Retired> m_retired;
};

} // namespace kalimo
