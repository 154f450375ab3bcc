#include "system/purge.h"

#include "db/database.h"
#include "db/schema.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTime>

#include <cmath>
#include <vector>

namespace pell {

namespace {

const QString DeletingText = QStringLiteral("Deleting closed tasks");

struct Task {
    qint64 rowid = 0;
    qint64 number = 0;
    QVariant ownerDate;
};

// The day limit of the first options row; nothing when it is empty. A table without rows is an error, as
// reading a field of no record is.
std::optional<double> dayLimit(db::Database& db) {
    db::Statement first =
        db.prepare(QStringLiteral("SELECT %1 FROM %2 ORDER BY rowid LIMIT 1")
                       .arg(db::schema::options::MaxStorage, db::quoteIdentifier(db::schema::System)));
    if (!first.step())
        throw Error::make(err::NoCurrentRecord, db::schema::System);
    const QVariant value = first.value(0);
    if (value.isNull())
        return std::nullopt;
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray) {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return std::nullopt;
        bool ok = false;
        const double number = text.toDouble(&ok);
        if (!ok)
            throw Error::make(err::InvalidOperation, QStringLiteral("(the day limit is not a number)"));
        return number;
    }
    return value.toDouble();
}

int columnIndex(const db::Statement& stmt, const QString& name) {
    for (int i = 0; i < stmt.columnCount(); ++i) {
        if (stmt.columnName(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    throw Error::make(err::ItemNotFound, name);
}

// The closed tasks older than the limit, read in one pass before anything is deleted.
std::vector<Task> oldClosedTasks(db::Database& db, double limit, const QDate& today, PurgeResult& result) {
    // The query as the record set runs it: the same rows, with the identity of each.
    db::Statement query = db.prepare(QStringLiteral("SELECT rowid, ") +
                                     ClosedTaskQuery.sliced(QStringLiteral("SELECT ").size()));
    const int numberColumn = columnIndex(query, db::schema::task::Number);
    const int dateColumn = columnIndex(query, db::schema::task::OwnerDateIn);
    std::vector<Task> tasks;
    while (query.step()) {
        const QVariant ownerDate = query.value(dateColumn);
        const std::optional<qint64> age = calendarAge(ownerDate, today);
        if (!age) {
            if (!ownerDate.isNull())
                ++result.skipped;
            continue; // no owner date, or none that can be read: never deleted
        }
        if (!(double(*age) > limit))
            continue;
        const std::optional<qint64> number = taskNumber(query.value(numberColumn));
        if (!number) {
            ++result.skipped;
            continue;
        }
        tasks.push_back({query.int64(0), *number, ownerDate});
    }
    return tasks;
}

// A batch dirties far more pages than the engine's default cache holds; spilling them mid-transaction
// would force the journal to disk again and again. The connection gets its usual cache back afterwards.
class LargerCache {
public:
    explicit LargerCache(db::Database& db)
        : m_db(db), m_saved(db.scalar(QStringLiteral("PRAGMA cache_size"))) {
        m_db.execute(QStringLiteral("PRAGMA cache_size=-65536"));
    }
    ~LargerCache() {
        try {
            m_db.execute(QStringLiteral("PRAGMA cache_size=") + QString::number(m_saved.toLongLong()));
        } catch (const Error&) {
            // The connection keeps the larger cache; nothing else depends on its size.
        }
    }
    LargerCache(const LargerCache&) = delete;
    LargerCache& operator=(const LargerCache&) = delete;

private:
    db::Database& m_db;
    QVariant m_saved;
};

void deleteTasks(db::Database& db, const std::vector<Task>& tasks, const PurgeOptions& options,
                 PurgeResult& result) {
    // The row goes only if it is still the closed task that was read: one reopened or re-dated by another
    // user since is left alone.
    db::Statement deleteTask =
        db.prepare(QStringLiteral("DELETE FROM %1 WHERE rowid = ?1 AND %2 <> 'A' AND %3 IS ?2")
                       .arg(db::schema::Scr, db::schema::task::Status, db::schema::task::OwnerDateIn));
    // The two statements as the purge has always spelled them, the task number bound as a whole number.
    db::Statement deleteAttachments = db.prepare(
        QStringLiteral("DELETE FROM %1 Where %2 = ?1").arg(db::schema::Attach, db::schema::task::Number));
    db::Statement deleteRoutes = db.prepare(
        QStringLiteral("DELETE FROM %1 Where %2 = ?1").arg(db::schema::Route, db::schema::task::Number));
    db::Statement changes = db.prepare(QStringLiteral("SELECT changes()"));
    db::Statement stillThere = db.prepare(QStringLiteral("SELECT 1 FROM SCR WHERE rowid = ?1"));
    size_t next = 0;
    while (next < tasks.size()) {
        db::Transaction transaction(db);
        QElapsedTimer clock;
        clock.start();
        qint64 deleted = 0;
        qint64 skipped = 0;
        qint64 vanished = 0;
        while (next < tasks.size()) {
            const Task& task = tasks[next++];
            deleteTask.bindAll({task.rowid, task.ownerDate}).run();
            changes.step();
            const bool gone = changes.int64(0) > 0;
            changes.reset();
            if (gone) {
                deleteAttachments.bind(1, task.number).run();
                deleteRoutes.bind(1, task.number).run();
                ++deleted;
            } else {
                // Deleted by someone else meanwhile (a second purge) is not the same as changed.
                stillThere.bind(1, task.rowid);
                if (stillThere.step())
                    ++skipped;
                else
                    ++vanished;
                stillThere.reset();
            }
            if (clock.elapsed() >= options.batchMilliseconds ||
                (options.batchTasks > 0 && deleted + skipped + vanished >= options.batchTasks))
                break;
        }
        transaction.commit();
        result.deleted += deleted;
        result.skipped += skipped;
        result.goneMeanwhile += vanished;
        report(options.progress, ProgressReport::Stage::Step, DeletingText, result.deleted,
               qint64(tasks.size()));
    }
}

} // namespace

std::optional<qint64> calendarAge(const QVariant& ownerDate, const QDate& today) {
    if (ownerDate.isNull())
        return std::nullopt;
    QDate date;
    switch (ownerDate.typeId()) {
    case QMetaType::QDate:
        date = ownerDate.toDate();
        break;
    case QMetaType::QDateTime:
        date = ownerDate.toDateTime().date();
        break;
    case QMetaType::QString: {
        // Stored as 'yyyy-MM-dd HH:mm:ss'; a bare date and the ISO 'T' separator are read too.
        const QString text = ownerDate.toString().trimmed();
        date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
        if (text.size() > 10) {
            const QChar separator = text.at(10);
            if (separator != u' ' && separator != u'T')
                return std::nullopt;
            if (!QTime::fromString(text.sliced(11), Qt::ISODateWithMs).isValid())
                return std::nullopt;
        }
        break;
    }
    default:
        return std::nullopt;
    }
    if (!date.isValid())
        return std::nullopt;
    return date.daysTo(today);
}

std::optional<qint64> taskNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
        return value.toLongLong();
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15)
            return qint64(d);
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

PurgeResult purgeClosedTasks(db::Database& db, const PurgeOptions& options) {
    PurgeResult result;
    try {
        const std::optional<double> limit = dayLimit(db);
        // 0 switches the purge off; an empty limit selects nothing either.
        if (!limit || *limit == 0)
            return result;
        const std::vector<Task> tasks = oldClosedTasks(db, *limit, options.today, result);
        if (tasks.empty())
            return result;
        const LargerCache cache(db);
        report(options.progress, ProgressReport::Stage::Started, DeletingText, 0, qint64(tasks.size()));
        const auto finished = qScopeGuard([&] { report(options.progress, ProgressReport::Stage::Finished); });
        deleteTasks(db, tasks, options, result);
    } catch (const Error& error) {
        result.stoppedBy = error;
    }
    return result;
}

} // namespace pell
