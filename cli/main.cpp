// pelldb: the headless companion of the administration program, for shells and scheduled jobs.
#include "cli/command.h"

#include "core/error.h"
#include "db/filelock.h"
#include "db/replication/install.h"

#include <QCoreApplication>

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
