#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QList>
#include <QTemporaryDir>
#include <QTimer>
#ifdef QT_WIDGETS_LIB
#include <QApplication>
#endif

#include <cstdint>
#include <cstdlib>

namespace kalimo::fuzz {

// A fuzz input cut into the arrivals of a stream: byte 0x00 ends an arrival, so the engine
// learns where messages break across reads.
inline QList<QByteArray> arrivals(const uint8_t* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))
        .split('\0');
}

inline QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// A property the parser promises broke: stop like a crash, so the input is kept.
inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

// For targets that need an event loop or Qt's globals but no windows. Never destroyed: at exit
// Qt's own globals go first.
inline void startCore(int* argc, char*** argv)
{
    qputenv("QT_NO_GLIB", "1");
    new QCoreApplication(*argc, *argv);
}

#ifdef QT_WIDGETS_LIB
// The offscreen application a widget target runs in, never destroyed either. Nothing is painted:
// a window a message opens would otherwise cost an input more in drawing than in handling, and
// fill the style's caches a little more each time.
inline void startWidgets(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* app = new QApplication(*argc, *argv);
    struct NoPainting final : QObject
    {
        bool eventFilter(QObject*, QEvent* e) override
        {
            const QEvent::Type t = e->type();
            return t == QEvent::Expose || t == QEvent::Paint || t == QEvent::UpdateRequest ||
                   t == QEvent::UpdateLater;
        }
    };
    app->installEventFilter(new NoPainting);
}
#endif

// The folder an input's files go to: in memory where the machine has it, as the disk's write-back
// costs far more than the readers under test.
inline QString scratch()
{
    static QTemporaryDir dir((QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                        : QDir::tempPath()) +
                             QStringLiteral("/kalimo-fuzz-XXXXXX"));
    return dir.path();
}

// Runs the event loop until `done` holds, asleep while nothing happens (a busy loop would take
// the processor from the threads it waits for); false after 5 s.
template <typename Done> bool waitFor(Done done)
{
    // Wakes the loop at least every millisecond to look at `done` again.
    static QTimer* const tick = [] {
        auto* t = new QTimer;
        t->start(1);
        return t;
    }();
    (void)tick;
    const QDeadlineTimer deadline(5000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace kalimo::fuzz
