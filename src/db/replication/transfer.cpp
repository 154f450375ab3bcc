#include "db/replication/transfer.h"

#include "db/error.h"
#include "db/replication/receiver.h"

#include <QHash>

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

QStringList currentColumns(sqlite3* db, const QString& table) {
    QStringList columns;
    Statement info(db,
                   QStringLiteral("SELECT name FROM pragma_table_xinfo(?1) WHERE hidden = 0 ORDER BY cid"));
    info.bind(1, table);
    while (info.step())
        columns << info.value(0).toString();
    return columns;
}

bool containsAll(const QStringList& list, const QStringList& items) {
    for (const QString& i : items)
        if (!list.contains(i, Qt::CaseInsensitive))
            return false;
    return true;
}

// The tables one member follows, as stores over the columns it shares with the partner.
struct Side {
    std::vector<std::unique_ptr<TableStore>> stores;
    QList<Link> links;
    std::vector<TableStore*> pointers() const {
        std::vector<TableStore*> list;
        for (const auto& s : stores)
            list.push_back(s.get());
        return list;
    }
};

// A member alone: every table it follows, with every column it has.
Side alone(sqlite3* db) {
    Side side;
    for (const TableInfo& t : registeredTables(db)) {
        const QStringList present = currentColumns(db, t.name);
        QStringList carried;
        for (const QString& c : t.columns)
            if (present.contains(c, Qt::CaseInsensitive))
                carried << c;
        side.stores.push_back(std::make_unique<TableStore>(db, t, carried));
    }
    side.links = links(db);
    return side;
}

// The tables both members follow, each side's store over the same columns in the same order.
std::pair<Side, Side> paired(sqlite3* sender, sqlite3* receiver) {
    QHash<QString, TableInfo> theirs;
    for (const TableInfo& t : registeredTables(sender))
        theirs.insert(t.name.toLower(), t);
    Side s, r;
    for (const TableInfo& mine : registeredTables(receiver)) {
        if (!theirs.contains(mine.name.toLower()))
            continue; // followed on one side only: nothing to exchange
        const TableInfo other = theirs.value(mine.name.toLower());
        if (mine.keyed != other.keyed || mine.keys.size() != other.keys.size() ||
            !containsAll(other.keys, mine.keys))
            continue;
        const QStringList here = currentColumns(receiver, mine.name);
        const QStringList there = currentColumns(sender, other.name);
        QStringList carried;
        for (const QString& c : mine.columns)
            if (here.contains(c, Qt::CaseInsensitive) && there.contains(c, Qt::CaseInsensitive) &&
                other.columns.contains(c, Qt::CaseInsensitive))
                carried << c;
        if (mine.keyed && !containsAll(carried, mine.keys))
            continue;
        TableInfo senderInfo = other;
        if (!mine.keyed)
            senderInfo.columns = mine.columns; // a keyless row is found by the content both know
        r.stores.push_back(std::make_unique<TableStore>(receiver, mine, carried));
        s.stores.push_back(std::make_unique<TableStore>(sender, senderInfo, carried));
    }
    for (const Link& link : links(receiver)) {
        bool child = false, parent = false;
        for (const auto& store : r.stores) {
            child |= store->info().name.compare(link.child, Qt::CaseInsensitive) == 0;
            parent |= store->info().name.compare(link.parent, Qt::CaseInsensitive) == 0;
        }
        if (child && parent)
            r.links << link;
    }
    return {std::move(s), std::move(r)};
}

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

