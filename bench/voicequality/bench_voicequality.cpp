// How the voice sounds: two echo cancellers side by side (echo return loss
// enhancement over time, double talk, CPU), speech under loss and jitter,
// and the bits a speaker sends. Prints figures; nothing passes or fails.
// Arguments pick the parts: echo, loss, bandwidth (none: all); noise runs
// only the capture chains' part of echo.

#include "platform/session/voiceimpairment.h"
#include "platform/voiceengine/echocanceller.h"
#include "platform/voiceengine/playbackmixer.h"
#include "platform/voiceengine/signalsource.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "platform/voiceengine/voiceengine.h"

#include <QCoreApplication>
#include <QMultiMap>
#include <QTemporaryDir>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

using namespace kalimo;

namespace {

const int kBlock = samplesForMs(10);

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double energy(const std::vector<qint16>& v, size_t from, size_t n)
{
    double sum = 0;
    for (size_t i = from; i < std::min(v.size(), from + n); ++i)
        sum += double(v[i]) * v[i];
    return sum;
}

double db(double ratio)
{
    return 10 * std::log10(std::max(ratio, 1e-12));
}

// ---------------------------------------------------------------- echo

// A canceller under test: far end (what the speaker plays) and near end
// (the microphone), 10 ms at a time.
class Canceller
{
public:
    virtual ~Canceller() = default;
    virtual void process(const qint16* far, const qint16* mic, qint16* out) = 0;
};

// What the capture path ran before WebRTC's canceller: speexdsp's echo
// canceller with a residual stage of ours (a block the filter took most of,
// or one no louder than the echo return learnt from such blocks, is lowered
// by 10 dB while only the far end talks), its preprocessor linked to it.
class SpeexCanceller final : public Canceller
{
public:
    explicit SpeexCanceller(int tailMs, int suppress = 0, int suppressActive = 0)
        : m_echo(speex_echo_state_init(kBlock, samplesForMs(tailMs))),
          m_pre(speex_preprocess_state_init(kBlock, kSampleRate))
    {
        spx_int32_t rate = kSampleRate, on = 1;
        speex_echo_ctl(m_echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_STATE, m_echo);
        if (suppress != 0) {
            spx_int32_t v = suppress, a = suppressActive;
            speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &v);
            speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &a);
        }
    }
    ~SpeexCanceller() override
    {
        speex_preprocess_state_destroy(m_pre);
        speex_echo_state_destroy(m_echo);
    }
    void process(const qint16* far, const qint16* mic, qint16* out) override
    {
        speex_echo_cancellation(m_echo, mic, far, out);
        const auto meanSquare = [](const qint16* v) {
            double sum = 0;
            for (int i = 0; i < kBlock; ++i)
                sum += double(v[i]) * v[i];
            return sum / kBlock;
        };
        m_farLevel = std::max(meanSquare(far), m_farLevel * 0.93);
        const double in = meanSquare(mic), left = meanSquare(out);
        float target = 1.0f;
        if (m_farLevel > 100.0 && in > 0) {
            const double kept = left / in;
            m_echoReturn *= 0.998;
            if (kept < 0.25)
                m_echoReturn = std::max(in / m_farLevel, m_echoReturn);
            if (kept < 0.25 || in <= m_echoReturn * m_farLevel)
                target = 0.32f;
            else if (kept < 0.5)
                target = 0.32f + 0.68f * float((kept - 0.25) / 0.25);
        }
        m_gain = target >= m_gain ? target : std::max(target, m_gain * 0.7f);
        if (m_gain < 1.0f) {
            for (int i = 0; i < kBlock; ++i)
                out[i] = qint16(std::lround(float(out[i]) * m_gain));
        }
        speex_preprocess_run(m_pre, out);
    }

private:
    SpeexEchoState* m_echo;
    SpeexPreprocessState* m_pre;
    double m_farLevel = 0, m_echoReturn = 0;
    float m_gain = 1.0f;
};

