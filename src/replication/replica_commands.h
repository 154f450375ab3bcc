#pragma once

#include "core/app_state.h"
#include "core/command.h"
#include "core/progress.h"

#include <QString>

#include <functional>
#include <optional>

namespace pell {

namespace db {
class Recordset;
}

// The four operations of the replication window. Each works on the list of known replicas: the record set of
// table REPLICA in the replica-administration database (the window's Data1), or none when it could not be
// opened, in which case every step that needs it fails as such a data source does. Each opens the main
// database itself for as long as it needs it, and tells the administrator what happened itself; the result
// is for pelldb.
namespace replica {

// What became of one listed replica in a synchronization.
struct ReplicaOutcome {
    enum class Kind { Synchronized, Skipped, Failed };
    QString location;
    Kind kind = Kind::Synchronized;
    std::optional<Error> error; // with Failed
    qint64 conflicts = 0;       // with Synchronized: the conflicts this exchange logged
};
using OutcomeListener = std::function<void(const ReplicaOutcome&)>;

// Exchanges changes between the main database and every listed replica but the master itself, reporting the
// replica in hand to the progress ("Syncronizing LOCATION", the replicas done of those listed) and what
// became of each to the listener. Failed when an exchange failed (the last error). The closing box counts the
// conflicts the exchanges logged, when there were any, and says where to see them.
CommandResult synchronizeAll(AppContext& ctx, db::Recordset* list, const Progress& progress = {},
                             const OutcomeListener& outcome = {});
// Generates a replica of the main database at a typed location, or records an existing one, and lists it.
CommandResult createReplica(AppContext& ctx, db::Recordset* list);
// Why a replica cannot be generated at this location, when it cannot: an existing folder or file there (a
// replica is always a new file). The engine would only say that the path is not valid.
std::optional<Error> newReplicaRefusal(const QString& location);
// Lists a location as Create Replica does for an existing database (its "No"): the database is not touched.
CommandResult addReference(AppContext& ctx, db::Recordset* list, const QString& location);
// Makes the first row naming exactly this location the current one; false when none does.
bool findReference(db::Recordset* list, const QString& location);
// Takes the current replica off the list; its database is not touched.
CommandResult removeReference(AppContext& ctx, db::Recordset* list);
// Makes the main database the replica set's master and lists it.
CommandResult makeMaster(AppContext& ctx, db::Recordset* list);

// The text of a failure to open the list: the number as the runtime prints it (a blank stands in for the
// sign of a non-negative number), a colon and the engine's text.
QString openFailureText(int number, const QString& text);

} // namespace replica
} // namespace pell
