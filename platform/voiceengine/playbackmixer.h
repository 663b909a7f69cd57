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
        qint64 concealed = 0; // frames invented by loss concealment
        qint64 refused = 0;   // frames rejected on arrival
        qint64 broken = 0;    // accepted frames the decoder could not read
    };

    PlaybackMixer();
    explicit PlaybackMixer(const Options& options);
    ~PlaybackMixer();

    void setVolume(int playbackVolume);
    void setMaxLateRate(int percent);

    // False when the frame is refused (empty, oversized, not Opus).
    bool put(quint32 speaker, quint16 seq, const QByteArray& frame);
    void remove(quint32 speaker);
    void clear();
    // Renders `count` samples of the mix.
    void render(qint16* out, int count);

    int speakerCount() const { return int(m_speakers.size()); }
    bool hasSpeaker(quint32 speaker) const { return m_speakers.contains(speaker); }
    const Stats& stats() const { return m_stats; }

    struct Speaker;

private:
    Speaker* speakerFor(quint32 id, int frameSamples);
    void fill(Speaker& s, int needed);
    void fetchFrame(Speaker& s);

    Options m_options;
    QHash<quint32, std::shared_ptr<Speaker>> m_speakers;
    float m_gain = 1.0f;
    int m_maxLateRate = 4;
    qint64 m_clock = 0; // samples rendered
    Stats m_stats;
    std::vector<int> m_acc;
    std::vector<qint16> m_decoded;
};

} // namespace kalimo
