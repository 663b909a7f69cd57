#pragma once

#include "servers/roomhost/roomhost.h"

#include <QObject>

#include <map>
#include <memory>

namespace kalimo::roomhost {

// Many rooms in one process, each its own session on its own port, all on
// this thread's event loop. Room documents arrive as a stream (the master
// writes them to standard input), each ended by a line holding only "."; a
// document "stop=IDENTITY" ends that room. For every room that ends,
// report() gives the line "ended IDENTITY CODE" (0: it ended, 1: it could not
// start, 2: bad room data).
class RoomPool final : public QObject
{
    Q_OBJECT
public:
    // A document never needs more; beyond it the stream is not ours.
    static constexpr qsizetype kDocumentCap = 64 * 1024;

    explicit RoomPool(QObject* parent = nullptr);
    ~RoomPool() override;

    // False when the stream broke its rules (the pool then ends every room).
    bool feed(const QByteArray& bytes);
    // Ends every room; empty() follows once the last one has ended.
    void finishAll(const QString& reason);
    int rooms() const { return int(m_rooms.size()); }

Q_SIGNALS:
    void report(const QByteArray& line);
    void empty();

private:
    void startRoom(const QString& document);
    void ended(const QString& identity, int code);

    QByteArray m_pending;
    std::map<QString, std::unique_ptr<RoomHost>> m_rooms; // by identity
    bool m_finishing = false;
};

} // namespace kalimo::roomhost
