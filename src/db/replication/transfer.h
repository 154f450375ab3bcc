#pragma once

#include "db/replication/replication.h"

struct sqlite3;

// One direction of an exchange between two members of a replica set.
namespace pell::db::replication {

struct Member {
    sqlite3* db = nullptr;
    qint64 id = 0;
};

// Which of two members was put back from an older copy since they last met (0 when neither was): what it
// says it holds of its own writes is then not trusted.
qint64 putBack(const Member& a, const Member& b);

// Brings the receiver up to date with every version the sender holds that the receiver does not, in
// transactions of at most batchSize versions read from the sender, each committed with how far it read.
// A version whose clock is further ahead of the receiver's time than MaxClockAheadMs is refused (3623, naming
// the sender and how far ahead), unless acceptClockAhead.
DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize, qint64 untrusted,
                        bool acceptClockAhead = false);

// Recognises a member whose file is not the file it was in when it last recorded it (a copy, a restore): it
// takes a new identity before any change of its own becomes a version. Returns the member's identity.
qint64 claimFile(sqlite3* db);

// Checks the member's own changes since the last check against the relationships, as an exchange would check
// a partner's: a member written with relationships off (another program) is put right the same way every
// member puts it right. Writes only when something is put right.
void settleOwnChanges(const Member& member);

} // namespace pell::db::replication
