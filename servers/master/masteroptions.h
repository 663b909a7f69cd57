#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QCoreApplication;

namespace kalimo::master {

struct MasterOptions
{
    enum class Action { Serve, EnableAccount, DisableAccount, Help };

    Action action = Action::Serve;
    QString account;
    QString configPath; // empty: <data>/kalimo-master.ini when it exists
    QString dataDir;
    std::optional<quint16> port;
    std::optional<int> checkIntervalMs;
    QString helpText;
};

struct OptionsResult
{
    MasterOptions options;
    QString error;
};

// `arguments` as QCoreApplication::arguments() gives them, program first.
OptionsResult parseOptions(const QStringList& arguments);

// The whole program once the application object exists; the exit code.
int runMaster(QCoreApplication& app, const MasterOptions& options);

} // namespace kalimo::master
