#pragma once

#include "core/progress.h"

#include <QHash>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <vector>

namespace pell::cli {

// Wrong arguments: pelldb prints the command's usage.
struct UsageError {
    QString message;
};

// The options a command takes: "--name value" and "--flag".
struct OptionSpec {
    QStringList values;
    QStringList flags;
};

// A command's arguments: its options, read as its OptionSpec says, and the positional arguments.
class Options {
public:
    // Throws a usage error for an unknown or incomplete option.
    Options(const QStringList& args, const OptionSpec& spec);
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
    // Hears how far long work has come; pelldb does not listen yet.
    Progress progress;
};

// One command of pelldb. run returns the exit status, or throws an Error (pelldb prints "error NNNN: text" on
// standard error and exits 1) or a UsageError (the usage, exit 2).
struct Command {
    QString name;
    QString usage; // what follows "pelldb " in the usage lines
    OptionSpec options;
    std::function<int(const Invocation&)> run;
};

// pelldb's commands, listed by name.
class Registry {
public:
    void add(Command command);
    const Command* find(const QString& name) const;
    const std::vector<Command>& commands() const { return m_commands; }

private:
    std::vector<Command> m_commands;
};

// Each source file adds its commands.
void addBasicCommands(Registry& registry);       // init, init-replicadb, check, hold
void addMaintenanceCommands(Registry& registry); // backup, compact, repair
void addSystemCommands(Registry& registry);      // purge
void addReplicationCommands(Registry& registry); // make-master, make-replica, sync, conflicts

} // namespace pell::cli
