#include "db/replication/fold.h"

#include "db/replication/member.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace pell::db::replication {

namespace {

enum Op { Insert = 1, Update = 2, Delete = 3 };

// Each change's clock is what a walk through the log in order gives it: one above the clock before, and at
// least the time it was made. Within a run of changes made faster than the clock's resolution the clock is
// the log's number plus a constant: the walk is kept as those runs.
struct Run {
    qint64 seq;    // the first change of the run
    qint64 offset; // clock - seq
};

qint64 clockAt(const std::vector<Run>& runs, qint64 seq) {
    const auto after =
        std::upper_bound(runs.begin(), runs.end(), seq, [](qint64 s, const Run& r) { return s < r.seq; });
    return seq + std::prev(after)->offset;
}

// One change at a time, as a table whose deleted rows keep their content needs: a deletion records which
// version that content was, and a row that stands again drops what was kept of it.
void foldEach(sqlite3* db, TableStore& store, const std::vector<Run>& runs, qint64 me) {
    const TableInfo& info = store.info();
    Statement each(db,
                   QStringLiteral("SELECT seq, op, k0, k1, k2, k3, k4, k5, k6, k7 FROM \"_pell_log\" WHERE "
                                  "tbl = ?1 ORDER BY seq"));
    each.bind(1, info.id);
    while (each.step()) {
        const Row key = readRow(each.raw(), 2, int(info.keys.size()));
        const int op = int(each.int64(1));
        Version v;
        v.clock = clockAt(runs, each.int64(0));
        v.writer = me;
        v.deleted = op == Delete;
        if (info.restrictParent) {
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
    }
}

} // namespace

bool foldOwnChanges(sqlite3* db, qint64 me) {
    Statement log(db, QStringLiteral("SELECT seq, t, tbl, op FROM \"_pell_log\" ORDER BY seq"));
    if (!log.step())
        return false;
    Side side = alone(db);
    Clock clock = readClock(db);
    const qint64 first = clock.now; // the versions of this fold are numbered after it
    std::vector<Run> runs;
    QHash<qint64, bool> tables; // the tables changed, and whether a change deleted a row of one
    qint64 changes = 0;
    do {
        if (side.indexOfId(log.int64(2)) < 0)
            continue;
        clock.now = qMax(clock.now + 1, log.int64(1));
        clock.own = clock.now;
        const qint64 seq = log.int64(0);
        if (runs.empty() || runs.back().offset != clock.now - seq)
            runs.push_back({seq, clock.now - seq});
        tables[log.int64(2)] |= log.int64(3) == Delete;
        ++changes;
    } while (log.step());
    log.reset();
    // Many runs (changes made one by one, far apart) are cheaper folded one by one than looked up. Tests
    // compare both ways on one log (PELL_TEST_FOLD_EACH).
    const bool atOnce =
        qint64(runs.size()) * 8 <= changes && !qEnvironmentVariableIsSet("PELL_TEST_FOLD_EACH");
    if (atOnce) {
        // seq..last: the log numbers of a run; shift: clock - seq; clock: the run's first clock.
        exec(db,
             QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS \"_pell_runs\" (seq INTEGER PRIMARY KEY, "
                            "last INTEGER NOT NULL, shift INTEGER NOT NULL, clock INTEGER NOT NULL UNIQUE)"));
        exec(db, QStringLiteral("DELETE FROM temp.\"_pell_runs\""));
        Statement add(db, QStringLiteral("INSERT INTO temp.\"_pell_runs\" VALUES (?1, ?2, ?3, ?1 + ?3)"));
        for (size_t i = 0; i < runs.size(); ++i) {
            const Run& r = runs[i];
            const qint64 last =
                i + 1 < runs.size() ? runs[i + 1].seq - 1 : std::numeric_limits<qint64>::max();
            add.bindAll({r.seq, last, r.offset});
            add.run();
            add.reset();
        }
    }
    for (const auto& store : side.stores) {
        const TableInfo& info = store->info();
        const auto changed = tables.constFind(info.id);
        if (!info.keyed || changed == tables.cend())
            continue;
        if (atOnce && (!info.restrictParent || (store->keepEmpty() && !*changed)))
            store->foldAll(me);
        else
            foldEach(db, *store, runs, me);
    }
    if (atOnce)
        exec(db, QStringLiteral("DELETE FROM temp.\"_pell_runs\""));
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
