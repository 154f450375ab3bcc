// pelldb backup, compact, repair: the main window's maintenance commands, run from a shell.
#include "cli/command.h"

#include "app/program_folder.h"
#include "cli/console_platform.h"
#include "core/app_state.h"
#include "core/error.h"
#include "maintenance/maintenance_commands.h"

#include <QCoreApplication>

namespace pell::cli {
namespace {

// One maintenance command on a database, as the main window runs it.
struct Run {
    AppState state;
    ConsolePlatform platform;
    AppContext ctx{state, platform};

    Run(const QString& database, const QString& savePath, const QString& folder) : platform(savePath) {
        state.DATABASE_PATH = database;
        state.programFolder = QCoreApplication::applicationDirPath();
        // Where the program keeps its own files; the installed program folder itself is root's alone.
        state.stateFolder = folder.isEmpty() ? stateFolderOf(state.programFolder) : folder;
    }
    // A command that did its work prints what it told the administrator; any other ends in its error, which
    // pelldb prints once, with its number, on standard error (the message for the window is not printed).
    int finish(const CommandResult& result, QTextStream& out) const {
        if (result.outcome != CommandResult::Outcome::Done) {
            out.flush();
            throw result.failure.value_or(Error::make(err::InvalidOperation, QStringLiteral("(cancelled)")));
        }
        for (const QString& message : platform.messages())
            out << message << "\n";
        return 0;
    }
};

} // namespace

void addMaintenanceCommands(Registry& registry) {
    registry.add(
        {QStringLiteral("backup"),
         QStringLiteral("DB DEST"),
         QStringLiteral("Copies the database to DEST as a committed state, while its users work on."),
         {},
         [](const Invocation& call) {
             const QStringList& p = call.options.positional();
             if (p.size() != 2)
                 throw UsageError{QStringLiteral("expects the database and the destination")};
             // The save dialog never answers with an empty name; an empty argument is a mistake, not
             // a Cancel.
             if (p.at(1).trimmed().isEmpty())
                 throw Error::make(err::PathNotFound, QStringLiteral("(no destination given)"));
             Run run(p.at(0), p.at(1), {});
             return run.finish(BACKUP_CLICK(run.ctx, call.progress), call.out);
         }});

    registry.add({QStringLiteral("compact"),
                  QStringLiteral("DB [--folder DIR]"),
                  QStringLiteral("Compacts the database in place; nobody else may have it open."),
                  {{QStringLiteral("folder"), QStringLiteral("DIR"),
                    QStringLiteral("where the compacted copy _temp.mdb is left (default: the program's state "
                                   "folder, /var/lib/pellwood when installed)")}},
                  [](const Invocation& call) {
                      Run run(call.options.onePath(), {}, call.options.value(QStringLiteral("folder")));
                      return run.finish(COMPACT_CLICK(run.ctx, call.progress), call.out);
                  }});

    registry.add({QStringLiteral("repair"),
                  QStringLiteral("DB"),
                  QStringLiteral("Repairs the database in place, keeping every readable row; nobody else may "
                                 "have it open."),
                  {},
                  [](const Invocation& call) {
                      Run run(call.options.onePath(), {}, {});
                      // A failing repair is not trapped by the command: pelldb reports it with its number.
                      return run.finish(REPAIR_CLICK(run.ctx, call.progress), call.out);
                  }});
}

} // namespace pell::cli
