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
    // Host: a connected peer must send its hello within this.
    int helloMs = 10000;
    // Interval of the timer that drives ENet beside the socket notifier.
    int pumpMs = 10;
};

// The application GUID of Kalimo's room sessions.
inline QUuid roomApplicationGuid()
{
    return QUuid(QStringLiteral("{5726CF1F-702B-4008-98BC-BF9C95F9E288}"));
}

} // namespace kalimo::session