// The WebRTC audio processing module told the echo's true delay, without
// the extended filter or delay estimation: AEC, noise suppression, high-pass.
class WebRtcCanceller final : public Canceller
{
public:
    WebRtcCanceller(int delayMs, webrtc::EchoCancellation::SuppressionLevel level)
        : m_delayMs(delayMs)
    {
        m_apm.reset(webrtc::AudioProcessing::Create());
        m_apm->echo_cancellation()->Enable(true);
        m_apm->echo_cancellation()->set_suppression_level(level);
        m_apm->noise_suppression()->Enable(true);
        m_apm->high_pass_filter()->Enable(true);
    }
    void process(const qint16* far, const qint16* mic, qint16* out) override
    {
        webrtc::AudioFrame f;
        f.sample_rate_hz_ = kSampleRate;
        f.num_channels_ = 1;
        f.samples_per_channel_ = size_t(kBlock);
        std::memcpy(f.data_, far, sizeof(qint16) * size_t(kBlock));
        m_apm->ProcessReverseStream(&f);
        std::memcpy(f.data_, mic, sizeof(qint16) * size_t(kBlock));
        m_apm->set_stream_delay_ms(m_delayMs);
        m_apm->ProcessStream(&f);
        std::memcpy(out, f.data_, sizeof(qint16) * size_t(kBlock));
    }

private:
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    int m_delayMs;
};

// What the capture path runs now: the engine's canceller, given the far end
// as the speaker plays it (the 40 ms through the air are its to find), then
// speexdsp's denoiser on thirds of a block, and its speech probability on a
// copy of the whole block.
class EngineCanceller final : public Canceller
{
public:
    explicit EngineCanceller(EchoCanceller::Options options)
        : m_pre(speex_preprocess_state_init(kBlock / 3, kSampleRate)),
          m_vad(speex_preprocess_state_init(kBlock, kSampleRate))
    {
        VoiceResult r;
        m_echo = EchoCanceller::create(options, r);
        spx_int32_t on = 1, off = 0;
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(m_vad, SPEEX_PREPROCESS_SET_DENOISE, &off);
    }
    ~EngineCanceller() override
    {
        speex_preprocess_state_destroy(m_pre);
        speex_preprocess_state_destroy(m_vad);
    }
    void process(const qint16* far, const qint16* mic, qint16* out) override
    {
        m_echo->playback(far, kBlock);
        m_echo->process(mic, out);
        std::vector<qint16> copy(out, out + kBlock);
        speex_preprocess_run(m_vad, copy.data());
        for (int at = 0; at < kBlock; at += kBlock / 3)
            speex_preprocess_run(m_pre, out + at);
    }

private:
    std::unique_ptr<EchoCanceller> m_echo;
    SpeexPreprocessState* m_pre;
    SpeexPreprocessState* m_vad;
};

// A capture chain put together from parts: WebRTC's module (canceller with
// the engine's settings, its noise suppression at a level, its high-pass
// filter; any, all or none) followed by speexdsp's denoiser on blocks of
// `speexSamples` (0: none). Shows what each part costs in delay.
class Chain final : public Canceller
{
public:
    struct Parts
    {
        bool aec = true;
        int ns = -1; // webrtc::NoiseSuppression::Level, -1 off
        bool highPass = true;
        int speexSamples = kBlock;
        bool extended = true; // extended filter and delay estimation
    };
    explicit Chain(Parts parts) : m_parts(parts)
    {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(parts.extended));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(parts.extended));
        m_apm.reset(webrtc::AudioProcessing::Create(config));
        m_apm->echo_cancellation()->Enable(parts.aec);
        m_apm->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kLowSuppression);
        m_apm->noise_suppression()->Enable(parts.ns >= 0);
        if (parts.ns >= 0)
            m_apm->noise_suppression()->set_level(webrtc::NoiseSuppression::Level(parts.ns));
        m_apm->high_pass_filter()->Enable(parts.highPass);
        if (parts.speexSamples > 0) {
            m_pre = speex_preprocess_state_init(parts.speexSamples, kSampleRate);
            spx_int32_t on = 1;
            speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
        }
    }
    ~Chain() override
    {
        if (m_pre)
            speex_preprocess_state_destroy(m_pre);
    }
    void process(const qint16* far, const qint16* mic, qint16* out) override
    {
        webrtc::AudioFrame f;
        const auto frame = [&f] {
            f.sample_rate_hz_ = kSampleRate;
            f.num_channels_ = 1;
            f.samples_per_channel_ = size_t(kBlock);
            return &f;
        };
        std::memcpy(f.data_, far, sizeof(qint16) * size_t(kBlock));
        m_apm->ProcessReverseStream(frame());
        std::memcpy(f.data_, mic, sizeof(qint16) * size_t(kBlock));
        m_apm->set_stream_delay_ms(0);
        m_apm->ProcessStream(frame());
        std::memcpy(out, f.data_, sizeof(qint16) * size_t(kBlock));
        for (int at = 0; m_pre && at + m_parts.speexSamples <= kBlock; at += m_parts.speexSamples)
            speex_preprocess_run(m_pre, out + at);
    }

