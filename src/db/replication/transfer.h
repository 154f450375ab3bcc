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
DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize, qint64 untrusted);

// Checks the member's own changes since the last check against the relationships, as an exchange would check
// a partner's: a member written with relationships off (another program) is put right the same way every
// member puts it right. Writes only when something is put right.
void settleOwnChanges(const Member& member);

} // namespace pell::db::replication
