#pragma once

#include "core/error.h"
#include "db/schema.h"

#include <QDate>
#include <QString>
#include <QVariant>

#include "core/progress.h"

#include <optional>

namespace pell {

namespace db {
class Database;
}

// The closed-task query: every task whose status is not 'A' (a Null status is not selected).
inline const QString ClosedTaskQuery = QStringLiteral("SELECT * FROM ") + db::schema::Scr +
                                       QStringLiteral(" WHERE ") + db::schema::task::Status +
                                       QStringLiteral(" <> 'A'");

struct PurgeOptions {
    QDate today = QDate::currentDate();
    // Whole tasks are deleted in batches, one transaction each: a batch ends after this long, so other
    // users never wait long for the database, or after this many tasks (0: no count limit).
    int batchMilliseconds = 250;
    int batchTasks = 0;
    // Told after each committed batch how many of the old closed tasks have been deleted so far.
    Progress progress;
};

struct PurgeResult {
    qint64 deleted = 0;       // tasks whose deletion was committed
    qint64 skipped = 0;       // closed tasks left alone: unreadable date or number, or changed meanwhile
    qint64 goneMeanwhile = 0; // tasks another user (another purge) deleted after this one read them
    std::optional<Error> stoppedBy; // the failure that ended the purge early
};

// Deletes every closed task whose owner date lies more calendar days back than the day limit in the
// first SYSTEM row (0 or empty: nothing is deleted), each with its attachment and routing rows. A task's
// three deletions are committed together; any failure ends the purge, and the tasks committed before it
// stay deleted. Nothing is reported to the administrator: the result is for the headless command.
PurgeResult purgeClosedTasks(db::Database& db, const PurgeOptions& options = {});

// The calendar days from a stored owner date to today, times of day ignored; nothing for a value that is
// no readable date.
std::optional<qint64> calendarAge(const QVariant& ownerDate, const QDate& today);

// A task number as the deletion statements spell it; nothing for a value that is no whole number.
std::optional<qint64> taskNumber(const QVariant& value);

} // namespace pell
