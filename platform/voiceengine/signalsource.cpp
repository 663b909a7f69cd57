#include "signalsource.h"

#include "audiobackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>

namespace kalimo {

namespace {

QString trSignal(const char* text)
{
    return QCoreApplication::translate("SignalSource", text);
}

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

SignalSource SignalSource::samples(QVector<qint16> samples, bool loop)
{
    auto data = std::make_shared<const QVector<qint16>>(std::move(samples));
    qsizetype pos = 0;
    return SignalSource([data, pos, loop](qint16* out, int count) mutable {
        for (int i = 0; i < count; ++i) {
            if (pos >= data->size() && loop && !data->isEmpty())
                pos = 0;
            out[i] = pos < data->size() ? data->at(pos++) : qint16(0);
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

VoiceResult SignalSource::parseWav(const QByteArray& bytes, QVector<qint16>& samples)
{
    const auto bad = [](const QString& why) {
        return VoiceResult::failure(VoiceError::InvalidArgument, why);
    };
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return bad(trSignal(QT_TRANSLATE_NOOP("SignalSource", "Non è un file WAV")));
    bool formatOk = false;
    qsizetype pos = 12;
    while (pos + 8 <= size) {
        const QByteArray id = bytes.mid(pos, 4);
        const quint32 length = qFromLittleEndian<quint32>(p + pos + 4);
        const qsizetype body = pos + 8;
        if (quint64(length) > quint64(size - body))
            return bad(trSignal(QT_TRANSLATE_NOOP("SignalSource", "Il file WAV è troncato")));
        if (id == "fmt ") {
            if (length < 16)
                return bad(trSignal(QT_TRANSLATE_NOOP(
                    "SignalSource", "Il blocco del formato del file WAV è troppo corto")));
            const quint16 format = qFromLittleEndian<quint16>(p + body);
            const quint16 channels = qFromLittleEndian<quint16>(p + body + 2);
            const quint32 rate = qFromLittleEndian<quint32>(p + body + 4);
            const quint16 bits = qFromLittleEndian<quint16>(p + body + 14);
            if (format != 1 || channels != 1 || rate != quint32(kSampleRate) || bits != 16)
                return bad(trSignal(QT_TRANSLATE_NOOP(
                    "SignalSource", "Il file WAV deve essere PCM, 48 kHz, mono, 16 bit")));
            formatOk = true;
        } else if (id == "data") {
            if (!formatOk)
                return bad(trSignal(
                    QT_TRANSLATE_NOOP("SignalSource", "Il file WAV ha dati prima del formato")));
            samples.resize(qsizetype(length / 2));
            for (qsizetype i = 0; i < samples.size(); ++i)
                samples[i] = qFromLittleEndian<qint16>(p + body + 2 * i);
            return VoiceResult::success();
        }
        pos = body + qsizetype(length) + (length & 1);
    }
    return bad(trSignal(QT_TRANSLATE_NOOP("SignalSource", "Il file WAV non contiene audio")));
}

VoiceResult SignalSource::readFile(const QString& path, QVector<qint16>& samples)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return VoiceResult::failure(
            VoiceError::InvalidArgument,
            trSignal(QT_TRANSLATE_NOOP("SignalSource", "Impossibile leggere %1: %2"))
                .arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (path.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive))
        return parseWav(bytes, samples);
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    samples.resize(bytes.size() / 2);
    for (qsizetype i = 0; i < samples.size(); ++i)
        samples[i] = qFromLittleEndian<qint16>(p + 2 * i);
    return VoiceResult::success();
}

} // namespace kalimo
