#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct sqlite3;

namespace pell::db {
class Statement;
}

// The conflict log. A conflict is a version that lost and whose content the winner did not keep. It is named
// by its row and the dot of the version that lost, so every member that meets the same loss has the same
// conflict; the log travels with the exchanges, and so does what the administrator decided about it.
namespace pell::db::replication {

struct Conflict {
    qint64 id = 0; // this member's number for it
    QString table;
    QByteArray key; // the row's key, exactly (encodeKey)
    QString keyText;
    QString reason;
    qint64 lostWriter = 0;
    qint64 lostClock = 0;
    bool lostDeleted = false;
    QByteArray lostRow;    // an exact record (encodeRecord); empty for a deletion
    qint64 keptWriter = 0; // 0 when the row was set aside with nothing kept in its place
    qint64 keptClock = 0;
    bool keptDeleted = false;
    QByteArray keptRow;
    QString loggedAt;
    qint64 loggedBy = 0; // the member that logged it first, and when by its clock
    qint64 loggedClock = 0;
    QString loggedByName;
    QString state = QStringLiteral("open"); // open, kept, restored
    qint64 stateClock = 0;                  // when the state was last set, and by whom
    qint64 stateWriter = 0;
    qint64 seq = 0; // where the member holds it in its change stream
};

inline const QString StateOpen = QStringLiteral("open");
inline const QString StateKept = QStringLiteral("kept");
inline const QString StateRestored = QStringLiteral("restored");

// The columns readConflict reads, for a cursor over the log.
QString conflictColumns();
Conflict conflictFrom(const Statement& s, int first);

QList<Conflict> readConflicts(sqlite3* db, bool all);
std::optional<Conflict> readConflict(sqlite3* db, qint64 id);
// The record of a loss: the version that lost, named by its table and dot (one version belongs to one row).
std::optional<Conflict> sameLoss(sqlite3* db, const QString& table, qint64 lostWriter, qint64 lostClock);
// Inserts a conflict logged here; false when the member has it already.
bool insertConflict(sqlite3* db, const Conflict& c);
// Brings in a partner's record: the first logging and the latest decision win, the same on every member.
// Returns whether the member's log changed.
bool mergeConflict(sqlite3* db, const Conflict& incoming, qint64 seq);
void storeState(sqlite3* db, qint64 id, const QString& state, qint64 clock, qint64 writer);

} // namespace pell::db::replication
