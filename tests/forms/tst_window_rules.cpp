// Rules every window keeps, and the data-source control under them: bound controls show and save their
// columns, an untouched OK leaves the stored rows exactly as they were, Enter presses the button that has the
// focus, and a window whose load fails does not open. (That closing an editor drops its pending record is
// shown on the real editors, in the list window and user tests.)
#include "lookups/LOOKUP_FORM.h"
#include "replication/REPLICA_FORM.h"
#include "shell/Admin_FORM.h"
#include "support/db_dump.h"
#include "support/drivers.h"
#include "system/F_SYSTEM.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"
#include "widgets/data_grid.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>

using namespace pell;
using namespace pell::test;

namespace {

// Opens an editor the way its list window does and presses OK without touching anything.
template <class Editor>
void untouchedOk(Fixture& f, const QString& action, const QString& field, const QString& value) {
    f.state.HOLD_ACTION = action;
    f.state.HOLD_FIELD = field;
    f.state.HOLD_VALUE = value;
    Loaded<Editor> editor(f.ctx, nullptr);
    editor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor));
    editor.Command1->click();
    QVERIFY(editor.isUnloaded());
}

} // namespace

class TestWindowRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void untouchedOkLeavesEveryStoredRowAlone() {
        // Rows written by other programs: longer than the boxes allow (30, 20, 10, 50, 50, 24 characters), 1
        // for yes, text in a number column.
        const QString longName = u"Regional coordinator of the northern sites"_s;
        const QString longPassword = u"correct-horse-battery-staple"_s;
        const QString longId = u"FieldAgent-07"_s;
        const QString longTool = u"Quarterly report generator for every open and closed task"_s;
        const QString longExe = u"/opt/pellwood/add-ons/reports/bin/quarterly-report --all --format=html"_s;
        const QString paddedCategory = u"  Hardware faults reported by the field staff  "_s;
        const QString longLocation = u"/srv/replicas/"_s + QString(40000, u'x') + u".mdb"_s;

        struct BoundEditor {
            QString window;
            QString sql;
            std::function<void(Fixture&)> run;
        };
        const BoundEditor editors[] = {
            {u"USER_FORM"_s,
             u"INSERT INTO \"USER\" VALUES (%1, %2, %3, 1, 1, 0, 'yes', 1, 0, 'admin');"
             "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('recruit', 'Recruit', "
             "%1);"
             "INSERT INTO SCR (SCR_Number, SCR_STATUS, SCR_OWNER_DATE_IN, SCR_Owner) "
             "VALUES (50, 'A', '2024-01-01', %1);"_s.arg(quoted(longId), quoted(longName),
                                                         quoted(longPassword)),
             [&](Fixture& f) { untouchedOk<USER_FORM>(f, u"OPEN"_s, u"User_ID"_s, longId); }},
            {u"TOOL_FORM"_s,
             u"INSERT INTO TOOL VALUES (%1, %2, 1, 'x', -1, NULL)"_s.arg(quoted(longTool), quoted(longExe)),
             [&](Fixture& f) { untouchedOk<TOOL_FORM>(f, u"OPEN"_s, u"Tool_Name"_s, longTool); }},
            {u"LOOKUP_FORM"_s, u"INSERT INTO LU_Category VALUES (%1)"_s.arg(quoted(paddedCategory)),
             [&](Fixture& f) {
                 f.state.LOOKUP_TABLE = u"LU_Category"_s;
                 f.state.LOOKUP_FIELD = u"Category"_s;
                 untouchedOk<LOOKUP_FORM>(f, u"OPEN"_s, u"Category"_s, paddedCategory);
             }},
            // A day limit of 1000 saved as 100 would purge the closed task of 200 days.
            {u"F_SYSTEM"_s,
             u"UPDATE \"SYSTEM\" SET MAX_STORAGE = 1000, Chunk_Size = ' 8000 bytes', Mand_Target_Date = 1, "
             "Mand_Category = -1, Mand_Contact = 0, Mand_Priority = NULL, Allow_Unowned_Edit = 2, "
             "Edit_Attachments = 'no'"_s,
             [](Fixture& f) {
                 Loaded<F_SYSTEM> window(f.ctx, nullptr);
                 window.show();
                 QVERIFY(QTest::qWaitForWindowExposed(&window));
                 QCOMPARE(window.Text1->text(), u"1000"_s);
                 // The length still limits what is typed.
                 window.Text1->setFocus();
                 QTest::keyClick(window.Text1, Qt::Key_End);
                 QTest::keyClick(window.Text1, Qt::Key_5);
                 QCOMPARE(window.Text1->text(), u"1000"_s);
                 window.Command1->click();
                 QVERIFY(window.isUnloaded());
             }},
            // Every location cell opened for typing and left with Enter.
            {u"REPLICA_FORM"_s,
             u"INSERT INTO REPLICA VALUES (%1); INSERT INTO REPLICA VALUES (X'FF00FE');"
             "INSERT INTO REPLICA VALUES ('/srv/a' || char(10) || 'b.mdb')"_s.arg(quoted(longLocation)),
             [](Fixture& f) {
                 Loaded<REPLICA_FORM> form(f.ctx, nullptr);
                 form.show();
                 QVERIFY(QTest::qWaitForWindowExposed(&form));
                 DataGrid* grid = form.DBGrid1;
                 QCOMPARE(grid->recordRows(), 3);
                 for (int row = 0; row < grid->recordRows(); ++row) {
                     QLineEdit* editor = typeInto(grid, row);
                     QVERIFY(editor);
                     QTest::keyClick(editor, Qt::Key_Return);
                 }
                 form.EXIT_Click();
                 QVERIFY(form.isUnloaded());
             }},
        };

