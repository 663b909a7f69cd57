#include "platform/session/seal.h"

#include <QtEndian>

namespace kalimo::session {

// The datagram's framing and replay checks; the cipher is sealcipher.cpp's.

QByteArray SessionSeal::seal(int channel, QByteArrayView plain)
{
    QByteArray out(kOverhead + plain.size(), Qt::Uninitialized);
    sealInto(channel, plain, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

void SessionSeal::sealInto(int channel, QByteArrayView plain, unsigned char* out)
{
    const size_t c = size_t(qBound(0, channel, kChannels - 1));
    const quint64 counter = m_sent[c]++;
    qToLittleEndian(counter, out);
    encrypt(c, counter, plain, out + kCounterBytes);
}

SessionSeal::Verdict SessionSeal::open(int channel, QByteArrayView sealed, QByteArray* plain)
{
    QByteArray copy = sealed.toByteArray();
    QByteArrayView opened;
    const Verdict v =
        openInPlace(channel, reinterpret_cast<unsigned char*>(copy.data()), copy.size(), &opened);
    if (v == Verdict::Opened && plain)
        *plain = copy.mid(kCounterBytes, opened.size());
    return v;
}

SessionSeal::Verdict SessionSeal::openInPlace(int channel, unsigned char* sealed, qsizetype size,
                                              QByteArrayView* plain)
{
    if (size < kOverhead || channel < 0 || channel >= kChannels)
        return Verdict::Forged;
    const size_t c = size_t(channel);
    const quint64 counter = qFromLittleEndian<quint64>(sealed);
    // Checked before and recorded after authentication: a forged counter
    // must not move the window.
    if (!m_received[c].admit(counter))
        return Verdict::Replayed;
    unsigned char* text = sealed + kCounterBytes;
    if (!decrypt(c, counter, text, size - kCounterBytes))
        return Verdict::Forged;
    m_received[c].record(counter);
    if (plain)
        *plain = QByteArrayView(text, size - kOverhead);
    return Verdict::Opened;
}

} // namespace kalimo::session