private:
    Parts m_parts;
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    SpeexPreprocessState* m_pre = nullptr;
};

// A small room: the speaker reaches the microphone 40 ms late at -6 dB,
// followed by a decaying tail of reflections over the next 60 ms.
std::vector<double> roomResponse()
{
    std::vector<double> h(size_t(samplesForMs(100)), 0.0);
    std::mt19937 random(7);
    std::normal_distribution<double> n(0, 1);
    const size_t direct = size_t(samplesForMs(40));
    h[direct] = 0.5;
    for (size_t i = direct + 48; i < h.size(); ++i)
        h[i] = 0.02 * n(random) * std::exp(-double(i - direct) / samplesForMs(15));
    return h;
}

std::vector<qint16> convolve(const std::vector<qint16>& x, const std::vector<double>& h)
{
    std::vector<qint16> y(x.size());
    std::vector<size_t> taps;
    for (size_t k = 0; k < h.size(); ++k)
        if (h[k] != 0)
            taps.push_back(k);
    for (size_t i = 0; i < x.size(); ++i) {
        double v = 0;
        for (size_t k : taps)
            if (i >= k)
                v += h[k] * x[i - k];
        y[i] = qint16(std::clamp(v, -32768.0, 32767.0));
    }
    return y;
}

void echoCompare()
{
    const int seconds = 10, doubleTalkFrom = 6;
    const size_t n = size_t(samplesForMs(seconds * 1000));
    std::vector<qint16> far(n), near(n), noise(n);
    SignalSource::talker(140, 0.35, 280, 80, 0, 1).generate(far.data(), int(n));
    SignalSource::talker(230, 0.3, 300, 120, doubleTalkFrom * 1000, 2)
        .generate(near.data(), int(n));
    SignalSource::noise(0.001, 3).generate(noise.data(), int(n));
    const std::vector<qint16> echo = convolve(far, roomResponse());
    std::vector<qint16> mic(n), echoOnly(n);
    for (size_t i = 0; i < n; ++i) {
        echoOnly[i] = qint16(std::clamp(echo[i] + noise[i], -32768, 32767));
        mic[i] = qint16(std::clamp(echo[i] + noise[i] + near[i], -32768, 32767));
    }
    std::printf("Echo: speaker to microphone 40 ms late at -6 dB plus reflections; the near talker "
                "joins at %d s.\n",
                doubleTalkFrom);
    std::printf("%-34s %8s %8s %8s %8s %12s %12s\n", "canceller", "ERLE 1s", "2s", "5s", "6s",
                "near kept", "CPU/s audio");
    using E = webrtc::EchoCancellation;
    using S = EchoCanceller::Suppression;
    const auto engine = [](S level) {
        EchoCanceller::Options o;
        o.suppression = level;
        return o;
    };
    const std::vector<std::pair<const char*, std::function<std::unique_ptr<Canceller>()>>> rows = {
        {"speexdsp, 250 ms tail (before)", [] { return std::make_unique<SpeexCanceller>(250); }},
        {"speexdsp, 200 ms tail", [] { return std::make_unique<SpeexCanceller>(200); }},
        {"speexdsp, 120 ms tail", [] { return std::make_unique<SpeexCanceller>(120); }},
        {"speexdsp 250 ms, suppress -60/-30",
         [] { return std::make_unique<SpeexCanceller>(250, -60, -30); }},
        {"WebRTC told 40 ms, high",
         [] { return std::make_unique<WebRtcCanceller>(40, E::kHighSuppression); }},
        {"WebRTC told 40 ms, moderate",
         [] { return std::make_unique<WebRtcCanceller>(40, E::kModerateSuppression); }},
        {"WebRTC told 40 ms, low",
         [] { return std::make_unique<WebRtcCanceller>(40, E::kLowSuppression); }},
        {"engine's WebRTC, high",
         [&] { return std::make_unique<EngineCanceller>(engine(S::High)); }},
        {"engine's WebRTC, moderate",
         [&] { return std::make_unique<EngineCanceller>(engine(S::Moderate)); }},
        {"engine's WebRTC, low (now)",
         [&] { return std::make_unique<EngineCanceller>(engine(S::Low)); }},
    };
    for (const auto& [name, make] : rows) {
        std::unique_ptr<Canceller> c = make(), alone = make();
        std::vector<qint16> out(n), outAlone(n), nearAlone(n);
        const double t0 = cpuSeconds();
        for (size_t at = 0; at + size_t(kBlock) <= n; at += size_t(kBlock))
            c->process(far.data() + at, mic.data() + at, out.data() + at);
        const double cpu = cpuSeconds() - t0;
        // The near talker through the same processing without any echo:
        // what double talk should leave of him.
        std::vector<qint16> silence(size_t(kBlock), 0), nearNoise(n);
        for (size_t i = 0; i < n; ++i)
            nearNoise[i] = qint16(std::clamp(near[i] + noise[i], -32768, 32767));
        for (size_t at = 0; at + size_t(kBlock) <= n; at += size_t(kBlock))
            alone->process(silence.data(), nearNoise.data() + at, outAlone.data() + at);
        // ERLE over the second ending at t: echo in / what is left of it
        // (single talk only, before the near talker joins).
        const auto erle = [&](int t) {
            const size_t from = size_t(samplesForMs((t - 1) * 1000)),
                         len = size_t(samplesForMs(1000));
            return db(energy(echoOnly, from, len) / std::max(1.0, energy(out, from, len)));
        };
        const size_t dt = size_t(samplesForMs(doubleTalkFrom * 1000 + 500));
        const size_t dtLen = n - dt;
        const double kept = db(energy(out, dt, dtLen) / std::max(1.0, energy(outAlone, dt, dtLen)));
        std::printf("%-34s %7.1f %8.1f %8.1f %8.1f %9.1f dB %9.2f %%\n", name, erle(1), erle(2),
                    erle(5), erle(6), kept, 100 * cpu / seconds);
    }
    std::printf("ERLE: dB between the echo and what is left of it; near kept: the near talker "
                "during double talk against the same processing with no echo (0 dB = untouched, "
                "includes the echo left over).\n");
}

