// The closed-task purge on real database files: which tasks go, that their attachments and routing steps go
// with them, and that a failure never leaves half a task behind.
#include "db/database.h"
#include "support/test_support.h"
#include "system/purge_core.h"

#include <QDate>
#include <QtTest>

#include <sqlite3.h>

using namespace pell;
using namespace pell::test;

namespace {

const QDate Today(2026, 6, 15);

QString stamp(int daysBack, const char* time = "12:00:00") {
    return Today.addDays(-daysBack).toString(QStringLiteral("yyyy-MM-dd ")) + QString::fromLatin1(time);
}

QString sqlValue(const QVariant& v) {
    if (v.isNull())
        return QStringLiteral("NULL");
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
        sql += QStringLiteral("INSERT INTO ATTACH (SCR_Number, File_Name) VALUES (%1, 'f');").arg(number);
    for (int i = 0; i < 5; ++i)
        sql += QStringLiteral("INSERT INTO ROUTE (SCR_Number, Route_Note) VALUES (%1, 'r');").arg(number);
    return sql;
}

qint64 count(const QString& path, const QString& sql) {
    return scalarRaw(path, sql).toLongLong();
}

bool taskExists(const QString& path, qint64 n) {
    return count(path, QStringLiteral("SELECT count(*) FROM SCR WHERE SCR_Number = %1").arg(n)) == 1;
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
        QCOMPARE(calendarAge(stamp(1, "23:59:00"), Today).value_or(-999), qint64(1));
        QCOMPARE(calendarAge(stamp(0, "00:00:01"), Today).value_or(-999), qint64(0));
        QCOMPARE(calendarAge(stamp(30, "23:59:59"), Today).value_or(-999), qint64(30));
        QCOMPARE(calendarAge(QStringLiteral("2026-06-14"), Today).value_or(-999), qint64(1));
        QCOMPARE(calendarAge(QStringLiteral("2026-06-14T08:30:00"), Today).value_or(-999), qint64(1));
        QCOMPARE(calendarAge(QStringLiteral("2026-05-16 12:00:00"), Today).value_or(-999), qint64(30));
        QVERIFY(!calendarAge(QVariant(), Today));
        QVERIFY(!calendarAge(QStringLiteral(""), Today));
        QVERIFY(!calendarAge(QStringLiteral("yesterday"), Today));
        QVERIFY(!calendarAge(QStringLiteral("2026-02-30 10:00:00"), Today));
        QVERIFY(!calendarAge(QStringLiteral("2026-06-14 25:61:00"), Today));
        QVERIFY(!calendarAge(QVariant(qlonglong(46000)), Today));
    }

    void taskNumbersAreWholeNumbersOfAnySize() {
        QCOMPARE(taskNumber(QVariant(qlonglong(40000))).value_or(-999), qint64(40000));
        QCOMPARE(taskNumber(QVariant(qlonglong(3000000000LL))).value_or(-999), qint64(3000000000LL));
        QCOMPARE(taskNumber(QVariant(qlonglong(-5))).value_or(-999), qint64(-5));
        QCOMPARE(taskNumber(QVariant(7.0)).value_or(-999), qint64(7));
        QVERIFY(!taskNumber(QVariant(7.5)));
        QVERIFY(!taskNumber(QVariant(QStringLiteral("7"))));
        QVERIFY(!taskNumber(QVariant()));
    }

