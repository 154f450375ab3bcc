#pragma once

#include <QString>
#include <QtGlobal>

namespace pell::db {
class Database;
}

// The replica-set operations of the engine. Database forwards its replication calls here. What the engine
// guarantees, and why, is written in docs/replication.md.
namespace pell::db::replication {

bool isReplicable(Database& db);
// Called inside the write transaction that appends the Replicable property; needs an exclusive open.
void convertToMaster(Database& db);
void makeReplica(Database& db, const QString& path, const QString& description);
void synchronize(Database& db, const QString& partnerPath, int mode);

// Who a member of a replica set is.
struct Identity {
    qint64 setId = 0;
    qint64 replicaId = 0;
    QString description;
};
// The identity of a replicable database (3250 when it is not one).
Identity identity(Database& db);

// What one direction of an exchange did.
struct DirectionStats {
    qint64 received = 0;  // versions the sender carried over that the receiver did not hold
    qint64 applied = 0;   // versions that changed the receiver
    qint64 conflicts = 0; // losses logged in the receiver
    qint64 batches = 0;   // transactions committed in the receiver
};
struct SyncStats {
    DirectionStats imported; // partner -> this database
    DirectionStats exported; // this database -> partner
};

// Synchronize, reporting what moved. batchSize bounds the versions applied per transaction.
SyncStats synchronizeWithStats(Database& db, const QString& partnerPath, int mode, int batchSize = 0);

// Turns the changes made in the file since it last exchanged into versions of this member, and puts right
// what its writers left unsound. Every exchange does this first; done ahead, it keeps the exchange itself
// short.
void recordOwnChanges(Database& db);

// Default number of versions applied in one transaction.
inline constexpr int DefaultBatchSize = 5000;

} // namespace pell::db::replication