// How late a chain's output is: where it best matches a loud noise burst.
size_t delayOf(const std::function<std::unique_ptr<Canceller>()>& make)
{
    const size_t n = size_t(samplesForMs(400)), burst = size_t(samplesForMs(100));
    std::vector<qint16> in(n, 0), out(n), silence(size_t(kBlock), 0);
    SignalSource::noise(0.3, 12).generate(in.data() + burst, int(burst));
    std::unique_ptr<Canceller> c = make();
    for (size_t at = 0; at + size_t(kBlock) <= n; at += size_t(kBlock))
        c->process(silence.data(), in.data() + at, out.data() + at);
    size_t lag = 0;
    double best = -1e300;
    for (size_t d = 0; d < size_t(samplesForMs(40)); ++d) {
        double sum = 0;
        for (size_t i = burst; i < 2 * burst; ++i)
            sum += double(in[i]) * out[i + d];
        if (sum > best) {
            best = sum;
            lag = d;
        }
    }
    return lag;
}

// What the capture chain does to a talker in a noisy room with nobody on
// the far end: the noise left in his pauses, the level of his speech, and
// how far the output strays from his clean voice (signal to distortion,
// after the chain's own delay).
void noiseCompare()
{
    const int seconds = 8;
    const size_t n = size_t(samplesForMs(seconds * 1000)), w = size_t(samplesForMs(20));
    std::vector<qint16> clean(n), silence(size_t(kBlock), 0);
    SignalSource::talker(180, 0.3, 300, 200, 0, 4).generate(clean.data(), int(n));
    std::printf("\nA talker in a noisy room, nobody on the far end (from 2 s on):\n");
    std::printf("%-44s %7s %9s %14s %12s %14s %9s\n", "chain", "noise", "delay", "noise left",
                "speech kept", "speech/distortion", "CPU");
    const auto chain = [](bool aec, int ns, int speexSamples, bool highPass = true) {
        return [=] {
            return std::make_unique<Chain>(Chain::Parts{aec, ns, highPass, speexSamples});
        };
    };
    const int s10 = kBlock, s5 = kBlock / 2, s3 = kBlock / 3, s2 = kBlock / 4;
    using N = webrtc::NoiseSuppression;
    const std::vector<std::pair<const char*, std::function<std::unique_ptr<Canceller>()>>> rows = {
        {"speexdsp AEC + its denoiser (before)",
         [] { return std::make_unique<SpeexCanceller>(250); }},
        {"WebRTC AEC + speexdsp 3.3 ms (engine)",
         [] { return std::make_unique<EngineCanceller>(EchoCanceller::Options{}); }},
        {"WebRTC high-pass only", chain(false, -1, 0)},
        {"WebRTC AEC, no high-pass", chain(true, -1, 0, false)},
        {"WebRTC AEC", chain(true, -1, 0)},
        {"WebRTC AEC, plain filter, no delay search",
         [] {
             return std::make_unique<Chain>(Chain::Parts{true, -1, true, 0, false});
         }},
        {"WebRTC AEC + speexdsp 10 ms (before)", chain(true, -1, s10)},
        {"WebRTC AEC + speexdsp 5 ms", chain(true, -1, s5)},
        {"WebRTC AEC + speexdsp 2.5 ms", chain(true, -1, s2)},
        {"WebRTC AEC + NS moderate", chain(true, N::kModerate, 0)},
        {"WebRTC AEC + NS high", chain(true, N::kHigh, 0)},
        {"WebRTC AEC + NS very high", chain(true, N::kVeryHigh, 0)},
        {"no AEC: speexdsp 10 ms", chain(false, -1, s10, false)},
        {"no AEC: speexdsp 5 ms", chain(false, -1, s5, false)},
        {"no AEC: speexdsp 3.3 ms", chain(false, -1, s3, false)},
        {"no AEC: speexdsp 2.5 ms", chain(false, -1, s2, false)},
        {"no AEC: WebRTC NS high", chain(false, N::kHigh, 0)},
        {"no AEC: WebRTC NS very high", chain(false, N::kVeryHigh, 0)},
    };
    for (double noiseLevel : {0.003, 0.02}) {
        std::vector<qint16> noise(n), mic(n);
        SignalSource::noise(noiseLevel, 8).generate(noise.data(), int(n));
        for (size_t i = 0; i < n; ++i)
            mic[i] = qint16(std::clamp(clean[i] + noise[i], -32768, 32767));
        const double speechRms = std::sqrt(energy(clean, 0, n) / double(n));
        for (const auto& [name, make] : rows) {
            std::unique_ptr<Canceller> c = make();
            std::vector<qint16> out(n);
            const double t0 = cpuSeconds();
            for (size_t at = 0; at + size_t(kBlock) <= n; at += size_t(kBlock))
                c->process(silence.data(), mic.data() + at, out.data() + at);
            const double cpu = cpuSeconds() - t0;
            const size_t from = size_t(samplesForMs(2000)), lag = delayOf(make);
            double quietIn = 0, quietOut = 0, speechIn = 0, speechOut = 0, error = 0;
            for (size_t at = from; at + w + lag <= n; at += w) {
                const double e = energy(clean, at, w);
                if (e < 1e-6 * w * speechRms * speechRms) {
                    quietIn += energy(noise, at, w);
                    quietOut += energy(out, at + lag, w);
                } else if (e > 0.3 * w * speechRms * speechRms) {
                    speechIn += e;
                    speechOut += energy(out, at + lag, w);
                    for (size_t i = at; i < at + w; ++i)
                        error += std::pow(double(out[i + lag]) - clean[i], 2);
                }
            }
            char label[32];
            std::snprintf(label, sizeof label, "%.0f dBFS", db(noiseLevel * noiseLevel / 3));
            std::printf("%-44s %7s %6.1f ms %11.1f dB %9.1f dB %11.1f dB %7.2f %%\n", name, label,
                        double(lag) * 1000 / kSampleRate, db(quietOut / std::max(1.0, quietIn)),
                        db(speechOut / speechIn), db(speechIn / std::max(1.0, error)),
                        100 * cpu / seconds);
        }
    }
    std::printf(
        "noise left: in the talker's pauses against the noise alone; speech kept: his "
        "loudest stretches against his clean voice; speech/distortion: his clean voice "
        "against what the chain changed of it, noise included; CPU: per second of audio.\n");
}

