// A room's members' payloads, as the room host hands them to the room model: whatever members
// send, nothing goes to id 0 (everybody) unasked and the speaker count stays true.
#include "room/invio_sessione.h"
#include "room/stanza.h"
#include "tests/fuzz/fuzzinput.h"

using namespace kalimo;

namespace {

struct Sessione final : InvioSessione
{
    bool SendTo(qint32 playerId, const QString&) override
    {
        // The host relays to a member or to the room (its id), never to "everybody" by mistake.
        fuzz::require(playerId != 0);
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startCore(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Stanza s;
    s.ID = 100;
    s.MaxUtenti = 10;
    s.MaxUtentiAudio = 1;
    for (int id : {7, 8, 9})
        s.AggiungiUtente(id, QString(QChar(u'a' + id - 7)));
    s.ImpostaTerminaEsecuzione([] {});
    Sessione sessione;
    // Each arrival's first byte picks its sender, one of them unknown to the room.
    for (const QByteArray& arrival : fuzz::arrivals(data, size)) {
        if (arrival.isEmpty())
            continue;
        const qint32 sender = 6 + quint8(arrival.at(0)) % 4;
        (void)s.GestPacUtente(sender, QString::fromUtf8(arrival.mid(1)), sessione);
        int speaking = 0;
        for (int i = 1; i <= s.NumUtenti(); ++i)
            speaking += s.Utenti(i)->Parlante ? 1 : 0;
        fuzz::require(speaking == s.NumUtentiAudio() && speaking <= s.MaxUtentiAudio);
    }
    return 0;
}
