#pragma once

#include "audiobackend.h"
#include "signalsource.h"
#include "transmitgate.h"

#include <QObject>

#include <memory>

namespace kalimo {

// What the audio set-up window needs besides the device lists: a live level
// of the chosen input and a short test sound on the chosen output.
class AudioSetupProbe final : public QObject
{
    Q_OBJECT
public:
    // The backend must outlive the probe.
    explicit AudioSetupProbe(AudioBackend& backend, QObject* parent = nullptr);
    ~AudioSetupProbe() override;

    QList<AudioDevice> inputDevices() const { return m_backend.inputDevices(); }
    QList<AudioDevice> outputDevices() const { return m_backend.outputDevices(); }

    // InputLevel every `periodMs` of audio until stopped or restarted.
    VoiceResult startInputLevel(const QByteArray& inputId, int periodMs = 100);
    void stopInputLevel();
    // A tone; TestSoundFinished once it has played out (or failed).
    VoiceResult playTestSound(const QByteArray& outputId, int durationMs = 800, double hz = 440.0);
    void stopTestSound();
    bool testSoundPlaying() const { return m_playback != nullptr; }

Q_SIGNALS:
    void InputLevel(int peak);
    void TestSoundFinished();

private:
    void feedTestSound();
    void finishTestSound();

    AudioBackend& m_backend;
    std::unique_ptr<CaptureStream> m_capture;
    std::unique_ptr<PlaybackStream> m_playback;
    PeakMeter m_meter;
    SignalSource m_tone;
    qint64 m_toneLeft = 0;  // samples of tone still to write
    qint64 m_drainLeft = 0; // samples of silence to let the device empty
    bool m_finishing = false;
};

} // namespace kalimo
