#include "playbackmixer.h"

#include "audiobackend.h"
#include "voiceconfig.h"

#include <speex/speex_jitter.h>

#include <algorithm>
#include <cmath>

namespace kalimo {

namespace {
constexpr int kSpareMemoryFrames = 300;
} // namespace

struct PlaybackMixer::Speaker
{
    ~Speaker()
    {
        if (jitter)
            jitter_buffer_destroy(jitter);
    }

    JitterBuffer* jitter = nullptr;
    std::unique_ptr<OpusFrameDecoder> decoder;
    int frameSamples = 0;
    quint32 lastSeq = 0; // extended past 16 bits
    bool fresh = true;   // no frame put yet
    // Copies of buffered frames by timestamp, to find the successor of a
    // lost frame for FEC (the jitter buffer cannot be peeked).
    QHash<quint32, QByteArray> pending;
    // Copies of earlier frames later ones carried, by timestamp.
    QHash<quint32, QByteArray> spares;
    int framesWithoutSpares = kSpareMemoryFrames; // since the last frame that carried copies
    // Arrival clock minus timestamp of the quickest frame lately: when a
    // frame would have arrived had the network not held it back.
    qint64 quickest = 0;
    bool timed = false;
    double delaySamples = 0; // smoothed, from that moment to playback
    PlaybackMixer::Reception reception;
    std::vector<qint16> pcm;
    size_t pcmRead = 0;
    int missingInRow = 0;
    bool active = false;  // real audio recently: conceal rather than mute
    bool spurtDue = true; // silent long enough that the next frame starts a talk spurt
    qint64 lastHeard = 0;
};

namespace {

// Signed distance a - b between 32-bit timestamps that may wrap.
qint32 distance(quint32 a, quint32 b)
{
    return qint32(a - b);
}

constexpr int kMaxPending = 200;
// A longer run of missing frames is a pause in speech, not loss.
constexpr int kMaxLossRun = 4;

} // namespace

PlaybackMixer::PlaybackMixer() : PlaybackMixer(Options{}) {}

PlaybackMixer::PlaybackMixer(const Options& options) : m_options(options)
{
    m_decoded.resize(kMaxPacketSamples);
}

PlaybackMixer::~PlaybackMixer() = default;

void PlaybackMixer::setVolume(int playbackVolume)
{
    m_gain = gainForVolume(playbackVolume);
}

void PlaybackMixer::setMaxLateRate(int percent)
{
    m_maxLateRate = std::clamp(percent, 1, 100);
    for (auto& s : m_speakers) {
        spx_int32_t rate = m_maxLateRate;
        jitter_buffer_ctl(s->jitter, JITTER_BUFFER_SET_MAX_LATE_RATE, &rate);
    }
}

PlaybackMixer::Speaker* PlaybackMixer::speakerFor(quint32 id, int frameSamples)
{
    auto it = m_speakers.find(id);
    if (it != m_speakers.end() && it.value()->frameSamples == frameSamples)
        return it.value().get();
    // New speaker, or one who changed frame length: timestamps no longer
    // line up, so start over.
    auto s = std::make_shared<Speaker>();
    VoiceResult r;
    s->decoder = OpusFrameDecoder::create(r);
    s->jitter = jitter_buffer_init(frameSamples);
    if (!s->decoder || !s->jitter)
        return nullptr;
    spx_int32_t rate = m_maxLateRate;
    jitter_buffer_ctl(s->jitter, JITTER_BUFFER_SET_MAX_LATE_RATE, &rate);
    s->frameSamples = frameSamples;
    s->lastHeard = m_clock;
    m_speakers.insert(id, s);
    return s.get();
}

bool PlaybackMixer::put(quint32 speaker, quint16 seq, const QByteArray& frame)
{
    const int samples = opusPacketSamples(frame.constData(), int(frame.size()));
    if (samples < 0) {
        ++m_stats.refused;
        return false;
    }
    if (m_levels.value(speaker).muted) {
        ++m_stats.muted;
        return true;
    }
    Speaker* s = speakerFor(speaker, samples);
    if (!s) {
        ++m_stats.refused;
        return false;
    }
    // Extend the 16-bit sequence by the nearest 32-bit value to the last one.
    quint32 ext = seq;
    if (!s->fresh)
        ext = s->lastSeq + quint32(qint32(qint16(quint16(seq - quint16(s->lastSeq)))));
    const qint32 ahead = s->fresh ? 1 : distance(ext, s->lastSeq);
    // The sender paused (DTX sends nothing in silence) and all it sent
    // before has been played: a new talk spurt, whatever concealment made
    // of the pause.
    if (ahead > kMaxLossRun && s->pending.isEmpty())
        s->spurtDue = true;
    if (ahead > 0) {
        if (ahead > 1 && ahead <= kMaxLossRun)
            s->reception.lost += ahead - 1;
        s->lastSeq = ext;
    } else if (s->reception.lost > 0) {
        --s->reception.lost; // late, not lost
    }
    ++s->reception.received;
    s->fresh = false;
    const quint32 timestamp = ext * quint32(samples);

    // A talk spurt starts the buffer over at its first frame: played at
    // once, whatever the buffer's clock did through the silence, and not
    // thrown away as late when it carries audio from before the sender's
    // gate opened. Jitter within the spurt grows the buffer again.
    if (s->spurtDue) {
        // The silence mixed ahead goes too.
        s->pcm.resize(s->pcmRead);
        jitter_buffer_reset(s->jitter);
        s->pending.clear();
        s->spares.clear();
        s->timed = false;
        s->spurtDue = false;
    }

    if (s->pending.size() >= kMaxPending)
        s->pending.clear();
    s->pending.insert(timestamp, frame);
    if (s->spares.size() >= kMaxPending)
        s->spares.clear();
    const QList<QByteArray> spares = sparesOf(frame.constData(), int(frame.size()));
    for (qsizetype i = 0; i < spares.size(); ++i) {
        if (opusPacketSamples(spares[i].constData(), int(spares[i].size())) == samples)
            s->spares.insert(timestamp - quint32(i + 1) * quint32(samples), spares[i]);
    }
    // A lost frame's copy comes with the next one: while copies come, the
    // buffer holds a frame more so that it is there in time.
    const bool waited = s->framesWithoutSpares < kSpareMemoryFrames;
    s->framesWithoutSpares =
        spares.isEmpty() ? std::min(s->framesWithoutSpares + 1, kSpareMemoryFrames) : 0;
    if (waited != (s->framesWithoutSpares < kSpareMemoryFrames)) {
        spx_int32_t margin = waited ? 0 : samples;
        jitter_buffer_ctl(s->jitter, JITTER_BUFFER_SET_MARGIN, &margin);
    }
    // Creeps up slowly, so that a clock drift or a longer route is followed.
    const qint64 offset = m_clock - qint64(timestamp);
    s->quickest = s->timed ? std::min(s->quickest + kSampleRate / 1000, offset) : offset;
    s->timed = true;

    JitterBufferPacket packet{};
    packet.data = const_cast<char*>(frame.constData());
    packet.len = spx_uint32_t(frame.size());
    packet.timestamp = timestamp;
    packet.span = spx_uint32_t(samples);
    packet.sequence = seq;
    jitter_buffer_put(s->jitter, &packet);
    s->lastHeard = m_clock;
    return true;
}

void PlaybackMixer::setSpeakerLevel(quint32 speaker, int percent, bool muted)
{
    Level level;
    level.gain = float(std::clamp(percent, 0, 200)) / 100.0f;
    level.muted = muted;
    if (level.gain == 1.0f && !muted)
        m_levels.remove(speaker);
    else
        m_levels.insert(speaker, level);
    if (muted)
        m_speakers.remove(speaker);
}

int PlaybackMixer::bufferDelayMs(quint32 speaker) const
{
    const auto it = m_speakers.constFind(speaker);
    return it == m_speakers.constEnd() ? 0 : int(it.value()->delaySamples * 1000 / kSampleRate);
}

QHash<quint32, PlaybackMixer::Reception> PlaybackMixer::takeReception()
{
    QHash<quint32, Reception> out;
    for (auto it = m_speakers.begin(); it != m_speakers.end(); ++it) {
        out.insert(it.key(), it.value()->reception);
        it.value()->reception = {};
    }
    return out;
}

void PlaybackMixer::remove(quint32 speaker)
{
    m_speakers.remove(speaker);
}

void PlaybackMixer::clear()
{
    m_speakers.clear();
}

void PlaybackMixer::fetchFrame(Speaker& s)
{
    char buffer[kMaxPacketBytes];
    JitterBufferPacket packet{};
    packet.data = buffer;
    packet.len = sizeof buffer;
    spx_int32_t offset = 0;
    const int status = jitter_buffer_get(s.jitter, &packet, s.frameSamples, &offset);
    jitter_buffer_tick(s.jitter);

    int produced = -1;
    int span = s.frameSamples;
    qint16* out = m_decoded.data();
    if (status == JITTER_BUFFER_OK) {
        const double delay = double(m_clock - (qint64(packet.timestamp) + s.quickest));
        s.delaySamples += 0.1 * (delay - s.delaySamples);
        s.pending.remove(packet.timestamp);
        produced = s.decoder->decode(packet.data, int(packet.len), out);
        if (produced > 0) {
            ++m_stats.decoded;
        } else {
            ++m_stats.broken;
            produced = s.active ? s.decoder->conceal(out, s.frameSamples) : -1;
        }
        s.active = true;
        s.missingInRow = 0;
    } else {
        if (status == JITTER_BUFFER_INSERTION && packet.span > 0 &&
            int(packet.span) <= kMaxPacketSamples)
            span = int(packet.span);
        const bool lost = status == JITTER_BUFFER_MISSING && packet.span > 0;
        if (s.active && ++s.missingInRow * s.frameSamples > samplesForMs(m_options.concealMs)) {
            s.active = false;
            s.spurtDue = true;
        }
        const auto copy = lost ? s.spares.constFind(packet.timestamp) : s.spares.constEnd();
        if (s.active && copy != s.spares.constEnd()) {
            produced = s.decoder->decode(copy->constData(), int(copy->size()), out);
            if (produced > 0)
                ++m_stats.copied;
        }
        if (s.active && produced <= 0) {
            const auto next =
                lost ? s.pending.constFind(packet.timestamp + packet.span) : s.pending.constEnd();
            if (next != s.pending.constEnd()) {
                produced = s.decoder->recover(next->constData(), int(next->size()), out, span);
                if (produced > 0)
                    ++m_stats.recovered;
            }
            if (produced <= 0) {
                produced = s.decoder->conceal(out, span);
                if (produced > 0)
                    ++m_stats.concealed;
            }
        }
    }
    if (produced <= 0) {
        produced = span;
        std::fill(out, out + produced, qint16(0));
    }
    s.pcm.insert(s.pcm.end(), out, out + produced);

    // Forget copies the buffer has moved past.
    const quint32 pointer = quint32(jitter_buffer_get_pointer_timestamp(s.jitter));
    for (auto* copies : {&s.pending, &s.spares}) {
        for (auto it = copies->begin(); it != copies->end();) {
            if (distance(it.key(), pointer) < -s.frameSamples)
                it = copies->erase(it);
            else
                ++it;
        }
    }
}

void PlaybackMixer::fill(Speaker& s, int needed)
{
    while (int(s.pcm.size() - s.pcmRead) < needed)
        fetchFrame(s);
}

void PlaybackMixer::render(qint16* out, int count)
{
    if (count <= 0)
        return;
    m_acc.assign(size_t(count), 0);
    for (auto it = m_speakers.begin(); it != m_speakers.end(); ++it) {
        Speaker& s = *it.value();
        fill(s, count);
        const qint16* src = s.pcm.data() + s.pcmRead;
        const float gain = m_levels.value(it.key()).gain;
        if (gain == 1.0f) {
            for (int i = 0; i < count; ++i)
                m_acc[size_t(i)] += src[i];
        } else {
            for (int i = 0; i < count; ++i)
                m_acc[size_t(i)] += int(std::lround(float(src[i]) * gain));
        }
        s.pcmRead += size_t(count);
        if (s.pcmRead * 2 > s.pcm.size()) {
            s.pcm.erase(s.pcm.begin(), s.pcm.begin() + qsizetype(s.pcmRead));
            s.pcmRead = 0;
        }
    }
    for (int i = 0; i < count; ++i) {
        const float v = float(m_acc[size_t(i)]) * m_gain;
        out[i] = qint16(std::clamp(std::lround(v), -32768L, 32767L));
    }
    m_clock += count;

    const qint64 timeout = qint64(samplesForMs(std::max(m_options.speakerTimeoutMs, 0)));
    for (auto it = m_speakers.begin(); it != m_speakers.end();) {
        if (m_clock - it.value()->lastHeard > timeout)
            it = m_speakers.erase(it);
        else
            ++it;
    }
}

} // namespace kalimo
