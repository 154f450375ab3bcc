#include "db/replication/transfer.h"

#include "core/error.h"
#include "core/progress.h"
#include "db/replication/fold.h"
#include "db/replication/member.h"
#include "db/replication/receiver.h"

#include <sqlite3.h>

#include <memory>

namespace pell::db::replication {

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

// A transaction on one member: rolled back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : m_db(db) {
        exec(m_db, write ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
        m_open = true;
    }
    ~Transaction() {
        if (m_open)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // Returns the result code; the transaction stays open when COMMIT is refused.
    int tryCommit() {
        const int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            m_open = false;
        return rc;
    }
    void commit() {
        const int rc = tryCommit();
        if (rc != SQLITE_OK)
            throwSqlite(m_db, rc);
    }

private:
    sqlite3* m_db;
    bool m_open = false;
};

// The sender answering for its current version of one row, while the receiver decides about another.
class SenderSource : public Source {
public:
    explicit SenderSource(Side& side) : m_side(side) {}
    std::optional<Change> current(int table, const Row& key) override {
        TableStore& store = *m_side.stores[size_t(table)];
        const std::optional<ShadowRow> s = store.shadow(key);
        if (!s)
            return std::nullopt;
        Change c = changeOf(store, table, key, *s);
        if (!c.version.deleted && !c.content)
            return std::nullopt;
        return c;
    }

private:
    Side& m_side;
};

} // namespace

// Whether the receiver holds the version (or one above it) by what it knows it holds. What a member put back
// from an older copy says of its own writes is not trusted: it may have lost some of them.
bool covered(const Clocks& known, const Change& c, qint64 untrusted) {
    const auto holds = [&](qint64 writer, qint64 clock) {
        return writer != untrusted && known.value(writer) >= clock;
    };
    if (c.conflict)
        return holds(c.conflict->loggedBy, c.conflict->loggedClock) &&
               (!c.conflict->stateWriter || holds(c.conflict->stateWriter, c.conflict->stateClock));
    return holds(c.version.writer, c.version.clock) &&
           (!c.kept || holds(c.kept->version.writer, c.kept->version.clock));
}

