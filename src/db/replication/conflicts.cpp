#include "db/replication/conflicts.h"

#include "db/statement.h"

#include <sqlite3.h>

#include <tuple>

namespace pell::db::replication {

namespace {

const QString Columns = QStringLiteral(
    "id, seq, tbl, row_key, key_text, reason, lost_writer, lost_clock, lost_deleted, lost_row, kept_writer, "
    "kept_clock, kept_deleted, kept_row, logged_at, logged_by, logged_clock, logged_by_name, state, "
    "state_clock, "
    "state_writer");

QVariant blob(const QByteArray& bytes) {
    return bytes.isEmpty() ? QVariant() : QVariant(bytes);
}

QVariant optional(qint64 v) {
    return v ? QVariant(v) : QVariant();
}

} // namespace

QString conflictColumns() {
    return Columns;
}

Conflict conflictFrom(const Statement& s, int f) {
    Conflict c;
    c.id = s.int64(f);
    c.seq = s.int64(f + 1);
    c.table = s.value(f + 2).toString();
    c.key = s.value(f + 3).toByteArray();
    c.keyText = s.value(f + 4).toString();
    c.reason = s.value(f + 5).toString();
    c.lostWriter = s.int64(f + 6);
    c.lostClock = s.int64(f + 7);
    c.lostDeleted = s.int64(f + 8) != 0;
    c.lostRow = s.value(f + 9).toByteArray();
    c.keptWriter = s.int64(f + 10);
    c.keptClock = s.int64(f + 11);
    c.keptDeleted = s.int64(f + 12) != 0;
    c.keptRow = s.value(f + 13).toByteArray();
    c.loggedAt = s.value(f + 14).toString();
    c.loggedBy = s.int64(f + 15);
    c.loggedClock = s.int64(f + 16);
    c.loggedByName = s.value(f + 17).toString();
    c.state = s.value(f + 18).toString();
    c.stateClock = s.int64(f + 19);
    c.stateWriter = s.int64(f + 20);
    return c;
}

QList<Conflict> readConflicts(sqlite3* db, bool all) {
    QList<Conflict> list;
    Statement s(db, QStringLiteral("SELECT %1 FROM \"_pell_conflicts\" %2 ORDER BY logged_at, id")
                        .arg(Columns, all ? QString() : QStringLiteral("WHERE state = 'open'")));
    while (s.step())
        list << conflictFrom(s, 0);
    return list;
}

std::optional<Conflict> readConflict(sqlite3* db, qint64 id) {
    Statement s(db, QStringLiteral("SELECT %1 FROM \"_pell_conflicts\" WHERE id = ?1").arg(Columns));
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return conflictFrom(s, 0);
}

std::optional<Conflict> sameLoss(sqlite3* db, const QString& table, qint64 lostWriter, qint64 lostClock) {
    // A version belongs to one row: its dot and its table name the loss, whatever spelling of the key the
    // member that logged it met it under (text keys compare as their columns do, case aside).
    Statement find(db,
                   QStringLiteral("SELECT %1 FROM \"_pell_conflicts\" WHERE lost_writer = ?1 AND lost_clock "
                                  "= ?2 AND tbl = ?3 COLLATE NOCASE ORDER BY id LIMIT 1")
                       .arg(Columns));
    find.bindAll({lostWriter, lostClock, table});
    if (!find.step())
        return std::nullopt;
    return conflictFrom(find, 0);
}

bool insertConflict(sqlite3* db, const Conflict& c) {
    if (sameLoss(db, c.table, c.lostWriter, c.lostClock))
        return false;
    Statement s(db, QStringLiteral(
                        "INSERT OR IGNORE INTO \"_pell_conflicts\" (seq, tbl, row_key, key_text, reason, "
                        "lost_writer, lost_clock, lost_deleted, lost_row, kept_writer, kept_clock, "
                        "kept_deleted, kept_row, logged_at, logged_by, logged_clock, logged_by_name, state, "
                        "state_clock, state_writer) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
                        "?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20)"));
    s.bindAll({c.seq,
               c.table,
               c.key,
               c.keyText,
               c.reason,
               c.lostWriter,
               c.lostClock,
               c.lostDeleted ? 1 : 0,
               blob(c.lostRow),
               optional(c.keptWriter),
               optional(c.keptClock),
               c.keptWriter ? QVariant(c.keptDeleted ? 1 : 0) : QVariant(),
               blob(c.keptRow),
               c.loggedAt,
               c.loggedBy,
               c.loggedClock,
               c.loggedByName,
               c.state,
               c.stateClock,
               c.stateWriter});
    s.run();
    return sqlite3_changes(db) > 0;
}

bool mergeConflict(sqlite3* db, const Conflict& incoming, qint64 seq) {
    const std::optional<Conflict> found =
        sameLoss(db, incoming.table, incoming.lostWriter, incoming.lostClock);
    if (!found) {
        Conflict c = incoming;
        c.seq = seq;
        return insertConflict(db, c);
    }
    const Conflict& held = *found;
    // The record as first logged, whoever logged it first; of two decisions, a restore over a keep (it wrote
    // the lost version again, after seeing what it had lost to, so that version stands everywhere), else the
    // later one.
    Conflict merged = std::make_tuple(incoming.loggedClock, incoming.loggedBy) <
                              std::make_tuple(held.loggedClock, held.loggedBy)
                          ? incoming
                          : held;
    const auto rank = [](const Conflict& c) {
        return std::make_tuple(c.state == StateRestored, c.stateClock, c.stateWriter);
    };
    const Conflict& decided = rank(incoming) > rank(held) ? incoming : held;
    merged.state = decided.state;
    merged.stateClock = decided.stateClock;
    merged.stateWriter = decided.stateWriter;
    if (std::make_tuple(merged.loggedClock, merged.loggedBy, merged.stateClock, merged.stateWriter,
                        merged.state) ==
        std::make_tuple(held.loggedClock, held.loggedBy, held.stateClock, held.stateWriter, held.state))
        return false;
    Statement update(
        db, QStringLiteral("UPDATE \"_pell_conflicts\" SET seq = ?2, reason = ?3, kept_writer = ?4, "
                           "kept_clock = ?5, kept_deleted = ?6, kept_row = ?7, lost_deleted = ?8, "
                           "lost_row = ?9, key_text = ?10, logged_at = ?11, logged_by = ?12, "
                           "logged_clock = ?13, logged_by_name = ?14, state = ?15, state_clock = ?16, "
                           "state_writer = ?17 WHERE id = ?1"));
    update.bindAll({held.id, seq, merged.reason, optional(merged.keptWriter), optional(merged.keptClock),
                    merged.keptWriter ? QVariant(merged.keptDeleted ? 1 : 0) : QVariant(),
                    blob(merged.keptRow), merged.lostDeleted ? 1 : 0, blob(merged.lostRow), merged.keyText,
                    merged.loggedAt, merged.loggedBy, merged.loggedClock, merged.loggedByName, merged.state,
                    merged.stateClock, merged.stateWriter});
    update.run();
    // The key as first logged too, unless a record of an earlier engine already holds that spelling.
    Statement key(db, QStringLiteral("UPDATE OR IGNORE \"_pell_conflicts\" SET row_key = ?2 WHERE id = ?1"));
    key.bindAll({held.id, merged.key});
    key.run();
    return true;
}

void storeState(sqlite3* db, qint64 id, const QString& state, qint64 clock, qint64 writer) {
    Statement s(
        db, QStringLiteral("UPDATE \"_pell_conflicts\" SET state = ?2, state_clock = ?3, state_writer = ?4, "
                           "seq = ?3 WHERE id = ?1"));
    s.bindAll({id, state, clock, writer});
    s.run();
}

} // namespace pell::db::replication
