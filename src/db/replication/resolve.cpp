// What the administrator decides about a conflict: keep what stands, or restore the version that lost.
#include "core/error.h"
#include "db/database.h"
#include "db/replication/conflicts.h"
#include "db/replication/fold.h"
#include "db/replication/member.h"
#include "db/replication/replication.h"
#include "db/transaction.h"

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

ConflictView viewOf(const Conflict& c, bool withVersions) {
    ConflictView v;
    v.id = c.id;
    v.loggedAt = c.loggedAt;
    v.table = c.table;
    v.key = c.keyText;
    v.reason = c.reason;
    v.state = c.state;
    v.member = c.loggedByName;
    v.keptDeleted = c.keptRow.isEmpty();
    v.lostDeleted = c.lostDeleted;
    if (!withVersions)
        return v;
    QStringList keptColumns, lostColumns;
    Row kept, lost;
    decodeRecord(c.keptRow, &keptColumns, &kept);
    decodeRecord(c.lostRow, &lostColumns, &lost);
    v.keptJson = c.keptRow.isEmpty() ? QString() : recordText(c.keptRow);
    v.lostJson = c.lostRow.isEmpty() ? QString() : recordText(c.lostRow);
    v.columns = lostColumns.isEmpty() ? keptColumns : lostColumns;
    for (const QString& column : keptColumns)
        if (!v.columns.contains(column))
            v.columns << column;
    for (const QString& column : v.columns) {
        const qsizetype k = keptColumns.indexOf(column), l = lostColumns.indexOf(column);
        v.kept << (k < 0 ? QString() : kept[size_t(k)].display());
        v.lost << (l < 0 ? QString() : lost[size_t(l)].display());
        v.differs << ((k < 0) != (l < 0) || (k >= 0 && kept[size_t(k)] != lost[size_t(l)]));
    }
    return v;
}

// What stands now is what the conflict kept, whatever it kept when it was logged: a version that later lost
// in turn, or a restore of another conflict of the row, has been replaced since.
// Returns whether anything of the row stands; its content is read only when wanted.
bool keptAsItStands(Side& side, Conflict& c, bool withContent) {
    const int table = side.indexOf(c.table);
    if (table < 0)
        return !c.keptRow.isEmpty(); // no longer followed: as logged
    TableStore& store = *side.stores[size_t(table)];
    const Row key = decodeKey(c.key);
    const std::optional<ShadowRow> s = store.shadow(key);
    c.keptRow.clear();
    c.keptWriter = s ? s->version.writer : 0;
    c.keptClock = s ? s->version.clock : 0;
    c.keptDeleted = !s || s->version.deleted;
    if (!s || !s->visible)
        return false;
    if (!withContent)
        return true;
    if (const std::optional<Row> content = store.content(key, *s))
        c.keptRow = encodeRecord(store.carried(), *content);
    return !c.keptRow.isEmpty();
}

// One more change of this member: the clock moves and the member's latest own change is this one, so the
// decision travels to every member.
qint64 ownTick(sqlite3* db) {
    Clock clock = readClock(db);
    clock.now = qMax(clock.now + 1, wallClock());
    clock.own = qMax(clock.own, clock.now);
    writeClock(db, clock);
    return clock.now;
}

Conflict openConflict(sqlite3* db, qint64 id) {
    const std::optional<Conflict> c = readConflict(db, id);
    if (!c)
        throw Error::make(err::ConflictNotFound, QString::number(id));
    if (c->state != StateOpen)
        throw Error::make(err::ConflictClosed, QStringLiteral("%1 (%2)").arg(id).arg(c->state));
    return *c;
}

[[noreturn]] void wouldBreak(const Conflict& c, const QString& why) {
    throw Error::make(err::ConflictWouldBreak, QStringLiteral("%1 %2: %3").arg(c.table, c.keyText, why));
}

// Writes the lost content into the row: over the standing row, or as the row anew.
void writeLost(sqlite3* db, const Side& side, int table, const Conflict& c, const Row& key, bool standing) {
    TableStore& store = *side.stores[size_t(table)];
    QStringList columns;
    Row values;
    decodeRecord(c.lostRow, &columns, &values);
    // Every row it refers to must stand, declared relationships or not.
    for (const Link& link : side.links) {
        if (link.child.compare(c.table, Qt::CaseInsensitive) != 0)
            continue;
        const int p = side.indexOf(link.parent);
        Row refers;
        for (const QString& column : link.columns) {
            const qsizetype i = columns.indexOf(column);
            if (i >= 0)
                refers.push_back(values[size_t(i)]);
        }
        bool null = refers.size() != size_t(link.columns.size());
        for (const Value& value : refers)
            null |= value.isNull();
        if (null || p < 0)
            continue;
        const std::optional<ShadowRow> ps = side.stores[size_t(p)]->shadow(refers);
        if (!ps || !ps->visible)
            wouldBreak(c, QStringLiteral("the record it refers to in %1 is missing").arg(link.parent));
    }
    QStringList quoted, params, sets, where;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        quoted << q(columns[i]);
        params << QStringLiteral("?%1").arg(i + 1);
        sets << QStringLiteral("%1 = ?%2").arg(q(columns[i])).arg(i + 1);
    }
    for (qsizetype i = 0; i < store.info().keys.size(); ++i)
        where << QStringLiteral("%1 = ?%2").arg(q(store.info().keys[i])).arg(columns.size() + i + 1);
    Statement write(db, standing ? QStringLiteral("UPDATE %1 SET %2 WHERE %3")
                                       .arg(q(c.table), sets.join(u','), where.join(QStringLiteral(" AND ")))
                                 : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                       .arg(q(c.table), quoted.join(u','), params.join(u',')));
    bindRow(write.raw(), 1, values);
    if (standing)
        bindRow(write.raw(), int(columns.size()) + 1, key);
    write.run();
}

