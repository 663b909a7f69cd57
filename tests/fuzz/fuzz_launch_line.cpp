// The voice client's launch line, as the lobby or a shell hands it over.
#include "tests/fuzz/fuzzinput.h"
#include "voice/lineacomando.h"

#include <QStringList>

using namespace kalimo;
using namespace kalimo::voce;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const EsitoAvvio esito = leggiRigaDiComando(text);
    // A line that reads names a room port a session can use.
    fuzz::require(esito.tipo != EsitoAvvio::Tipo::Valida || esito.dati.porta != 0);
    (void)leggiRigaDiComando(testoDaArgomenti(text.split(u' ')));
    return 0;
}
