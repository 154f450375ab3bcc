#pragma once

#include "db/replication.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

struct sqlite3;

// Change capture of a replicable database: the engine tables that describe the replica and the shadow
// table and triggers that follow every user table.
namespace pell::db::replication::capture {

// One replicated user table as registered at conversion.
struct TableInfo {
    QString name;        // the user table
    QString shadow;      // its shadow table: one row per row identity, tombstones included
    bool keyed = true;   // identity is the primary key; otherwise a generated (origin, number) pair
    QStringList keys;    // key columns of a keyed table
    QStringList columns; // the columns at conversion (the content fingerprint of a keyless table)
};

// A version vector: how many changes each replica has made to a row.
using Vector = QMap<qint64, qint64>;
QString vectorText(const Vector& v);
Vector parseVector(const QString& text);

void exec(sqlite3* db, const QString& sql);

std::optional<Identity> readIdentity(sqlite3* db);
QList<TableInfo> registeredTables(sqlite3* db);

// The engine tables of a replicable database.
void createMetadata(sqlite3* db, qint64 setId, qint64 replicaId, const QString& description);
// Reads a user table's key and columns from the schema.
TableInfo describeTable(sqlite3* db, const QString& name);
// Creates the shadow table, records every existing row as a first version made by `me`, registers it.
void createShadow(sqlite3* db, const TableInfo& table, qint64 me);
// (Re)creates the capture triggers that record changes as made by replica `me`.
void installTriggers(sqlite3* db, const TableInfo& table, qint64 me);

// SQL text of a keyless row's content fingerprint, reading columns through `alias` (NEW, OLD or a table).
QString fingerprint(const TableInfo& table, const QString& alias);

// Names of the engine tables.
inline const QString ReplicaTable = QStringLiteral("_pell_replica");
inline const QString TablesTable = QStringLiteral("_pell_tables");
inline const QString WatermarkTable = QStringLiteral("_pell_watermarks");
inline const QString ConflictTable = QStringLiteral("_pell_conflicts");
inline const QString ApplyingTable = QStringLiteral("_pell_applying");

} // namespace pell::db::replication::capture
