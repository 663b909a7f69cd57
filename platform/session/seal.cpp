#include "platform/session/seal.h"

#include <QtEndian>

#include <sodium.h>

namespace kalimo::session {

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char* bytes(QByteArrayView v)
{
    return reinterpret_cast<const unsigned char*>(v.data());
}

using Nonce = std::array<unsigned char, crypto_aead_chacha20poly1305_IETF_NPUBBYTES>;

Nonce nonceOf(int channel, quint64 counter)
{
    Nonce n{};
    qToLittleEndian(static_cast<quint32>(channel), n.data());
    qToLittleEndian(counter, n.data() + 4);
    return n;
}

} // namespace

HostKeys HostKeys::generate()
{
    HostKeys k;
    if (!sodiumReady())
        return k;
    k.publicKey.resize(crypto_kx_PUBLICKEYBYTES);
    k.secretKey.resize(crypto_kx_SECRETKEYBYTES);
    crypto_kx_keypair(reinterpret_cast<unsigned char*>(k.publicKey.data()),
                      reinterpret_cast<unsigned char*>(k.secretKey.data()));
    return k;
}

bool HostKeys::valid() const
{
    return publicKey.size() == crypto_kx_PUBLICKEYBYTES &&
           secretKey.size() == crypto_kx_SECRETKEYBYTES;
}

std::optional<SessionSeal> SessionSeal::member(QByteArrayView hostPublic,
                                               QByteArrayView memberPublic,
                                               QByteArrayView memberSecret)
{
    if (!sodiumReady() || hostPublic.size() != crypto_kx_PUBLICKEYBYTES ||
        memberPublic.size() != crypto_kx_PUBLICKEYBYTES ||
        memberSecret.size() != crypto_kx_SECRETKEYBYTES)
        return std::nullopt;
    SessionSeal s;
    if (crypto_kx_client_session_keys(s.m_rx.data(), s.m_tx.data(), bytes(memberPublic),
                                      bytes(memberSecret), bytes(hostPublic)) != 0)
        return std::nullopt;
    return s;
}

std::optional<SessionSeal> SessionSeal::host(const HostKeys& keys, QByteArrayView memberPublic)
{
    if (!sodiumReady() || !keys.valid() || memberPublic.size() != crypto_kx_PUBLICKEYBYTES)
        return std::nullopt;
    SessionSeal s;
    if (crypto_kx_server_session_keys(s.m_rx.data(), s.m_tx.data(), bytes(keys.publicKey),
                                      bytes(keys.secretKey), bytes(memberPublic)) != 0)
        return std::nullopt;
    return s;
}

SessionSeal::~SessionSeal()
{
    sodium_memzero(m_rx.data(), m_rx.size());
    sodium_memzero(m_tx.data(), m_tx.size());
}

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
    const Nonce nonce = nonceOf(int(c), counter);
    const unsigned char ad = static_cast<unsigned char>(c);
    unsigned long long length = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(out + 8, &length, bytes(plain),
                                              static_cast<unsigned long long>(plain.size()), &ad, 1,
                                              nullptr, nonce.data(), m_tx.data());
}

SessionSeal::Verdict SessionSeal::open(int channel, QByteArrayView sealed, QByteArray* plain)
{
    if (sealed.size() < kOverhead || channel < 0 || channel >= kChannels)
        return Verdict::Forged;
    const size_t c = size_t(channel);
    const quint64 counter = qFromLittleEndian<quint64>(sealed.data());
    Received& r = m_received[c];
    // Checked before and recorded after authentication: a forged counter
    // must not move the window.
    const bool windowed = channel == kWindowedChannel;
    if (!windowed) {
        if (counter < r.next)
            return Verdict::Replayed;
    } else if (r.any && counter <= r.top) {
        const quint64 behind = r.top - counter;
        if (behind >= kWindow || (r.seen >> behind) & 1u)
            return Verdict::Replayed;
    }
    QByteArray out(sealed.size() - kOverhead, Qt::Uninitialized);
    const Nonce nonce = nonceOf(int(c), counter);
    const unsigned char ad = static_cast<unsigned char>(c);
    unsigned long long length = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(out.data()), &length, nullptr, bytes(sealed) + 8,
            static_cast<unsigned long long>(sealed.size() - 8), &ad, 1, nonce.data(),
            m_rx.data()) != 0)
        return Verdict::Forged;
    if (!windowed) {
        r.next = counter + 1;
    } else if (!r.any || counter > r.top) {
        const quint64 ahead = r.any ? counter - r.top : kWindow;
        r.seen = ahead >= kWindow ? 1u : (r.seen << ahead) | 1u;
        r.top = counter;
        r.any = true;
    } else {
        r.seen |= quint64(1) << (r.top - counter);
    }
    if (plain)
        *plain = std::move(out);
    return Verdict::Opened;
}

} // namespace kalimo::session
