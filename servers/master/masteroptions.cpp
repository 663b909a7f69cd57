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

} // namespace

OptionsResult parseOptions(const QStringList& arguments)
{
    OptionsResult result;
    MasterOptions& o = result.options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "kalimo-master", "Kalimo master server: accounts, login and registration."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption config(
        u"config"_s, QCoreApplication::translate("kalimo-master", "Configuration ini file."),
        u"FILE"_s);
    const QCommandLineOption data(
        u"data"_s, QCoreApplication::translate("kalimo-master", "Data folder (accounts database)."),
        u"DIR"_s);
    const QCommandLineOption port(
        u"port"_s,
        QCoreApplication::translate("kalimo-master", "Listening port; 0 picks a free one."),
        u"N"_s);
    const QCommandLineOption interval(
        u"check-interval-ms"_s,
        QCoreApplication::translate("kalimo-master", "Interval between lobby checks."), u"MS"_s);
    const QCommandLineOption enableAccount(
        u"enable"_s, QCoreApplication::translate("kalimo-master", "Enable an account, then exit."),
        u"NICK"_s);
    const QCommandLineOption disableAccount(
        u"disable"_s,
        QCoreApplication::translate("kalimo-master", "Disable an account, then exit."), u"NICK"_s);
    parser.addOptions({config, data, port, interval, enableAccount, disableAccount});

    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QCoreApplication::translate("kalimo-master", "unexpected argument: %1")
                           .arg(parser.positionalArguments().first());
        return result;
    }
    if (parser.isSet(help)) {
        o.action = MasterOptions::Action::Help;
        o.helpText = parser.helpText();
        return result;
    }
    o.dataDir = parser.isSet(data)
                    ? parser.value(data)
                    : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (o.dataDir.isEmpty())
        o.dataDir = QDir::current().filePath(u"kalimo-master-data"_s);
    o.configPath = parser.value(config);
    if (o.configPath.isEmpty()) {
        const QString beside = QDir(o.dataDir).filePath(u"kalimo-master.ini"_s);
        if (QFileInfo(beside).isFile())
            o.configPath = beside;
    }
    if (parser.isSet(port)) {
        bool ok = false;
        const uint n = parser.value(port).toUInt(&ok);
        if (!ok || n > 65535) {
            result.error = QCoreApplication::translate("kalimo-master", "bad port: %1")
                               .arg(parser.value(port));
            return result;
        }
        o.port = quint16(n);
    }
    if (parser.isSet(interval)) {
        bool ok = false;
        const int n = parser.value(interval).toInt(&ok);
        if (!ok || n < 1) {
            result.error = QCoreApplication::translate("kalimo-master", "bad interval: %1")
                               .arg(parser.value(interval));
            return result;
        }
        o.checkIntervalMs = n;
    }
    if (parser.isSet(enableAccount) && parser.isSet(disableAccount)) {
        result.error = QCoreApplication::translate("kalimo-master",
                                                   "--enable and --disable exclude each other");
        return result;
    }
    if (parser.isSet(enableAccount)) {
        o.action = MasterOptions::Action::EnableAccount;
        o.account = parser.value(enableAccount).trimmed();
    } else if (parser.isSet(disableAccount)) {
        o.action = MasterOptions::Action::DisableAccount;
        o.account = parser.value(disableAccount).trimmed();
    }
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
