#include "db/replication/retention.h"

#include "core/error.h"
#include "db/database.h"
#include "db/replication/metadata.h"
#include "db/statement.h"
#include "db/transaction.h"

#include <sqlite3.h>

#include <tuple>

namespace pell::db::replication {

namespace {

constexpr qint64 DayMs = 24LL * 60 * 60 * 1000;
const QString Settings = QStringLiteral("_pell_settings");
const QString Forgotten = QStringLiteral("_pell_forgotten");

QString q(const QString& name) {
    return quoteIdentifier(name);
}

bool tableExists(sqlite3* db, const QString& name) {
    Statement s(db, QStringLiteral("SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1"));
    s.bind(1, name);
    return s.step();
}

// What is past the retention period: held here since before this clock value.
qint64 cutoff(sqlite3* db) {
    return retentionNow() - (qint64(readRetention(db).days) * DayMs << 20);
}

// A deletion record: the row is deleted and nothing makes it stand.
const QString Gone = QStringLiteral("del = 1 AND vis = 0 AND seq < ?1");
// A conflict that nobody needs to decide about any more.
const QString Closed = QStringLiteral("state <> 'open' AND seq < ?1");
// A standing version held here, unchanged, since before the period, that still carries the versions it
// replaced: ?2 is where the last pruning of histories stopped, so that each row is looked at once.
const QString Superseding = QStringLiteral("seq >= ?2 AND seq < ?1 AND hist IS NOT NULL");

// The rows of a table that the partial index of what retention looks for holds: only those are read.
QString through(const QString& table, const QString& index) {
    return QStringLiteral("%1 INDEXED BY %2").arg(q(table), q(index));
}
QString gone(const TableInfo& t) {
    return through(t.shadow, t.shadow + QStringLiteral("_gone"));
}
QString closed() {
    return through(names::Conflicts, QStringLiteral("_pell_conflicts_closed"));
}

bool any(sqlite3* db, const QString& from, const QString& where, qint64 before, qint64 since = 0) {
    Statement s(db, QStringLiteral("SELECT EXISTS (SELECT 1 FROM %1 WHERE %2)").arg(from, where));
    s.bind(1, before);
    if (where.contains(QStringLiteral("?2")))
        s.bind(2, since);
    s.step();
    return s.int64(0) != 0;
}

// Adds versions to what the member has forgotten: per writer, the highest clock, but never above what the
// member itself knows it holds of that writer, so that a partner who holds as much is never refused.
void remember(sqlite3* db, const QString& sql, qint64 before, const Clocks& held, qint64 since = 0) {
    Statement read(db, sql);
    read.bind(1, before);
    if (sql.contains(QStringLiteral("?2")))
        read.bind(2, since);
    Clocks found;
    while (read.step())
        found[read.int64(0)] = qMax(found.value(read.int64(0)), read.int64(1));
    read.reset();
    Statement store(db, QStringLiteral("INSERT INTO %1 VALUES (?1, ?2) ON CONFLICT (writer) DO UPDATE SET "
                                       "clock = max(clock, excluded.clock)")
                            .arg(q(Forgotten)));
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        const qint64 clock = qMin(it.value(), held.value(it.key()));
        if (clock <= 0)
            continue;
        store.bindAll({it.key(), clock});
        store.run();
        store.reset();
    }
}

qint64 setting(sqlite3* db, const QString& name) {
    Statement s(db, QStringLiteral("SELECT value FROM %1 WHERE name = ?1").arg(q(Settings)));
    s.bind(1, name);
    return s.step() ? s.int64(0) : 0;
}

void storeSetting(sqlite3* db, const QString& name, qint64 value) {
    Statement s(
        db, QStringLiteral("INSERT INTO %1 (name, value) VALUES (?1, ?2) ON CONFLICT (name) DO UPDATE SET "
                           "value = excluded.value")
                .arg(q(Settings)));
    s.bindAll({name, value});
    s.run();
}

} // namespace

qint64 retentionNow() {
    return wallClock();
}

