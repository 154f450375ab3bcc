#include "db/replication/fold.h"

#include "db/replication/member.h"

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

enum Op { Insert = 1, Update = 2, Delete = 3 };

struct Entry {
    qint64 seq = 0;
    qint64 time = 0;
    qint64 table = 0;
    int op = 0;
    Row key;
};

// The incarnation of the row that a row belongs to (its task, for an attachment), when it has one.
void recordParent(const Side& side, TableStore& store, const Row& key, Version& v) {
    for (const Link& link : side.links) {
        if (!link.cascade || link.child.compare(store.info().name, Qt::CaseInsensitive) != 0)
            continue;
        ShadowRow standing;
        standing.visible = true;
        const std::optional<Row> content = store.content(key, standing);
        if (!content)
            return;
        for (size_t p = 0; p < side.stores.size(); ++p) {
            TableStore& parent = *side.stores[p];
            if (parent.info().name.compare(link.parent, Qt::CaseInsensitive) != 0)
                continue;
            const Row values = store.project(*content, link.columns);
            if (values.empty())
                return;
            if (const std::optional<ShadowRow> ps = parent.shadow(values)) {
                v.parentBornClock = ps->version.bornClock;
                v.parentBornWriter = ps->version.bornWriter;
            }
            return;
        }
    }
}

} // namespace

bool foldOwnChanges(sqlite3* db, qint64 me) {
    QList<Entry> entries;
    {
        Statement log(db, QStringLiteral("SELECT seq, t, tbl, op, k0, k1, k2, k3, k4, k5, k6, k7 FROM "
                                         "\"_pell_log\" ORDER BY seq"));
        while (log.step())
            entries << Entry{log.int64(0), log.int64(1), log.int64(2), int(log.int64(3)),
                             readRow(log.raw(), 4, MaxLoggedKeys)};
    }
    if (entries.isEmpty())
        return false;
    Side side = alone(db);
    Clock clock = readClock(db);
    for (Entry& e : entries) {
        const int index = side.indexOfId(e.table);
        if (index < 0)
            continue;
        TableStore& store = *side.stores[size_t(index)];
        e.key.resize(size_t(store.info().keys.size()));
        clock.now = qMax(clock.now + 1, e.time);
        clock.own = clock.now;
        Version v;
        v.clock = clock.now;
        v.writer = me;
        v.deleted = e.op == Delete;
        if (store.info().restrictParent) {
            if (!v.deleted) {
                store.dropKept(e.key); // the row stands again as a version of its own
            } else if (const std::optional<ShadowRow> s = store.shadow(e.key); s && !s->version.deleted) {
                store.setKeptVersion(e.key, s->version); // the content the trigger kept is this version's
            }
        }
        if (!v.deleted)
            recordParent(side, store, e.key, v);
        store.foldChange(e.key, e.op == Insert, v);
    }
    Statement done(db, QStringLiteral("DELETE FROM \"_pell_log\" WHERE seq <= ?1"));
    done.bind(1, entries.constLast().seq);
    done.run();
    writeClock(db, clock);
    return true;
}

} // namespace pell::db::replication
