// Stream reassembly, message splitting and typed decoding: any arrivals, in any cuts.
#include "protocol/framing.h"
#include "protocol/message.h"
#include "protocol/reassembler.h"
#include "protocol/requests.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"
#include "tests/fuzz/fuzzinput.h"

using namespace kalimo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StreamReassembler stream(4096);
    QByteArray handedOut, sent;
    for (const QByteArray& arrival : fuzz::arrivals(data, size)) {
        sent += arrival;
        const QByteArray complete = stream.feed(arrival);
        // Only whole messages come out, and nothing is made up.
        fuzz::require(complete.isEmpty() || complete.endsWith(SEP1_BYTE));
        handedOut += complete;
        const QString text = decodeText(complete);
        for (const QStringList& parts : splitMessages(text))
            for (const QString& part : parts)
                (void)fieldAt(splitFields(part), 2);
        for (const Message& m : decodeMessages(text))
            (void)inroom::decodeEvent(m);
        for (const master::Request& r : master::decodeRequests(text))
            (void)master::decodeRoomCreation(r);
        (void)master::roomlink::decodeHostMessages(text);
        (void)master::roomlink::decodeMasterMessages(text);
        (void)inroom::decodeRequests(text);
        if (stream.overflowed())
            return 0;
    }
    fuzz::require(handedOut.size() + stream.pendingSize() == sent.size());
    (void)stripControlCharacters(decodeText(sent));
    return 0;
}