// The sender's change stream: every table's shadow rows after a change number, merged in change order, which
// is the order in which the sender committed them.
class Stream {
public:
    Stream(sqlite3* db, Side& side, qint64 from) : m_side(side) {
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
                sql =
                    QStringLiteral(
                        "SELECT S.seq, S.bc, S.bw, S.c, S.w, S.del, S.hist, S.vis, S.pbc, S.pbw, "
                        "T.%1 IS NOT NULL, %2, %3 FROM %4 S LEFT JOIN %5 T ON S.vis = 1 AND S.del = 0 AND %6 "
                        "WHERE S.seq > ?1 ORDER BY S.seq")
                        .arg(q(info.keys.constFirst()), keys.join(u','), cols.join(u','), q(info.shadow),
                             q(info.name), join.join(QStringLiteral(" AND ")));
            } else {
                sql = QStringLiteral(
                          "SELECT S.seq, S.bc, S.bw, S.c, S.w, S.del, S.hist, S.vis, S.pbc, S.pbw, 0, "
                          "S.gor, S.gno, S.rid, S.fp FROM %1 S WHERE S.seq > ?1 ORDER BY S.seq")
                          .arg(q(info.shadow));
            }
            auto cursor = std::make_unique<Cursor>(Cursor{Statement(db, sql), false, false});
            cursor->stmt.bind(1, from);
            m_cursors.push_back(std::move(cursor));
        }
    }

    // Whether anything is left to read.
    bool more() { return earliest() >= 0; }

    std::optional<Change> next() {
        const int best = earliest();
        if (best < 0)
            return std::nullopt;
        Cursor& c = *m_cursors[size_t(best)];
        c.loaded = false;
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
        row.version.history = parseClocks(s.value(6).toString());
        row.visible = s.int64(7) != 0;
        row.version.parentBornClock = s.int64(8);
        row.version.parentBornWriter = s.int64(9);
        const int keyCount = info.keyed ? int(info.keys.size()) : 2;
        const Row key = readRow(s.raw(), 11, keyCount);
        if (info.keyed && row.visible && !row.version.deleted && s.int64(10) != 0) {
            Change change;
            change.table = best;
            change.key = key;
            change.version = row.version;
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

private:
    struct Cursor {
        Statement stmt;
        bool loaded;
        bool done;
    };

    int earliest() {
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

    Side& m_side;
    std::vector<std::unique_ptr<Cursor>> m_cursors;
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

// Whether the receiver holds the version (or one above it) by what it knows it holds. What a member put back
// from an older copy says of its own writes is not trusted: it may have lost some of them.
bool covered(const Clocks& known, const Change& c, qint64 untrusted) {
    const auto holds = [&](qint64 writer, qint64 clock) {
        return writer != untrusted && known.value(writer) >= clock;
    };
    return holds(c.version.writer, c.version.clock) &&
           (!c.kept || holds(c.kept->version.writer, c.kept->version.clock));
}

// Rows of the member's own changes since the last check, and deleted rows that stand for others, checked
// again. Runs inside the caller's write transaction.
bool settleOwn(sqlite3* db, qint64 me) {
    Side side = alone(db);
    DirectionStats ignored;
    const Clock clock = readClock(db);
    Receiver check(db, me, 0, side.pointers(), side.links, nullptr, ignored);
    for (size_t t = 0; t < side.stores.size(); ++t) {
        TableStore& store = *side.stores[t];
        if (!store.info().keyed)
            continue;
        for (const Row& key : store.ownChangesAfter(clock.settled, me))
            check.recheck(int(t), key);
        if (store.info().restrictParent)
            for (const Row& key : store.standingDeleted())
                check.recheck(int(t), key);
    }
    const bool changed = check.finish();
    Clock after = readClock(db);
    after.settled = after.now;
    writeClock(db, after);
    return changed;
}

// Rows that a committed batch would leave referring to nothing (the checks above missed them) are set aside,
// never lost: the batch still commits.
void setAsideBroken(sqlite3* db, qint64 me, qint64 partner, Side& side, DirectionStats& stats) {
    Receiver repair(db, me, partner, side.pointers(), side.links, nullptr, stats);
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

void settleOwnChanges(const Member& member) {
    try {
        Transaction tx(member.db, true);
        exec(member.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        if (!settleOwn(member.db, member.id))
            return; // nothing to put right: the transaction is rolled back and the file stays as it was
        exec(member.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
        tx.commit();
    } catch (const Error& e) {
        if (e.number() != err::ReadOnly)
            throw;
    }
}

qint64 putBack(const Member& a, const Member& b) {
    // A member put back from an older copy is behind what its partner remembers of their exchanges: it has
    // read less of the partner than the partner has seen it read, or shown less than the partner has read.
    const auto behind = [](const Member& m, const Member& partner) {
        return watermark(m.db, partner.id) < sentTo(partner.db, m.id) ||
               sentTo(m.db, partner.id) < watermark(partner.db, m.id);
    };
    return behind(a, b) ? a.id : behind(b, a) ? b.id : 0;
}

DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize, qint64 untrusted) {
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
        qint64 position = from;
        bool ended = false;
        Clocks snapshot;
        {
            Transaction read(sender.db, false);
            Stream stream(sender.db, senderSide, from);
            while (batch.size() < batchSize) {
                std::optional<Change> c = stream.next();
                if (!c) {
                    ended = true;
                    break;
                }
                position = c->seq;
                if (!covered(holds, *c, untrusted))
                    batch << std::move(*c);
            }
            ended = ended || !stream.more();
            if (ended)
                snapshot = known(sender.db, sender.id);
        }

        Transaction write(receiver.db, true);
        exec(receiver.db, QStringLiteral("PRAGMA defer_foreign_keys = ON"));
        exec(receiver.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        if (first)
            settleOwn(receiver.db, receiver.id);
        Receiver receive(receiver.db, receiver.id, sender.id, receiverSide.pointers(), receiverSide.links,
                         &source, stats);
        for (const Change& c : batch)
            receive.apply(c);
        receive.finish();
        storeWatermark(receiver.db, sender.id, position);
        if (ended)
            storeKnown(receiver.db, snapshot, receiver.id);
        exec(receiver.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
        int rc = write.tryCommit();
        if ((rc & 0xff) == SQLITE_CONSTRAINT && sqlite3_get_autocommit(receiver.db) == 0) {
            exec(receiver.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
            setAsideBroken(receiver.db, receiver.id, sender.id, receiverSide, stats);
            exec(receiver.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
            rc = write.tryCommit();
        }
        if (rc != SQLITE_OK)
            throwSqlite(receiver.db, rc);
        ++stats.batches;
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
