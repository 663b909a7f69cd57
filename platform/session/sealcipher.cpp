#include "platform/session/seal.h"

#include <QtEndian>

#include <nettle/gcm.h>
#include <nettle/memops.h>
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

// Nettle's rather than libsodium's: for a voice datagram libsodium 1.0.18
// takes twice as long, as it derives the hash key's powers on every call.
gcm_aes256_ctx* aes(unsigned char* state)
{
    return reinterpret_cast<gcm_aes256_ctx*>(state);
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

quint8 SessionSeal::localCiphers()
{
    if (!sodiumReady())
        return 0;
    // AES only with the processor's AES and carry-less multiply: in software
    // its table look-ups can be timed from outside.
    return ChaCha20 | (crypto_aead_aes256gcm_is_available() ? Aes256Gcm : 0);
}

quint8 SessionSeal::choose(quint8 theirs)
{
    const quint8 both = theirs & localCiphers();
    return (both & Aes256Gcm) ? Aes256Gcm : (both & ChaCha20);
}

bool SessionSeal::setKeys(quint8 cipher)
{
    m_cipher = cipher;
    if (cipher == ChaCha20)
        return true;
    if (cipher != Aes256Gcm || !(localCiphers() & Aes256Gcm))
        return false;
    static_assert(sizeof(gcm_aes256_ctx) <= kAesStateBytes && alignof(gcm_aes256_ctx) <= 16);
    gcm_aes256_set_key(aes(m_rxAes.bytes.data()), m_rx.data());
    gcm_aes256_set_key(aes(m_txAes.bytes.data()), m_tx.data());
    return true;
}

std::optional<SessionSeal> SessionSeal::member(QByteArrayView hostPublic,
                                               QByteArrayView memberPublic,
                                               QByteArrayView memberSecret, quint8 cipher)
{
    if (!sodiumReady() || hostPublic.size() != crypto_kx_PUBLICKEYBYTES ||
        memberPublic.size() != crypto_kx_PUBLICKEYBYTES ||
        memberSecret.size() != crypto_kx_SECRETKEYBYTES)
        return std::nullopt;
    SessionSeal s;
    if (crypto_kx_client_session_keys(s.m_rx.data(), s.m_tx.data(), bytes(memberPublic),
                                      bytes(memberSecret), bytes(hostPublic)) != 0 ||
        !s.setKeys(cipher))
        return std::nullopt;
    return s;
}

std::optional<SessionSeal> SessionSeal::host(const HostKeys& keys, QByteArrayView memberPublic,
                                             quint8 cipher)
{
    if (!sodiumReady() || !keys.valid() || memberPublic.size() != crypto_kx_PUBLICKEYBYTES)
        return std::nullopt;
    SessionSeal s;
    if (crypto_kx_server_session_keys(s.m_rx.data(), s.m_tx.data(), bytes(keys.publicKey),
                                      bytes(keys.secretKey), bytes(memberPublic)) != 0 ||
        !s.setKeys(cipher))
        return std::nullopt;
    return s;
}

SessionSeal::~SessionSeal()
{
    sodium_memzero(m_rx.data(), m_rx.size());
    sodium_memzero(m_tx.data(), m_tx.size());
    sodium_memzero(m_rxAes.bytes.data(), m_rxAes.bytes.size());
    sodium_memzero(m_txAes.bytes.data(), m_txAes.bytes.size());
}

void SessionSeal::encrypt(size_t c, quint64 counter, QByteArrayView plain, unsigned char* out)
{
    const Nonce nonce = nonceOf(int(c), counter);
    const unsigned char ad = static_cast<unsigned char>(c);
    const auto size = static_cast<size_t>(plain.size());
    if (m_cipher == Aes256Gcm) {
        gcm_aes256_ctx* ctx = aes(m_txAes.bytes.data());
        gcm_aes256_set_iv(ctx, nonce.size(), nonce.data());
        gcm_aes256_update(ctx, 1, &ad);
        gcm_aes256_encrypt(ctx, size, out, bytes(plain));
        gcm_aes256_digest(ctx, kTagBytes, out + size);
    } else {
        crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, bytes(plain), size, &ad, 1, nullptr,
                                                  nonce.data(), m_tx.data());
    }
}

bool SessionSeal::decrypt(size_t c, quint64 counter, unsigned char* text, qsizetype size)
{
    const Nonce nonce = nonceOf(int(c), counter);
    const unsigned char ad = static_cast<unsigned char>(c);
    if (m_cipher != Aes256Gcm)
        return crypto_aead_chacha20poly1305_ietf_decrypt(text, nullptr, nullptr, text,
                                                         static_cast<unsigned long long>(size), &ad,
                                                         1, nonce.data(), m_rx.data()) == 0;
    // Deciphered before the tag is checked, but nothing of a forged
    // datagram is handed on.
    const auto length = static_cast<size_t>(size - kTagBytes);
    gcm_aes256_ctx* ctx = aes(m_rxAes.bytes.data());
    gcm_aes256_set_iv(ctx, nonce.size(), nonce.data());
    gcm_aes256_update(ctx, 1, &ad);
    gcm_aes256_decrypt(ctx, length, text, text);
    std::array<unsigned char, kTagBytes> tag;
    gcm_aes256_digest(ctx, tag.size(), tag.data());
    return memeql_sec(tag.data(), text + length, tag.size()) != 0;
}

} // namespace kalimo::session
