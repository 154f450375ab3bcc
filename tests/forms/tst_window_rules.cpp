// Rules every window keeps, and the data-source control under them: bound controls show and save their
// columns, an untouched OK leaves the stored rows exactly as they were, Enter presses the button that has the
// focus, and a window whose load fails does not open. (That closing an editor drops its pending record is
// shown on the real editors, in the list window and user tests.)
#include "db/replication_fixture.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "platform/program_font.h"
#include "replication/CONFLICTS_FORM.h"
#include "replication/REPLICA_FORM.h"
#include "shell/ABOUT_FORM.h"
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
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

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

// Every window of the program over one database that has an open conflict, with the button the window names
// as its default (Enter) where it names one.
struct EveryWindow {
    Fixture f;
    QString db = f.makeSharedDb();
    QString replica = f.path(u"branch.mdb"_s);
    struct Kind {
        QString name;
        QString defaultButton;
        std::function<std::unique_ptr<QWidget>()> open;
    };
    QList<Kind> kinds;

    EveryWindow() {
        f.makeReplicaDb();
        makeMaster(db);
        makeReplica(db, replica);
        execRaw(db, u"UPDATE \"USER\" SET User_Name='here' WHERE User_ID='guest'"_s);
        QTest::qWait(5);
        execRaw(replica, u"UPDATE \"USER\" SET User_Name='there' WHERE User_ID='guest'"_s);
        sync(db, replica);
        const auto editor = [this](auto* made, const QString& field, const QString& value) {
            f.state.HOLD_ACTION = u"OPEN"_s;
            f.state.HOLD_FIELD = field;
            f.state.HOLD_VALUE = value;
            return std::unique_ptr<QWidget>(made);
        };
        kinds = {
            {u"Admin_FORM"_s,
             {},
             [this] {
                 auto main = std::make_unique<Admin_FORM>(f.ctx);
                 main->endProgram = [] {};
                 return std::unique_ptr<QWidget>(std::move(main));
             }},
            {u"ABOUT_FORM"_s,
             {},
             [this] { return std::unique_ptr<QWidget>(new Loaded<ABOUT_FORM>(f.ctx, nullptr)); }},
            {u"F_USER"_s, u"Command2"_s,
             [this] { return std::unique_ptr<QWidget>(new Loaded<F_USER>(f.ctx, nullptr)); }},
            {u"USER_FORM"_s, u"Command1"_s,
             [=, this] { return editor(new Loaded<USER_FORM>(f.ctx, nullptr), u"User_ID"_s, u"dev1"_s); }},
            {u"F_LOOKUP"_s, u"Command2"_s,
             [this] { return std::unique_ptr<QWidget>(new Loaded<F_LOOKUP>(f.ctx, nullptr)); }},
            {u"LOOKUP_FORM"_s, u"Command1"_s,
             [=, this] {
                 f.state.LOOKUP_TABLE = u"LU_Category"_s;
                 f.state.LOOKUP_FIELD = u"Category"_s;
                 return editor(new Loaded<LOOKUP_FORM>(f.ctx, nullptr), u"Category"_s, u"Bug"_s);
             }},
            {u"F_TOOL"_s, u"Command2"_s,
             [this] { return std::unique_ptr<QWidget>(new Loaded<F_TOOL>(f.ctx, nullptr)); }},
            {u"TOOL_FORM"_s, u"Command1"_s,
             [=, this] {
                 return editor(new Loaded<TOOL_FORM>(f.ctx, nullptr), u"Tool_Name"_s, u"Calculator"_s);
             }},
            {u"F_SYSTEM"_s, u"Command1"_s,
             [this] { return std::unique_ptr<QWidget>(new Loaded<F_SYSTEM>(f.ctx, nullptr)); }},
            {u"REPLICA_FORM"_s,
             {},
             [this] { return std::unique_ptr<QWidget>(new Loaded<REPLICA_FORM>(f.ctx, nullptr)); }},
            {u"CONFLICTS_FORM"_s,
             {},
             [this] { return std::unique_ptr<QWidget>(new Loaded<CONFLICTS_FORM>(f.ctx, nullptr)); }},
        };
    }
};

// The controls Tab or a click can give the focus to, in the window's focus chain.
QList<QWidget*> focusable(QWidget* window) {
    QList<QWidget*> found;
    QWidget* w = window;
    while ((w = w->nextInFocusChain()) != window) {
        if (w->window() == window && w->focusPolicy() != Qt::NoFocus && !w->focusProxy() && w->isEnabled() &&
            w->isVisibleTo(window) && !found.contains(w))
            found << w;
    }
    return found;
}

