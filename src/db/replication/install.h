#pragma once

namespace pell::db::replication {

// Puts this replica-set engine behind Database's replica-set operations (db::ReplicaSetEngine): the
// Replicable property, MakeReplica and Synchronize. Every program calls it once, at its start.
void install();

} // namespace pell::db::replication
