#include "platform/termination/terminationsignal.h"
#include "servers/roomhost/roomconfig.h"
#include "servers/roomhost/roomhost.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>

using namespace kalimo::roomhost;

namespace {

void printLine(const QString& line)
{
    std::fprintf(stderr, "kalimo-roomhost: %s\n", line.toLocal8Bit().constData());
}

QString tr(const char* text)
{
    return QCoreApplication::translate("kalimo-roomhost", text);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kalimo-roomhost"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0b"));

    const Options options = parseOptions(app.arguments());
    if (!options.error.isEmpty()) {
        printLine(options.error);
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(qPrintable(options.help ? options.helpText
                                           : QCoreApplication::applicationVersion() + u'\n'),
                   stdout);
        return 0;
    }

    QFile source;
    const bool fromStdin = options.configPath.isEmpty() || options.configPath == u"-";
    const bool opened =
        fromStdin ? source.open(stdin, QIODevice::ReadOnly)
                  : (source.setFileName(options.configPath), source.open(QIODevice::ReadOnly));
    if (!opened) {
        printLine(tr("cannot read the room data: %1").arg(source.errorString()));
        return 2;
    }
    // The room data is a few lines; more means something else is feeding us.
    const QByteArray document = source.read(1024 * 1024);
    const ConfigResult parsed = parseConfig(QString::fromUtf8(document));
    if (!parsed.error.isEmpty()) {
        printLine(tr("bad room data: %1").arg(parsed.error));
        return 2;
    }

    RoomHost host(parsed.config);
    QObject::connect(&host, &RoomHost::ended, &app, [] { QCoreApplication::exit(0); });
    kalimo::onTerminationSignal(&app, [&host](int signal) {
        host.finish(signal == SIGINT ? tr("interrupted (SIGINT)") : tr("terminated (SIGTERM)"));
    });
    if (!host.start())
        return 1;
    return app.exec();
}
