#pragma once

#include "audiobackend.h"
#include "audiosettings.h"
#include "transmitgate.h"
#include "voiceconfig.h"
#include "voiceresult.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

#include <memory>
#include <vector>

namespace kalimo {

class CapturePipeline;
class PlaybackMixer;

// The voice of one room member: the microphone to encoded frames, the
// room's frames to the speakers. Lives on the media thread; the windows
// reach it only through queued signals and slots.
class VoiceEngine final : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int frameMs = 10; // 10 or 20
        int bitrate = 20000;
        int captureBufferMs = 5;
        // The device's buffer at first: the most that can be kept queued.
        // PulseAudio sizes its own latency by it, so it is no bigger than
        // needed; it grows (the device is reopened) when the queue must.
        int playbackBufferMs = 20;
        int hangoverMs = 400;
        int speakerTimeoutMs = 5000;
        // Kept queued at the device; 0 = the least the device needs, 5 ms
        // more each time it runs dry (in a buffer 5 ms larger when it holds
        // no more), 5 ms less after a calm spell (a grown buffer that must
        // be kept full comes back 5 ms smaller).
        int playbackQueueMs = 0;
        // Audio played without running dry before the queue is trimmed one
        // step; doubled each time a trim proves too eager.
        int queueTrimMs = 30000;
        // A device that runs dry this soon after it opened is still
        // starting: counted, but nothing grows for it.
        int playbackSettleMs = 1000;
        int preRollMs = 60;
        // How often each speaker's reception is reported (ms of audio).
        int receptionReportMs = 2000;
    };

    // The backend must outlive the engine.
    VoiceEngine(AudioBackend& backend, AudioSettings settings, QObject* parent = nullptr);
    VoiceEngine(AudioBackend& backend, AudioSettings settings, const Options& options,
                QObject* parent = nullptr);
    ~VoiceEngine() override;

    bool isConnected() const;
    bool isTransmitting() const;
    bool isEchoCancelling() const;
    // Playback underruns of the device since it opened.
    int playbackUnderruns() const;
    // Of those, the ones where the engine's thread was late to feed it.
    int playbackLateFeeds() const;
    // Kept queued at the playback device now: its least, and 5 ms more
    // after each time it ran dry, up to 20 more, trimmed back when calm.
    int playbackQueueMs() const;
    // The playback device's buffer now.
    int playbackBufferMs() const;
    const PlaybackMixer* mixer() const { return m_mixer.get(); }
    VoiceClientConfig clientConfig() const { return m_config; }
    int speakerCount() const;

public Q_SLOTS:
    // Opens the saved devices. SetupRequired when there is no saved choice
    // or a chosen device is gone: run the audio set-up, then try again.
    // Also reported through ConnectResult.
    kalimo::VoiceResult Connect(const kalimo::VoiceClientConfig& config);
    void Disconnect();
    kalimo::VoiceResult SetClientConfig(const kalimo::VoiceClientConfig& config);
    // Only "everyone" (a single 0) is supported.
    kalimo::VoiceResult SetTransmitTargets(const QList<quint32>& targets);
    void FrameReceived(quint32 speakerId, quint16 seq, const QByteArray& frame);
    void RemoveSpeaker(quint32 speakerId);
    // A member's own playback level (0..200 %) and local mute.
    void SetSpeakerLevel(quint32 speakerId, int percent, bool muted);
    // The loss the listeners report for our frames: sizes the in-band FEC.
    void SetExpectedLoss(int percent);
    // One listener's report: the worst listener's loss is expected.
    void ListenerReport(quint32 listenerId, int lossPercent);

Q_SIGNALS:
    void ConnectResult(const kalimo::VoiceResult& result);
    void FrameEncoded(const QByteArray& frame, quint16 seq);
    void InputLevel(int peak);
    void OutputLevel(int peak);
    void RecordStart();
    void RecordStop();
    // A running device failed; the engine has disconnected.
    void DeviceError(const kalimo::VoiceResult& result);
    // The share of a speaker's frames lost on the way to us lately.
    void ReceptionReport(quint32 speakerId, int lossPercent);

private:
    VoiceResult open(const VoiceClientConfig& config);
    VoiceResult chosenDevices(std::optional<AudioDeviceChoice>& choice);
    VoiceResult buildPipelines(const AudioDeviceChoice& choice, const VoiceClientConfig& config);
    VoiceResult openStreams(const AudioDeviceChoice& choice);
    void pushPlayback();
    void adjustQueue();
    // Later, from the event loop: never inside the stream's own handler.
    void reopenPlaybackLater(int bufferMs, int queueSamples);
    void deviceFailed(const VoiceResult& result);
    void applyConfig();

    AudioBackend& m_backend;
    AudioSettings m_settings;
    Options m_options;
    VoiceClientConfig m_config;
    std::unique_ptr<CapturePipeline> m_capture;
    std::unique_ptr<PlaybackMixer> m_mixer;
    std::unique_ptr<CaptureStream> m_captureStream;
    std::unique_ptr<PlaybackStream> m_playbackStream;
    std::vector<qint16> m_block;
    std::vector<qint16> m_recent; // the latest written to the playback device
    PeakMeter m_outputMeter;
    bool m_failing = false;
    QByteArray m_outputId;
    int m_bufferMs = 0;
    int m_generation = 0; // of the playback stream, for reopens already due
    int m_queueSamples = 0;
    int m_maxQueueSamples = 0;
    int m_underrunsSeen = 0;
    int m_underrunsBefore = 0; // of the streams reopened since Connect
    int m_lateFeedsBefore = 0;
    qint64 m_calmSamples = 0;      // played since the device last ran dry or was trimmed
    qint64 m_sinceTrim = -1;       // played since the last trim; -1 before one
    qint64 m_trimAfterSamples = 0; // calm needed before the next trim
    bool m_deviceShrunk = false;   // since the device last had to grow
    qint64 m_sinceOpen = 0;        // played since the device opened
    int m_expectedLoss = 0;
    qint64 m_sinceReport = 0; // samples played since the last reception report
    QHash<quint32, std::pair<int, bool>> m_levels;
    QHash<quint32, int> m_listenerLoss;
};

} // namespace kalimo
