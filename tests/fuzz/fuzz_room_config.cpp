// The room host's room data (a key=value document from the master or a file) and its command line.
#include "servers/roomhost/roomconfig.h"
#include "tests/fuzz/fuzzinput.h"

#include <QStringList>

using namespace kalimo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const roomhost::ConfigResult r = roomhost::parseConfig(text);
    // A document that reads always yields a room a session can host.
    fuzz::require(!r.error.isEmpty() || r.config.timings.deadPeerMs > 0);
    (void)roomhost::parseOptions(QStringList{QStringLiteral("kalimo-roomhost")} +
                                 text.split(u'\n'));
    return 0;
}
