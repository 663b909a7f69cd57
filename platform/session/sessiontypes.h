#pragma once

#include <QUuid>

namespace kalimo::session {

// Outcome of a connect, reason of a refusal and reason of an ended session.
// The numbers travel on the wire as ENet disconnect data and reach callers
// as the int of ConnectComplete and TerminateSession: never renumber them.
enum class SessionResult : int {
    Accepted = 0,       // connect: the host took us in
    RoomFull = 1,       // the room holds its maximum of players
    NameInUse = 2,      // a player of that name is already in the room
    WrongPassword = 3,  // the room password did not match
    BadHello = 4,       // the hello was malformed, late, or for another application
    NoAnswer = 5,       // nobody answered at that address in time
    HostClosed = 6,     // the host ended the session
    ConnectionLost = 7, // the peer stopped answering
    BadTicket = 8,      // the master's ticket for this nick and room was missing or wrong
};

constexpr int toInt(SessionResult r)
{
    return static_cast<int>(r);
}

// Datagrams a session end threw away after the hello: `forged` did not
// open under the session's keys (altered, or sealed by someone else),
// `replayed` opened but had been taken before.
struct SessionDrops
{
    quint64 forged = 0;
    quint64 replayed = 0;
};

// Every interval of the transport, in milliseconds. The defaults are the
// product's; tests inject short ones.
struct SessionTimings
{
    // A peer that stops acknowledging is dropped after this long; with
    // ENet's 500 ms ping a dead peer is noticed within 10 s.
    int deadPeerMs = 9000;
    // Enumeration queries repeat at this interval until answered.
    int enumRetryMs = 1000;
    // Client: the whole connect (ENet handshake and hello) must finish in this.
    int connectMs = 10000;
    // Host: a connect attempt must have said its hello within this, from its
    // first datagram; until then it holds no member slot.
    int helloMs = 2000;
    // Interval of the timer that drives ENet beside the socket notifier.
    int pumpMs = 10;
};

// What a room host lets strangers cost it. Connect attempts count from the
// first datagram until the hello is accepted, and only from addresses that
// showed they receive (their connect carries the enumeration's cookie).
struct AdmissionLimits
{
    int halfOpenPerSource = 4;
    int halfOpenTotal = 32;
    // Enumeration answers per source address: a burst, then a steady rate;
    // and for all sources together, per second.
    int enumBurstPerSource = 16;
    int enumPerSecondPerSource = 4;
    int enumPerSecondTotal = 1000;
    // A cookie is good for this long at least and twice this at most.
    int cookiePeriodMs = 30000;
};

// The application GUID of Kalimo's room sessions.
inline QUuid roomApplicationGuid()
{
    return QUuid(QStringLiteral("{5726CF1F-702B-4008-98BC-BF9C95F9E288}"));
}

} // namespace kalimo::session
