#include "signalsource.h"

#include "audiobackend.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>

namespace kalimo {

namespace {

qint16 toSample(double v)
{
    return qint16(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
}

constexpr double kTwoPi = 2.0 * std::numbers::pi;

} // namespace

SignalSource::SignalSource() : SignalSource(silence()) {}

SignalSource::SignalSource(Generator generator) : m_generator(std::move(generator)) {}

void SignalSource::generate(qint16* out, int count)
{
    if (count > 0)
        m_generator(out, count);
}

SignalSource SignalSource::silence()
{
    return SignalSource([](qint16* out, int count) { std::fill(out, out + count, qint16(0)); });
}

SignalSource SignalSource::tone(double hz, double amplitude)
{
    double phase = 0.0;
    const double step = kTwoPi * hz / kSampleRate;
    return SignalSource([phase, step, amplitude](qint16* out, int count) mutable {
        for (int i = 0; i < count; ++i) {
            out[i] = toSample(amplitude * std::sin(phase));
            phase = std::fmod(phase + step, kTwoPi);
        }
    });
}

SignalSource SignalSource::noise(double amplitude, quint32 seed)
{
    QRandomGenerator random(seed);
    return SignalSource([random, amplitude](qint16* out, int count) mutable {
        for (int i = 0; i < count; ++i)
            out[i] = toSample(amplitude * (random.generateDouble() * 2.0 - 1.0));
    });
}

SignalSource SignalSource::speechBursts(double amplitude, int onMs, int offMs)
{
    const qint64 on = samplesForMs(std::max(onMs, 1));
    const qint64 period = on + samplesForMs(std::max(offMs, 0));
    qint64 n = 0;
    return SignalSource([=](qint16* out, int count) mutable {
        for (int i = 0; i < count; ++i, ++n) {
            const qint64 pos = n % period;
            double v = 0.0;
            if (pos < on) {
                // A raised-cosine envelope and a slow pitch wobble, so the
                // signal is neither stationary nor a pure tone.
                const double env = 0.5 - 0.5 * std::cos(kTwoPi * double(pos) / double(on));
                const double t = double(n) / kSampleRate;
                const double f0 = 150.0 + 20.0 * std::sin(kTwoPi * 3.0 * t);
                const double ph = kTwoPi * f0 * t;
                v = env * (0.6 * std::sin(ph) + 0.3 * std::sin(2 * ph) + 0.15 * std::sin(3 * ph) +
                           0.08 * std::sin(5 * ph));
            }
            out[i] = toSample(amplitude * v);
        }
    });
}

SignalSource SignalSource::talker(double f0, double amplitude, int onMs, int offMs, int startMs,
                                  quint32 wander)
{
    const qint64 on = samplesForMs(std::max(onMs, 1));
    const qint64 period = on + samplesForMs(std::max(offMs, 0));
    qint64 at = -qint64(samplesForMs(std::max(startMs, 0)));
    double phase = 0, pitch = f0;
    std::mt19937 random(wander);
    return SignalSource([=](qint16* out, int count) mutable {
        for (int i = 0; i < count; ++i, ++at) {
            const qint64 p = at % period;
            if (wander != 0 && p == 0)
                pitch = f0 * std::uniform_real_distribution<double>(0.85, 1.2)(random);
            if (at < 0 || p >= on) {
                out[i] = 0;
                continue;
            }
            phase += kTwoPi * pitch / kSampleRate;
            const double envelope =
                offMs > 0 ? std::sin(std::numbers::pi * double(p) / double(on)) : 1.0;
            double v = 0;
            for (int h = 1; h <= 8; ++h)
                v += std::sin(h * phase) / h;
            out[i] = toSample(amplitude * 0.55 * envelope * v);
        }
    });
}

SignalSource SignalSource::sequence(QList<QPair<SignalSource, int>> parts)
{
    qsizetype index = 0;
    qint64 left = parts.isEmpty() ? 0 : samplesForMs(parts.first().second);
    return SignalSource([parts, index, left](qint16* out, int count) mutable {
        while (count > 0) {
            while (index < parts.size() && left <= 0) {
                ++index;
                left = index < parts.size() ? samplesForMs(parts[index].second) : 0;
            }
            if (index >= parts.size()) {
                std::fill(out, out + count, qint16(0));
                return;
            }
            const int n = int(std::min<qint64>(left, count));
            parts[index].first.generate(out, n);
            out += n;
            count -= n;
            left -= n;
        }
    });
}

} // namespace kalimo