QString nameOf(const QWidget* w) {
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
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
        // That Enter presses the focused button and no other in every window is walked below; each button's
        // command is checked where the tests of its window click it.
    }

    void enterActsOnlyOnTheFocusedButtonOrTheNamedDefault() {
        EveryWindow every;
        Fixture& f = every.f;
        QStringList wrong;
        for (const EveryWindow::Kind& kind : every.kinds) {
            // The controls, by their place in the focus chain of a window as it opens.
            int count = 0;
            {
                std::unique_ptr<QWidget> window = kind.open();
                window->show();
                QVERIFY(QTest::qWaitForWindowExposed(window.get()));
                count = int(focusable(window.get()).size());
                QVERIFY2(count > 0, qPrintable(kind.name));
                // Only the named default is drawn as the default.
                for (QPushButton* b : window->findChildren<QPushButton*>())
                    if (b->isDefault() != (b->objectName() == kind.defaultButton))
                        wrong << kind.name + u": "_s + b->objectName() + u" drawn as the default"_s;
                if (auto* form = qobject_cast<PellForm*>(window.get()))
                    form->unload();
            }
            for (int i = 0; i < count; ++i) {
                std::unique_ptr<QWidget> window = kind.open();
                window->show();
                window->activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(window.get()));
                const QList<QWidget*> controls = focusable(window.get());
                if (i >= controls.size())
                    break;
                // The focus passes through every button first, as Tab would take it there.
                for (QWidget* c : controls)
                    if (qobject_cast<QPushButton*>(c))
                        c->setFocus(Qt::TabFocusReason);
                QWidget* control = controls[i];
                control->setFocus(Qt::TabFocusReason);
                QStringList clicked;
                for (QPushButton* b : window->findChildren<QPushButton*>())
                    QObject::connect(b, &QPushButton::clicked, window.get(),
                                     [&clicked, b] { clicked << b->objectName(); });
                f.platform.clear();
                for (int n = 0; n < 4; ++n)
                    f.platform.queueAnswer(Answer::No); // a question a command asks is answered No
                auto* form = qobject_cast<PellForm*>(window.get());
                OpenedWindows opened;
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
                opened.timer.stop();
                const QString what = kind.name + u' ' + nameOf(control) + u": "_s;
                const bool button = qobject_cast<QPushButton*>(control);
                if (button) {
                    if (clicked != QStringList{control->objectName()})
                        wrong << what + u"pressed "_s + clicked.join(u',');
                } else if (!kind.defaultButton.isEmpty()) {
                    if (!clicked.isEmpty() && clicked != QStringList{kind.defaultButton})
                        wrong << what + u"pressed "_s + clicked.join(u',');
                } else if (!clicked.isEmpty() || !f.platform.boxes().isEmpty() || !opened.names.isEmpty() ||
                           !f.platform.inputPrompts().isEmpty() || (form && form->isUnloaded())) {
                    wrong << what + u"ran "_s + clicked.join(u',') + f.platform.boxTexts().join(u'/') +
                                 opened.names.join(u',');
                }
                if (form && !form->isUnloaded())
                    form->unload();
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
        // Nothing was kept by accident: the conflict is still open.
        QCOMPARE(num(every.db, u"SELECT count(*) FROM _pell_conflicts WHERE state='open'"_s), 1);
    }

    void noControlEndsPastItsClientAreaAndAllShareTheProgramFont() {
        EveryWindow every;
        QStringList cut;
        for (const EveryWindow::Kind& kind : every.kinds) {
            std::unique_ptr<QWidget> window = kind.open();
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            // The named controls, each within the area it was placed in, and that area within its window.
            for (QWidget* control : window->findChildren<QWidget*>()) {
                if (control->objectName().isEmpty() || control->objectName().startsWith(u"qt_"_s) ||
                    control->isWindow() || !control->parentWidget())
                    continue;
                const QWidget* area = control->parentWidget();
                const QRect inWindow(area->mapTo(window.get(), control->geometry().topLeft()),
                                     control->size());
                if (!area->rect().contains(control->geometry()) || !window->rect().contains(inWindow))
                    cut << u"%1.%2 %3,%4 %5x%6 in %7x%8"_s.arg(kind.name, control->objectName())
                               .arg(control->x())
                               .arg(control->y())
                               .arg(control->width())
                               .arg(control->height())
                               .arg(area->width())
                               .arg(area->height());
            }
            if (auto* form = qobject_cast<PellForm*>(window.get()))
                form->unload();
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(u'\n')));

        // The About box asks for its face by name and falls back as the rest of the program does.
        Loaded<ABOUT_FORM> about(every.f.ctx, nullptr);
        QCOMPARE(about.font().families().value(0), u"MS Sans Serif"_s);
        QCOMPARE(QFontInfo(about.Label1->font()).family(), QFontInfo(programFont(true)).family());
        QVERIFY(QFontInfo(about.Label1->font()).bold());
        Loaded<CONFLICTS_FORM> conflicts(every.f.ctx, nullptr);
        for (QWidget* w : {static_cast<QWidget*>(conflicts.List1), static_cast<QWidget*>(conflicts.Text1),
                           static_cast<QWidget*>(conflicts.Command1)})
            QCOMPARE(QFontInfo(w->font()).family() + QString::number(w->font().pointSizeF()),
                     QFontInfo(programFont()).family() + QString::number(programFont().pointSizeF()));
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
