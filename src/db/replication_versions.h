#pragma once

#include "db/replication_capture.h"

namespace pell::db {
class Statement;
}

// Versions of a row and the conflict rule between them.
namespace pell::db::replication::exchange {

using capture::Vector;

// One version of a row: its history (changes per replica), its total of changes, whether it is a
// deletion, and the replica that made it with that replica's count at the time.
struct Version {
    Vector vv;
    qint64 ver = 0;
    bool del = false;
    qint64 origin = 0;
    qint64 oc = 0;
};

// How a receiver's version stands to an incoming one, by their histories.
enum class Relation { Same, LocalNewer, IncomingNewer, Concurrent };
Relation relate(const Vector& local, const Vector& incoming);

// Whether two versions with equal histories are the same version.
bool sameVersion(const Version& a, const Version& b);

// The conflict rule between concurrent versions: true when a wins over b.
bool beats(const Version& a, const Version& b);

// The history that has seen both.
Vector merged(const Vector& a, const Vector& b);
qint64 total(const Vector& v);

// Reads (vv, ver, del, origin, oc) from five columns of a shadow row starting at `first`.
Version readVersion(const Statement& s, int first);

} // namespace pell::db::replication::exchange
