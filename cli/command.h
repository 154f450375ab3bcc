#pragma once

#include "core/progress.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <vector>

namespace pell::cli {

// Wrong arguments: pelldb prints the command's usage.
struct UsageError {
    QString message;
};

// One option of a command: "--name VALUE", or "--name" alone when it takes no value.
struct OptionInfo {
    QString name;      // without the dashes
    QString valueName; // empty for a flag
    QString description;
};

// A command's arguments, read the same way for every command: "--name value" or "--name=value", flags alone,
// "--" before positional arguments that begin with a dash.
class Options {
public:
    // Throws a usage error for an unknown or incomplete option.
    Options(const QStringList& args, const QList<OptionInfo>& accepted);
    const QStringList& positional() const { return m_positional; }
    bool flag(const QString& name) const { return m_flags.contains(name); }
    QString value(const QString& name, const QString& fallback = {}) const;
    int intValue(const QString& name, int fallback) const;
    // The one positional argument; a usage error unless there is exactly one.
    QString onePath() const;

private:
    QStringList m_positional;
    QStringList m_flags;
    QHash<QString, QString> m_values;
};

// What a command is run with.
struct Invocation {
    const Options& options;
    QTextStream& out;
    // Hears how far long work has come (a line on a terminal; nothing otherwise).
    Progress progress;
};

// One command of pelldb. run returns the exit status, or throws an Error (pelldb prints "error NNNN: text" on
// standard error and exits 1) or a UsageError (the usage, exit 2).
struct Command {
    QString name;
    QString arguments; // what follows the name in the usage line, options included
    QString summary;   // what the command does, for --help and the manual page
    QList<OptionInfo> options;
    std::function<int(const Invocation&)> run;

    QString usage() const { return arguments.isEmpty() ? name : name + u' ' + arguments; }
};

// pelldb's commands, listed by name.
class Registry {
public:
    void add(Command command);
    const Command* find(const QString& name) const;
    // The command a mistyped name most likely meant, if any is near enough.
    const Command* nearest(const QString& name) const;
    const std::vector<Command>& commands() const { return m_commands; }

private:
    std::vector<Command> m_commands;
};

// Each source file adds its commands.
void addBasicCommands(Registry& registry);       // init, init-replicadb, check, hold
void addMaintenanceCommands(Registry& registry); // backup, compact, repair
void addSystemCommands(Registry& registry);      // purge
void addReplicationCommands(
    Registry& registry); // make-master, make-replica, replicas, sync, sync-all, conflicts, resolve

// The options every command takes besides its own.
const QList<OptionInfo>& commonOptions();
// pelldb --help: every command with its usage and what it does.
QString programHelp(const Registry& registry);
// pelldb COMMAND --help.
QString commandHelp(const Command& command);

} // namespace pell::cli
