#include "servers/master/masteroptions.h"

#include "platform/termination/processes.h"
#include "platform/termination/terminationsignal.h"
#include "servers/master/accountstore.h"
#include "servers/master/masterconfig.h"
#include "servers/master/masterserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

namespace kalimo::master {

using namespace Qt::StringLiterals;

namespace {

void printLine(const QString& line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// SIGTERM and SIGINT end the event loop, so the store closes its file.
void quitOnTerminationSignals(QCoreApplication& app)
{
    onTerminationSignal(&app, [&app](int) {
        printLine(u"kalimo.master: stopping on a termination signal"_s);
        app.quit();
    });
}

int changeAccount(const MasterOptions& options)
{
    // The account lives where the configuration says, maybe shared.
    const ConfigResult loaded = loadConfig(options.configPath);
    if (!loaded.error.isEmpty()) {
        printLine(u"kalimo.master: "_s + loaded.error);
        return 1;
    }
    AccountStore store(loaded.config.database, options.dataDir);
    const bool enable = options.action == MasterOptions::Action::EnableAccount;
    const StoreStatus status = store.setEnabled(options.account, enable);
    if (status == StoreStatus::Ok) {
        printLine(QCoreApplication::translate("kalimo-master", "account %1 %2")
                      .arg(options.account,
                           enable ? QCoreApplication::translate("kalimo-master", "enabled")
                                  : QCoreApplication::translate("kalimo-master", "disabled")));
        return 0;
    }
    if (status == StoreStatus::NotFound)
        printLine(
            QCoreApplication::translate("kalimo-master", "no account %1").arg(options.account));
    else
        printLine(store.lastError());
    return 1;
}

QString tr(const char* text)
{
    return QCoreApplication::translate("kalimo-master", text);
}

struct Switches
{
    QCommandLineOption help;
    QCommandLineOption config;
    QCommandLineOption data;
    QCommandLineOption port;
    QCommandLineOption interval;
    QCommandLineOption enableAccount;
    QCommandLineOption disableAccount;
};

Switches addSwitches(QCommandLineParser& parser)
{
    parser.setApplicationDescription(tr("Kalimo master server: accounts, login and registration."));
    Switches s{parser.addHelpOption(),
               {u"config"_s, tr("Configuration ini file."), u"FILE"_s},
               {u"data"_s, tr("Data folder (accounts database)."), u"DIR"_s},
               {u"port"_s, tr("Listening port; 0 picks a free one."), u"N"_s},
               {u"check-interval-ms"_s, tr("Interval between lobby checks."), u"MS"_s},
               {u"enable"_s, tr("Enable an account, then exit."), u"NICK"_s},
               {u"disable"_s, tr("Disable an account, then exit."), u"NICK"_s}};
    parser.addOptions({s.config, s.data, s.port, s.interval, s.enableAccount, s.disableAccount});
    return s;
}

// The data folder, and the configuration given or found in it.
void readFolders(const QCommandLineParser& parser, const Switches& s, MasterOptions& o)
{
    o.dataDir = parser.isSet(s.data)
                    ? parser.value(s.data)
                    : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (o.dataDir.isEmpty())
        o.dataDir = QDir::current().filePath(u"kalimo-master-data"_s);
    o.configPath = parser.value(s.config);
    if (o.configPath.isEmpty()) {
        const QString beside = QDir(o.dataDir).filePath(u"kalimo-master.ini"_s);
        if (QFileInfo(beside).isFile())
            o.configPath = beside;
    }
}

// An error text when a number is bad.
QString readNumbers(const QCommandLineParser& parser, const Switches& s, MasterOptions& o)
{
    if (parser.isSet(s.port)) {
        bool ok = false;
        const uint n = parser.value(s.port).toUInt(&ok);
        if (!ok || n > 65535)
            return tr("bad port: %1").arg(parser.value(s.port));
        o.port = quint16(n);
    }
    if (parser.isSet(s.interval)) {
        bool ok = false;
        const int n = parser.value(s.interval).toInt(&ok);
        if (!ok || n < 1)
            return tr("bad interval: %1").arg(parser.value(s.interval));
        o.checkIntervalMs = n;
    }
    return {};
}

QString readAccountAction(const QCommandLineParser& parser, const Switches& s, MasterOptions& o)
{
    if (parser.isSet(s.enableAccount) && parser.isSet(s.disableAccount))
        return tr("--enable and --disable exclude each other");
    if (parser.isSet(s.enableAccount)) {
        o.action = MasterOptions::Action::EnableAccount;
        o.account = parser.value(s.enableAccount).trimmed();
    } else if (parser.isSet(s.disableAccount)) {
        o.action = MasterOptions::Action::DisableAccount;
        o.account = parser.value(s.disableAccount).trimmed();
    }
    return {};
}

} // namespace

OptionsResult parseOptions(const QStringList& arguments)
{
    OptionsResult result;
    MasterOptions& o = result.options;
    QCommandLineParser parser;
    const Switches s = addSwitches(parser);
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = tr("unexpected argument: %1").arg(parser.positionalArguments().first());
        return result;
    }
    if (parser.isSet(s.help)) {
        o.action = MasterOptions::Action::Help;
        o.helpText = parser.helpText();
        return result;
    }
    readFolders(parser, s, o);
    result.error = readNumbers(parser, s, o);
    if (result.error.isEmpty())
        result.error = readAccountAction(parser, s, o);
    return result;
}

int runMaster(QCoreApplication& app, const MasterOptions& options)
{
    switch (options.action) {
    case MasterOptions::Action::Help:
        std::fputs(options.helpText.toLocal8Bit().constData(), stdout);
        return 0;
    case MasterOptions::Action::EnableAccount:
    case MasterOptions::Action::DisableAccount:
        return changeAccount(options);
    case MasterOptions::Action::Serve:
        break;
    }

    const ConfigResult loaded = loadConfig(options.configPath);
    if (!loaded.error.isEmpty()) {
        printLine(u"kalimo.master: "_s + loaded.error);
        return 1;
    }
    for (const QString& w : loaded.warnings)
        printLine(u"kalimo.master: "_s + w);
    MasterConfig config = loaded.config;
    if (options.port)
        config.port = *options.port;
    if (options.checkIntervalMs)
        config.checkIntervalMs = *options.checkIntervalMs;

    const long files = raiseOpenFileLimit();
    printLine(u"kalimo.master: open-file limit %1, data in %2"_s.arg(files).arg(options.dataDir));

    MasterServer server(config, options.dataDir);
    if (!server.listen())
        return 1;
    quitOnTerminationSignals(app);
    return app.exec();
}

} // namespace kalimo::master
