// What a room reads from its server over the room link, cut across arrivals at any byte.
#include "room/stanza.h"
#include "tests/fuzz/fuzzinput.h"

using namespace kalimo;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startCore(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Stanza s;
    s.ID = 5;
    s.MaxUtenti = 4;
    s.AggiungiUtente(1, QStringLiteral("a"));
    bool ended = false;
    s.ImpostaTerminaEsecuzione([&] { ended = true; });
    for (const QByteArray& arrival : fuzz::arrivals(data, size))
        if (!s.RiceviDalServer(arrival))
            return 0;
    // Whatever came before, the next whole reply still reads (unless the room was ended).
    fuzz::require(s.RiceviDalServer("\x1d"
                                    "00071\x1e x \x1d"));
    fuzz::require(ended || s.UltimoCodiceRisposta() + s.UltimiParametriRisposta() == u"00071x");
    return 0;
}
