#pragma once

#include "db/replication/replication.h"
#include "db/replication/versions.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct sqlite3;

// The engine tables of a member of a replica set: who it is, its clock, what it has seen of others, the
// tables it follows and the relationships between them.
namespace pell::db::replication {

// One replicated user table as registered at conversion.
struct TableInfo {
    qint64 id = 0;       // how the change log names the table
    QString name;        // the user table
    QString shadow;      // one row per row identity: its winning version, tombstones included
    QString keep;        // rows that exist in the replica set but are not in the table (keyed tables only)
    bool keyed = true;   // identity is the primary key; otherwise a generated (origin, number) pair
    QStringList keys;    // key columns of a keyed table
    QStringList columns; // the columns at conversion
    bool restrictParent = false; // a restrict relationship refers to it: its deletions keep the content
};

// A relationship between two replicated tables: child columns refer to the parent's key. A restrict
// relationship keeps a referred row alive; a cascade relationship takes the child rows with their parent.
struct Link {
    QString child;
    QStringList columns;
    QString parent;
    bool cascade = false;
};

// The clock of a member: a hybrid logical clock (milliseconds since 1970 shifted left by 20 bits, plus a
// counter), the clock of its latest own change, and how far its own changes have been checked.
struct Clock {
    qint64 now = 0;
    qint64 own = 0;
    qint64 settled = 0;
};

namespace names {
inline const QString Replica = QStringLiteral("_pell_replica");
inline const QString ClockTable = QStringLiteral("_pell_clock");
inline const QString Tables = QStringLiteral("_pell_tables");
inline const QString Links = QStringLiteral("_pell_links");
inline const QString Watermarks = QStringLiteral("_pell_watermarks");
inline const QString Sent = QStringLiteral("_pell_sent");
inline const QString Known = QStringLiteral("_pell_known");
inline const QString Conflicts = QStringLiteral("_pell_conflicts");
inline const QString Applying = QStringLiteral("_pell_applying");
inline const QString Log = QStringLiteral("_pell_log");
inline const QString File = QStringLiteral("_pell_file");
} // namespace names

// The layout of the engine tables this engine writes. Files with an older layout are refused.
inline constexpr int Format = 2;
// Key columns a table may have for its changes to be logged; a table with more is followed by content.
inline constexpr int MaxLoggedKeys = 8;

void exec(sqlite3* db, const QString& sql);

std::optional<Identity> readIdentity(sqlite3* db);
// Throws 3250 when the file is not a member, and the outdated-format error for a member of an older layout.
Identity requireIdentity(sqlite3* db, const QString& path);

void createMetadata(sqlite3* db, qint64 setId, qint64 replicaId, const QString& description);

// The file a member was in when it last recorded it (device and inode, and its clock then): a member whose
// file is another one is a copy (or a restore) and takes a new identity before it writes any version.
struct FileMark {
    qint64 device = 0;
    qint64 inode = 0;
    qint64 clock = 0;
};
std::optional<FileMark> fileMark(sqlite3* db);
// The mark of the file the connection has open now (clock left 0); none for a file in memory.
std::optional<FileMark> currentFile(sqlite3* db);
void storeFileMark(sqlite3* db, const FileMark& mark);

QList<TableInfo> registeredTables(sqlite3* db);
void registerTable(sqlite3* db, const TableInfo& table);
QList<Link> links(sqlite3* db);
void registerLink(sqlite3* db, const Link& link);

Clock readClock(sqlite3* db);
void writeClock(sqlite3* db, const Clock& clock);
// The clock value of this instant: milliseconds since 1970 shifted left by 20 bits. PELL_TEST_NOW_MS, when
// set, stands for this machine's time (tests of wrong clocks).
qint64 wallClock();

// What a member holds: every version of writer w with clock up to known[w] (or one that replaced it),
// its own changes included.
Clocks known(sqlite3* db, qint64 me);
void storeKnown(sqlite3* db, const Clocks& clocks, qint64 me);

// How far the receiver has read a sender's change stream, kept in the receiver, and as the sender last saw
// it, kept in the sender.
qint64 watermark(sqlite3* db, qint64 sender);
void storeWatermark(sqlite3* db, qint64 sender, qint64 seq);
qint64 sentTo(sqlite3* db, qint64 receiver);
void storeSent(sqlite3* db, qint64 receiver, qint64 seq);

} // namespace pell::db::replication