// ---------------------------------------------------------------- loss

struct Member
{
    Member() : settings(AudioSettings::atFile(dir.filePath(QStringLiteral("a.ini"))))
    {
        AudioDeviceChoice c{SyntheticAudioBackend::defaultInputId(), QStringLiteral("in"),
                            SyntheticAudioBackend::defaultOutputId(), QStringLiteral("out")};
        settings.save(c);
    }
    QTemporaryDir dir;
    SyntheticAudioBackend backend;
    AudioSettings settings;
};

struct Run
{
    std::vector<qint16> heard;
    PlaybackMixer::Stats stats;
    qint64 bytes = 0;
    int frames = 0;
};

// A talks for `ms` through a seeded bad network to B; B's reports reach A.
Run talk(SignalSource speech, int ms, int frameMs, int lossPercent, int jitterMs)
{
    Member a, b;
    a.backend.setCaptureSource(std::move(speech));
    VoiceEngine::Options o;
    o.frameMs = frameMs;
    VoiceEngine ea(a.backend, a.settings, o), eb(b.backend, b.settings, o);
    session::VoiceImpairment network({lossPercent, jitterMs, 11});
    QMultiMap<qint64, std::pair<quint16, QByteArray>> inFlight;
    qint64 now = 0;
    Run run;
    QObject::connect(&ea, &VoiceEngine::FrameEncoded, &ea, [&](const QByteArray& f, quint16 seq) {
        run.bytes += f.size();
        ++run.frames;
        if (const auto delay = network.next())
            inFlight.insert(now + *delay, {seq, f});
    });
    QObject::connect(&eb, &VoiceEngine::ReceptionReport, &ea,
                     [&](quint32, int loss) { ea.SetExpectedLoss(loss); });
    VoiceClientConfig c;
    c.flags = 0;
    ea.Connect(c);
    c.flags = VoiceClientConfig::RecordMuted;
    eb.Connect(c);
    for (int t = 0; t < ms; t += 10) {
        a.backend.advance(10);
        now += 10;
        while (!inFlight.isEmpty() && inFlight.firstKey() <= now) {
            const auto [seq, frame] = inFlight.take(inFlight.firstKey());
            eb.FrameReceived(1, seq, frame);
        }
        b.backend.advance(10);
    }
    run.heard.assign(b.backend.played().begin(), b.backend.played().end());
    run.stats = eb.mixer()->stats();
    return run;
}

