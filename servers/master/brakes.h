#pragma once

#include "servers/master/ratewindow.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <functional>

namespace kalimo::master {

// One RateWindow per key (an address, a nick, a nick and a room). Keys with
// nothing left in their window are forgotten once the table grows, so a flood
// of fresh keys costs memory only for one window's time.
class KeyedRate final
{
public:
    KeyedRate(int limit, qint64 windowMs) : m_limit(limit), m_windowMs(windowMs) {}

    bool allow(const QString& key, qint64 now);

private:
    int m_limit;
    qint64 m_windowMs;
    QHash<QString, RateWindow> m_windows;
};

// Failed attempts per key with a delay that grows with each failure past the
// free ones and is forgotten after a quiet spell. Nothing is ever locked for
// good: the longest delay is `maxMs`.
class FailureBrake final
{
public:
    FailureBrake(int freeFailures, qint64 minMs, qint64 maxMs, qint64 forgetMs)
        : m_free(freeFailures), m_minMs(minMs), m_maxMs(maxMs), m_forgetMs(forgetMs)
    {
    }

    // Milliseconds the key must still wait before its next attempt counts.
    qint64 wait(const QString& key, qint64 now);
    void failed(const QString& key, qint64 now);
    int failures(const QString& key, qint64 now);

private:
    struct Entry
    {
        int failures = 0;
        qint64 last = 0;
    };
    qint64 delayAfter(int failures) const;
    void prune(qint64 now);

    int m_free;
    qint64 m_minMs;
    qint64 m_maxMs;
    qint64 m_forgetMs;
    QHash<QString, Entry> m_entries;
};

// Login brakes: per address, and per nick except from the addresses the nick
// last logged in from, so a stranger guessing a password cannot keep its
// owner out.
class LoginBrake final
{
public:
    struct Limits
    {
        int freePerNick = 5;
        int freePerAddress = 10;
        qint64 minDelayMs = 1000;
        qint64 maxDelayMs = 60000;
        qint64 forgetMs = 15 * 60 * 1000;
    };

    explicit LoginBrake(const Limits& limits);

    // Milliseconds this attempt must still wait; 0: it may be checked.
    qint64 wait(const QString& nick, const QString& address, qint64 now);
    void failed(const QString& nick, const QString& address, qint64 now);
    void succeeded(const QString& nick, const QString& address);

private:
    bool known(const QString& nick, const QString& address) const;

    FailureBrake m_byNick;
    FailureBrake m_byAddress;
    QHash<QString, QStringList> m_knownAddresses; // last few, newest first
};

// Log lines about refused input: a few per connection and period, the rest
// counted and told in one line when the period ends, and a ceiling for all
// connections together. A flood of bad messages writes a bounded log.
class RefusalLog final
{
public:
    using Sink = std::function<void(const QString&)>;

    RefusalLog(int linesPerConnection, int linesInAll, qint64 periodMs, Sink sink)
        : m_perConnection(linesPerConnection), m_inAll(linesInAll), m_periodMs(periodMs),
          m_sink(std::move(sink))
    {
    }

    // Per connection: refusals counted in its current period.
    struct Budget
    {
        qint64 periodStart = -1;
        int logged = 0;
        int refused = 0;
        int untold = 0;
    };

    // Counts one refusal of `who`; returns the refusals of its period so far.
    int note(Budget& budget, const QString& who, const QString& line, qint64 now);
    // The untold remainder of a connection that ends.
    void close(Budget& budget, const QString& who, qint64 now);
    qint64 linesWritten() const { return m_written; }

private:
    void roll(Budget& budget, const QString& who, qint64 now);
    bool globalAllows(qint64 now);
    void write(const QString& line);

    int m_perConnection;
    int m_inAll;
    qint64 m_periodMs;
    Sink m_sink;
    qint64 m_globalStart = -1;
    int m_globalLogged = 0;
    int m_globalUntold = 0;
    qint64 m_written = 0;
};

} // namespace kalimo::master