// Deletes the row again, unless rows refer to it.
void deleteAgain(const Side& side, int table, const Conflict& c, const Row& key, const ShadowRow& s) {
    TableStore& store = *side.stores[size_t(table)];
    for (const Link& link : side.links) {
        if (link.cascade || link.parent.compare(c.table, Qt::CaseInsensitive) != 0)
            continue;
        const int child = side.indexOf(link.child);
        if (child >= 0 && !side.stores[size_t(child)]->standingWhere(link.columns, key).isEmpty())
            wouldBreak(c, QStringLiteral("records of %1 refer to it").arg(link.child));
    }
    if (s.visible)
        store.deleteRow(key, s);
}

} // namespace

QList<ConflictView> conflicts(Database& db, bool all, bool withVersions) {
    identity(db);
    QList<ConflictView> list;
    std::optional<Side> side;
    if (withVersions)
        side = alone(db.rawHandle());
    for (Conflict& c : readConflicts(db.rawHandle(), all)) {
        // The list alone shows no version: what stands is looked up only for the versions.
        const bool stands = withVersions ? keptAsItStands(*side, c, true) : !c.keptRow.isEmpty();
        list << viewOf(c, withVersions);
        list.back().keptDeleted = !stands;
    }
    return list;
}

ConflictView conflict(Database& db, qint64 id) {
    identity(db);
    std::optional<Conflict> c = readConflict(db.rawHandle(), id);
    if (!c)
        throw Error::make(err::ConflictNotFound, QString::number(id));
    Side side = alone(db.rawHandle());
    keptAsItStands(side, *c, true);
    return viewOf(*c, true);
}

void keepConflict(Database& db, qint64 id) {
    const Identity me = identity(db);
    Transaction tx(db);
    openConflict(db.rawHandle(), id);
    storeState(db.rawHandle(), id, StateKept, ownTick(db.rawHandle()), me.replicaId);
    tx.commit();
}

void restoreConflict(Database& db, qint64 id) {
    const Identity me = identity(db);
    sqlite3* raw = db.rawHandle();
    Transaction tx(db);
    // What this member's users changed last counts as what stands now.
    foldOwnChanges(raw, me.replicaId);
    const Conflict c = openConflict(raw, id);
    Side side = alone(raw);
    const int table = side.indexOf(c.table);
    if (table < 0 || !side.stores[size_t(table)]->info().keyed)
        wouldBreak(c, QStringLiteral("the table is no longer followed"));
    const Row key = decodeKey(c.key);
    const std::optional<ShadowRow> s = side.stores[size_t(table)]->shadow(key);
    const auto is = [&](qint64 writer, qint64 clock) {
        return s && s->version.writer == writer && s->version.clock == clock;
    };
    // The row has not changed since when what stands is what the conflict kept, or what that version lost to
    // in turn, logged as losses of their own; or the lost version itself.
    bool unchanged = is(c.lostWriter, c.lostClock);
    qint64 writer = c.keptWriter, clock = c.keptClock;
    bool keptDeleted = c.keptDeleted || c.keptRow.isEmpty();
    for (int step = 0; !unchanged && writer && step < 64; ++step) {
        unchanged = is(writer, clock);
        const std::optional<Conflict> next = sameLoss(raw, c.table, writer, clock);
        if (unchanged || !next || !next->keptWriter)
            break;
        writer = next->keptWriter;
        clock = next->keptClock;
        keptDeleted = next->keptDeleted || next->keptRow.isEmpty();
    }
    // A deletion forgotten after the retention period: nothing stands, as the conflict left it.
    unchanged = unchanged || (!s && keptDeleted);
    if (!unchanged)
        throw Error::make(err::ConflictChangedSince, QStringLiteral("%1 %2").arg(c.table, c.keyText));
    try {
        // Through the table, as any change of this member: the capture logs it, and the next exchange makes
        // it a version that has seen the one standing.
        if (c.lostDeleted) {
            if (s)
                deleteAgain(side, table, c, key, *s);
        } else {
            writeLost(raw, side, table, c, key, s && s->visible);
        }
    } catch (const Error& e) {
        if (e.number() == err::RelatedRecords || e.number() == err::RelatedRecordRequired)
            wouldBreak(c, e.text());
        throw;
    }
    storeState(raw, id, StateRestored, ownTick(raw), me.replicaId);
    tx.commit();
}

} // namespace pell::db::replication