// Energy in 20 ms windows, for comparing what was heard with a clean run.
std::vector<double> windows(const std::vector<qint16>& v, size_t from, size_t n)
{
    std::vector<double> w;
    for (size_t at = from; at + size_t(samplesForMs(20)) <= from + n;
         at += size_t(samplesForMs(20)))
        w.push_back(energy(v, at, size_t(samplesForMs(20))));
    return w;
}

void lossProxies()
{
    std::printf("\nSpeech under loss, 20 ms jitter, 10 ms frames (60 s of syllables each; "
                "judged from 5 s on):\n");
    std::printf("%-7s %-6s %14s %16s %18s %9s %7s %7s %7s %8s\n", "engine", "loss", "energy kept",
                "syllable match", "longest gap (ms)", "decoded", "copies", "FEC", "PLC", "kbit/s");
    const int ms = 60000;
    const size_t from = size_t(samplesForMs(5000)), n = size_t(samplesForMs(ms - 6000));
    const Run clean = talk(SignalSource::talker(140, 0.3, 250, 100, 0, 5), ms, 10, 0, 20);
    // The engine before copies rode along (20 ms frames, 32 kbit/s, Opus's
    // FEC for 10 % always) is in bench/README.md: it cannot be run again.
    for (int loss : {0, 5, 15, 30}) {
        const Run r = talk(SignalSource::talker(140, 0.3, 250, 100, 0, 5), ms, 10, loss, 20);
        const std::vector<double> w = windows(r.heard, from, n);
        const std::vector<double> ref = windows(clean.heard, from, n);
        double kept = 0, total = 0;
        int match = 0, voiced = 0;
        for (size_t i = 0; i < std::min(w.size(), ref.size()); ++i) {
            kept += w[i];
            total += ref[i];
        }
        // A window that was voiced in the clean run should be voiced (at
        // least a quarter of its energy) in this one, give or take a window
        // for the jitter buffer's extra delay.
        for (size_t i = 1; i + 1 < std::min(w.size(), ref.size()); ++i) {
            if (ref[i] < 0.1 * total / double(ref.size()))
                continue;
            ++voiced;
            match += std::max({w[i - 1], w[i], w[i + 1]}) >= 0.25 * ref[i] ? 1 : 0;
        }
        qint64 gap = 0, longest = 0;
        for (size_t i = 0; i < std::min(w.size(), ref.size()); ++i) {
            gap =
                (ref[i] > 0.1 * total / double(ref.size()) && w[i] < 0.01 * ref[i]) ? gap + 20 : 0;
            longest = std::max(longest, gap);
        }
        // At the IP level, as in the bandwidth table.
        const double kbps = double(r.bytes + 42 * qint64(r.frames)) * 8 / ms;
        std::printf("%-7s %4d %% %13.1f %% %15.1f %% %18lld %9lld %7lld %7lld %7lld %8.1f\n", "now",
                    loss, 100 * kept / total, 100.0 * match / std::max(1, voiced), longest,
                    r.stats.decoded, r.stats.copied, r.stats.recovered, r.stats.concealed, kbps);
    }
}

