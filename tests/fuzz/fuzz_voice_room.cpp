// The voice client's in-room dispatcher: whatever the room host sends a member, cut across
// arrivals at any byte, into a window that entered its room.
#include "protocol/textcodec.h"
#include "tests/fuzz/fuzzinput.h"
#include "tests/support/bancovoce.h"

#include <QApplication>

using namespace kalimo;
using namespace kalimo::voce;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // No lobby listens here: invitations find the voice link down.
    qputenv("KALIMO_VOICE_LINK_PORT", "1");
    // Never destroyed: at exit Qt's own globals go first.
    new QApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        test::Banco b;
        if (!b.avvia())
            std::abort();
        for (const QByteArray& arrival : fuzz::arrivals(data, size)) {
            Q_EMIT b.canale->Receive(decodeText(arrival));
            QCoreApplication::processEvents();
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
