#include "servers/master/masteroptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kalimo-master"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0b"));
    const kalimo::master::OptionsResult parsed = kalimo::master::parseOptions(app.arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "kalimo-master: %s\n", parsed.error.toLocal8Bit().constData());
        return 2;
    }
    return kalimo::master::runMaster(app, parsed.options);
}