// Two whole engines: B's speaker leaks into B's microphone at -6 dB, 40 ms
// late; A talks throughout, B joins at 6 s. What comes back to A, second by
// second, against A's own speech, with B's canceller off and on.
void echoInTheRoom()
{
    std::printf("\nEcho in a room of two engines (what A hears back, against A's own level):\n");
    std::printf("%-22s %8s %8s %8s %8s %8s %14s\n", "B's canceller", "1 s", "2 s", "3 s", "5 s",
                "6 s", "B's voice kept");
    std::vector<double> bLevel;
    for (bool cancel : {false, true}) {
        Member a, b;
        AudioDeviceChoice c{SyntheticAudioBackend::defaultInputId(), QStringLiteral("in"),
                            SyntheticAudioBackend::defaultOutputId(), QStringLiteral("out")};
        c.echoCancel = cancel;
        b.settings.save(c);
        a.backend.setCaptureSource(SignalSource::talker(140, 0.3, 280, 80, 0, 1));
        b.backend.setCaptureSource(SignalSource::talker(230, 0.3, 300, 120, 6000, 2));
        b.backend.setEchoPath(0.5, 40);
        VoiceEngine ea(a.backend, a.settings), eb(b.backend, b.settings);
        QObject::connect(&ea, &VoiceEngine::FrameEncoded, &eb,
                         [&](const QByteArray& f, quint16 seq) { eb.FrameReceived(1, seq, f); });
        QObject::connect(&eb, &VoiceEngine::FrameEncoded, &ea,
                         [&](const QByteArray& f, quint16 seq) { ea.FrameReceived(2, seq, f); });
        VoiceClientConfig talking;
        talking.flags = 0;
        ea.Connect(talking);
        eb.Connect(talking);
        for (int t = 0; t < 9000; t += 10) {
            a.backend.advance(10);
            b.backend.advance(10);
        }
        const std::vector<qint16> atA(a.backend.played().begin(), a.backend.played().end());
        std::vector<qint16> own(size_t(samplesForMs(9000)));
        SignalSource::talker(140, 0.3, 280, 80, 0, 1).generate(own.data(), int(own.size()));
        std::printf("%-22s", cancel ? "WebRTC (the engine's)" : "off");
        for (int second : {1, 2, 3, 5, 6}) {
            const size_t from = size_t(samplesForMs((second - 1) * 1000)),
                         n = size_t(samplesForMs(1000));
            std::printf(" %6.1f dB", db(energy(atA, from, n) / energy(own, from, n)));
        }
        bLevel.push_back(energy(atA, size_t(samplesForMs(6500)), size_t(samplesForMs(2500))));
        if (cancel)
            std::printf(" %11.1f dB", db(bLevel[1] / bLevel[0]));
        std::printf("\n");
    }
}

