#pragma once

#include "db/replication.h"

struct sqlite3;

// One direction of an exchange between two members of a replica set.
namespace pell::db::replication::exchange {

struct Member {
    sqlite3* db = nullptr;
    qint64 id = 0;
};

// Brings the receiver up to date with every version the sender has that the receiver has not yet seen,
// in transactions of at most batchSize versions, each committed together with its watermark.
DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize);

} // namespace pell::db::replication::exchange
