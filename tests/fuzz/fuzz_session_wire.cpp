// The room session's datagrams and packets: whatever parses must build back to bytes that parse
// to the same values.
#include "platform/session/wire.h"
#include "tests/fuzz/fuzzinput.h"

using namespace kalimo::session;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    if (const auto app = wire::parseEnumQuery(bytes)) {
        kalimo::fuzz::require(wire::looksLikeEnumeration(bytes));
        kalimo::fuzz::require(wire::parseEnumQuery(wire::enumQuery(*app)) == app);
    }
    if (const auto a = wire::parseEnumAnswer(bytes)) {
        // A name read as Latin-1 may grow past the cap in UTF-8: the writer cuts it, never more.
        const auto again = wire::parseEnumAnswer(wire::enumAnswer(*a));
        const bool fits = a->roomName.toUtf8().size() <= wire::kMaxRoomNameBytes;
        kalimo::fuzz::require(again && a->roomName.startsWith(again->roomName) &&
                              (!fits || again->roomName == a->roomName) &&
                              again->players == a->players && again->maxPlayers == a->maxPlayers);
    }
    if (const auto h = wire::parseHello(bytes)) {
        const auto again = wire::parseHello(wire::hello(*h));
        kalimo::fuzz::require(again && again->name == h->name && again->password == h->password &&
                              again->application == h->application);
        (void)wire::acceptablePlayerName(h->name);
    }
    if (const auto h = wire::parseSealedHello(bytes)) {
        const auto again = wire::parseSealedHello(wire::sealedHello(*h));
        kalimo::fuzz::require(again && again->cipher == h->cipher &&
                              again->memberKey == h->memberKey && again->sealed == h->sealed);
    }
    if (const auto id = wire::parseWelcome(bytes))
        kalimo::fuzz::require(wire::parseWelcome(wire::welcome(*id)) == id);
    if (const auto v = wire::parseClientVoice(bytes)) {
        const auto again = wire::parseClientVoice(wire::clientVoice(v->seq, v->frame));
        kalimo::fuzz::require(again && again->seq == v->seq && again->frame == v->frame);
    }
    if (const auto v = wire::parseHostVoice(bytes)) {
        const auto again = wire::parseHostVoice(wire::hostVoice(v->from, v->seq, v->frame));
        kalimo::fuzz::require(again && again->from == v->from && again->seq == v->seq &&
                              again->frame == v->frame);
    }
    return 0;
}
