#pragma once

#include "voiceresult.h"

#include <QByteArray>
#include <QList>

#include <memory>

struct OpusEncoder;
struct OpusDecoder;

namespace kalimo {

// Largest frame we accept from the network; Opus packets of our frame sizes
// stay far below it.
inline constexpr int kMaxPacketBytes = 1500;
// 120 ms at 48 kHz, the longest an Opus packet can last.
inline constexpr int kMaxPacketSamples = 5760;

// Samples the packet decodes to, or -1 when it is not a valid Opus packet.
int opusPacketSamples(const char* data, int size);

// Copies of the frames sent just before ride in the padding of a packet,
// which every Opus decoder skips: a listener that does not look for them
// plays the packet as before. At most this many, newest first (one frame
// period back, then two); an empty copy stands for a period not sent.
inline constexpr int kMaxSpares = 2;
// False when the packet is not Opus or the copies do not fit.
bool attachSpares(QByteArray& packet, const QList<QByteArray>& spares);
// The copies a packet carries, newest first; none for any other packet.
QList<QByteArray> sparesOf(const char* data, int size);

class OpusFrameEncoder final
{
public:
    // frameMs 10 or 20; bitrate clamped to 12..40 kbit/s.
    static std::unique_ptr<OpusFrameEncoder> create(int frameMs, int bitrate, VoiceResult& result);
    ~OpusFrameEncoder();

    int frameSamples() const { return m_frameSamples; }
    // Encodes one frame of frameSamples() samples. `packet` is left empty
    // when DTX says there is nothing worth sending. False on codec error.
    bool encode(const qint16* pcm, QByteArray& packet);
    void reset();
    // The share of frames (percent) the listeners lose: in-band FEC is
    // sized by it, and left out at 0.
    void setExpectedLoss(int percent);
    int expectedLoss() const { return m_expectedLoss; }
    // Opus's own redundancy, on by default; off where copies of whole
    // frames do its job (it narrows the band to make room).
    void setInbandFec(bool on);

private:
    OpusFrameEncoder(OpusEncoder* encoder, int frameSamples);
    OpusEncoder* m_encoder;
    int m_frameSamples;
    int m_expectedLoss = 0;
    bool m_inbandFec = true;
};

class OpusFrameDecoder final
{
public:
    static std::unique_ptr<OpusFrameDecoder> create(VoiceResult& result);
    ~OpusFrameDecoder();

    // Decodes into `out` (room for kMaxPacketSamples); returns samples or -1.
    int decode(const char* data, int size, qint16* out);
    // Rebuilds the `samples` before `next` from the redundancy in `next`.
    int recover(const char* next, int size, qint16* out, int samples);
    // Invents `samples` (a multiple of 2.5 ms) that continue the last audio.
    int conceal(qint16* out, int samples);
    void reset();

private:
    explicit OpusFrameDecoder(OpusDecoder* decoder);
    OpusDecoder* m_decoder;
};

} // namespace kalimo
