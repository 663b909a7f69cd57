// The session seal's cipher taken out: the bytes copied instead of
// encrypted, a tag's room left blank, so the datagram keeps its layout and
// the framing and replay checks of seal.cpp stay the same. Linked into
// bench_session_plain only, so the relay's cost with and without encryption
// can be told apart on one build.

#include "platform/session/seal.h"

#include <QRandomGenerator>

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

void SessionSeal::encrypt(size_t, quint64, QByteArrayView plain, unsigned char* out)
{
    std::memcpy(out, plain.data(), size_t(plain.size()));
    std::memset(out + plain.size(), 0, kOverhead - kCounterBytes);
}

bool SessionSeal::decrypt(size_t, quint64, unsigned char*, qsizetype)
{
    return true;
}

} // namespace kalimo::session