void installRetention(sqlite3* db, bool master) {
    exec(db, QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (name TEXT PRIMARY KEY, value INTEGER NOT NULL, "
                            "clock INTEGER NOT NULL DEFAULT 0, writer INTEGER NOT NULL DEFAULT 0)")
                 .arg(q(Settings)));
    exec(db, QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (writer INTEGER PRIMARY KEY, clock INTEGER NOT "
                            "NULL)")
                 .arg(q(Forgotten)));
    if (master)
        exec(db,
             QStringLiteral("INSERT OR IGNORE INTO %1 (name, value) VALUES ('master', 1)").arg(q(Settings)));
    // Finding what is due is one look into an index of the few rows that can be, on every exchange.
    for (const TableInfo& t : registeredTables(db))
        exec(db, QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (seq) WHERE del = 1 AND vis = 0")
                     .arg(q(t.shadow + QStringLiteral("_gone")), q(t.shadow)));
    exec(db,
         QStringLiteral("CREATE INDEX IF NOT EXISTS \"_pell_conflicts_closed\" ON \"_pell_conflicts\" (seq) "
                        "WHERE state <> 'open'"));
    exec(db, QStringLiteral("CREATE INDEX IF NOT EXISTS \"_pell_conflicts_lost\" ON \"_pell_conflicts\" "
                            "(lost_writer, lost_clock)"));
}

void leaveMaster(sqlite3* db) {
    if (tableExists(db, Settings))
        exec(db, QStringLiteral("DELETE FROM %1 WHERE name = 'master'").arg(q(Settings)));
}

Retention readRetention(sqlite3* db) {
    Retention r;
    if (!tableExists(db, Settings))
        return r;
    Statement s(
        db, QStringLiteral("SELECT value, clock, writer FROM %1 WHERE name = 'retention'").arg(q(Settings)));
    if (s.step())
        r = Retention{int(s.int64(0)), s.int64(1), s.int64(2)};
    return r;
}

bool isMaster(sqlite3* db) {
    if (!tableExists(db, Settings)) {
        // A master made before the engine recorded it: its description is the one Make Master gives.
        const std::optional<Identity> id = readIdentity(db);
        return id && id->description == QLatin1String("master");
    }
    Statement s(db, QStringLiteral("SELECT value FROM %1 WHERE name = 'master'").arg(q(Settings)));
    return s.step() && s.int64(0) != 0;
}

int retentionDays(Database& db) {
    requireIdentity(db.rawHandle(), db.path());
    return readRetention(db.rawHandle()).days;
}

void setRetentionDays(Database& db, int days) {
    const Identity me = requireIdentity(db.rawHandle(), db.path());
    if (days < 1 || days > MaxRetentionDays)
        throw Error::make(err::RetentionOutOfRange, QString::number(days));
    sqlite3* raw = db.rawHandle();
    Transaction tx(raw);
    if (!isMaster(raw))
        throw Error::make(err::RetentionOnMasterOnly, db.path());
    installRetention(raw, true);
    // A decision like any other: later than every one this member has seen.
    Clock clock = readClock(raw);
    clock.now = qMax(clock.now + 1, wallClock());
    writeClock(raw, clock);
    Statement s(raw, QStringLiteral("INSERT INTO %1 VALUES ('retention', ?1, ?2, ?3) ON CONFLICT (name) DO "
                                    "UPDATE SET value = excluded.value, clock = excluded.clock, writer = "
                                    "excluded.writer")
                         .arg(q(Settings)));
    s.bindAll({days, clock.now, me.replicaId});
    s.run();
    tx.commit();
}

Clocks forgotten(sqlite3* db) {
    Clocks clocks;
    if (!tableExists(db, Forgotten))
        return clocks;
    Statement s(db, QStringLiteral("SELECT writer, clock FROM %1").arg(q(Forgotten)));
    while (s.step())
        clocks.insert(s.int64(0), s.int64(1));
    return clocks;
}

void carryRetention(const Member& sender, const Member& receiver) {
    adoptRetention(receiver.db, readRetention(sender.db));
}

