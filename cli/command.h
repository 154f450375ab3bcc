#pragma once

#include <QHash>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <vector>

namespace pell::cli {

// A subcommand of pelldb. Each source file registers its own commands.
struct Command {
    QString name;
    QString usage;
    std::function<int(const QStringList& args, QTextStream& out)> run;
};

std::vector<Command>& commands();

struct Register {
    Register(const char* name, const char* usage, std::function<int(const QStringList&, QTextStream&)> run);
};

// Reads "--name value" options; throws a usage error for an unknown or incomplete one.
class Options {
public:
    Options(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions);
    const QStringList& positional() const { return m_positional; }
    bool flag(const QString& name) const { return m_flags.contains(name); }
    QString value(const QString& name, const QString& fallback = {}) const;
    int intValue(const QString& name, int fallback) const;

private:
    QStringList m_positional;
    QStringList m_flags;
    QHash<QString, QString> m_values;
};

// Thrown for wrong arguments: pelldb prints the usage.
struct UsageError {
    QString message;
};

} // namespace pell::cli
