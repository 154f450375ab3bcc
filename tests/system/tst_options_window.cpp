// The system options window driven as the administrator would: keys typed into the number boxes, the range
// check on OK, saving with the purge after it, and every way of closing without saving.
#include "app/Admin_FORM.h"
#include "lookups/modal_driver.h"
#include "support/test_support.h"
#include "system/F_SYSTEM.h"
#include "widgets/data_control.h"
#include "widgets/twips.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

QVariant systemValue(const QString& path, const char* column) {
    return scalarRaw(
        path, QStringLiteral("SELECT %1 FROM \"SYSTEM\" ORDER BY rowid LIMIT 1").arg(QLatin1String(column)));
}

qint64 taskCount(const QString& path) {
    return scalarRaw(path, QStringLiteral("SELECT count(*) FROM SCR")).toLongLong();
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
    F_SYSTEM window;
};

} // namespace

class OptionsWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layoutAndControls() {
        Fixture f;
        f.makeSharedDb();
        OpenWindow w(f);
        F_SYSTEM& s = w.window;
        QCOMPARE(s.windowTitle(), QStringLiteral("System Options"));
        QCOMPARE(s.helpContext(), 2);
        QCOMPARE(s.Label1->text(), QStringLiteral("Auto-Delete Closed Tasks more than "));
        QCOMPARE(s.Label2->text(), QStringLiteral("days old."));
        QCOMPARE(s.Label3->text(), QStringLiteral("Memory allocated to attachment copies"));
        QCOMPARE(s.Label4->text(), QStringLiteral("(2,000 - 20,000)"));
        QCOMPARE(s.Text1->maxLength(), 3);
        QCOMPARE(s.Text2->maxLength(), 5);
        QCOMPARE(s.Text2->geometry(), twips::rect(3600, 600, 735, 288));
        const QList<QCheckBox*> boxes{s.Check1, s.Check4, s.Check5, s.Check7, s.Check3, s.Check6};
        const QStringList captions{QStringLiteral("Mandatory Target Date"),
                                   QStringLiteral("Mandatory Category"),
                                   QStringLiteral("Mandatory Contact"),
                                   QStringLiteral("Mandatory Priority"),
                                   QStringLiteral("Allow Non-Owner to Edit"),
                                   QStringLiteral("Allow Attachments to be Edited/Deleted")};
        const int tops[] = {1200, 1560, 1920, 2280, 3000, 3360};
        for (int i = 0; i < boxes.size(); ++i) {
            QCOMPARE(boxes[i]->text(), captions[i]);
            QCOMPARE(boxes[i]->y(), twips::rect(120, tops[i], 10, 10).y());
        }
        QVERIFY(s.Command1->isDefault());
        QVERIFY(!s.Command2->isDefault());
        QCOMPARE(s.Command1->text(), QStringLiteral("OK"));
        QCOMPARE(s.Command2->text(), QStringLiteral("Cancel"));
        QWidget* expected[] = {s.Text1,  s.Text2,  s.Check1, s.Check4,   s.Check5,
                               s.Check7, s.Check3, s.Check6, s.Command1, s.Command2};
        const auto nextTabStop = [](QWidget* from) {
            QWidget* next = from->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            return next;
        };
        for (size_t i = 1; i < std::size(expected); ++i)
            QCOMPARE(nextTabStop(expected[i - 1]), expected[i]);
        // All four data sources point at the configured database.
        for (DataControl* data : {s.Data1, s.Data2, s.Data3, s.Data4})
            QCOMPARE(data->databaseName(), f.state.DATABASE_PATH);
        s.unload();
    }

    void showsTheFirstRowInEdit() {
        Fixture f;
        f.makeSharedDb();
        OpenWindow w(f);
        QCOMPARE(w.window.Text1->text(), QStringLiteral("90"));
        QCOMPARE(w.window.Text2->text(), QStringLiteral("8000"));
        QVERIFY(!w.window.Check1->isChecked());
        QVERIFY(w.window.Check4->isChecked());
        QVERIFY(w.window.Check6->isChecked());
        QCOMPARE(w.window.Data1->rs().editMode(), db::Recordset::EditMode::Edit);
        w.window.unload();
    }

    void numberBoxesTakeDigitsOnly() {
        Fixture f;
        f.makeSharedDb();
        OpenWindow w(f);
        for (QLineEdit* box : {w.window.Text1, w.window.Text2}) {
            box->clear();
            box->setFocus();
            QTest::keyClicks(box, QStringLiteral("1a2-"));
            QCOMPARE(box->text(), QStringLiteral("12"));
            QTest::keyClicks(box, QStringLiteral(". ,+"));
            QTest::keyClick(box, Qt::Key_Backspace);
            QCOMPARE(box->text(), QStringLiteral("12"));
            // Editing keys that type nothing still work.
            QTest::keyClick(box, Qt::Key_Left);
            QTest::keyClick(box, Qt::Key_Delete);
            QCOMPARE(box->text(), QStringLiteral("1"));
            QTest::keyClick(box, Qt::Key_Home);
            QTest::keyClick(box, Qt::Key_3);
            QCOMPARE(box->text(), QStringLiteral("31"));
        }
        QTest::keyClicks(w.window.Text1, QStringLiteral("999"));
        QCOMPARE(w.window.Text1->text().size(), 3);
        QVERIFY(f.platform.boxes().isEmpty());
        w.window.unload();
    }

    void leadingNumberReadsLikeTheWindowDoes() {
        QCOMPARE(F_SYSTEM::leadingNumber(QString()), 0.0);
        QCOMPARE(F_SYSTEM::leadingNumber(QStringLiteral("2000")), 2000.0);
        QCOMPARE(F_SYSTEM::leadingNumber(QStringLiteral("12ab")), 12.0);
        QCOMPARE(F_SYSTEM::leadingNumber(QStringLiteral(" 2 5")), 25.0);
        QCOMPARE(F_SYSTEM::leadingNumber(QStringLiteral("x12")), 0.0);
    }

    void memoryOutsideTheRangeIsRefused_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("1999") << QStringLiteral("1999");
        QTest::newRow("20001") << QStringLiteral("20001");
        QTest::newRow("empty") << QString();
        QTest::newRow("0") << QStringLiteral("0");
    }
    void memoryOutsideTheRangeIsRefused() {
        QFETCH(QString, value);
        Fixture f;
        const QString path = f.makeSharedDb();
        const QString before = optionsRow(path);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        w.window.Text1->setText(QStringLiteral("1"));
        w.window.Text2->setText(value);
        w.window.Command1->setFocus();
        w.window.Command1->click();
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral("Allocated memory must be between 2,000 and 20,000")});
        QCOMPARE(f.platform.boxes().constFirst().title, QStringLiteral("Pell Admin"));
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::OkOnly);
        QCOMPARE(w.window.focusWidget(), w.window.Text2);
        QVERIFY(!w.window.isUnloaded());
        QCOMPARE(w.window.Data1->rs().editMode(), db::Recordset::EditMode::Edit);
        QCOMPARE(w.window.Text2->text(), value);
        QCOMPARE(optionsRow(path), before);
        QCOMPARE(taskCount(path), tasks); // no purge either
        w.window.unload();
        QCOMPARE(optionsRow(path), before);
    }

    void boundsAreSavedAndThePurgeRuns_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("2000") << QStringLiteral("2000");
        QTest::newRow("20000") << QStringLiteral("20000");
    }
    void boundsAreSavedAndThePurgeRuns() {
        QFETCH(QString, value);
        Fixture f;
        const QString path = f.makeSharedDb();
        OpenWindow w(f);
        w.window.Text1->setText(QStringLiteral("150"));
        w.window.Text2->setText(value);
        w.window.Check1->setChecked(true);
        w.window.Check6->setChecked(false);
        w.window.Command1->click();
        QVERIFY(f.platform.boxes().isEmpty());
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), value.toLongLong());
        QCOMPARE(systemValue(path, "MAX_STORAGE").toLongLong(), 150);
        QCOMPARE(systemValue(path, "Mand_Target_Date").toLongLong(), -1);
        QCOMPARE(systemValue(path, "Edit_Attachments").toLongLong(), 0);
        // The sample's closed task of 200 days is gone with its rows; the closed one of 5 days and the open
        // one of 400 days stay.
        QCOMPARE(scalarRaw(path, QStringLiteral("SELECT group_concat(SCR_Number) FROM SCR")).toString(),
                 QStringLiteral("1,3,4"));
        QCOMPARE(
            scalarRaw(path, QStringLiteral("SELECT count(*) FROM ATTACH WHERE SCR_Number = 2")).toLongLong(),
            0);
        QCOMPARE(
            scalarRaw(path, QStringLiteral("SELECT count(*) FROM ROUTE WHERE SCR_Number = 2")).toLongLong(),
            0);
    }

    void okWithoutChangesStillSavesAndPurges() {
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 4"));
        const QString before = optionsRow(path);
        OpenWindow w(f);
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(optionsRow(path), before);
        // Both closed tasks (200 and 5 days) were older than 4 days.
        QCOMPARE(scalarRaw(path, QStringLiteral("SELECT group_concat(SCR_Number) FROM SCR")).toString(),
                 QStringLiteral("1,4"));
    }

    void anEmptyOptionsTableGetsItsFirstRow() {
        Fixture f;
        const QString path = f.makeSharedDb();
        execRaw(path, QStringLiteral("DELETE FROM \"SYSTEM\""));
        {
            OpenWindow w(f);
            QCOMPARE(w.window.Data1->rs().editMode(), db::Recordset::EditMode::AddNew);
            QVERIFY(w.window.Text1->text().isEmpty());
            QVERIFY(w.window.Text2->text().isEmpty());
            w.window.Command2->click(); // Cancel: no row
        }
        QCOMPARE(scalarRaw(path, QStringLiteral("SELECT count(*) FROM \"SYSTEM\"")).toLongLong(), 0);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        w.window.Text2->setText(QStringLiteral("2500"));
        w.window.Command1->click();
        QVERIFY(w.window.isUnloaded());
        QCOMPARE(scalarRaw(path, QStringLiteral("SELECT count(*) FROM \"SYSTEM\"")).toLongLong(), 1);
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
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET MAX_STORAGE = 1"));
        const QString before = optionsRow(path);
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        w.window.Text1->setText(QStringLiteral("7"));
        w.window.Text2->setText(QStringLiteral("3000"));
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

    void aSaveRefusedByTheEngineKeepsTheWindowOpen() {
        Fixture f;
        const QString path = f.makeSharedDb();
        const qint64 tasks = taskCount(path);
        OpenWindow w(f);
        // Another administrator saves the row meanwhile: our save is refused as changed by another user.
        execRaw(path, QStringLiteral("UPDATE \"SYSTEM\" SET Chunk_Size = 9999, MAX_STORAGE = 1"));
        w.window.Text2->setText(QStringLiteral("4000"));
        w.window.Command1->click();
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().constFirst().contains(QString::number(err::ChangedByOther)));
        QVERIFY(!w.window.isUnloaded());
        QCOMPARE(w.window.Text2->text(), QStringLiteral("4000"));
        QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), 9999);
        QCOMPARE(taskCount(path), tasks); // no purge after a failed save
        w.window.Command2->click();
        QCOMPARE(systemValue(path, "Chunk_Size").toLongLong(), 9999);
    }

    void theMainWindowOpensIt() {
        Fixture f;
        f.makeSharedDb();
        Admin_FORM main(f.ctx);
        main.show();
        QString seen;
        auto ran = whenModal<F_SYSTEM>([&](F_SYSTEM* window) {
            seen = window->Text2->text();
            window->Command2->click();
        });
        main.Command3D1->click();
        QVERIFY(*ran);
        QCOMPARE(seen, QStringLiteral("8000"));
        auto again = whenModal<F_SYSTEM>([](F_SYSTEM* window) { window->Command2->click(); });
        main.SYSTEM_Click();
        QVERIFY(*again);
        QVERIFY(f.platform.boxes().isEmpty());
    }
};

QTEST_MAIN(OptionsWindowTest)
#include "tst_options_window.moc"