void adoptRetention(sqlite3* db, const Retention& theirs) {
    const Retention mine = readRetention(db);
    if (std::make_tuple(theirs.clock, theirs.writer) <= std::make_tuple(mine.clock, mine.writer))
        return;
    Transaction tx(db);
    installRetention(db, false);
    Statement s(db, QStringLiteral("INSERT INTO %1 VALUES ('retention', ?1, ?2, ?3) ON CONFLICT (name) "
                                   "DO UPDATE SET value = excluded.value, clock = excluded.clock, "
                                   "writer = excluded.writer")
                        .arg(q(Settings)));
    s.bindAll({theirs.days, theirs.clock, theirs.writer});
    s.run();
    tx.commit();
}

bool pruneExpired(sqlite3* db) {
    if (!tableExists(db, Forgotten)) {
        // A member made before the engine forgot anything: its indexes first, once.
        Transaction tx(db);
        installRetention(db, false);
        tx.commit();
    }
    const qint64 before = cutoff(db);
    const QList<TableInfo> tables = registeredTables(db);
    const qint64 since = setting(db, QStringLiteral("histories_pruned"));
    bool due = any(db, closed(), Closed, before);
    for (const TableInfo& t : tables)
        due = due || any(db, gone(t), Gone, before) || any(db, q(t.shadow), Superseding, before, since);
    if (!due)
        return false;
    Transaction tx(db);
    const std::optional<Identity> me = readIdentity(db);
    const Clocks held = known(db, me ? me->replicaId : 0);
    for (const TableInfo& t : tables) {
        remember(db, QStringLiteral("SELECT w, max(c) FROM %1 WHERE %2 GROUP BY w").arg(gone(t), Gone),
                 before, held);
        if (!t.keep.isEmpty()) {
            // The content a deleted row would have come back with, were it referred to again.
            QStringList same;
            for (int i = 0; i < t.keys.size(); ++i)
                same << QStringLiteral("S.k%1 = K.%2").arg(i).arg(q(t.keys[i]));
            Statement drop(db,
                           QStringLiteral("DELETE FROM %1 AS K WHERE EXISTS (SELECT 1 FROM %2 AS S WHERE %3 "
                                          "AND S.del = 1 AND S.vis = 0 AND S.seq < ?1)")
                               .arg(q(t.keep), q(t.shadow), same.join(QStringLiteral(" AND "))));
            // Few rows are kept (deleted rows others refer to, rows set aside): the keep table is the one
            // read.
            drop.bind(1, before);
            drop.run();
        }
        Statement drop(db, QStringLiteral("DELETE FROM %1 WHERE %2").arg(gone(t), Gone));
        drop.bind(1, before);
        drop.run();
        // The versions a standing version replaced only tell whether a version that arrives late had been
        // seen; a partner that holds the standing version never sends them again.
        remember(db,
                 QStringLiteral("SELECT w, max(c) FROM %1 WHERE %2 GROUP BY w").arg(q(t.shadow), Superseding),
                 before, held, since);
        Statement forget(db,
                         QStringLiteral("UPDATE %1 SET hist = NULL WHERE %2").arg(q(t.shadow), Superseding));
        forget.bindAll({before, since});
        forget.run();
    }
    storeSetting(db, QStringLiteral("histories_pruned"), before);
    // A closed conflict a partner still holds open would come back open: the decision must have reached it.
    remember(db,
             QStringLiteral(
                 "SELECT state_writer, max(state_clock) FROM %1 WHERE %2 AND state_writer <> 0 GROUP BY "
                 "state_writer")
                 .arg(closed(), Closed),
             before, held);
    Statement drop(db, QStringLiteral("DELETE FROM %1 WHERE %2").arg(closed(), Closed));
    drop.bind(1, before);
    drop.run();
    tx.commit();
    return true;
}

void afterExchange(const Member& self, const Member& partner, bool imported, bool exported) {
    const auto quietly = [](const auto& step) {
        try {
            step();
        } catch (const Error& e) {
            if (e.number() != err::ReadOnly)
                throw;
        }
    };
    if (imported)
        quietly([&] { carryRetention(partner, self); });
    if (exported)
        quietly([&] { carryRetention(self, partner); });
    for (const Member& m : {self, partner})
        quietly([&] { pruneExpired(m.db); });
}

} // namespace pell::db::replication
