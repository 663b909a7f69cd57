#pragma once

#include "opuscodec.h"

#include <QByteArray>
#include <QHash>

#include <memory>
#include <vector>

namespace kalimo {

// Frames from the room in, one mixed stream out: a jitter buffer and a
// decoder per speaker, loss concealment and FEC recovery, mixing with
// clipping and the playback volume. Speakers that fall silent are dropped
// after a while.
class PlaybackMixer final
{
public:
    struct Options
    {
        int speakerTimeoutMs = 5000; // of rendered audio with nothing heard
        int concealMs = 100;         // invented audio after the last frame
    };
    struct Stats
    {
        qint64 decoded = 0;   // frames decoded as sent
        qint64 recovered = 0; // lost frames rebuilt from the next one's FEC
        qint64 copied = 0;    // lost frames played from a copy a later one carried
        qint64 concealed = 0; // frames invented by loss concealment
        qint64 refused = 0;   // frames rejected on arrival
        qint64 broken = 0;    // accepted frames the decoder could not read
        qint64 muted = 0;     // frames of muted speakers, dropped undecoded
    };
    // Frames heard and missed since the last report, per speaker.
    struct Reception
    {
        int received = 0;
        int lost = 0;
        int lossPercent() const
        {
            return received + lost > 0 ? (100 * lost + (received + lost) / 2) / (received + lost)
                                       : 0;
        }
    };

    PlaybackMixer();
    explicit PlaybackMixer(const Options& options);
    ~PlaybackMixer();

    void setVolume(int playbackVolume);
    void setMaxLateRate(int percent);
    // One member's own level, 0..200 % of the mix's, and local mute; kept
    // while the member comes and goes.
    void setSpeakerLevel(quint32 speaker, int percent, bool muted);

    // False when the frame is refused (empty, oversized, not Opus).
    bool put(quint32 speaker, quint16 seq, const QByteArray& frame);
    void remove(quint32 speaker);
    void clear();
    // Renders `count` samples of the mix.
    void render(qint16* out, int count);

    int speakerCount() const { return int(m_speakers.size()); }
    bool hasSpeaker(quint32 speaker) const { return m_speakers.contains(speaker); }
    const Stats& stats() const { return m_stats; }
    // How long (ms) the speaker's last frames waited between arrival and
    // playback, smoothed: what the jitter buffer holds.
    int bufferDelayMs(quint32 speaker) const;
    // Reception per speaker since the last call, which starts a new count.
    QHash<quint32, Reception> takeReception();

    struct Speaker;

private:
    Speaker* speakerFor(quint32 id, int frameSamples);
    void fill(Speaker& s, int needed);
    void fetchFrame(Speaker& s);

    struct Level
    {
        float gain = 1.0f;
        bool muted = false;
    };

    Options m_options;
    QHash<quint32, std::shared_ptr<Speaker>> m_speakers;
    QHash<quint32, Level> m_levels;
    float m_gain = 1.0f;
    int m_maxLateRate = 4;
    qint64 m_clock = 0; // samples rendered
    Stats m_stats;
    std::vector<int> m_acc;
    std::vector<qint16> m_decoded;
};

} // namespace kalimo
