// The system options window driven as the administrator would: keys typed into the number boxes, the range
// check on OK, saving with the purge after it, and every way of closing without saving.
#include "core/error.h"
#include "support/test_support.h"
#include "system/F_SYSTEM.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

QVariant systemValue(const QString& path, const char* column) {
    return scalarRaw(path, u"SELECT %1 FROM \"SYSTEM\" ORDER BY rowid LIMIT 1"_s.arg(QLatin1String(column)));
}

qint64 taskCount(const QString& path) {
    return scalarRaw(path, u"SELECT count(*) FROM SCR"_s).toLongLong();
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
        w.window.unload();
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
            QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), value.toLongLong());
            QCOMPARE(systemValue(path, "MAX_STORAGE").toLongLong(), 150);
            QCOMPARE(systemValue(path, "Mand_Target_Date").toLongLong(), -1);
            QCOMPARE(systemValue(path, "Edit_Attachments").toLongLong(), 0);
            // The sample's closed task of 200 days is gone with its rows; the closed one of 5 days and the
            // open one of 400 days stay.
            QCOMPARE(scalarRaw(path, u"SELECT group_concat(SCR_Number) FROM SCR"_s).toString(), u"1,3,4"_s);
            QCOMPARE(
                scalarRaw(path, QStringLiteral("SELECT (SELECT count(*) FROM ATTACH WHERE SCR_Number = 2) "
                                               "+ (SELECT count(*) FROM ROUTE WHERE SCR_Number = 2)"))
                    .toLongLong(),
                0);
            return;
        }
        QCOMPARE(f.platform.boxTexts(), QStringList{u"Allocated memory must be between 2,000 and 20,000"_s});
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::OkOnly);
        QCOMPARE(w.window.focusWidget(), w.window.Text2);
        QVERIFY(!w.window.isUnloaded());
        QCOMPARE(w.window.Text2->text(), value);
        QCOMPARE(optionsRow(path), before);
        QCOMPARE(taskCount(path), tasks); // no purge either
        w.window.unload();
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
            QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), 9999);
            QCOMPARE(taskCount(path), tasks); // no purge after a failed save
            w.window.unload();
        }
        const QString before = optionsRow(path);
        OpenWindow w(f);
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(optionsRow(path), before);
        // Both closed tasks (200 and 5 days) were older than 4 days.
        QCOMPARE(scalarRaw(path, u"SELECT group_concat(SCR_Number) FROM SCR"_s).toString(), u"1,4"_s);
    }

    void anEmptyOptionsTableGetsItsFirstRow() {
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, u"DELETE FROM \"SYSTEM\""_s);
        {
            OpenWindow w(f);
            QCOMPARE(w.window.Data1->rs().editMode(), db::Recordset::EditMode::AddNew);
            QVERIFY(w.window.Text1->text().isEmpty());
            QVERIFY(w.window.Text2->text().isEmpty());
            w.window.Command2->click(); // Cancel: no row
        }
        QCOMPARE(scalarRaw(path, u"SELECT count(*) FROM \"SYSTEM\""_s).toLongLong(), 0);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        w.window.Text2->setText(u"2500"_s);
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(scalarRaw(path, u"SELECT count(*) FROM \"SYSTEM\""_s).toLongLong(), 1);
        QVERIFY(systemValue(path, "MAX_STORAGE").isNull());
        QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), 2500);
        QCOMPARE(taskCount(path), tasks); // an empty day limit deletes nothing
    }

    void closingWithoutOkDiscardsEveryEdit_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancel") << 0;
        QTest::newRow("title bar") << 1;
    }
    void closingWithoutOkDiscardsEveryEdit() {
        QFETCH(int, how);
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, u"UPDATE \"SYSTEM\" SET MAX_STORAGE = 1"_s);
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
        if (how == 0)
            w.window.Command2->click();
        else
            w.window.close();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(optionsRow(path), before);
        QCOMPARE(taskCount(path), tasks);
        QVERIFY(f.platform.boxes().isEmpty());
    }
};

QTEST_MAIN(OptionsWindowTest)
#include "tst_options_window.moc"
