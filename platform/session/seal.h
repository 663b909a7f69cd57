#pragma once

#include "platform/session/replaywindow.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <optional>

namespace kalimo::session {

// A room host's long-term key pair for the session's key exchange. Its
// public half is what members check the host by.
struct HostKeys
{
    QByteArray publicKey; // 32 bytes
    QByteArray secretKey; // 32 bytes

    static HostKeys generate();
    bool valid() const;
};

// One member's end of a sealed session, on either side: the two keys of
// the exchange (one a direction), a counter of sent datagrams per channel
// and what was received per channel, to refuse a datagram seen before.
//
// A sealed datagram is its 8-byte counter and the ciphertext with its
// 16-byte tag: AES-256-GCM where both ends have the processor's AES
// instructions (a fifth of the cost), ChaCha20-Poly1305 (IETF) otherwise;
// the channel and the counter as nonce, so a nonce never repeats under one
// key, and the channel as associated data, so nothing moves from one
// channel to the other.
class SessionSeal final
{
public:
    // Bits of a cipher set, as the wire carries them.
    enum Cipher : quint8 { ChaCha20 = 1, Aes256Gcm = 2 };
    // What this machine can seal with.
    static quint8 localCiphers();
    // The cheapest cipher in both sets; 0 when there is none.
    static quint8 choose(quint8 theirs);

    static constexpr qsizetype kKeyBytes = 32;
    static constexpr qsizetype kCounterBytes = 8;
    static constexpr qsizetype kTagBytes = 16;
    static constexpr qsizetype kOverhead = kCounterBytes + kTagBytes;
    // Voice datagrams up to this far behind the newest are still taken.
    static constexpr quint64 kWindow = ReplayWindow::kWidth;
    static constexpr int kChannels = 3;

    enum class Verdict { Opened, Forged, Replayed };

    // The member's end: its own key pair and the host's public key.
    static std::optional<SessionSeal> member(QByteArrayView hostPublic, QByteArrayView memberPublic,
                                             QByteArrayView memberSecret, quint8 cipher = ChaCha20);
    // The host's end for a member that presented `memberPublic`.
    static std::optional<SessionSeal> host(const HostKeys& keys, QByteArrayView memberPublic,
                                           quint8 cipher = ChaCha20);

    SessionSeal(const SessionSeal& other) = default;
    SessionSeal& operator=(const SessionSeal& other) = default;
    ~SessionSeal();

    // The voice channel takes datagrams within the sliding window, each
    // counter once; the others in order only (ENet delivers them in order).
    QByteArray seal(int channel, QByteArrayView plain);
    // The same into `out`, which holds plain.size() + kOverhead bytes.
    void sealInto(int channel, QByteArrayView plain, unsigned char* out);
    Verdict open(int channel, QByteArrayView sealed, QByteArray* plain);
    // Opened where it lies: `plain` then points into `sealed`.
    Verdict openInPlace(int channel, unsigned char* sealed, qsizetype size, QByteArrayView* plain);

private:
    SessionSeal() = default;
    bool setKeys(quint8 cipher);
    // The cipher alone: `out` takes the ciphertext and its tag; `text`,
    // the ciphertext and its tag, is opened where it lies.
    void encrypt(size_t channel, quint64 counter, QByteArrayView plain, unsigned char* out);
    bool decrypt(size_t channel, quint64 counter, unsigned char* text, qsizetype size);

    // Nettle's AES-GCM state, its keys expanded once, not for every
    // datagram; kept opaque so that users of the seal need no Nettle.
    static constexpr size_t kAesStateBytes = 4416;
    struct alignas(16) AesState
    {
        std::array<unsigned char, kAesStateBytes> bytes{};
    };
    AesState m_rxAes;
    AesState m_txAes;
    quint8 m_cipher = ChaCha20;
    std::array<unsigned char, kKeyBytes> m_rx{};
    std::array<unsigned char, kKeyBytes> m_tx{};
    std::array<quint64, kChannels> m_sent{};
    // Control and reports in order; voice (channel 1) unsequenced.
    std::array<ReplayWindow, kChannels> m_received{ReplayWindow(), ReplayWindow(true),
                                                   ReplayWindow()};
};

} // namespace kalimo::session
