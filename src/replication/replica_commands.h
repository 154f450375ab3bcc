#pragma once

#include "core/app_state.h"
#include "core/error.h"

#include <QString>

class QLabel;

namespace pell {

class DataControl;

// The four operations of the replication window. Each works on the list of known replicas (the record set
// of the window's Data1 over table REPLICA) and opens the main database itself for as long as it needs it.
namespace replica {

// Exchanges changes between the main database and every listed replica but the master itself, showing the
// replica in hand on the status line.
void synchronizeAll(AppContext& ctx, DataControl& list, QLabel& status);
// Generates a replica of the main database at a typed location, or records an existing one, and lists it.
void createReplica(AppContext& ctx, DataControl& list);
// Takes the current replica off the list; its database is not touched.
void removeReference(AppContext& ctx, DataControl& list);
// Makes the main database the replica set's master and lists it.
void makeMaster(AppContext& ctx, DataControl& list);

// The text of a failure to open the list: the number as the runtime prints it (a blank stands in for the
// sign of a non-negative number), a colon and the engine's text.
QString openFailureText(int number, const QString& text);

} // namespace replica
} // namespace pell
