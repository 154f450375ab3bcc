#include "db/replication.h"

#include "db/database.h"
#include "db/error.h"

namespace pell::db::replication {

bool isReplicable(Database&) {
    return false;
}

void convertToMaster(Database& db) {
    if (!db.exclusive())
        throw Error::make(err::FileInUse);
    throw Error::make(err::InvalidOperation, QStringLiteral("(replication is not available)"));
}

void makeReplica(Database&, const QString&, const QString&) {
    throw Error::make(err::NotReplicable);
}

void synchronize(Database&, const QString&, int) {
    throw Error::make(err::NotReplicable);
}

} // namespace pell::db::replication
