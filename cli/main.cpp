// pelldb: the headless companion of the administration program, for shells and scheduled jobs.
#include "cli/command.h"
#include "cli/progress_line.h"

#include "core/error.h"
#include "core/version.h"
#include "db/database.h"
#include "db/filelock.h"
#include "db/replication/install.h"

#include <QCoreApplication>

#include <unistd.h>

int main(int argc, char* argv[]) {
    using namespace pell::cli;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelldb"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(pell::ProgramVersion));
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

    if (args.isEmpty()) {
        err << programHelp(registry);
        return 2;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        const Command* about = args.isEmpty() ? nullptr : registry.find(args.constFirst());
        out << (about ? commandHelp(*about) : programHelp(registry));
        return 0;
    }
    if (name == QLatin1String("--version")) {
        out << "pelldb " << pell::ProgramVersion << "\n"
            << "SQLite " << pell::db::engineVersion() << "\n";
        return 0;
    }
    const Command* command = registry.find(name);
    if (!command) {
        // One line: the help is one command away, and forty lines would hide the suggestion.
        const Command* meant = registry.nearest(name);
        err << "pelldb: unknown command " << name
            << (meant ? QStringLiteral("; did you mean %1?").arg(meant->name) : QString())
            << " (pelldb --help lists the commands)\n";
        return 2;
    }
    // Long work shows how far it has come on a terminal; a log or a pipe gets only the results.
    ProgressLine line(stderr);
    pell::Progress progress;
    if (::isatty(STDERR_FILENO))
        progress = [&line](const pell::ProgressReport& report) { line(report); };
    try {
        const Options options(args, command->options);
        if (options.flag(QStringLiteral("help"))) {
            out << commandHelp(*command);
            return 0;
        }
        // On a share whose locks stay on this computer the database is refused, unless the administrator
        // states that nobody else uses it during this command.
        if (options.flag(QStringLiteral("single-user")))
            pell::db::FileLock::allowLocalOnlyLocks(true);
        const pell::ProgressScope scope(progress);
        const int rc = command->run(Invocation{options, out, progress});
        pell::report(progress, pell::ProgressReport::Stage::Finished);
        out.flush();
        return rc;
    } catch (const pell::Error& e) {
        pell::report(progress, pell::ProgressReport::Stage::Finished);
        out.flush();
        err << "error " << e.number() << ": " << e.text() << "\n";
        return 1;
    } catch (const UsageError& e) {
        err << "pelldb " << name << ": " << e.message << "\n  usage: pelldb " << command->usage() << "\n"
            << "  (pelldb " << name << " --help tells more)\n";
        return 2;
    }
}