namespace {

// Rows of the member's own changes since the last check, and deleted rows that stand for others, checked
// again. Runs inside the caller's write transaction.
// What the member's own writers may have left unsound since the last check, found with one query per
// relationship rather than row by row: rows whose parent is missing, deleted rows that rows still refer to,
// and rows set aside whose parent stands again. Those, and deleted rows that stand for others, are checked
// again as a partner's versions would be.
bool settleOwn(sqlite3* db, qint64 me) {
    Side side = alone(db);
    DirectionStats ignored;
    const Clock clock = readClock(db);
    Receiver check(db, me, side.pointers(), side.links, nullptr, ignored);
    const auto recheck = [&](int table, const QString& sql) {
        Statement s(db, sql);
        s.bindAll({clock.settled, me});
        const int keys = int(side.stores[size_t(table)]->info().keys.size());
        while (s.step())
            check.recheck(table, readRow(s.raw(), 0, keys), true);
    };
    const auto find = [&](const QString& name) {
        for (size_t i = 0; i < side.stores.size(); ++i)
            if (side.stores[i]->info().name.compare(name, Qt::CaseInsensitive) == 0)
                return int(i);
        return -1;
    };
    for (const Link& link : side.links) {
        const int c = find(link.child), p = find(link.parent);
        if (c < 0 || p < 0)
            continue;
        const TableInfo& child = side.stores[size_t(c)]->info();
        const TableInfo& parent = side.stores[size_t(p)]->info();
        QStringList shadowKeys, childOnShadow, parentOnChild, notNull, childOnParentShadow, keptOnParent;
        for (int i = 0; i < child.keys.size(); ++i) {
            shadowKeys << QStringLiteral("S.k%1").arg(i);
            childOnShadow << QStringLiteral("T.%1 = S.k%2").arg(q(child.keys[i])).arg(i);
        }
        for (int i = 0; i < link.columns.size(); ++i) {
            parentOnChild << QStringLiteral("P.%1 = T.%2").arg(q(parent.keys[i]), q(link.columns[i]));
            notNull << QStringLiteral("T.%1 IS NOT NULL").arg(q(link.columns[i]));
            childOnParentShadow << QStringLiteral("T.%1 = S.k%2").arg(q(link.columns[i])).arg(i);
            keptOnParent << QStringLiteral("P.%1 = K.%2").arg(q(parent.keys[i]), q(link.columns[i]));
        }
        const QString and_ = QStringLiteral(" AND ");
        recheck(c,
                QStringLiteral(
                    "SELECT %1 FROM %2 S CROSS JOIN %3 T ON %4 WHERE S.seq > ?1 AND S.w = ?2 AND S.del = 0 "
                    "AND %5 AND NOT EXISTS (SELECT 1 FROM %6 P WHERE %7)")
                    .arg(shadowKeys.join(u','), q(child.shadow), q(child.name), childOnShadow.join(and_),
                         notNull.join(and_), q(parent.name), parentOnChild.join(and_)));
        QStringList parentKeys;
        for (int i = 0; i < parent.keys.size(); ++i)
            parentKeys << QStringLiteral("S.k%1").arg(i);
        recheck(
            p,
            QStringLiteral("SELECT %1 FROM %2 S WHERE S.seq > ?1 AND S.w = ?2 AND S.del = 1 AND EXISTS "
                           "(SELECT 1 FROM %3 T WHERE %4)")
                .arg(parentKeys.join(u','), q(parent.shadow), q(child.name), childOnParentShadow.join(and_)));
        if (link.cascade) { // rows that belong to an incarnation of their parent that this member ended
            QStringList childKeys, parentOnRow;
            for (int i = 0; i < child.keys.size(); ++i)
                childKeys << QStringLiteral("C.k%1").arg(i);
            for (int i = 0; i < link.columns.size(); ++i)
                parentOnRow << QStringLiteral("S.k%1 = T.%2").arg(i).arg(q(link.columns[i]));
            QString childOnC = childOnShadow.join(and_);
            childOnC.replace(QStringLiteral("S.k"), QStringLiteral("C.k"));
            recheck(c, QStringLiteral(
                           "SELECT %1 FROM %2 S CROSS JOIN %3 T ON %4 CROSS JOIN %5 C ON %6 WHERE S.seq > ?1 "
                           "AND S.w = "
                           "?2 AND C.vis = 1 AND C.pbc IS NOT NULL AND (C.pbc <> S.bc OR C.pbw <> S.bw)")
                           .arg(childKeys.join(u','), q(parent.shadow), q(child.name), parentOnRow.join(and_),
                                q(child.shadow), childOnC));
        }
        QStringList keptKeys;
        for (const QString& k : child.keys)
            keptKeys << QStringLiteral("K.") + q(k);
        recheck(c, QStringLiteral(
                       "SELECT %1 FROM %2 K WHERE ?1 IS NOT NULL AND ?2 IS NOT NULL AND EXISTS (SELECT 1 "
                       "FROM %3 P WHERE %4)")
                       .arg(keptKeys.join(u','), q(child.keep), q(parent.name), keptOnParent.join(and_)));
    }
    for (size_t t = 0; t < side.stores.size(); ++t) {
        TableStore& store = *side.stores[t];
        if (store.info().restrictParent)
            for (const Row& key : store.standingDeleted())
                check.recheck(int(t), key);
        // A unique value the member's writers gave up may be the one a row was set aside for.
        if (store.hasUniqueValues() && !store.info().keep.isEmpty()) {
            QStringList keys;
            for (const QString& k : store.info().keys)
                keys << q(k);
            Statement kept(db,
                           QStringLiteral("SELECT %1 FROM %2").arg(keys.join(u','), q(store.info().keep)));
            while (kept.step())
                check.recheck(int(t), readRow(kept.raw(), 0, int(keys.size())));
        }
    }
    const bool changed = check.finish();
    Clock after = readClock(db);
    after.settled = after.now;
    writeClock(db, after);
    return changed;
}

// Rows that a committed batch would leave referring to nothing (the checks above missed them) are set aside,
// never lost: the batch still commits.
void setAsideBroken(sqlite3* db, qint64 me, Side& side, DirectionStats& stats) {
    Receiver repair(db, me, side.pointers(), side.links, nullptr, stats);
    Statement check(db, QStringLiteral("PRAGMA foreign_key_check"));
    QList<std::pair<QString, qint64>> broken;
    while (check.step())
        if (!check.isNull(1))
            broken << std::make_pair(check.value(0).toString(), check.int64(1));
    for (const auto& [table, rowid] : broken) {
        for (size_t t = 0; t < side.stores.size(); ++t) {
            const TableInfo& info = side.stores[t]->info();
            if (info.name.compare(table, Qt::CaseInsensitive) != 0 || !info.keyed)
                continue;
            QStringList keys;
            for (const QString& k : info.keys)
                keys << q(k);
            Statement key(
                db, QStringLiteral("SELECT %1 FROM %2 WHERE rowid = ?1").arg(keys.join(u','), q(table)));
            key.bind(1, rowid);
            if (key.step())
                repair.setAside(int(t), readRow(key.raw(), 0, int(info.keys.size())));
        }
    }
    repair.finish();
}

} // namespace

