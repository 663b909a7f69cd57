#include "platform/desktop/attesa.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace kalimo {

namespace {

bool g_interrotta = false;
// Wakes the event loop now and then so a wait never sleeps past its condition.
constexpr int kPollMs = 20;

} // namespace

namespace Attesa {

int finche(std::initializer_list<std::function<bool()>> condizioni)
{
    QTimer sveglia;
    sveglia.setInterval(kPollMs);
    sveglia.start();
    while (true) {
        if (g_interrotta)
            return kInterrotta;
        int indice = 0;
        for (const auto& condizione : condizioni) {
            if (condizione())
                return indice;
            ++indice;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

bool finche(const std::function<bool()>& condizione)
{
    return finche({condizione}) == 0;
}

void Pausa(int ms)
{
    if (g_interrotta)
        return;
    if (ms <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    bool scaduta = false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&scaduta] { scaduta = true; });
    timer.start(ms);
    finche([&scaduta] { return scaduta; });
}

void interrompiTutto()
{
    g_interrotta = true;
}

bool interrotta()
{
    return g_interrotta;
}

void riprendi()
{
    g_interrotta = false;
}

} // namespace Attesa

} // namespace kalimo
