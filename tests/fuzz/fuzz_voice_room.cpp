// The voice client's in-room dispatcher: whatever the room host sends a member, cut across
// arrivals at any byte, into a window that entered its room.
#include "protocol/textcodec.h"
#include "tests/fuzz/fuzzinput.h"
#include "tests/support/bancovoce.h"
#include "voice/frmchat.h"

#include <QApplication>

#include <limits>

using namespace kalimo;
using namespace kalimo::voce;

namespace {

// One window for every input: entering a room costs far more than any message. Between
// inputs the room goes back to the members it had on entering and the chat windows close;
// a window that ended is built again. Never destroyed at exit: Qt's own globals go first.
test::Banco* banco = nullptr;
QList<std::pair<qint32, QString>> membriIniziali;

QList<std::pair<qint32, QString>> membri(const Stanza& s)
{
    QList<std::pair<qint32, QString>> m;
    for (int i = 1; i <= s.NumUtenti(); ++i)
        m.append({s.Utenti(i)->IDUtente, s.Utenti(i)->NickName});
    return m;
}

void entra()
{
    delete banco;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The link to the lobby is down and stays so: no attempt to reach it runs across inputs.
    banco = new test::Banco(nullptr, {30, 0, std::numeric_limits<int>::max(), 60000});
    if (!banco->avvia())
        std::abort();
    // Nothing here needs painting.
    banco->f().hide();
    membriIniziali = membri(banco->modulo->StanzaCorrente());
}

void ripristina()
{
    if (banco->modulo->terminato() || banco->f().sessioneTerminata())
        return entra();
    Stanza& s = banco->modulo->StanzaCorrente();
    if (s.NumUtentiAudio() != 0 || membri(s) != membriIniziali) {
        while (s.NumUtenti() > 0)
            s.EliminaUtente(s.Utenti(1)->NickName);
        for (const auto& [id, nick] : std::as_const(membriIniziali))
            s.AggiungiUtente(id, nick);
        s.VisualizzaUtenti(0);
    }
    banco->f().chat().ScaricaTutte();
    banco->dialoghi.messaggi.clear();
    banco->canale->inviati.clear();
    banco->canale->chiamate.clear();
    banco->canale->livelli.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // No lobby listens here: invitations find the voice link down.
    qputenv("KALIMO_VOICE_LINK_PORT", "1");
    fuzz::startWidgets(argc, argv);
    entra();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const QByteArray& arrival : fuzz::arrivals(data, size)) {
        Q_EMIT banco->canale->Receive(decodeText(arrival));
        QCoreApplication::processEvents();
    }
    ripristina();
    // What the reset closed goes within this input: its allocations then meet their frees here.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