Change changeOf(TableStore& store, int table, const Row& key, const ShadowRow& s) {
    Change c;
    c.table = table;
    c.key = key;
    c.version = s.version;
    c.seq = s.seq;
    if (!s.version.deleted)
        c.content = store.content(key, s);
    else if (store.info().restrictParent)
        c.kept = store.kept(key);
    return c;
}

Stream::Stream(sqlite3* db, Side& side, qint64 from, const Clocks& holds, qint64 untrusted) : m_side(side) {
    QStringList cases;
    for (auto it = holds.cbegin(); it != holds.cend(); ++it)
        if (it.key() != untrusted)
            cases << QStringLiteral("WHEN %1 THEN %2").arg(it.key()).arg(it.value());
    const QString fresh =
        cases.isEmpty() ? QStringLiteral("1")
                        : QStringLiteral("S.c > CASE S.w %1 ELSE -1 END OR S.del = 1").arg(cases.join(u' '));
    for (size_t t = 0; t < side.stores.size(); ++t) {
        const TableInfo& info = side.stores[t]->info();
        QString sql;
        if (info.keyed) {
            QStringList keys, join;
            for (int i = 0; i < info.keys.size(); ++i) {
                keys << QStringLiteral("S.k%1").arg(i);
                join << QStringLiteral("T.%1 = S.k%2").arg(q(info.keys[i])).arg(i);
            }
            QStringList cols;
            for (const QString& c : side.stores[t]->carried())
                cols << QStringLiteral("T.") + q(c);
            sql = QStringLiteral(
                      "SELECT S.seq, S.bc, S.bw, S.c, S.w, S.del, S.hist, S.vis, S.pbc, S.pbw, "
                      "T.%1 IS NOT NULL, %2, %3 FROM %4 S LEFT JOIN %5 T ON S.vis = 1 AND S.del = 0 AND %6 "
                      "WHERE S.seq > ?1 AND (%7) ORDER BY S.seq")
                      .arg(q(info.keys.constFirst()), keys.join(u','), cols.join(u','), q(info.shadow),
                           q(info.name), join.join(QStringLiteral(" AND ")), fresh);
        } else {
            sql =
                QStringLiteral("SELECT S.seq, S.bc, S.bw, S.c, S.w, S.del, S.hist, S.vis, S.pbc, S.pbw, 0, "
                               "S.gor, S.gno, S.rid, S.fp FROM %1 S WHERE S.seq > ?1 AND (%2) ORDER BY S.seq")
                    .arg(q(info.shadow), fresh);
        }
        auto cursor = std::make_unique<Cursor>(Cursor{Statement(db, sql), false, false});
        cursor->stmt.bind(1, from);
        m_cursors.push_back(std::move(cursor));
    }
    // The conflict log travels in the same stream.
    auto log = std::make_unique<Cursor>(Cursor{
        Statement(db, QStringLiteral("SELECT seq, %1 FROM \"_pell_conflicts\" WHERE seq > ?1 ORDER BY seq")
                          .arg(conflictColumns())),
        false, false});
    log->stmt.bind(1, from);
    m_cursors.push_back(std::move(log));
}
Stream::~Stream() = default;

bool Stream::more() {
    return earliest() >= 0;
}

