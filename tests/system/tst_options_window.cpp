// The system options window driven as the administrator would: keys typed into the number boxes, the range
// check on OK, saving with the purge after it, and every way of closing without saving. Then the closed-task
// purge on real database files: which tasks go, that their attachments and routing steps go with them, and
// that a failure never leaves half a task behind.
#include "core/error.h"
#include "db/database.h"
#include "support/test_support.h"
#include "system/F_SYSTEM.h"
#include "system/purge.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QDate>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <sqlite3.h>

using namespace pell;
using namespace pell::test;

namespace {

qint64 taskCount(const QString& path) {
    return num(path, u"SELECT count(*) FROM SCR"_s);
}

// The options row as one text, to see that nothing in it changed.
QString optionsRow(const QString& path) {
    return scalarRaw(path, QStringLiteral(
                               "SELECT group_concat(ifnull(MAX_STORAGE,'-') || ',' || Chunk_Size || ',' || "
                               "Mand_Target_Date || Mand_Category || Mand_Contact || Mand_Priority || "
                               "Allow_Unowned_Edit || Edit_Attachments, ';') FROM \"SYSTEM\""))
        .toString();
}

struct OpenWindow {
    explicit OpenWindow(Fixture& f) : window(f.ctx, nullptr) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    Loaded<F_SYSTEM> window;
};

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

qint64 orphans(const QString& path) {
    return num(path, QStringLiteral("SELECT (SELECT count(*) FROM ATTACH WHERE SCR_Number NOT IN "
                                    "(SELECT SCR_Number FROM SCR)) + (SELECT count(*) FROM ROUTE WHERE "
                                    "SCR_Number NOT IN (SELECT SCR_Number FROM SCR))"));
}

// A task as "task+rows": "1+8" whole with its 3 attachment and 5 routing rows, "0+0" all gone.
QString task(const QString& path, qint64 n) {
    return str(path, QStringLiteral("SELECT (SELECT count(*) FROM SCR WHERE SCR_Number = %1) || '+' || "
                                    "((SELECT count(*) FROM ATTACH WHERE SCR_Number = %1) + "
                                    "(SELECT count(*) FROM ROUTE WHERE SCR_Number = %1))")
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

class OptionsWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void numberBoxesTakeDigitsOnly() {
        Fixture f;
        f.makeSharedDb();
        OpenWindow w(f);
        for (QLineEdit* box : {w.window.Text1, w.window.Text2}) {
            box->clear();
            box->setFocus();
            QTest::keyClicks(box, u"1a2-"_s);
            QCOMPARE(box->text(), u"12"_s);
            QTest::keyClicks(box, u". ,+"_s);
            QTest::keyClick(box, Qt::Key_Backspace);
            QCOMPARE(box->text(), u"12"_s);
            // Editing keys that type nothing still work.
            QTest::keyClick(box, Qt::Key_Left);
            QTest::keyClick(box, Qt::Key_Delete);
            QCOMPARE(box->text(), u"1"_s);
            QTest::keyClick(box, Qt::Key_Home);
            QTest::keyClick(box, Qt::Key_3);
            QCOMPARE(box->text(), u"31"_s);
        }
        QTest::keyClicks(w.window.Text1, u"999"_s);
        QCOMPARE(w.window.Text1->text().size(), 3);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void memoryRangeIsCheckedOnOk_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("1999") << u"1999"_s << true << false;
        QTest::newRow("2000") << u"2000"_s << true << true;
        QTest::newRow("20000") << u"20000"_s << true << true;
        QTest::newRow("20001") << u"20001"_s << true << false;
        QTest::newRow("empty") << QString() << true << false;
        // Stored by another program, longer than the box: checked whole, not as its first five digits.
        QTest::newRow("stored 100000") << u"100000"_s << false << false;
    }
    void memoryRangeIsCheckedOnOk() {
        QFETCH(QString, value);
        QFETCH(bool, typed);
        QFETCH(bool, accepted);
        Fixture f;
        const QString path = f.makeSharedDb();
        if (!typed)
            execRaw(path, u"UPDATE \"SYSTEM\" SET Chunk_Size = "_s + value);
        const QString before = optionsRow(path);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        if (typed) {
            w.window.Text1->setText(u"150"_s);
            w.window.Text2->setText(value);
            w.window.Check1->setChecked(true);
            w.window.Check6->setChecked(false);
        }
        w.window.Command1->setFocus();
        w.window.Command1->click();
        if (accepted) {
            QVERIFY(f.platform.boxes().isEmpty());
            QVERIFY(w.window.isUnloaded());
            QCOMPARE(str(path,
                         u"SELECT MAX_STORAGE || ',' || Chunk_Size || ',' || Mand_Target_Date || ',' || "
                         "Edit_Attachments FROM \"SYSTEM\""_s),
                     u"150,"_s + value + u",-1,0"_s);
            // The sample's closed task of 200 days is gone with its rows; the closed one of 5 days and the
            // open one of 400 days stay.
            QCOMPARE(str(path, u"SELECT group_concat(SCR_Number) FROM SCR"_s), u"1,3,4"_s);
            QCOMPARE(task(path, 2), u"0+0"_s);
            return;
        }
        QCOMPARE(f.platform.boxTexts(), QStringList{u"Allocated memory must be between 2,000 and 20,000"_s});
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::OkOnly);
        QCOMPARE(w.window.focusWidget(), w.window.Text2);
        QVERIFY(!w.window.isUnloaded());
        QCOMPARE(w.window.Text2->text(), value);
        QCOMPARE(taskCount(path), tasks); // no purge either
        w.window.unload(); // and the refused edit reaches the row neither then nor on the way out
        QCOMPARE(optionsRow(path), before);
    }

    void okSavesAndPurgesEvenUnchangedButNotAfterARefusedSave() {
        Fixture f;
        const QString path = f.makeSharedDb();
        const qint64 tasks = taskCount(path);
        {
            OpenWindow w(f);
            // Another administrator saves the row meanwhile: our save is refused as changed by another user.
            execRaw(path, u"UPDATE \"SYSTEM\" SET Chunk_Size = 9999, MAX_STORAGE = 4"_s);
            w.window.Text2->setText(u"4000"_s);
            w.window.Command1->click();
            QCOMPARE(f.platform.boxes().size(), 1);
            QVERIFY(f.platform.boxTexts().constFirst().contains(QString::number(err::ChangedByOther)));
            QVERIFY(!w.window.isUnloaded());
            QCOMPARE(w.window.Text2->text(), u"4000"_s);
            QCOMPARE(num(path, u"SELECT Chunk_Size FROM \"SYSTEM\""_s), 9999);
            QCOMPARE(taskCount(path), tasks); // no purge after a failed save
            w.window.unload();
        }
        const QString before = optionsRow(path);
        OpenWindow w(f);
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(optionsRow(path), before);
        // Both closed tasks (200 and 5 days) were older than 4 days.
        QCOMPARE(str(path, u"SELECT group_concat(SCR_Number) FROM SCR"_s), u"1,4"_s);
    }

    void anEmptyOptionsTableGetsItsFirstRow() {
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, u"DELETE FROM \"SYSTEM\""_s);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        QVERIFY(w.window.Text1->text().isEmpty() && w.window.Text2->text().isEmpty());
        w.window.Text2->setText(u"2500"_s);
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        // One row, without a day limit.
        const QString row = optionsRow(path);
        QVERIFY2(row.startsWith(u"-,2500,"_s) && !row.contains(u';'), qPrintable(row));
        QCOMPARE(taskCount(path), tasks); // an empty day limit deletes nothing
    }

