// pelldb purge: the closed-task purge that follows a saved options window, for a nightly job.
#include "cli/command.h"

#include "db/database.h"
#include "system/purge.h"

namespace pell::cli {
namespace {

const Register purge("purge", "purge PATH", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    auto db = db::Database::open(options.positional().constFirst());
    const PurgeResult result = purgeClosedTasks(*db);
    out << "deleted " << result.deleted << " tasks\n";
    if (result.goneMeanwhile > 0)
        out << result.goneMeanwhile << " closed tasks were deleted meanwhile by another user\n";
    if (result.skipped > 0)
        out << "left " << result.skipped
            << " closed tasks alone (unreadable date or number, or changed meanwhile)\n";
    if (result.stoppedBy) {
        out.flush();
        throw *result.stoppedBy; // pelldb reports it with its number and text
    }
    return 0;
});

} // namespace
} // namespace pell::cli
