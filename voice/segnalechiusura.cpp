#include "voice/segnalechiusura.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kalimo {

namespace {

int g_coppia[2] = {-1, -1};

extern "C" void allArrivo(int)
{
    const int salvato = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t scritti = ::write(g_coppia[0], &byte, 1);
    errno = salvato;
}

} // namespace

bool suRichiestaDiChiusura(QObject* contesto, std::function<void()> azione)
{
    if (g_coppia[0] >= 0)
        return false;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_coppia) != 0)
        return false;
    auto* avviso = new QSocketNotifier(g_coppia[1], QSocketNotifier::Read, contesto);
    QObject::connect(avviso, &QSocketNotifier::activated, contesto, [azione = std::move(azione)] {
        char scarto[16];
        while (::read(g_coppia[1], scarto, sizeof scarto) > 0) {
        }
        azione();
    });
    struct sigaction sa = {};
    sa.sa_handler = allArrivo;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}

} // namespace kalimo
