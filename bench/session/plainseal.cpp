// The session's seal without the cipher: the same header and layout (the
// counter, the bytes, a tag's room), copied instead of encrypted, and the
// same replay bookkeeping. Linked into bench_session_plain only, so the
// relay's cost with and without encryption can be told apart on one build.

#include "platform/session/seal.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>

namespace kalimo::session {

HostKeys HostKeys::generate()
{
    HostKeys k;
    k.publicKey.resize(SessionSeal::kKeyBytes);
    k.secretKey.resize(SessionSeal::kKeyBytes);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(k.publicKey.data()), 8);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(k.secretKey.data()), 8);
    return k;
}

bool HostKeys::valid() const
{
    return publicKey.size() == SessionSeal::kKeyBytes && secretKey.size() == SessionSeal::kKeyBytes;
}

quint8 SessionSeal::localCiphers()
{
    return ChaCha20;
}

quint8 SessionSeal::choose(quint8 theirs)
{
    return theirs & ChaCha20;
}

bool SessionSeal::setKeys(quint8 cipher)
{
    m_cipher = cipher;
    return true;
}

std::optional<SessionSeal> SessionSeal::member(QByteArrayView, QByteArrayView, QByteArrayView,
                                               quint8 cipher)
{
    SessionSeal s;
    s.setKeys(cipher);
    return s;
}

std::optional<SessionSeal> SessionSeal::host(const HostKeys&, QByteArrayView, quint8 cipher)
{
    SessionSeal s;
    s.setKeys(cipher);
    return s;
}

SessionSeal::~SessionSeal() = default;

QByteArray SessionSeal::seal(int channel, QByteArrayView plain)
{
    QByteArray out(kOverhead + plain.size(), Qt::Uninitialized);
    sealInto(channel, plain, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

void SessionSeal::sealInto(int channel, QByteArrayView plain, unsigned char* out)
{
    const size_t c = size_t(qBound(0, channel, kChannels - 1));
    qToLittleEndian(m_sent[c]++, out);
    std::memcpy(out + 8, plain.data(), size_t(plain.size()));
    std::memset(out + 8 + plain.size(), 0, kOverhead - 8);
}

bool SessionSeal::admit(size_t c, quint64 counter) const
{
    const Received& r = m_received[c];
    if (c != size_t(kWindowedChannel))
        return counter >= r.next;
    if (!r.any || counter > r.top)
        return true;
    const quint64 behind = r.top - counter;
    return behind < kWindow && !((r.seen >> behind) & 1u);
}

void SessionSeal::record(size_t c, quint64 counter)
{
    Received& r = m_received[c];
    if (c != size_t(kWindowedChannel)) {
        r.next = counter + 1;
    } else if (!r.any || counter > r.top) {
        const quint64 ahead = r.any ? counter - r.top : kWindow;
        r.seen = ahead >= kWindow ? 1u : (r.seen << ahead) | 1u;
        r.top = counter;
        r.any = true;
    } else {
        r.seen |= quint64(1) << (r.top - counter);
    }
}

SessionSeal::Verdict SessionSeal::open(int channel, QByteArrayView sealed, QByteArray* plain)
{
    QByteArray copy = sealed.toByteArray();
    QByteArrayView opened;
    const Verdict v =
        openInPlace(channel, reinterpret_cast<unsigned char*>(copy.data()), copy.size(), &opened);
    if (v == Verdict::Opened && plain)
        *plain = copy.mid(8, opened.size());
    return v;
}

SessionSeal::Verdict SessionSeal::openInPlace(int channel, unsigned char* sealed, qsizetype size,
                                              QByteArrayView* plain)
{
    if (size < kOverhead || channel < 0 || channel >= kChannels)
        return Verdict::Forged;
    const size_t c = size_t(channel);
    const quint64 counter = qFromLittleEndian<quint64>(sealed);
    if (!admit(c, counter))
        return Verdict::Replayed;
    record(c, counter);
    if (plain)
        *plain = QByteArrayView(sealed + 8, size - kOverhead);
    return Verdict::Opened;
}

} // namespace kalimo::session