std::optional<Change> Stream::next() {
    const int best = earliest();
    if (best < 0)
        return std::nullopt;
    Cursor& c = *m_cursors[size_t(best)];
    c.loaded = false;
    if (size_t(best) == m_side.stores.size()) {
        Change change;
        change.table = -1;
        change.conflict = conflictFrom(c.stmt, 1);
        change.seq = c.stmt.int64(0);
        return change;
    }
    TableStore& store = *m_side.stores[size_t(best)];
    const TableInfo& info = store.info();
    Statement& s = c.stmt;
    ShadowRow row;
    row.seq = s.int64(0);
    row.version.bornClock = s.int64(1);
    row.version.bornWriter = s.int64(2);
    row.version.clock = s.int64(3);
    row.version.writer = s.int64(4);
    row.version.deleted = s.int64(5) != 0;
    if (!s.isNull(6))
        row.version.history = parseClocks(s.value(6).toString());
    row.visible = s.int64(7) != 0;
    row.version.parentBornClock = s.int64(8);
    row.version.parentBornWriter = s.int64(9);
    const int keyCount = info.keyed ? int(info.keys.size()) : 2;
    Row key = readRow(s.raw(), 11, keyCount);
    if (info.keyed && row.visible && !row.version.deleted && s.int64(10) != 0) {
        Change change;
        change.table = best;
        change.key = std::move(key);
        change.version = std::move(row.version);
        change.seq = row.seq;
        change.content = readRow(s.raw(), 11 + keyCount, int(store.carried().size()));
        return change;
    }
    if (!info.keyed) {
        row.rid = s.int64(13);
        row.fp = s.value(14).toString();
    }
    return changeOf(store, best, key, row);
}
int Stream::earliest() {
    int best = -1;
    for (size_t t = 0; t < m_cursors.size(); ++t) {
        Cursor& c = *m_cursors[t];
        if (!c.loaded && !c.done) {
            c.loaded = c.stmt.step();
            c.done = !c.loaded;
        }
        if (c.loaded && (best < 0 || c.stmt.int64(0) < m_cursors[size_t(best)]->stmt.int64(0)))
            best = int(t);
    }
    return best;
}
void settleOwnChanges(const Member& member) {
    // A member that cannot be written cannot turn its own changes into versions: its partner would be told
    // it has nothing new. The exchange fails instead, naming the file.
    const QString path = QString::fromUtf8(sqlite3_db_filename(member.db, "main"));
    try {
        if (sqlite3_db_readonly(member.db, "main") == 1)
            throw Error::make(err::ReadOnly, path);
        Transaction tx(member.db, true);
        // Rows are moved one by one: relationships are checked when all have moved.
        exec(member.db, QStringLiteral("PRAGMA defer_foreign_keys = ON"));
        exec(member.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        const bool folded = foldOwnChanges(member.db, member.id);
        if (!settleOwn(member.db, member.id) && !folded)
            return; // nothing to put right: the transaction is rolled back and the file stays as it was
        exec(member.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
        tx.commit();
    } catch (const Error& e) {
        if (path.isEmpty() || e.text().contains(path))
            throw;
        throw Error(e.number(), e.text() + QStringLiteral(" (") + path + u')');
    }
}

// What a change holds in memory, about: its values' bytes.
qint64 sizeOf(const Change& c) {
    const auto bytes = [](const Row& row) {
        qint64 size = 0;
        for (const Value& v : row)
            size += 16 + v.bytes.size();
        return size;
    };
    qint64 size = 64;
    if (c.content)
        size += bytes(*c.content);
    if (c.kept)
        size += bytes(c.kept->content);
    if (c.conflict)
        size += c.conflict->lostRow.size() + c.conflict->keptRow.size();
    return size;
}

// The highest clock a change carries: its version's, the content kept with it, a conflict record's.
qint64 clockOf(const Change& c) {
    if (c.conflict)
        return qMax(c.conflict->loggedClock, c.conflict->stateClock);
    return qMax(c.version.clock, c.kept ? c.kept->version.clock : 0);
}

void refuseClock(const Identity& who, const QString& path, qint64 clock, qint64 wall) {
    const qint64 aheadMs = (clock >> 20) - (wall >> 20);
    throw Error::make(
        err::ClockAhead,
        QStringLiteral(
            "Member \"%1\" (%2, replica %3) carries a clock %4 s (%5 days) ahead of this machine's "
            "time; the limit is %6 minutes. Put the clock of the machine that wrote it right; for a "
            "set whose clocks are already ahead, see pelldb sync --accept-clock-ahead.")
            .arg(who.description, path)
            .arg(who.replicaId)
            .arg(aheadMs / 1000)
            .arg(double(aheadMs) / 86'400'000.0, 0, 'f', 1)
            .arg(MaxClockAheadMs / 60'000));
}

void commitBatch(const Member& receiver, Side& receiverSide, Source* source, const QList<Change>& batch,
                 qint64 senderId, bool settle, std::optional<qint64> position, const Clocks* snapshot,
                 DirectionStats& stats) {
    Transaction write(receiver.db, true);
    exec(receiver.db, QStringLiteral("PRAGMA defer_foreign_keys = ON"));
    exec(receiver.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
    // Changes the receiver's own users made meanwhile become versions before anything is compared.
    const bool folded = foldOwnChanges(receiver.db, receiver.id);
    if (settle || folded)
        settleOwn(receiver.db, receiver.id);
    Receiver receive(receiver.db, receiver.id, receiverSide.pointers(), receiverSide.links, source, stats);
    for (const Change& c : batch)
        receive.apply(c);
    receive.finish();
    if (position)
        storeWatermark(receiver.db, senderId, *position);
    if (snapshot)
        storeKnown(receiver.db, *snapshot, receiver.id);
    exec(receiver.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
    int rc = write.tryCommit();
    if ((rc & 0xff) == SQLITE_CONSTRAINT && sqlite3_get_autocommit(receiver.db) == 0) {
        exec(receiver.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        setAsideBroken(receiver.db, receiver.id, receiverSide, stats);
        exec(receiver.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
        rc = write.tryCommit();
    }
    if (rc != SQLITE_OK)
        throwSqlite(receiver.db, rc);
    ++stats.batches;
    ProgressScope::step({}, stats.received, -1, QStringLiteral("versions"));
}

DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize, qint64 untrusted,
                        bool acceptClockAhead) {
    DirectionStats stats;
    if (batchSize <= 0)
        batchSize = DefaultBatchSize;
    qint64 from = watermark(receiver.db, sender.id);
    const qint64 sent = sentTo(sender.db, receiver.id);
    if (readClock(sender.db).now < from)
        from =
            0; // the sender's changes numbered after it was put back may lie below the mark: read all again
    const Clocks theirs = known(sender.db, sender.id);
    if (!untrusted && covers(known(receiver.db, receiver.id), theirs))
        return stats; // the receiver holds everything the sender holds: nothing is read or written

    auto [senderSide, receiverSide] = paired(sender.db, receiver.db);
    SenderSource source(senderSide);
    for (bool first = true;; first = false) {
        const Clocks holds = known(receiver.db, receiver.id);
        QList<Change> batch;
        batch.reserve(qMin(batchSize, 100000));
        qint64 position = from;
        bool ended = false;
        Clocks snapshot;
        {
            Transaction read(sender.db, false);
            Stream stream(sender.db, senderSide, from, holds, untrusted);
            qint64 bytes = 0;
            const qint64 wall = wallClock();
            while (batch.size() < batchSize && bytes < MaxBatchBytes) {
                std::optional<Change> c = stream.next();
                if (!c) {
                    ended = true;
                    break;
                }
                position = c->seq;
                if (covered(holds, *c, untrusted))
                    continue;
                if (!acceptClockAhead && clockOf(*c) > wall + (MaxClockAheadMs << 20))
                    refuseClock(readIdentity(sender.db).value_or(Identity{}),
                                QString::fromUtf8(sqlite3_db_filename(sender.db, "main")), clockOf(*c), wall);
                bytes += sizeOf(*c);
                batch << std::move(*c);
            }
            ended = ended || !stream.more();
            if (ended)
                snapshot = known(sender.db, sender.id);
        }

        commitBatch(receiver, receiverSide, &source, batch, sender.id, first, position,
                    ended ? &snapshot : nullptr, stats);
        from = position;
        if (ended)
            break;
    }
    // The sender remembers how far the receiver has read it. Only a shortcut for what the receiver keeps: a
    // sender that cannot be written is left as it is.
    if (from != sent) {
        try {
            Transaction note(sender.db, true);
            storeSent(sender.db, receiver.id, from);
            note.commit();
        } catch (const Error&) {
        }
    }
    return stats;
}

} // namespace pell::db::replication
