#pragma once

#include "echocanceller.h"
#include "opuscodec.h"
#include "transmitgate.h"
#include "voiceconfig.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <vector>

struct SpeexPreprocessState_;

namespace kalimo {

// Microphone samples in, Opus frames out: record gain, echo cancellation,
// denoise and automatic gain, the transmit gate with its pre-roll, the
// encoder, and the input level.
class CapturePipeline final
{
public:
    struct Options
    {
        int frameMs = 20; // 10 or 20
        int bitrate = 32000;
        int hangoverMs = 400;
        bool echoCancel = true;
        // Audio from before a voice-activated opening that is sent first.
        int preRollMs = 60;
    };
    struct Events
    {
        std::function<void(const QByteArray& frame, quint16 seq)> frame;
        std::function<void(bool open)> gate; // on every change
        std::function<void(int peak)> level;
    };

    static std::unique_ptr<CapturePipeline> create(const Options& options, Events events,
                                                   VoiceResult& result);
    ~CapturePipeline();

    void setConfig(const VoiceClientConfig& config);
    // Any number of samples; frames go out as they complete.
    void push(const qint16* samples, int count);
    // Closes the gate (reporting it) and forgets partial audio.
    void stop();
    // What the speaker was given, for the echo canceller.
    void played(const qint16* samples, int count);
    void setOutputLatency(int samples);
    // The speaker ran dry: what it plays now is heard later than before.
    void playbackRestarted();
    // The loss the listeners report: sizes the redundancy sent.
    void setExpectedLoss(int percent);
    bool echoCancelling() const { return m_echo != nullptr; }

    bool gateOpen() const { return m_reportedOpen; }
    int frameSamples() const { return m_encoder->frameSamples(); }
    qint64 encodeFailures() const { return m_encodeFailures; }

private:
    CapturePipeline(const Options& options, Events events,
                    std::unique_ptr<OpusFrameEncoder> encoder, SpeexPreprocessState_* preprocess,
                    SpeexPreprocessState_* vad, std::unique_ptr<EchoCanceller> echo);
    void processBlock(qint16* block);
    void finishFrame();
    void send(const qint16* pcm, quint16 seq);
    void setGate(bool open);

    Options m_options;
    Events m_events;
    std::unique_ptr<OpusFrameEncoder> m_encoder;
    SpeexPreprocessState_* m_preprocess; // denoise and automatic gain
    SpeexPreprocessState_* m_vad;        // the speech probability only
    std::unique_ptr<EchoCanceller> m_echo;
    TransmitGate m_gate;
    PeakMeter m_meter;
    VoiceClientConfig m_config;
    float m_manualGain = 1.0f;
    bool m_agc = false;
    std::vector<qint16> m_block; // partial 10 ms block
    std::vector<qint16> m_frame; // processed samples of the current frame
    bool m_frameWanted = false;  // the gate was open during this frame
    bool m_reportedOpen = false;
    // Frames not sent, newest last, with their sequence numbers.
    std::vector<std::pair<std::vector<qint16>, quint16>> m_history;
    bool m_preRollDue = false;
    quint16 m_seq = 0;
    qint64 m_encodeFailures = 0;
    // Copies of earlier frames each packet carries, and the frames sent
    // last, newest first.
    int m_spares = 0;
    std::vector<std::pair<QByteArray, quint16>> m_sent;
};

} // namespace kalimo
