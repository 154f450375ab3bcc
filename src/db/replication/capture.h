#pragma once

#include "db/replication/metadata.h"

// Change capture: the shadow and keep tables that follow a user table, and the triggers in plain SQL that
// record every change made through SQLite, by this program or any other, as a new version.
namespace pell::db::replication {

// Reads a user table's key and columns from the schema.
TableInfo describeTable(sqlite3* db, const QString& name);
// The relationships between the given tables: declared foreign keys to a parent's key, and the ones the
// product relies on without declaring them.
QList<Link> describeLinks(sqlite3* db, const QList<TableInfo>& tables);
// Creates the shadow (every existing row a first version made by `me`) and keep tables, registers the table.
void createShadow(sqlite3* db, const TableInfo& table, qint64 me);
// (Re)creates the capture triggers: changes to a keyed table are logged for the fold; changes to a table
// without a key become versions made by replica `me` at once.
void installTriggers(sqlite3* db, const TableInfo& table, qint64 me);
// Records, for rows that exist now, the incarnation of the row each belongs to.
void recordParents(sqlite3* db, const QList<TableInfo>& tables, const QList<Link>& links);
// The cascade relationship in which the table is the child, if any (the first one).
std::optional<Link> cascadeParentOf(const TableInfo& table, const QList<Link>& links);

// SQL text of a keyless row's content fingerprint, reading columns through `alias` (NEW, OLD or a table).
QString fingerprint(const TableInfo& table, const QString& alias);
// SQL text of the clock value of this instant, as wallClock() computes it.
QString wallClockSql();

} // namespace pell::db::replication
