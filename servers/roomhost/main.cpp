#include "platform/termination/standardinput.h"
#include "platform/termination/terminationsignal.h"
#include "servers/roomhost/roomconfig.h"
#include "servers/roomhost/roomhost.h"
#include "servers/roomhost/roompool.h"

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

// Many rooms in this process, fed by the master through standard input;
// its end (the master gone) ends them all.
int runPool(QCoreApplication& app)
{
    RoomPool pool;
    QObject::connect(&pool, &RoomPool::report, [](const QByteArray& line) {
        std::fprintf(stdout, "%s\n", line.constData());
        std::fflush(stdout);
    });
    QObject::connect(&pool, &RoomPool::empty, &app, [] { QCoreApplication::exit(0); });
    const bool watching = kalimo::onStandardInput(
        &app, [&pool](const QByteArray& data) { return pool.feed(data); },
        [&pool] { pool.finishAll(tr("the master is gone")); });
    if (!watching) {
        printLine(tr("cannot read the rooms from standard input"));
        return 2;
    }
    kalimo::onTerminationSignal(&app, [&pool](int signal) {
        pool.finishAll(signal == SIGINT ? tr("interrupted (SIGINT)") : tr("terminated (SIGTERM)"));
    });
    return app.exec();
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

    if (options.pool)
        return runPool(app);

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
