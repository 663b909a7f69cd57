#include "servers/roomhost/roompool.h"

#include <QCoreApplication>

#include <cstdio>

namespace kalimo::roomhost {

using namespace Qt::StringLiterals;

namespace {
void logLine(const QString& line)
{
    std::fprintf(stderr, "kalimo-roomhost: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
} // namespace

RoomPool::RoomPool(QObject* parent) : QObject(parent) {}

RoomPool::~RoomPool() = default;

bool RoomPool::feed(const QByteArray& bytes)
{
    m_pending += bytes;
    qsizetype end;
    // A document ends with a line that is only ".".
    while ((end = m_pending.indexOf("\n.\n")) >= 0 || m_pending.startsWith(".\n")) {
        const qsizetype cut = end >= 0 ? end : -1;
        const QByteArray document = cut >= 0 ? m_pending.left(cut) : QByteArray();
        m_pending.remove(0, cut >= 0 ? cut + 3 : 2);
        if (!document.trimmed().isEmpty())
            startRoom(QString::fromUtf8(document));
    }
    if (m_pending.size() > kDocumentCap) {
        logLine(
            tr("room data longer than %1 bytes; the stream is not a master's").arg(kDocumentCap));
        m_pending.clear();
        return false;
    }
    return true;
}

void RoomPool::startRoom(const QString& document)
{
    const QString stop = u"stop="_s;
    if (document.trimmed().startsWith(stop)) {
        const QString identity = document.trimmed().mid(stop.size()).trimmed();
        const auto it = m_rooms.find(identity);
        if (it != m_rooms.end())
            it->second->finish(tr("the master ordered the room to end"));
        return;
    }
    const ConfigResult parsed = parseConfig(document);
    const QString identity = parsed.config.identity;
    if (!parsed.error.isEmpty() || identity.isEmpty() || m_rooms.count(identity) != 0 ||
        m_finishing) {
        logLine(tr("bad room data: %1")
                    .arg(parsed.error.isEmpty() ? tr("no identity, or one in use") : parsed.error));
        Q_EMIT report("ended " + identity.toUtf8() + " 2");
        return;
    }
    auto host = std::make_unique<RoomHost>(parsed.config);
    RoomHost* h = host.get();
    if (!h->start()) {
        Q_EMIT report("ended " + identity.toUtf8() + " 1");
        return;
    }
    connect(h, &RoomHost::ended, this, [this, identity] { ended(identity, 0); });
    m_rooms.emplace(identity, std::move(host));
}

void RoomPool::ended(const QString& identity, int code)
{
    const auto it = m_rooms.find(identity);
    if (it == m_rooms.end())
        return;
    it->second.release()->deleteLater();
    m_rooms.erase(it);
    Q_EMIT report("ended " + identity.toUtf8() + ' ' + QByteArray::number(code));
    if (m_rooms.empty() && m_finishing)
        Q_EMIT empty();
}

void RoomPool::finishAll(const QString& reason)
{
    m_finishing = true;
    if (m_rooms.empty()) {
        QMetaObject::invokeMethod(this, &RoomPool::empty, Qt::QueuedConnection);
        return;
    }
    for (auto& [identity, host] : m_rooms)
        host->finish(reason);
}

} // namespace kalimo::roomhost
