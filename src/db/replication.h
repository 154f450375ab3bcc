#pragma once

#include <QString>

namespace pell::db {
class Database;
}

// The replica-set operations of the engine. Database forwards its replication calls here.
namespace pell::db::replication {

bool isReplicable(Database& db);
// Called inside the write transaction that appends the Replicable property; needs an exclusive open.
void convertToMaster(Database& db);
void makeReplica(Database& db, const QString& path, const QString& description);
void synchronize(Database& db, const QString& partnerPath, int mode);

} // namespace pell::db::replication
