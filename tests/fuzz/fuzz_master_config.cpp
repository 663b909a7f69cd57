// The master's ini file: any bytes read to a configuration with sound values or defaults.
#include "servers/master/masterconfig.h"
#include "tests/fuzz/fuzzinput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace kalimo;

namespace {
QTemporaryDir* folder = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    folder = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A new name each time: the settings reader caches files by name.
    static quint64 count = 0;
    const QString path = folder->filePath(QStringLiteral("m%1.ini").arg(++count));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return 0;
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    (void)master::loadConfig(path);
    QFile::remove(path);
    return 0;
}