    void closingWithoutOkDiscardsEveryEdit_data() {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("setup");
        QTest::newRow("Cancel") << true << u"UPDATE \"SYSTEM\" SET MAX_STORAGE = 1"_s;
        QTest::newRow("title bar") << false << u"UPDATE \"SYSTEM\" SET MAX_STORAGE = 1"_s;
        QTest::newRow("Cancel on an empty table: no row") << true << u"DELETE FROM \"SYSTEM\""_s;
    }
    void closingWithoutOkDiscardsEveryEdit() {
        QFETCH(bool, cancel);
        QFETCH(QString, setup);
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, setup);
        const QString before = optionsRow(path);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        w.window.Text1->setText(u"7"_s);
        w.window.Text2->setText(u"3000"_s);
        for (QCheckBox* box : w.window.findChildren<QCheckBox*>())
            box->setChecked(!box->isChecked());
        // Esc is not a cancel key here.
        QTest::keyClick(&w.window, Qt::Key_Escape);
        QVERIFY(!w.window.isUnloaded());
        cancel ? w.window.Command2->click() : void(w.window.close());
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(optionsRow(path), before);
        QCOMPARE(taskCount(path), tasks);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    // Which tasks go. A task is "number status days-back [time]": status - is NULL; for days-back - is no
    // date, #n the number n stored in its place, and any other text that is no number the date as stored (_
    // for a blank).
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
        row("yesterday late is a day old", u"1"_s, u"1 C 1 23:59:00;2 C 2 00:00:30;3 C 2026-06-13T08:30:00"_s,
            {2, 3});
        row("limit zero", u"0"_s, u"1 C 5000"_s, {});
        row("limit empty", u"''"_s, u"1 C 5000"_s, {});
        // Dates that cannot be read are skipped.
        row("open, null status, undated", u"10"_s,
            u"1 A 900;2 a 900;3 - 900;4 C -;5 C ?;6 C 11;"
            "7 C 2026-02-30_10:00:00;8 C 2026-06-14_25:61:00;9 C #46000"_s,
            {6}, 4);
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
            bool isDays = false;
            const int days = p[2].toInt(&isDays);
            const QVariant date = p[2] == u"-"_s          ? QVariant()
                                  : p[2].startsWith(u'#') ? QVariant(p[2].mid(1).toLongLong())
                                  : !isDays
                                      ? QVariant(QString(p[2]).replace(u'_', u' '))
                                      : QVariant(stamp(days, p.size() > 3 ? qPrintable(p[3]) : "12:00:00"));
            numbers << p[0].toLongLong();
            sql += taskSql(numbers.last(), status, date);
        }
        const QString path = makeDb(f, limit, sql);
        const PurgeResult result = purge(path);
        QVERIFY(!result.stoppedBy);
        QCOMPARE(result.deleted, qint64(deleted.size()));
        QCOMPARE(result.skipped, skipped);
        for (const qint64 n : numbers) {
            QCOMPARE(task(path, n), deleted.contains(n) ? u"0+0"_s : u"1+8"_s);
        }
        QCOMPARE(orphans(path), qint64(0));
    }

    void aPurgeStoppedMidwayKeepsWholeTasks() {
        // Eight closed tasks in batches of two. The routing rows of task 5 cannot be deleted, or another
        // user takes the write lock after the first batch and keeps it: the tasks of the batches committed
        // before stay deleted, every other task stays whole with its attachments and routing steps.
        for (const bool locked : {false, true}) {
            Fixture f;
            QString sql = locked ? QString()
                                 : u"CREATE TRIGGER refuse BEFORE DELETE ON ROUTE WHEN old.SCR_Number = 5 "
                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END;"_s;
            for (int n = 1; n <= 8; ++n)
                sql += taskSql(n, u"C"_s, stamp(100));
            const QString path = makeDb(f, u"10"_s, sql);
            sqlite3* other = nullptr;
            QCOMPARE(
                sqlite3_open_v2(QFile::encodeName(path).constData(), &other, SQLITE_OPEN_READWRITE, nullptr),
                SQLITE_OK);
            PurgeOptions options;
            options.batchTasks = 2;
            options.progress = [&](const ProgressReport& batch) {
                if (locked && batch.stage == ProgressReport::Stage::Step && sqlite3_get_autocommit(other))
                    QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
            };
            const PurgeResult result = purge(path, options);
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(other);
            QVERIFY(result.stoppedBy);
            if (locked)
                QCOMPARE(result.stoppedBy->number(), err::Locked);
            const int kept = locked ? 3 : 5;
            QCOMPARE(result.deleted, qint64(kept - 1));
            for (int n = 1; n <= 8; ++n) {
                QCOMPARE(task(path, n), n < kept ? u"0+0"_s : u"1+8"_s);
            }
            QCOMPARE(orphans(path), qint64(0));
        }
    }
    void aSecondPurgeBesideAnotherCountsWhatTheOtherDeleted() {
        Fixture f;
        QString tasks;
        for (int n = 1; n <= 7; ++n)
            tasks += taskSql(n, u"C"_s, stamp(100));
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
};

QTEST_MAIN(OptionsWindowTest)
#include "tst_options_window.moc"
