#pragma once

#include "voiceresult.h"

#include <memory>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace kalimo {

// Takes the speaker's sound back out of the microphone: an adaptive filter
// fed with exactly what went to the speaker, held back by the output
// latency so that it never runs ahead of the echo it has to cancel.
class EchoCanceller final
{
public:
    static constexpr int kTailMs = 250;

    static std::unique_ptr<EchoCanceller> create(int blockSamples, VoiceResult& result,
                                                 int tailMs = kTailMs);
    ~EchoCanceller();

    // Samples as they were written to the speaker, in order.
    void playback(const qint16* samples, int count);
    // Samples written and not yet heard (the playback device's queue).
    void setOutputLatency(int samples) { m_latency = samples < 0 ? 0 : samples; }
    // One block of blockSamples: the microphone in, the cleaned block out.
    void process(const qint16* mic, qint16* out);
    // Lets the preprocessor remove what the filter leaves.
    void attach(SpeexPreprocessState_* preprocess);
    // Forgets the echo path: after the speaker ran dry its delay changed.
    void reset();

private:
    EchoCanceller(SpeexEchoState_* state, int blockSamples);
    SpeexEchoState_* m_state;
    int m_blockSamples;
    int m_latency = 0;
    std::vector<qint16> m_far; // written and not yet used, oldest first
    std::vector<qint16> m_reference;
    double m_farLevel = 0;   // the reference's recent peak energy per sample
    double m_echoReturn = 0; // microphone over far end while only echo is heard
    float m_gain = 1.0f;     // on what the filter leaves while only the far end talks
};

} // namespace kalimo
