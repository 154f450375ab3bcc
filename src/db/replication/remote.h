#pragma once

#include "db/replication/replication.h"

#include <QString>

#include <optional>

namespace pell::db {
class Database;
}

// Members that share no file with this one: reached over SSH, where `pelldb serve` answers for the far
// member, or met through bundles carried by hand. See docs/remote.md.
namespace pell::db::replication {

// ssh://[user@]host[:port]/path/to/member.mdb
struct RemoteLocation {
    QString user;
    QString host;
    int port = 0;
    QString path;
    QString text; // as written, for messages
};
bool isRemote(const QString& location);
// The parts of an ssh:// location (3637 when it is one but cannot be read).
RemoteLocation parseRemote(const QString& location);

// One exchange with a member behind SSH: `ssh` (or the command in PELL_SSH) runs `pelldb serve` there.
SyncStats synchronizeRemote(Database& db, const QString& location, int mode, int batchSize,
                            bool acceptClockAhead);

// Puts the replica file `made` (just made, a member of `set`) at a remote location, which must not exist.
void makeRemoteReplica(const QString& made, const Identity& set, const QString& location);

// The far side of synchronizeRemote: answers on the two descriptors for the one database at `path`, and
// only for it. Returns the exit status: 0 when the exchange completed.
int serve(const QString& path, int in, int out);

// Writes what `partner` (its replica id, or the path of its database) lacks into `file`; returns the number
// of versions written.
qint64 exportBundle(Database& db, const QString& file, const QString& partner);
// Applies a bundle made for this member.
DirectionStats importBundle(Database& db, const QString& file, bool acceptClockAhead = false);

} // namespace pell::db::replication
