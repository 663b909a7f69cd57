#pragma once

#include "voiceresult.h"

#include <memory>
#include <vector>

namespace webrtc {
class AudioFrame;
class AudioProcessing;
} // namespace webrtc

namespace kalimo {

// Takes the speaker's sound back out of the microphone with WebRTC's audio
// processing: fed with exactly what went to the speaker, held back by the
// output latency so that it never runs ahead of the echo it has to cancel.
// Works on 10 ms blocks, in order. The library delays what it cleans by
// 8 ms; while the speaker has been quiet long enough for its echo to have
// died away there is nothing to clean, and the microphone goes out as it
// came in. The library keeps running meanwhile, so it is ready when the
// speaker plays again: that sound reaches the microphone a playback queue
// later, and the canceller is back in the path before it does.
class EchoCanceller final
{
public:
    enum class Suppression { Low, Moderate, High };
    struct Options
    {
        // Low keeps a near talker during double talk; the adaptive filter
        // and the delay estimator already remove most of the echo.
        Suppression suppression = Suppression::Low;
        // WebRTC's own noise suppression; the capture path denoises with
        // speexdsp after us and leaves this off.
        bool noiseSuppression = false;
        bool highPass = true;
    };

    static std::unique_ptr<EchoCanceller> create(VoiceResult& result);
    static std::unique_ptr<EchoCanceller> create(const Options& options, VoiceResult& result);
    ~EchoCanceller();

    // Samples as they were written to the speaker, in order.
    void playback(const qint16* samples, int count);
    // Samples written and not yet heard (the playback device's queue).
    void setOutputLatency(int samples) { m_latency = samples < 0 ? 0 : samples; }
    // One 10 ms block: the microphone in, the cleaned block out. A block the
    // library refuses goes out as it came in. Coming back into the path
    // says 8 ms of the microphone again and leaving it skips 8 ms, so it
    // leaves only where `mayLeave` says nobody would hear it (nothing is
    // being sent).
    void process(const qint16* mic, qint16* out, bool mayLeave = true);
    // Whether the last block went through the library.
    bool inPath() const { return m_inPath; }
    // Forgets the echo path: after the speaker ran dry its delay changed.
    void reset();

private:
    explicit EchoCanceller(std::unique_ptr<webrtc::AudioProcessing> apm);
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    std::unique_ptr<webrtc::AudioFrame> m_frame;
    int m_latency = 0;
    std::vector<qint16> m_far; // written and not yet used, oldest first
    qint64 m_written = 0;      // samples written to the speaker so far
    qint64 m_lastLoud = -1;    // the last of them that could make an echo
    bool m_inPath = false;
};

} // namespace kalimo
