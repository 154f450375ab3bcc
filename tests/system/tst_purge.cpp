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

    void agesAtTheLimit() {
        Fixture f;
        const QString path =
            makeDb(f, u"30"_s,
                   taskSql(1, u"C"_s, stamp(30, "00:00:01")) + taskSql(2, u"C"_s, stamp(30, "23:59:59")) +
                       taskSql(3, u"C"_s, stamp(31, "23:59:59")) + taskSql(4, u"X"_s, stamp(31, "00:00:00")) +
                       taskSql(5, u"C"_s, stamp(0)));
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(2));
        for (qint64 n : {1, 2, 5})
            QCOMPARE(rowsOf(path, n), qint64(8));
        for (qint64 n : {3, 4}) // any status but 'A' is closed
            QVERIFY(!taskExists(path, n));
        QCOMPARE(orphans(path), qint64(0));
    }

    void yesterdayLateIsOneDayOld() {
        Fixture f;
        const QString path = makeDb(
            f, u"1"_s, taskSql(1, u"C"_s, stamp(1, "23:59:00")) + taskSql(2, u"C"_s, stamp(2, "00:00:30")));
        QCOMPARE(purge(path).deleted, qint64(1));
        QVERIFY(taskExists(path, 1));
        QVERIFY(!taskExists(path, 2));
    }

    void limitZeroOrEmptyDeletesNothing_data() {
        QTest::addColumn<QString>("limit");
        QTest::newRow("zero") << u"0"_s;
        QTest::newRow("null") << u"NULL"_s;
        QTest::newRow("empty text") << u"''"_s;
    }
    void limitZeroOrEmptyDeletesNothing() {
        QFETCH(QString, limit);
        Fixture f;
        const QString path = makeDb(f, limit, taskSql(1, u"C"_s, stamp(5000)));
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(0));
        QCOMPARE(rowsOf(path, 1), qint64(8));
    }

    void openNullStatusAndUndatedTasksStay() {
        Fixture f;
        const QString path = makeDb(f, u"10"_s,
                                    taskSql(1, u"A"_s, stamp(900)) + taskSql(2, u"a"_s, stamp(900)) +
                                        taskSql(3, QVariant(), stamp(900)) + taskSql(4, u"C"_s, QVariant()) +
                                        taskSql(5, u"C"_s, u"not a date"_s) + taskSql(6, u"C"_s, stamp(11)));
        const PurgeResult result = purge(path);
        QCOMPARE(result.deleted, qint64(1));
        QCOMPARE(result.skipped, qint64(1)); // the unreadable date
        for (qint64 n : {1, 2, 3, 4, 5}) {
            QVERIFY2(taskExists(path, n), qPrintable(QString::number(n)));
            QCOMPARE(rowsOf(path, n), qint64(8));
        }
        QVERIFY(!taskExists(path, 6));
        QCOMPARE(orphans(path), qint64(0));
    }

    void numbersBeyondSixteenBitsArePurged() {
        Fixture f;
        const QString path = makeDb(f, u"10"_s,
                                    taskSql(32767, u"C"_s, stamp(20)) + taskSql(40000, u"C"_s, stamp(20)) +
                                        taskSql(3000000000LL, u"C"_s, stamp(20)) +
                                        taskSql(-7, u"C"_s, stamp(20)) + taskSql(50000, u"C"_s, stamp(2)));
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(4));
        for (qint64 n : {32767LL, 40000LL, 3000000000LL, -7LL}) {
            QVERIFY(!taskExists(path, n));
            QCOMPARE(rowsOf(path, n), qint64(0));
        }
        QVERIFY(taskExists(path, 50000));
        QCOMPARE(rowsOf(path, 50000), qint64(8));
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
