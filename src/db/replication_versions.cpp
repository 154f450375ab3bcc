#include "db/replication_versions.h"

#include "db/statement.h"

#include <QSet>

namespace pell::db::replication::exchange {

Relation relate(const Vector& local, const Vector& incoming) {
    bool localAhead = false;
    bool incomingAhead = false;
    QSet<qint64> replicas;
    for (auto it = local.cbegin(); it != local.cend(); ++it)
        replicas.insert(it.key());
    for (auto it = incoming.cbegin(); it != incoming.cend(); ++it)
        replicas.insert(it.key());
    for (qint64 r : replicas) {
        const qint64 l = local.value(r);
        const qint64 i = incoming.value(r);
        localAhead |= l > i;
        incomingAhead |= i > l;
    }
    if (localAhead && incomingAhead)
        return Relation::Concurrent;
    if (localAhead)
        return Relation::LocalNewer;
    if (incomingAhead)
        return Relation::IncomingNewer;
    return Relation::Same;
}

bool sameVersion(const Version& a, const Version& b) {
    return a.del == b.del && a.origin == b.origin && a.oc == b.oc;
}

// The conflict rule: it looks only at the two versions, so every replica picks the same winner in
// whatever order the versions meet. A deletion beats a change; then the version that has seen more
// changes; then the lower identity of the replica that made it.
bool beats(const Version& a, const Version& b) {
    if (a.del != b.del)
        return a.del;
    if (a.ver != b.ver)
        return a.ver > b.ver;
    if (a.origin != b.origin)
        return a.origin < b.origin;
    return a.oc > b.oc;
}

Vector merged(const Vector& a, const Vector& b) {
    Vector m = a;
    for (auto it = b.cbegin(); it != b.cend(); ++it)
        m[it.key()] = qMax(m.value(it.key()), it.value());
    return m;
}

qint64 total(const Vector& v) {
    qint64 sum = 0;
    for (qint64 n : v)
        sum += n;
    return sum;
}

Version readVersion(const Statement& s, int first) {
    Version v;
    v.ver = s.int64(first + 1);
    v.del = s.int64(first + 2) != 0;
    v.origin = s.int64(first + 3);
    v.oc = s.int64(first + 4);
    if (s.isNull(first))
        v.vv.insert(v.origin, v.oc); // a first version: one change by its origin
    else
        v.vv = capture::parseVector(s.value(first).toString());
    return v;
}

} // namespace pell::db::replication::exchange
