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
             call.out << "deleted " << result.deleted << " tasks\n";
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