    void agesAtTheLimit() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 30;") +
                          taskSql(1, QStringLiteral("C"), stamp(30, "00:00:01")) +
                          taskSql(2, QStringLiteral("C"), stamp(30, "23:59:59")) +
                          taskSql(3, QStringLiteral("C"), stamp(31, "23:59:59")) +
                          taskSql(4, QStringLiteral("X"), stamp(31, "00:00:00")) +
                          taskSql(5, QStringLiteral("C"), stamp(0)));
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(2));
        QVERIFY(taskExists(path, 1));
        QVERIFY(taskExists(path, 2));
        QVERIFY(!taskExists(path, 3));
        QVERIFY(!taskExists(path, 4)); // any status but 'A' is closed
        QVERIFY(taskExists(path, 5));
        QCOMPARE(rowsOf(path, 1), qint64(8));
        QCOMPARE(rowsOf(path, 3), qint64(0));
        QCOMPARE(rowsOf(path, 4), qint64(0));
        QCOMPARE(orphans(path), qint64(0));
    }

    void yesterdayLateIsOneDayOld() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 1;") +
                          taskSql(1, QStringLiteral("C"), stamp(1, "23:59:00")) +
                          taskSql(2, QStringLiteral("C"), stamp(2, "00:00:30")));
        QCOMPARE(purge(path).deleted, qint64(1));
        QVERIFY(taskExists(path, 1));
        QVERIFY(!taskExists(path, 2));
    }

    void limitZeroOrEmptyDeletesNothing_data() {
        QTest::addColumn<QString>("limit");
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("null") << QStringLiteral("NULL");
        QTest::newRow("empty text") << QStringLiteral("''");
    }
    void limitZeroOrEmptyDeletesNothing() {
        QFETCH(QString, limit);
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = %1;").arg(limit) +
                          taskSql(1, QStringLiteral("C"), stamp(5000)));
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(0));
        QVERIFY(taskExists(path, 1));
        QCOMPARE(rowsOf(path, 1), qint64(8));
    }

    void theFirstOptionsRowDecides() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 0;"
                                     "INSERT INTO \"SYSTEM\" (MAX_STORAGE, Chunk_Size) VALUES (1, 2000);") +
                          taskSql(1, QStringLiteral("C"), stamp(400)));
        QCOMPARE(purge(path).deleted, qint64(0));
        QVERIFY(taskExists(path, 1));
    }

    void noOptionsRowStopsTheDeletion() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path,
                QStringLiteral("DELETE FROM \"SYSTEM\";") + taskSql(1, QStringLiteral("C"), stamp(400)));
        const PurgeResult result = purge(path);
        QVERIFY(result.stoppedBy);
        QVERIFY(taskExists(path, 1));
    }

    void openNullStatusAndUndatedTasksStay() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 10;") +
                          taskSql(1, QStringLiteral("A"), stamp(900)) +
                          taskSql(2, QStringLiteral("a"), stamp(900)) + taskSql(3, QVariant(), stamp(900)) +
                          taskSql(4, QStringLiteral("C"), QVariant()) +
                          taskSql(5, QStringLiteral("C"), QStringLiteral("not a date")) +
                          taskSql(6, QStringLiteral("C"), stamp(11)));
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
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 10;") +
                          taskSql(32767, QStringLiteral("C"), stamp(20)) +
                          taskSql(40000, QStringLiteral("C"), stamp(20)) +
                          taskSql(3000000000LL, QStringLiteral("C"), stamp(20)) +
                          taskSql(-7, QStringLiteral("C"), stamp(20)) +
                          taskSql(50000, QStringLiteral("C"), stamp(2)));
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
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        QString sql = QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 10;");
        for (int n = 1; n <= 8; ++n)
            sql += taskSql(n, QStringLiteral("C"), stamp(100));
        sql += QStringLiteral("CREATE TRIGGER refuse BEFORE DELETE ON ROUTE WHEN old.SCR_Number = 5 "
                              "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        execRaw(path, sql);
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

    void aLockHeldByAnotherUserEndsThePurgeCleanly() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        QString sql = QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 10;");
        for (int n = 1; n <= 6; ++n)
            sql += taskSql(n, QStringLiteral("C"), stamp(100));
        execRaw(path, sql);

        // After the first batch another user takes the write lock and keeps it.
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open_v2(QFile::encodeName(path).constData(), &other, SQLITE_OPEN_READWRITE, nullptr),
                 SQLITE_OK);
        PurgeOptions options;
        options.batchTasks = 2;
        options.afterBatch = [&](qint64) {
            if (sqlite3_get_autocommit(other))
                QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        };
        const PurgeResult result = purge(path, options);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);

        QVERIFY(result.stoppedBy);
        QCOMPARE(result.stoppedBy->number(), err::Locked);
        QCOMPARE(result.deleted, qint64(2));
        QCOMPARE(count(path, QStringLiteral("SELECT count(*) FROM SCR")), qint64(4));
        QCOMPARE(orphans(path), qint64(0));
        for (int n = 3; n <= 6; ++n)
            QCOMPARE(rowsOf(path, n), qint64(8));
    }

    void aTaskChangedMeanwhileIsLeftAlone() {
        Fixture f;
        const QString path = f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        QString sql = QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 10;");
        for (int n = 1; n <= 4; ++n)
            sql += taskSql(n, QStringLiteral("C"), stamp(100));
        execRaw(path, sql);
        PurgeOptions options;
        options.batchTasks = 1;
        options.afterBatch = [&](qint64 deleted) {
            if (deleted == 1) // another user reopens task 3 while the purge runs
                execRaw(path, QStringLiteral("UPDATE SCR SET SCR_STATUS = 'A' WHERE SCR_Number = 3"));
        };
        const PurgeResult result = purge(path, options);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(3));
        QCOMPARE(result.skipped, qint64(1));
        QVERIFY(taskExists(path, 3));
        QCOMPARE(rowsOf(path, 3), qint64(8));
    }

    void pelldbPurgeDeletesAndCounts() {
        Fixture f;
        const QString path = f.path(QStringLiteral("nightly.mdb"));
        QCOMPARE(runPelldb({QStringLiteral("init"), path, QStringLiteral("--tasks"), QStringLiteral("20")}),
                 0);
        QString out;
        QCOMPARE(runPelldb({QStringLiteral("purge"), path}, &out), 0);
        QVERIFY2(out.contains(QLatin1String("deleted 10 tasks")), qPrintable(out));
        QCOMPARE(count(path, QStringLiteral("SELECT count(*) FROM SCR")), qint64(10));
        QCOMPARE(count(path, QStringLiteral("SELECT count(*) FROM SCR WHERE SCR_STATUS <> 'A'")), qint64(0));
        QCOMPARE(orphans(path), qint64(0));
        QCOMPARE(count(path, QStringLiteral("SELECT count(*) FROM ATTACH")), qint64(30));
        // Nothing left to do the second time.
        QCOMPARE(runPelldb({QStringLiteral("purge"), path}, &out), 0);
        QVERIFY(out.contains(QLatin1String("deleted 0 tasks")));
        QVERIFY(runPelldb({QStringLiteral("purge"), f.path(QStringLiteral("missing.mdb"))}) != 0);
    }
};

QTEST_MAIN(PurgeTest)
#include "tst_purge.moc"