        // Every editor is tried, so one that writes does not hide another.
        QStringList written;
        for (const BoundEditor& e : editors) {
            Fixture f;
            const QString db = f.makeSharedDb(), replicas = f.makeReplicaDb();
            execRaw(e.window == u"REPLICA_FORM"_s ? replicas : db, e.sql);
            // Every table of both files, and their schemas.
            const auto bytes = [&] {
                QStringList tables;
                for (const QString& file : {db, replicas})
                    for (const auto& [name, rows] : dumpDatabase(file).asKeyValueRange())
                        tables << file + u' ' + name + u": "_s + rows;
                return tables;
            };
            const QStringList before = bytes();
            e.run(f);
            for (const QString& table : bytes()) {
                if (!before.contains(table))
                    written << e.window + u" wrote "_s + table.left(200);
            }
            if (!f.platform.boxes().isEmpty())
                written << e.window + u" said "_s + f.platform.boxTexts().join(u'/');
        }
        QVERIFY2(written.isEmpty(), qPrintable(written.join(u'\n')));
    }

    void enterPressesTheFocusedButton() {
        Fixture f;
        const QString db = f.makeSharedDb();
        f.makeReplicaDb();
        const QString options = tableBytes(db, u"SYSTEM"_s) + tableBytes(db, u"SCR"_s);
        // Cancel with the focus: nothing saved, nothing purged. A box with the focus: the default button, OK,
        // answers.
        for (const bool cancel : {true, false}) {
            Loaded<F_SYSTEM> window(f.ctx, nullptr);
            window.show();
            window.Text1->setText(u"1"_s);
            window.Check1->setChecked(!window.Check1->isChecked());
            pressEnterOn(cancel ? static_cast<QWidget*>(window.Command2) : window.Check1);
            QVERIFY(window.isUnloaded());
            QCOMPARE(tableBytes(db, u"SYSTEM"_s) + tableBytes(db, u"SCR"_s) == options, cancel);
        }
        {
            // Each picture button runs its own command from the keyboard.
            Loaded<REPLICA_FORM> form(f.ctx, nullptr);
            form.show();
            f.platform.clear();
            f.platform.queueAnswer(Answer::Ok);
            f.platform.queueAnswer(Answer::No);
            for (QPushButton* button : {form.Command1, form.Command2, form.Command4, form.Command3})
                pressEnterOn(button);
            QCOMPARE(f.platform.boxTexts(),
                     (QStringList{u"No replicas found"_s, u"Remove Replica Reference to ?"_s,
                                  u"Database has been made a replicable master"_s}));
            QCOMPARE(f.platform.inputPrompts().size(), 1);
            form.unload();
        }
        {
            Admin_FORM main(f.ctx);
            main.show();
            int ended = 0;
            main.endProgram = [&] { ++ended; };
            f.platform.clear();
            pressEnterOn(main.Command3D8);
            QCOMPARE(f.platform.saveDialogs().size(), 1);
            pressEnterOn(main.Command3D5);
            QCOMPARE(ended, 1);
        }
    }

    void aWindowWhoseLoadFailsDoesNotOpen() {
        Fixture f;
        const QString db = f.makeSharedDb();
        {
            // The program-wide box once, and the command ends.
            Admin_FORM main(f.ctx);
            f.state.DATABASE_PATH = f.path(u"missing.mdb"_s);
            OpenedWindows opened;
            main.USERS_Click();
            main.SYSTEM_Click();
            QCOMPARE(opened.names, QStringList());
            QCOMPARE(f.platform.boxes().size(), 2);
            for (const QString& text : f.platform.boxTexts())
                QVERIFY2(text.contains(f.state.DATABASE_PATH), qPrintable(text));
            f.state.DATABASE_PATH = db;
        }
        // The database goes away while a list window is open: its editor says so once and does not open.
        Loaded<F_USER> users(f.ctx, nullptr);
        users.show();
        Loaded<F_TOOL> tools(f.ctx, nullptr);
        tools.show();
        QVERIFY(QFile::rename(db, f.path(u"moved.mdb"_s)));
        f.platform.clear();
        OpenedWindows opened;
        users.Command2->click();
        QCOMPARE(f.platform.boxes().size(), 1);
        tools.Command1->click();
        QCOMPARE(f.platform.boxes().size(), 2);
        QCOMPARE(opened.names, QStringList());
    }
};

QTEST_MAIN(TestWindowRules)
#include "tst_window_rules.moc"
