#pragma once

#include <QList>
#include <QString>
#include <QStringList>
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

// How far ahead of the receiver's time a received clock may be: a version from further ahead is refused, so
// that one wrong clock cannot carry every member's clock away.
inline constexpr qint64 MaxClockAheadMs = qint64(10) * 60 * 1000;

// Synchronize, reporting what moved. batchSize bounds the versions applied per transaction.
// acceptClockAhead: takes versions whose clocks are further ahead of this machine's time than the limit
// (MaxClockAheadMs), for a set whose clocks were already carried ahead (docs/replication.md, "Clocks").
SyncStats synchronizeWithStats(Database& db, const QString& partnerPath, int mode, int batchSize = 0,
                               bool acceptClockAhead = false);

// A conflict as the administrator sees it: the version kept and the version lost, column by column.
struct ConflictView {
    qint64 id = 0;
    QString loggedAt; // UTC, yyyy-MM-dd HH:mm:ss
    QString table;
    QString key; // the row's key as a JSON array: ["dev1"], [3]
    QString reason;
    QString state;            // open, kept, restored
    QString member;           // the member that logged it
    bool keptDeleted = false; // nothing of the row stands
    bool lostDeleted = false; // the version lost is a deletion
    QStringList columns;
    QStringList kept; // each column's value for people ("" where the version has none)
    QStringList lost;
    QList<bool> differs;
    QString keptJson; // each version as a JSON object of column -> value, empty for none
    QString lostJson;
};
// The open conflicts, or all of them; without their versions (columns, kept, lost, differs and the JSON texts
// left empty, keptDeleted as logged) when only the list is wanted. With them, the kept version is what stands
// in the row now.
QList<ConflictView> conflicts(Database& db, bool all = false, bool withVersions = true);
// One conflict with its versions (3614 when there is none with that number).
ConflictView conflict(Database& db, qint64 id);
// Closes a conflict: what stands stays.
void keepConflict(Database& db, qint64 id);
// Writes the lost version again as a new change of this member, so that it wins over what it lost to on
// every member, and closes the conflict. Refused when the row changed since or a relationship would break.
void restoreConflict(Database& db, qint64 id);

// Turns the changes made in the file since it last exchanged into versions of this member, and puts right
// what its writers left unsound. Every exchange does this first; done ahead, it keeps the exchange itself
// short.
void recordOwnChanges(Database& db);

// The rows whose place or content in the member's tables is not what the versions it holds make of them
// (docs/replication.md, "What stands"), one line each; empty when the member is what its versions say.
QStringList divergences(Database& db);

// Default number of versions applied in one transaction. Each batch writes again the index pages its rows
// land on (SQLite journals them anew), so a large exchange goes faster in fewer, larger batches; the bytes
// bound below keeps their memory in check.
inline constexpr int DefaultBatchSize = 20000;
// A batch also ends once the values it holds reach this many bytes (it holds at least one version), so an
// exchange's memory does not grow with the size of the values.
inline constexpr qint64 MaxBatchBytes = 8LL * 1024 * 1024;

} // namespace pell::db::replication
