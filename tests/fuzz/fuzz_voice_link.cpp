// The lobby's end of the voice link: whatever a local voice client writes, read off a real
// loopback connection. One connection serves every input; each input ends with a harmless
// message of its own, so nothing carries over and its arrival says the input was handled.
#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "tests/fuzz/fuzzinput.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

#include <QApplication>
#include <QTcpSocket>

using namespace kalimo;
using namespace kalimo::lobby;

namespace {

// Never destroyed: at exit Qt's own globals go first.
frmClient* client = nullptr;
QTcpSocket* collegamento = nullptr;
QString received;
// What an input left on record goes before the next: the engine counts an input's allocations
// against its frees, and a record that grows sends every input through its slow leak check.
test::FakeDialoghi* boxes = new test::FakeDialoghi;

const QString& fine()
{
    static const QString testo = voiceLinkMessage(u"9999", u"fine");
    return testo;
}

bool collega()
{
    delete collegamento;
    collegamento = new QTcpSocket;
    collegamento->connectToHost(QHostAddress::LocalHost, client->collegamentiVoce().portaAscolto());
    // What is written before the lobby accepts waits in the connection.
    return collegamento->waitForConnected(5000);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startWidgets(argc, argv);
    static test::FakeAvvioProgrammi programmi;
    static test::FakeApriFile apriFile;
    Intervalli brevi;
    brevi.rispostaMaster = brevi.stanzaPrivata = brevi.ricezioneDatiStanza = 1;
    auto* m = new Module1(Servizi{boxes, &programmi, &apriFile}, fuzz::scratch(), {}, brevi);
    m->UtenteCorrente.NickName = QStringLiteral("anna");
    m->impostaPortaAscoltoVoice(0);
    client = m->FrmClient();
    QObject::connect(client, &frmClient::datiVoceArrivati,
                     [](const QString& dati) { received += dati; });
    if (!client->AvviaAscoltoVoice() || !collega())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (collegamento->state() != QAbstractSocket::ConnectedState && !collega())
        std::abort();
    collegamento->write(fuzz::bytesOf(data, size) + SEP1_BYTE + fine().toUtf8());
    // A message over the cap ends the link instead: the next input opens another.
    fuzz::require(fuzz::waitFor([] {
        return received.endsWith(fine()) ||
               collegamento->state() != QAbstractSocket::ConnectedState;
    }));
    received.clear();
    boxes->messaggi.clear();
    boxes->inputs.clear();
    return 0;
}
