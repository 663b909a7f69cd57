#include "opuscodec.h"

#include "audiobackend.h"

#include <QCoreApplication>

#include <opus.h>

#include <algorithm>

namespace kalimo {

namespace {
QString trCodec(const char* text)
{
    return QCoreApplication::translate("OpusCodec", text);
}
} // namespace

int opusPacketSamples(const char* data, int size)
{
    if (!data || size <= 0 || size > kMaxPacketBytes)
        return -1;
    const int n =
        opus_packet_get_nb_samples(reinterpret_cast<const unsigned char*>(data), size, kSampleRate);
    return (n > 0 && n <= kMaxPacketSamples) ? n : -1;
}

namespace {

// Ends a packet's padding when it holds copies: [copy n][length n] ...
// [copy 1][length 1][n][kSpareMark].
constexpr unsigned char kSpareMark = 0x4b;

// Where the padding of a valid packet starts, or -1.
int paddingStart(const unsigned char* data, int size)
{
    unsigned char toc = 0;
    const unsigned char* frames[48] = {};
    opus_int16 sizes[48] = {};
    const int n = opus_packet_parse(data, size, &toc, frames, sizes, nullptr);
    if (n <= 0)
        return -1;
    return int(frames[n - 1] + sizes[n - 1] - data);
}

} // namespace

bool attachSpares(QByteArray& packet, const QList<QByteArray>& spares)
{
    if (spares.isEmpty() || spares.size() > kMaxSpares)
        return false;
    QByteArray trailer;
    for (qsizetype i = spares.size() - 1; i >= 0; --i) {
        if (spares[i].size() > 255)
            return false;
        trailer.append(spares[i]);
        trailer.append(char(spares[i].size()));
    }
    trailer.append(char(spares.size()));
    trailer.append(char(kSpareMark));
    const int len = int(packet.size());
    // The padding's own length bytes come out of the new length too.
    for (int extra = 2; extra < 8; ++extra) {
        const int total = len + int(trailer.size()) + extra;
        if (total > kMaxPacketBytes)
            return false;
        QByteArray padded = packet;
        padded.resize(total);
        auto* data = reinterpret_cast<unsigned char*>(padded.data());
        if (opus_packet_pad(data, len, total) != OPUS_OK)
            return false;
        const int start = paddingStart(data, total);
        if (start < 0)
            return false;
        if (total - start >= trailer.size()) {
            std::copy(trailer.cbegin(), trailer.cend(), padded.end() - trailer.size());
            packet = padded;
            return true;
        }
    }
    return false;
}

QList<QByteArray> sparesOf(const char* data, int size)
{
    QList<QByteArray> out;
    if (opusPacketSamples(data, size) < 0 || (data[0] & 3) != 3 || size < 2 ||
        (data[1] & 0x40) == 0)
        return out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const int start = paddingStart(bytes, size);
    int at = size;
    if (start < 0 || at - start < 2 || bytes[at - 1] != kSpareMark)
        return out;
    const int count = bytes[at - 2];
    at -= 2;
    if (count < 1 || count > kMaxSpares)
        return out;
    for (int i = 0; i < count; ++i) {
        if (at - 1 < start)
            return {};
        const int len = bytes[--at];
        if (at - len < start)
            return {};
        at -= len;
        out.append(QByteArray(data + at, len));
    }
    return out;
}

std::unique_ptr<OpusFrameEncoder> OpusFrameEncoder::create(int frameMs, int bitrate,
                                                           VoiceResult& result)
{
    if (frameMs != 10 && frameMs != 20) {
        result = VoiceResult::failure(
            VoiceError::InvalidArgument,
            trCodec(QT_TRANSLATE_NOOP("OpusCodec",
                                      "La durata di un pacchetto voce deve essere 10 o 20 ms")));
        return nullptr;
    }
    int error = OPUS_OK;
    OpusEncoder* enc = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
    if (!enc || error != OPUS_OK) {
        result =
            VoiceResult::failure(VoiceError::CodecFailed,
                                 trCodec(QT_TRANSLATE_NOOP("OpusCodec", "Codificatore Opus: %1"))
                                     .arg(QString::fromUtf8(opus_strerror(error))));
        return nullptr;
    }
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(std::clamp(bitrate, 12000, 40000)));
    opus_encoder_ctl(enc, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    // In-band FEC is only produced when the encoder expects some loss: the
    // listeners' reports set it.
    opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(enc, OPUS_SET_PACKET_LOSS_PERC(0));
    opus_encoder_ctl(enc, OPUS_SET_DTX(1));
    result = VoiceResult::success();
    return std::unique_ptr<OpusFrameEncoder>(new OpusFrameEncoder(enc, samplesForMs(frameMs)));
}

OpusFrameEncoder::OpusFrameEncoder(OpusEncoder* encoder, int frameSamples)
    : m_encoder(encoder), m_frameSamples(frameSamples)
{
}

OpusFrameEncoder::~OpusFrameEncoder()
{
    opus_encoder_destroy(m_encoder);
}

bool OpusFrameEncoder::encode(const qint16* pcm, QByteArray& packet)
{
    unsigned char buffer[kMaxPacketBytes];
    const opus_int32 n = opus_encode(m_encoder, pcm, m_frameSamples, buffer, kMaxPacketBytes);
    if (n < 0) {
        packet.clear();
        return false;
    }
    // Two bytes or less is a DTX frame: the decoder does as well without it.
    if (n <= 2)
        packet.clear();
    else
        packet = QByteArray(reinterpret_cast<const char*>(buffer), n);
    return true;
}

void OpusFrameEncoder::reset()
{
    opus_encoder_ctl(m_encoder, OPUS_RESET_STATE);
    opus_encoder_ctl(m_encoder, OPUS_SET_PACKET_LOSS_PERC(m_expectedLoss));
    opus_encoder_ctl(m_encoder, OPUS_SET_INBAND_FEC(m_inbandFec ? 1 : 0));
}

void OpusFrameEncoder::setInbandFec(bool on)
{
    m_inbandFec = on;
    opus_encoder_ctl(m_encoder, OPUS_SET_INBAND_FEC(on ? 1 : 0));
}

void OpusFrameEncoder::setExpectedLoss(int percent)
{
    m_expectedLoss = std::clamp(percent, 0, 100);
    opus_encoder_ctl(m_encoder, OPUS_SET_PACKET_LOSS_PERC(m_expectedLoss));
}

std::unique_ptr<OpusFrameDecoder> OpusFrameDecoder::create(VoiceResult& result)
{
    int error = OPUS_OK;
    OpusDecoder* dec = opus_decoder_create(kSampleRate, 1, &error);
    if (!dec || error != OPUS_OK) {
        result =
            VoiceResult::failure(VoiceError::CodecFailed,
                                 trCodec(QT_TRANSLATE_NOOP("OpusCodec", "Decodificatore Opus: %1"))
                                     .arg(QString::fromUtf8(opus_strerror(error))));
        return nullptr;
    }
    result = VoiceResult::success();
    return std::unique_ptr<OpusFrameDecoder>(new OpusFrameDecoder(dec));
}

OpusFrameDecoder::OpusFrameDecoder(OpusDecoder* decoder) : m_decoder(decoder) {}

OpusFrameDecoder::~OpusFrameDecoder()
{
    opus_decoder_destroy(m_decoder);
}

int OpusFrameDecoder::decode(const char* data, int size, qint16* out)
{
    if (opusPacketSamples(data, size) < 0)
        return -1;
    const int n = opus_decode(m_decoder, reinterpret_cast<const unsigned char*>(data), size, out,
                              kMaxPacketSamples, 0);
    return n > 0 ? n : -1;
}

int OpusFrameDecoder::recover(const char* next, int size, qint16* out, int samples)
{
    if (opusPacketSamples(next, size) < 0 || samples <= 0 || samples > kMaxPacketSamples)
        return -1;
    const int n =
        opus_decode(m_decoder, reinterpret_cast<const unsigned char*>(next), size, out, samples, 1);
    return n > 0 ? n : -1;
}

int OpusFrameDecoder::conceal(qint16* out, int samples)
{
    if (samples <= 0 || samples > kMaxPacketSamples || samples % (kSampleRate / 400) != 0)
        return -1;
    const int n = opus_decode(m_decoder, nullptr, 0, out, samples, 0);
    return n > 0 ? n : -1;
}

void OpusFrameDecoder::reset()
{
    opus_decoder_ctl(m_decoder, OPUS_RESET_STATE);
}

} // namespace kalimo
