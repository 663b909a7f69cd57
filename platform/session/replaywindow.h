#pragma once

#include <QtGlobal>

namespace kalimo::session {

// The counters one channel of a sealed session has taken, to refuse a
// datagram seen before. An ordered channel takes rising counters only (ENet
// delivers it in order); a windowed one also takes counters up to kWidth
// behind the newest, each once, as unsequenced datagrams may come late.
class ReplayWindow final
{
public:
    static constexpr quint64 kWidth = 64;

    explicit ReplayWindow(bool windowed = false) : m_windowed(windowed) {}

    bool admit(quint64 counter) const;
    // Only once the datagram is authentic: a forged counter must not move
    // the window.
    void record(quint64 counter);

private:
    quint64 m_next = 0; // lowest counter still acceptable in order
    quint64 m_top = 0;  // highest counter seen (window)
    quint64 m_seen = 0; // bit i: counter m_top - i was seen
    bool m_any = false;
    bool m_windowed = false;
};

} // namespace kalimo::session
