#pragma once

#include "db/replication/transfer.h"
#include "db/replication/versions.h"

#include <QString>

struct sqlite3;

namespace pell::db {
class Database;
}

// How long a member remembers what no longer stands: deletion records and closed conflicts are forgotten once
// they have been held here longer than the replica set's retention period. A partner that does not hold
// everything a member has forgotten could bring deleted rows back, so an exchange with it is refused. See
// docs/replication.md.
namespace pell::db::replication {

inline constexpr int DefaultRetentionDays = 60;
inline constexpr int MaxRetentionDays = 3650;

// The retention period in days, and the decision that set it: the latest (clock, writer) wins on every
// member.
struct Retention {
    int days = DefaultRetentionDays;
    qint64 clock = 0;
    qint64 writer = 0;
};

// The engine tables and indexes retention needs. A master made by this program has them from the start; an
// older member gets them at its first prune.
void installRetention(sqlite3* db, bool master);
// A copy made into a new replica is not the master.
void leaveMaster(sqlite3* db);

Retention readRetention(sqlite3* db);
// Whether the member is its replica set's master.
bool isMaster(sqlite3* db);

// The retention period of a member's replica set (days).
int retentionDays(Database& db);
// Sets it on the master (3620 elsewhere, 3621 outside 1..MaxRetentionDays); exchanges carry it to the
// members.
void setRetentionDays(Database& db, int days);

// What a member has forgotten: per writer, the highest clock of a forgotten version.
Clocks forgotten(sqlite3* db);
// Brings the receiver the sender's retention period when the sender's decision is the later one.
void carryRetention(const Member& sender, const Member& receiver);
// The same, from the period a partner reported.
void adoptRetention(sqlite3* db, const Retention& theirs);
// Forgets what the member has held longer than the retention period, in a transaction of its own; writes only
// when there is something to forget. Returns whether it did.
bool pruneExpired(sqlite3* db);

// At the end of an exchange: the retention period travels the ways the exchange went, and each member forgets
// what it has held past it. A member that cannot be written is left as it is.
void afterExchange(const Member& self, const Member& partner, bool imported, bool exported);

// The wall clock retention measures by, as a clock value; tests move it forward through PELL_TEST_NOW_MS
// (milliseconds since 1970).
qint64 retentionNow();

} // namespace pell::db::replication
