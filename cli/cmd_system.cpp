// pelldb purge: the closed-task purge that follows a saved options window, for a nightly job.
#include "cli/command.h"

#include "db/database.h"
#include "system/purge.h"

namespace pell::cli {

void addSystemCommands(Registry& registry) {
    registry.add(
        {QStringLiteral("purge"),
         QStringLiteral("PATH"),
         QStringLiteral("Deletes the closed tasks older than the system options' day limit."),
         {},
         [](const Invocation& call) {
             auto db = db::Database::open(call.options.onePath());
             PurgeOptions options;
             options.progress = call.progress;
             const PurgeResult result = purgeClosedTasks(*db, options);
             const auto tasks = [](qint64 n) -> QString {
                 return QString::number(n) + (n == 1 ? QStringLiteral(" task") : QStringLiteral(" tasks"));
             };
             // A purge that failed says what it did before the failure only when that was anything: "deleted
             // 0 tasks" in front of an error reads like a result.
             if (!result.stoppedBy)
                 call.out << "deleted " << tasks(result.deleted) << "\n";
             else if (result.deleted > 0)
                 call.out << "deleted " << tasks(result.deleted)
                          << " before the error below; the rest stay\n";
             if (result.goneMeanwhile > 0)
                 call.out << result.goneMeanwhile << " closed tasks were deleted meanwhile by another user\n";
             if (result.skipped > 0)
                 call.out << "left " << result.skipped
                          << " closed tasks alone (unreadable date or number, or changed meanwhile)\n";
             if (result.stoppedBy) {
                 call.out.flush();
                 throw *result.stoppedBy; // pelldb reports it with its number and text
             }
             return 0;
         }});
}

} // namespace pell::cli
