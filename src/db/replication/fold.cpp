#include "db/replication/fold.h"

#include "db/replication/member.h"

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

enum Op { Insert = 1, Update = 2, Delete = 3 };

} // namespace

bool foldOwnChanges(sqlite3* db, qint64 me) {
    Statement log(db,
                  QStringLiteral("SELECT seq, t, tbl, op, k0, k1, k2, k3, k4, k5, k6, k7 FROM \"_pell_log\" "
                                 "ORDER BY seq"));
    if (!log.step())
        return false;
    Side side = alone(db);
    Clock clock = readClock(db);
    const qint64 first = clock.now; // the versions of this fold are numbered after it
    // The log is read while the shadows are written: other tables of the same file.
    do {
        const int index = side.indexOfId(log.int64(2));
        if (index < 0)
            continue;
        TableStore& store = *side.stores[size_t(index)];
        const Row key = readRow(log.raw(), 4, int(store.info().keys.size()));
        const int op = int(log.int64(3));
        clock.now = qMax(clock.now + 1, log.int64(1));
        clock.own = clock.now;
        Version v;
        v.clock = clock.now;
        v.writer = me;
        v.deleted = op == Delete;
        if (store.info().restrictParent) {
            if (!v.deleted) {
                // The row stands again as a version of its own, unless a later change in this log deleted it
                // again: the content kept is that deletion's.
                if (store.kept(key) && store.standing(key))
                    store.dropKept(key);
            } else if (const std::optional<ShadowRow> s = store.shadow(key); s && !s->version.deleted) {
                store.setKeptVersion(key, s->version); // the content the trigger kept is this version's
            }
        }
        store.foldChange(key, op == Insert, v);
    } while (log.step());
    log.reset();
    // The incarnation of its parent that each changed row belongs to (its task, for an attachment): one
    // statement per relationship for the whole fold.
    for (const Link& link : side.links) {
        if (!link.cascade)
            continue;
        const int c = side.indexOf(link.child), p = side.indexOf(link.parent);
        if (c < 0 || p < 0)
            continue;
        const TableInfo& child = side.stores[size_t(c)]->info();
        QStringList own, parent;
        for (int i = 0; i < child.keys.size(); ++i)
            own << QStringLiteral("T.%1 = S.k%2").arg(quoteIdentifier(child.keys[i])).arg(i);
        for (int i = 0; i < link.columns.size(); ++i)
            parent << QStringLiteral("P.k%1 = T.%2").arg(i).arg(quoteIdentifier(link.columns[i]));
        Statement record(
            db, QStringLiteral("UPDATE %1 AS S SET (pbc, pbw) = (SELECT P.bc, P.bw FROM %2 T JOIN %3 P ON "
                               "%4 WHERE %5) WHERE S.seq > ?1 AND S.w = ?2 AND S.del = 0")
                    .arg(quoteIdentifier(child.shadow), quoteIdentifier(child.name),
                         quoteIdentifier(side.stores[size_t(p)]->info().shadow),
                         parent.join(QStringLiteral(" AND ")), own.join(QStringLiteral(" AND "))));
        record.bindAll({first, me});
        record.run();
    }
    // Everything logged has been read: this transaction holds the file, so no writer logged anything since,
    // and emptying the whole table lets the engine drop its pages at once.
    exec(db, QStringLiteral("DELETE FROM \"_pell_log\""));
    writeClock(db, clock);
    return true;
}

} // namespace pell::db::replication
