#include "servers/master/brakes.h"

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kPruneAbove = 4096;
constexpr qsizetype kKnownAddresses = 4;

} // namespace

bool KeyedRate::allow(const QString& key, qint64 now)
{
    if (m_windows.size() > kPruneAbove) {
        for (auto it = m_windows.begin(); it != m_windows.end();)
            it = it->idle(now) ? m_windows.erase(it) : std::next(it);
    }
    auto it = m_windows.find(key);
    if (it == m_windows.end())
        it = m_windows.insert(key, RateWindow(m_limit, m_windowMs));
    return it->allow(now);
}

qint64 FailureBrake::delayAfter(int failures) const
{
    if (failures < m_free)
        return 0;
    qint64 delay = m_minMs;
    for (int i = m_free; i < failures && delay < m_maxMs; ++i)
        delay *= 2;
    return qMin(delay, m_maxMs);
}

void FailureBrake::prune(qint64 now)
{
    if (m_entries.size() <= kPruneAbove)
        return;
    for (auto it = m_entries.begin(); it != m_entries.end();)
        it = now - it->last >= m_forgetMs ? m_entries.erase(it) : std::next(it);
}

int FailureBrake::failures(const QString& key, qint64 now)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return 0;
    if (now - it->last >= m_forgetMs) {
        m_entries.erase(it);
        return 0;
    }
    return it->failures;
}

qint64 FailureBrake::wait(const QString& key, qint64 now)
{
    const int n = failures(key, now);
    if (n == 0)
        return 0;
    const qint64 until = m_entries.value(key).last + delayAfter(n);
    return qMax<qint64>(0, until - now);
}

void FailureBrake::failed(const QString& key, qint64 now)
{
    prune(now);
    const int n = failures(key, now);
    m_entries.insert(key, Entry{n + 1, now});
}

LoginBrake::LoginBrake(const Limits& limits)
    : m_byNick(limits.freePerNick, limits.minDelayMs, limits.maxDelayMs, limits.forgetMs),
      m_byAddress(limits.freePerAddress, limits.minDelayMs, limits.maxDelayMs, limits.forgetMs)
{
}

bool LoginBrake::known(const QString& nick, const QString& address) const
{
    const auto it = m_knownAddresses.constFind(nick);
    return it != m_knownAddresses.cend() && it->contains(address);
}

qint64 LoginBrake::wait(const QString& nick, const QString& address, qint64 now)
{
    const qint64 byAddress = m_byAddress.wait(address, now);
    const qint64 byNick = known(nick, address) ? 0 : m_byNick.wait(nick, now);
    return qMax(byAddress, byNick);
}

void LoginBrake::failed(const QString& nick, const QString& address, qint64 now)
{
    m_byAddress.failed(address, now);
    if (!known(nick, address))
        m_byNick.failed(nick, now);
}

void LoginBrake::succeeded(const QString& nick, const QString& address)
{
    if (m_knownAddresses.size() > kPruneAbove * 16)
        m_knownAddresses.clear(); // only a convenience; losing it costs a delay at worst
    QStringList& addresses = m_knownAddresses[nick];
    addresses.removeAll(address);
    addresses.prepend(address);
    while (addresses.size() > kKnownAddresses)
        addresses.removeLast();
}

void RefusalLog::write(const QString& line)
{
    ++m_written;
    m_sink(line);
}

bool RefusalLog::globalAllows(qint64 now)
{
    if (m_globalStart < 0 || now - m_globalStart >= m_periodMs) {
        if (m_globalUntold > 0)
            write(u"%1 further refusals not logged in the last %2 s"_s.arg(m_globalUntold)
                      .arg(m_periodMs / 1000));
        m_globalStart = now;
        m_globalLogged = 0;
        m_globalUntold = 0;
    }
    if (m_globalLogged >= m_inAll) {
        ++m_globalUntold;
        return false;
    }
    ++m_globalLogged;
    return true;
}

void RefusalLog::roll(Budget& b, const QString& who, qint64 now)
{
    if (b.periodStart >= 0 && now - b.periodStart < m_periodMs)
        return;
    close(b, who, now);
    b.periodStart = now;
    b.logged = 0;
    b.refused = 0;
}

void RefusalLog::close(Budget& b, const QString& who, qint64 now)
{
    if (b.untold > 0 && globalAllows(now))
        write(u"%1 %2 more refused"_s.arg(who).arg(b.untold));
    b.untold = 0;
}

int RefusalLog::note(Budget& b, const QString& who, const QString& line, qint64 now)
{
    roll(b, who, now);
    ++b.refused;
    if (b.logged < m_perConnection && globalAllows(now)) {
        ++b.logged;
        write(line);
    } else {
        ++b.untold;
    }
    return b.refused;
}

} // namespace kalimo::master