// ---------------------------------------------------------------- bandwidth

void bandwidth()
{
    // Per frame on the way to the host: IPv4 20 + UDP 8 + ENet's header with
    // its sent time 4 + the unsequenced send command 8 + our sequence number 2.
    const int overhead = 20 + 8 + 4 + 8 + 2;
    std::printf(
        "\nBits per second per speaker at the IP level (each frame + %d bytes of headers):\n",
        overhead);
    std::printf("%-50s %12s %12s %14s\n", "speech", "frames/s", "Opus kbit/s", "IP kbit/s");
    // The last two: the listener loses 5 % or 30 % and reports it, so
    // copies of earlier frames ride along.
    for (const auto& [frameMs, loss] : {std::pair{20, 0}, {10, 0}, {10, 5}, {10, 30}}) {
        for (int pauses : {0, 1}) {
            const int ms = 30000;
            // Continuous: syllables with short gaps; a conversation: the
            // speaker talks about 40 % of the time.
            const SignalSource speech =
                pauses ? SignalSource::sequence(
                             {{SignalSource::talker(140, 0.3, 250, 80, 0, 9), 4000},
                              {SignalSource::noise(0.001, 4), 6000},
                              {SignalSource::talker(140, 0.3, 250, 80, 0, 10), 8000},
                              {SignalSource::noise(0.001, 5), 12000}})
                       : SignalSource::talker(140, 0.3, 250, 80, 0, 9);
            const Run r = talk(speech, ms, frameMs, loss, 0);
            const double s = ms / 1000.0;
            char label[80];
            std::snprintf(label, sizeof label, "%s, %d ms frames, %d %% lost",
                          pauses ? "conversation (40 % talking)" : "continuous", frameMs, loss);
            std::printf("%-50s %12.1f %12.1f %14.1f\n", label, r.frames / s, r.bytes * 8 / s / 1000,
                        (r.bytes + qint64(r.frames) * overhead) * 8 / s / 1000);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList parts = app.arguments().mid(1);
    if (parts.isEmpty())
        parts = {QStringLiteral("echo"), QStringLiteral("loss"), QStringLiteral("bandwidth")};
    if (parts.contains(QStringLiteral("echo"))) {
        echoCompare();
        noiseCompare();
        echoInTheRoom();
    } else if (parts.contains(QStringLiteral("noise"))) {
        noiseCompare();
    }
    if (parts.contains(QStringLiteral("loss")))
        lossProxies();
    if (parts.contains(QStringLiteral("bandwidth")))
        bandwidth();
    return 0;
}
