// The closed-task purge on real database files: which tasks go, that their attachments and routing steps go
// with them, and that a failure never leaves half a task behind.
#include "db/database.h"
#include "support/test_support.h"
#include "system/purge.h"

#include <QDate>
#include <QFile>
#include <QtTest>

#include <sqlite3.h>

using namespace pell;
using namespace pell::test;

namespace {

const QDate Today(2026, 6, 15);

QString stamp(int daysBack, const char* time = "12:00:00") {
    return Today.addDays(-daysBack).toString(u"yyyy-MM-dd "_s) + QString::fromLatin1(time);
}

QString sqlValue(const QVariant& v) {
    if (v.isNull())
        return u"NULL"_s;
    if (v.typeId() == QMetaType::QString)
        return u'\'' + v.toString() + u'\'';
    return v.toString();
}

// A task with 3 attachment rows and 5 routing rows.
QString taskSql(qint64 number, const QVariant& status, const QVariant& ownerDate) {
    QString sql = QStringLiteral("INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_OWNER_DATE_IN) "
                                 "VALUES (%1, 'task', %2, %3);")
                      .arg(number)
                      .arg(sqlValue(status), sqlValue(ownerDate));
    for (int i = 0; i < 3; ++i)
        sql += u"INSERT INTO ATTACH (SCR_Number, File_Name) VALUES (%1, 'f');"_s.arg(number);
    for (int i = 0; i < 5; ++i)
        sql += u"INSERT INTO ROUTE (SCR_Number, Route_Note) VALUES (%1, 'r');"_s.arg(number);
    return sql;
}

qint64 count(const QString& path, const QString& sql) {
    return scalarRaw(path, sql).toLongLong();
}

bool taskExists(const QString& path, qint64 n) {
    return count(path, u"SELECT count(*) FROM SCR WHERE SCR_Number = %1"_s.arg(n)) == 1;
}

qint64 orphans(const QString& path) {
    return count(path, QStringLiteral("SELECT (SELECT count(*) FROM ATTACH WHERE SCR_Number NOT IN "
                                      "(SELECT SCR_Number FROM SCR)) + (SELECT count(*) FROM ROUTE WHERE "
                                      "SCR_Number NOT IN (SELECT SCR_Number FROM SCR))"));
}

// The attachment and routing rows of a task are all there (8) or all gone (0).
qint64 rowsOf(const QString& path, qint64 n) {
    return count(path, QStringLiteral("SELECT (SELECT count(*) FROM ATTACH WHERE SCR_Number = %1) + "
                                      "(SELECT count(*) FROM ROUTE WHERE SCR_Number = %1)")
                           .arg(n));
}

// A database without the sample tasks, the day limit set to `limit` and the tasks of `tasks` added.
QString makeDb(Fixture& f, const QString& limit, const QString& tasks) {
    const QString path = f.makeSharedDb(u"pell.mdb"_s, false);
    execRaw(path, u"UPDATE \"SYSTEM\" SET MAX_STORAGE = %1;"_s.arg(limit) + tasks);
    return path;
}

PurgeResult purge(const QString& path, PurgeOptions options = {}) {
    options.today = Today;
    auto db = db::Database::open(path);
    return purgeClosedTasks(*db, options);
}

} // namespace

class PurgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void calendarAgeIgnoresTimesOfDay() {
        QCOMPARE(calendarAge(stamp(0, "00:00:01"), Today).value_or(-999), qint64(0));
        QCOMPARE(calendarAge(u"2026-06-14T08:30:00"_s, Today).value_or(-999), qint64(1));
        QVERIFY(!calendarAge(u"2026-02-30 10:00:00"_s, Today));
        QVERIFY(!calendarAge(u"2026-06-14 25:61:00"_s, Today));
        QVERIFY(!calendarAge(QVariant(qlonglong(46000)), Today));
    }

    // Which tasks go. A task is "number status days-back [time]": status - is NULL, days - is no date and
    // ? a date that cannot be read.
    void whichTasksGo_data() {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QStringList>("tasks");
        QTest::addColumn<QList<qint64>>("deleted");
        QTest::addColumn<qint64>("skipped");
        const auto row = [](const char* name, const QString& limit, const QString& tasks,
                            QList<qint64> deleted, qint64 skipped = 0) {
            QTest::newRow(name) << limit << tasks.split(u';') << deleted << skipped;
        };
        // Older than the limit, counted in calendar days; any status but 'A' is closed.
        row("at the limit", u"30"_s,
            u"1 C 30 00:00:01;2 C 30 23:59:59;3 C 31 23:59:59;4 X 31 00:00:00;5 C 0"_s, {3, 4});
        row("yesterday late is a day old", u"1"_s, u"1 C 1 23:59:00;2 C 2 00:00:30"_s, {2});
        row("limit zero", u"0"_s, u"1 C 5000"_s, {});
        row("limit null", u"NULL"_s, u"1 C 5000"_s, {});
        row("limit empty", u"''"_s, u"1 C 5000"_s, {});
        row("open, null status, undated", u"10"_s, u"1 A 900;2 a 900;3 - 900;4 C -;5 C ?;6 C 11"_s, {6}, 1);
        row("numbers beyond sixteen bits", u"10"_s,
            u"32767 C 20;40000 C 20;3000000000 C 20;-7 C 20;50000 C 2"_s, {32767, 40000, 3000000000LL, -7});
    }
    void whichTasksGo() {
        QFETCH(QString, limit);
        QFETCH(QStringList, tasks);
        QFETCH(QList<qint64>, deleted);
        QFETCH(qint64, skipped);
        Fixture f;
        QString sql;
        QList<qint64> numbers;
        for (const QString& task : tasks) {
            const QStringList p = task.split(u' ');
            const QVariant status = p[1] == u"-"_s ? QVariant() : QVariant(p[1]);
            const QVariant date =
                p[2] == u"-"_s ? QVariant()
                : p[2] == u"?"_s
                    ? QVariant(u"not a date"_s)
                    : QVariant(stamp(p[2].toInt(), p.size() > 3 ? qPrintable(p[3]) : "12:00:00"));
            numbers << p[0].toLongLong();
            sql += taskSql(numbers.last(), status, date);
        }
        const QString path = makeDb(f, limit, sql);
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(deleted.size()));
        QCOMPARE(result.skipped, skipped);
        for (const qint64 n : numbers) {
            const bool gone = deleted.contains(n);
            QVERIFY2(taskExists(path, n) != gone, qPrintable(QString::number(n)));
            QCOMPARE(rowsOf(path, n), gone ? qint64(0) : qint64(8));
        }
        QCOMPARE(orphans(path), qint64(0));
    }

    void aFailingDeletionUndoesTheWholeTask() {
        // The routing rows of task 5 cannot be deleted: the task, its attachments and the rest of its batch
        // stay; the batches committed before stay deleted.
        Fixture f;
        QString sql = QStringLiteral("CREATE TRIGGER refuse BEFORE DELETE ON ROUTE WHEN old.SCR_Number = 5 "
                                     "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        for (int n = 1; n <= 8; ++n)
            sql += taskSql(n, u"C"_s, stamp(100));
        const QString path = makeDb(f, u"10"_s, sql);
        PurgeOptions options;
        options.batchTasks = 2;
        const PurgeResult result = purge(path, options);
        QVERIFY(result.stoppedBy);
        QCOMPARE(result.deleted, qint64(4));
        for (int n = 1; n <= 4; ++n)
            QVERIFY(!taskExists(path, n));
        for (int n = 5; n <= 8; ++n) {
            QVERIFY(taskExists(path, n));
            QCOMPARE(rowsOf(path, n), qint64(8));
        }
        QCOMPARE(orphans(path), qint64(0));
    }
    void aSecondPurgeBesideAnotherCountsWhatTheOtherDeleted() {
        Fixture f;
        QString tasks;
        for (int n = 1; n <= 6; ++n)
            tasks += taskSql(n, u"C"_s, stamp(100));
        tasks += taskSql(7, u"C"_s, stamp(100));
        const QString path = makeDb(f, u"10"_s, tasks);
        // This purge has read its tasks and deleted one when another purge deletes the rest but one, which
        // another user reopens meanwhile.
        PurgeOptions options;
        options.batchTasks = 1;
        std::optional<PurgeResult> other;
        options.progress = [&](const ProgressReport& batch) {
            if (other || batch.stage != ProgressReport::Stage::Step)
                return;
            execRaw(path, u"UPDATE SCR SET SCR_STATUS = 'A' WHERE SCR_Number = 7;"_s);
            other = purge(path);
        };
        const PurgeResult result = purge(path, options);
        QVERIFY(other);
        QCOMPARE(other->deleted, qint64(5));
        QCOMPARE(result.deleted, qint64(1));
        QCOMPARE(result.goneMeanwhile, qint64(5));
        QCOMPARE(result.skipped, qint64(1)); // the reopened task, and only that one, was left alone
        QVERIFY(!result.stoppedBy);
        QCOMPARE(orphans(path), qint64(0));
    }

    void aLockHeldByAnotherUserEndsThePurgeCleanly() {
        Fixture f;
        QString tasks;
        for (int n = 1; n <= 6; ++n)
            tasks += taskSql(n, u"C"_s, stamp(100));
        const QString path = makeDb(f, u"10"_s, tasks);
        // After the first batch another user takes the write lock and keeps it.
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open_v2(QFile::encodeName(path).constData(), &other, SQLITE_OPEN_READWRITE, nullptr),
                 SQLITE_OK);
        PurgeOptions options;
        options.batchTasks = 2;
        options.progress = [&](const ProgressReport& batch) {
            if (batch.stage == ProgressReport::Stage::Step && sqlite3_get_autocommit(other))
                QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        };
        const PurgeResult result = purge(path, options);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        QVERIFY(result.stoppedBy);
        QCOMPARE(result.stoppedBy->number(), err::Locked);
        QCOMPARE(result.deleted, qint64(2));
        QCOMPARE(orphans(path), qint64(0));
        for (int n = 3; n <= 6; ++n)
            QCOMPARE(rowsOf(path, n), qint64(8));
    }
};

QTEST_MAIN(PurgeTest)
#include "tst_purge.moc"
