// What the lobby does with what its master sends: replies, private texts, contact requests,
// invitations and checks, cut across arrivals at any byte.
#include "lobby/collegamentomaster.h"
#include "lobby/module1.h"
#include "protocol/textcodec.h"
#include "tests/fuzz/fuzzinput.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

using namespace kalimo;
using namespace kalimo::lobby;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startWidgets(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    test::FakeDialoghi dialoghi;
    test::FakeAvvioProgrammi programmi;
    test::FakeApriFile apriFile;
    Intervalli brevi;
    brevi.rispostaMaster = brevi.stanzaPrivata = brevi.ricezioneDatiStanza = 1;
    {
        Module1 m(Servizi{&dialoghi, &programmi, &apriFile}, fuzz::scratch(), {}, brevi);
        m.UtenteCorrente.NickName = QStringLiteral("anna");
        for (const QByteArray& arrival : fuzz::arrivals(data, size)) {
            m.master().gestisciArrivo(decodeText(arrival));
            // Boxes and answers run a turn later.
            QCoreApplication::processEvents();
        }
    }
    // What the closing posted (the windows' own events too) is handled within this input.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
