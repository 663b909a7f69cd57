#include "platform/termination/standardinput.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kalimo {

bool onStandardInput(QObject* context, std::function<bool(const QByteArray& data)> received,
                     std::function<void()> ended)
{
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    // A wake-up with nothing to read must not block the loop.
    if (flags < 0 || ::fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, received = std::move(received), ended = std::move(ended)] {
                         char buffer[16384];
                         const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                         if (n > 0 && received(QByteArray(buffer, qsizetype(n))))
                             return;
                         if (n < 0 && (errno == EAGAIN || errno == EINTR))
                             return;
                         notifier->setEnabled(false);
                         ended();
                     });
    return true;
}

} // namespace kalimo
