// pelldb: the headless companion of the administration program, for shells and scheduled jobs.
#include "cli/command.h"

#include "core/error.h"
#include "db/filelock.h"
#include "db/replication/install.h"

#include <QCoreApplication>

#include <algorithm>

namespace pell::cli {

Options::Options(const QStringList& args, const OptionSpec& spec) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg.startsWith(QLatin1String("--"))) {
            const QString name = arg.mid(2);
            if (spec.flags.contains(name)) {
                m_flags << name;
            } else if (spec.values.contains(name)) {
                if (i + 1 >= args.size())
                    throw UsageError{QStringLiteral("option %1 needs a value").arg(arg)};
                m_values.insert(name, args[++i]);
            } else {
                throw UsageError{QStringLiteral("unknown option %1").arg(arg)};
            }
        } else {
            m_positional << arg;
        }
    }
}

QString Options::value(const QString& name, const QString& fallback) const {
    return m_values.value(name, fallback);
}

int Options::intValue(const QString& name, int fallback) const {
    if (!m_values.contains(name))
        return fallback;
    bool ok = false;
    const int v = m_values.value(name).toInt(&ok);
    if (!ok || v < 0)
        throw UsageError{QStringLiteral("--%1 takes a whole number").arg(name)};
    return v;
}

QString Options::onePath() const {
    if (m_positional.size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    return m_positional.constFirst();
}

void Registry::add(Command command) {
    const auto at = std::lower_bound(m_commands.begin(), m_commands.end(), command.name,
                                     [](const Command& c, const QString& name) { return c.name < name; });
    m_commands.insert(at, std::move(command));
}

const Command* Registry::find(const QString& name) const {
    for (const Command& c : m_commands) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

} // namespace pell::cli

int main(int argc, char* argv[]) {
    using namespace pell::cli;
    QCoreApplication app(argc, argv);
    pell::db::replication::install();
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    Registry registry;
    addBasicCommands(registry);
    addMaintenanceCommands(registry);
    addSystemCommands(registry);
    addReplicationCommands(registry);

    const auto usage = [&] {
        err << "usage: pelldb COMMAND ... [--single-user]\n";
        err << "  --single-user: allow a database on a share whose locks do not reach other computers; "
               "nobody else may use it meanwhile\n";
        for (const Command& c : registry.commands())
            err << "  pelldb " << c.usage << "\n";
    };
    if (args.isEmpty()) {
        usage();
        return 2;
    }
    const QString name = args.takeFirst();
    const Command* command = registry.find(name);
    if (!command) {
        err << "pelldb: unknown command " << name << "\n";
        usage();
        return 2;
    }
    // On a share whose locks stay on this computer the database is refused, unless the administrator
    // states that nobody else uses it during this command.
    if (args.removeAll(QStringLiteral("--single-user")) > 0)
        pell::db::FileLock::allowLocalOnlyLocks(true);
    try {
        const Options options(args, command->options);
        const int rc = command->run(Invocation{options, out, {}});
        out.flush();
        return rc;
    } catch (const pell::Error& e) {
        out.flush();
        err << "error " << e.number() << ": " << e.text() << "\n";
        return 1;
    } catch (const UsageError& e) {
        err << "pelldb " << name << ": " << e.message << "\n  usage: pelldb " << command->usage << "\n";
        return 2;
    }
}
