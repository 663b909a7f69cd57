// The master's ini file: any bytes read to a configuration with sound values or defaults.
#include "servers/master/masterconfig.h"
#include "tests/fuzz/fuzzinput.h"

#include <QDateTime>
#include <QFile>

using namespace kalimo;

namespace {

// Qt's settings keep a file by name and read it again when its size or time changed. One name,
// a new time for every write, and an empty read after each input: nothing piles up between
// inputs, and the engine's leak check stays for the inputs that do leak.
master::ConfigResult load(const QByteArray& bytes)
{
    static qint64 second = 0;
    const QString path = fuzz::scratch() + QStringLiteral("/master.ini");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    // Written out before the time is set, or the close would set it again.
    if (f.write(bytes) != bytes.size() || !f.flush() ||
        !f.setFileTime(QDateTime::fromSecsSinceEpoch(++second), QFileDevice::FileModificationTime))
        std::abort();
    f.close();
    return master::loadConfig(path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startCore(argc, argv);
    // Each write is read, even at the same size.
    fuzz::require(load("[Network]\nPort=1234\n").config.port == 1234 &&
                  load("[Network]\nPort=4321\n").config.port == 4321);
    (void)load({});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    (void)load(fuzz::bytesOf(data, size));
    (void)load({});
    return 0;
}
