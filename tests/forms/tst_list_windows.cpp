// The list window and its editor dialog, as the lookup tables and the add-on tools share them: each shared
// behaviour runs on both windows against real database files; what only one of them does follows.
#include "core/command.h"
#include "core/error.h"
#include "db/database.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "support/drivers.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "widgets/data_control.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

#include <type_traits>

using namespace pell;
using namespace pell::test;

namespace {

// What differs between the two windows where they behave alike.
template <class Window> struct Kind;
template <> struct Kind<F_LOOKUP> {
    using Editor = LOOKUP_FORM;
    static inline const QString table = u"LU_Category"_s, key = u"Category"_s;
    static inline const QStringList sample = words(u"Bug|Enhancement|Question|Urgent"_s);
    static inline const QString duplicate = u"Value already exists, Please specify another ID."_s;
    static inline const QString changed = standardText(err::ChangedByOther);
    static constexpr int keyLength = 24;
    static inline const QString insert = u"INSERT INTO LU_Category VALUES (%1)"_s; // %1: the quoted key
};
template <> struct Kind<F_TOOL> {
    using Editor = TOOL_FORM;
    static inline const QString table = u"TOOL"_s, key = u"Tool_Name"_s;
    static inline const QStringList sample = words(u"Calculator|Task Report"_s);
    static inline const QString duplicate = u"Tool Name already exists, Please specify another Name."_s;
    static inline const QString changed = u"Unknown Error. Please Exit and restart."_s;
    static constexpr int keyLength = 50;
    static inline const QString insert = u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES (%1, 'x')"_s;
};

template <class Window> struct Driver : ListDriver<Window, typename Kind<Window>::Editor> {
    using K = Kind<Window>;
    using ListDriver<Window, typename K::Editor>::ListDriver;
    QStringList keys() const {
        const QString all =
            scalarRaw(this->db, u"SELECT group_concat(%1, '|') FROM (SELECT %1 FROM %2 ORDER BY rowid)"_s.arg(
                                    K::key, K::table))
                .toString();
        return all.isEmpty() ? QStringList{} : all.split(u'|');
    }
};

// Types a new row's key (and, for a tool, the executable it needs) and presses OK.
template <class Editor> std::function<void(Editor*)> typeAndOk(const QString& key) {
    return [key](Editor* e) {
        e->HOLD_KEY->clear();
        QTest::keyClicks(e->HOLD_KEY, key);
        if constexpr (std::is_same_v<Editor, TOOL_FORM>) {
            if (e->Text1->text().isEmpty())
                e->Text1->setText(u"run"_s);
        }
        e->Command1->click();
    };
}

// Runs a shared case on both windows.
#define BOTH(test)                                                                                           \
    do {                                                                                                     \
        test<F_LOOKUP>();                                                                                    \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
        test<F_TOOL>();                                                                                      \
    } while (false)

template <class W> void listsTheKeysAndChoosesNothing() {
    Driver<W> t;
    QCOMPARE(t.lines(), Kind<W>::sample);
    QCOMPARE(t.selected(), -1);
    QCOMPARE(menuEntries(t.window->EDIT, false), words(u"&Add|&Modify|&Delete|-|&Exit"_s));
    t.window->Command2->click(); // lines listed but none chosen
    t.window->Command3->click();
    QCOMPARE(t.boxes(), QStringList(2, NoItemSelectedText));
    QCOMPARE(t.f.platform.boxes().first().title, AppTitle);
    t.window->EXIT->trigger();
    QVERIFY(t.window->isUnloaded() && !t.window->isVisible());
}

template <class W> void rowsWrittenElsewhereOpenSaveAndDelete() {
    using E = typename Kind<W>::Editor;
    // Keys with apostrophes and one longer than the editor takes, inserted by another program.
    for (const QString& value : {u"O'Neil's list"_s, u"x' OR '1'='1"_s, QString(60, u'k')}) {
        Driver<W> t({Kind<W>::insert.arg(quoted(value))});
        const int row = int(t.lines().indexOf(value));
        QVERIFY2(row >= 0, qPrintable(value));
        QString shown;
        t.modify(row, [&shown](E* e) {
            shown = e->HOLD_KEY->text();
            e->Command1->click();
        });
        QCOMPARE(shown, value);
        QCOMPARE(t.f.state.HOLD_ACTION + u'|' + t.f.state.HOLD_VALUE, u"OPEN|"_s + value);
        QVERIFY(t.boxes().isEmpty());
        QCOMPARE(t.keys().last(), value);
        t.remove(row);
        QCOMPARE(t.keys(), Kind<W>::sample);
        QCOMPARE(t.lines(), Kind<W>::sample);
    }
    // A new row goes to the end of the list, chosen by nobody.
    Driver<W> t;
    whenModal<E>(typeAndOk<E>(u"Added"_s));
    t.window->ADD->trigger();
    QCOMPARE(t.keys(), Kind<W>::sample + QStringList{u"Added"_s});
    QCOMPARE(t.lines(), t.keys());
    QCOMPARE(t.selected(), -1);
    QVERIFY(t.boxes().isEmpty());
}

template <class W> void refusedSavesKeepTheEditorOpen() {
    using E = typename Kind<W>::Editor;
    Driver<W> t;
    // Keys compare without regard to case.
    bool stayedOpen = false, focusInKey = false, savedAfterFix = false;
    t.add([&](E* e) {
        typeAndOk<E>(Kind<W>::sample.first().toUpper())(e);
        stayedOpen = e->isVisible() && !e->isUnloaded();
        focusInKey = e->focusWidget() == e->HOLD_KEY;
        e->HOLD_KEY->setText(u"Fixed"_s); // the row is still pending: a corrected key saves
        e->Command1->click();
        savedAfterFix = e->isUnloaded();
    });
    QVERIFY(stayedOpen && focusInKey && savedAfterFix);
    QCOMPARE(t.boxes(), QStringList{Kind<W>::duplicate});
    QCOMPARE(t.keys().last(), u"Fixed"_s);
    // Renaming onto another row's key, and saving a row that another program changed meanwhile.
    for (const bool other : {false, true}) {
        t.f.platform.clear();
        stayedOpen = false;
        t.modify(0, [&](E* e) {
            if (other)
                t.sql(u"UPDATE %1 SET %2 = 'Elsewhere' WHERE %2 = %3"_s.arg(Kind<W>::table, Kind<W>::key,
                                                                            quoted(Kind<W>::sample.first())));
            e->HOLD_KEY->setText(other ? u"Mine"_s : Kind<W>::sample.at(1));
            e->Command1->click();
            stayedOpen = !e->isUnloaded();
            e->Command2->click();
        });
        QVERIFY(stayedOpen);
        QCOMPARE(t.boxes(), QStringList{other ? Kind<W>::changed : Kind<W>::duplicate});
    }
    QCOMPARE(t.keys().first(), u"Elsewhere"_s);
}

template <class W> void modifyReselectsThePosition() {
    using E = typename Kind<W>::Editor;
    Driver<W> t;
    t.modify(1, typeAndOk<E>(u"Renamed"_s));
    QCOMPARE(t.selected(), 1);
    QCOMPARE(t.window->List1->item(1)->text(), u"Renamed"_s);
    // Another administrator empties the table while the editor is open: the same position is gone.
    t.modify(1, [&t](E* e) {
        t.sql(u"DELETE FROM %1"_s.arg(Kind<W>::table));
        e->Command2->click();
    });
    QCOMPARE(t.window->List1->count(), 0);
    QCOMPARE(t.selected(), -1);
    QVERIFY(t.boxes().isEmpty());
}

template <class W> void cancelCloseAndEscWriteNothing() {
    using E = typename Kind<W>::Editor;
    Driver<W> t;
    const QString before = tableBytes(t.db, Kind<W>::table);
    QStringList shown; // the key filter and the length, then Cancel
    t.add([&shown](E* e) {
        QTest::keyClicks(e->HOLD_KEY, u"O'Neil"_s);
        shown << e->HOLD_KEY->text();
        e->HOLD_KEY->clear();
        QTest::keyClicks(e->HOLD_KEY, QString(Kind<W>::keyLength + 1, u'x'));
        shown << e->HOLD_KEY->text();
        e->Command2->click();
    });
    QCOMPARE(shown, (QStringList{u"O\"Neil"_s, QString(Kind<W>::keyLength, u'x')}));
    t.modify(0, [](E* e) {
        QTest::keyClicks(e->HOLD_KEY, u"Never"_s);
        e->Command2->click();
    });
    QCOMPARE(t.selected(), 0);
    // Esc is bound to nothing; the title bar's close box unloads and the pending row is dropped.
    bool escIgnored = false;
    t.add([&escIgnored](E* e) {
        QTest::keyClicks(e->HOLD_KEY, u"Pending"_s);
        QTest::keyClick(e, Qt::Key_Escape);
        escIgnored = !e->isUnloaded();
        e->close();
    });
    QVERIFY(escIgnored);
    QCOMPARE(tableBytes(t.db, Kind<W>::table), before);
    QVERIFY(t.boxes().isEmpty());
}

template <class W> void deleteAsksAndTakesOnlyTheChosenRow() {
    Driver<W> t;
    t.remove(1, Answer::Cancel);
    QCOMPARE(t.keys(), Kind<W>::sample);
    const auto box = t.f.platform.boxes().first();
    QCOMPARE(box.text + u'|' + box.title, u"Are you sure?|DELETE"_s);
    QVERIFY(box.buttons == Buttons::OkCancel && box.icon == Icon::None);
    t.f.platform.queueAnswer(Answer::Ok);
    t.window->DELETE->trigger();
    QStringList left = Kind<W>::sample;
    left.removeAt(1);
    QCOMPARE(t.keys(), left);
    QCOMPARE(t.lines(), left);
    // Chosen, then removed by someone else: told, nothing else deleted in its place, the list refilled.
    t.f.platform.clear();
    t.window->List1->setCurrentRow(0);
    t.sql(u"DELETE FROM %1 WHERE %2 = %3"_s.arg(Kind<W>::table, Kind<W>::key, quoted(left.first())));
    t.remove(0);
    QCOMPARE(t.boxes(), (QStringList{u"Are you sure?"_s, VanishedText}));
    left.removeFirst();
    QCOMPARE(t.keys(), left);
    QCOMPARE(t.lines(), left);
}

template <class W> void aVanishedRowOpensNothing() {
    Driver<W> t;
    t.window->List1->setCurrentRow(1);
    t.sql(u"DELETE FROM %1 WHERE %2 = %3"_s.arg(Kind<W>::table, Kind<W>::key, quoted(Kind<W>::sample.at(1))));
    const QString before = tableBytes(t.db, Kind<W>::table);
    OpenedWindows opened; // an editor that came up would be closed and named here
    t.window->Command2->click();
    QCOMPARE(opened.names, QStringList());
    QCOMPARE(t.boxes(), QStringList{VanishedText});
    QCOMPARE(tableBytes(t.db, Kind<W>::table), before);
    QCOMPARE(t.lines(), t.keys());
}

template <class W> void enterDoubleClickAndFocusWorkTheList() {
    using E = typename Kind<W>::Editor;
    Driver<W> t;
    QListWidget* list = t.window->List1;
    // After a fill no line carries the focus frame, which reads as a selection; the first arrow key chooses
    // the first line.
    QVERIFY(QTest::qWaitForWindowActive(t.window.get()));
    QCOMPARE(QApplication::focusWidget(), list);
    QVERIFY(!list->currentIndex().isValid());
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(t.selected(), 0);
    QTest::keyClick(list, Qt::Key_Down);
    // Enter in the list runs Modify, Enter in the editor OK.
    whenModal<E>([](E* e) {
        e->HOLD_KEY->setText(u"Entered"_s);
        QTest::keyClick(e->HOLD_KEY, Qt::Key_Return);
        if (!e->isUnloaded())
            e->Command2->click();
    });
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(t.keys().at(1), u"Entered"_s);
    const QPoint first = list->visualItemRect(list->item(0)).center();
    const auto ran = whenModal<E>([](E* e) { e->Command2->click(); });
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first);
    QVERIFY(*ran);
    QCOMPARE(t.f.state.HOLD_VALUE + u'|' + QString::number(t.window->LAST_INDEX),
             Kind<W>::sample.at(0) + u"|0"_s);
    QVERIFY(t.boxes().isEmpty());
}

using Lookups = Driver<F_LOOKUP>;
using Tools = Driver<F_TOOL>;

} // namespace

class TestListWindows : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listsTheKeysAndChoosesNothing() { BOTH(::listsTheKeysAndChoosesNothing); }
    void rowsWrittenElsewhereOpenSaveAndDelete() { BOTH(::rowsWrittenElsewhereOpenSaveAndDelete); }
    void refusedSavesKeepTheEditorOpen() { BOTH(::refusedSavesKeepTheEditorOpen); }
    void modifyReselectsThePosition() { BOTH(::modifyReselectsThePosition); }
    void cancelCloseAndEscWriteNothing() { BOTH(::cancelCloseAndEscWriteNothing); }
    void deleteAsksAndTakesOnlyTheChosenRow() { BOTH(::deleteAsksAndTakesOnlyTheChosenRow); }
    void aVanishedRowOpensNothing() { BOTH(::aVanishedRowOpensNothing); }
    void enterDoubleClickAndFocusWorkTheList() { BOTH(::enterDoubleClickAndFocusWorkTheList); }

    void lookupsTrimValuesAndSwitchTables() {
        Lookups t;
        t.add(typeAndOk<LOOKUP_FORM>(u"  Sensor  fault   "_s));
        t.add(typeAndOk<LOOKUP_FORM>(u"    "_s)); // nothing but blanks is stored as one blank
        QCOMPARE(t.keys().mid(4), (QStringList{u"Sensor  fault"_s, u" "_s}));
        t.window->List1->setCurrentRow(1);
        t.window->Option2->click();
        QCOMPARE(t.f.state.LOOKUP_TABLE + u'.' + t.f.state.LOOKUP_FIELD + u'.' + t.f.state.HOLD_FIELD,
                 u"LU_Priority.Priority.Priority"_s);
        QCOMPARE(t.lines(), words(u"High|Normal|Low"_s));
        QCOMPARE(t.selected(), -1);
        t.add(typeAndOk<LOOKUP_FORM>(u"Critical"_s));
        QCOMPARE(t.count(u"SELECT count(*) FROM LU_Priority WHERE Priority = 'Critical'"_s), 1);
        t.window->Option1->click();
        QCOMPARE(t.window->List1->count(), 6);
        QVERIFY(t.boxes().isEmpty());
    }

    void lookupDeletionsRefusedByTasksOrTriggers() {
        // A task uses Urgent; a trigger keeps Enhancement. Neither refusal refills the list.
        Lookups t({u"INSERT INTO SCR (SCR_Number, SCR_STATUS, SCR_Category) VALUES (77, 'A', 'Urgent')"_s,
                   u"CREATE TRIGGER keep BEFORE DELETE ON LU_Category WHEN old.Category = 'Enhancement' "
                   "BEGIN SELECT RAISE(ABORT, 'kept by policy'); END"_s});
        t.sql(u"INSERT INTO LU_Category VALUES ('Later')"_s); // a refill would show it
        t.remove(3);
        QCOMPARE(t.boxes(), words(u"Are you sure?|Unable to delete."_s));
        // Any other refusal is told as Add tells it, by the program-wide box: never a Delete without a word.
        t.f.platform.clear();
        t.remove(1);
        QCOMPARE(t.boxes().size(), 2);
        QVERIFY2(t.boxes().last().startsWith(u"Error "_s), qPrintable(t.boxes().last()));
        // So is a database this administrator cannot write.
        t.window->Data1->setReadOnly(true);
        t.f.platform.clear();
        t.remove(0);
        QCOMPARE(t.boxes(), (QStringList{u"Are you sure?"_s, unhandledText(Error::make(err::ReadOnly))}));
        QCOMPARE(t.keys(), words(u"Bug|Enhancement|Question|Urgent|Later"_s));
        QCOMPARE(t.lines(), Kind<F_LOOKUP>::sample);
        // Renaming a category that tasks use is refused with the engine's text.
        t.f.platform.clear();
        t.modify(3, [](LOOKUP_FORM* e) {
            typeAndOk<LOOKUP_FORM>(u"Pressing"_s)(e);
            e->Command2->click();
        });
        QCOMPARE(t.boxes(), QStringList{standardText(err::RelatedRecords)});
    }

    void lookupFillSkipsNullsAndSurvivesAMissingTable() {
        Fixture f;
        // A database of an older layout: the column allows nulls, and there is no priority table.
        const QString db = f.path(u"old.mdb"_s);
        db::Database::create(db)->execute(u"CREATE TABLE LU_Category (Category TEXT)"_s);
        execRaw(db, u"INSERT INTO LU_Category VALUES ('One'), (NULL), ('Two'), (NULL)"_s);
        f.state.DATABASE_PATH = db;
        Loaded<F_LOOKUP> window(f.ctx, nullptr);
        QCOMPARE(listLines(window.List1), words(u"One|Two"_s));
        window.Option2->click();
        QCOMPARE(window.List1->count(), 0);
        QVERIFY(f.platform.boxes().isEmpty());
        window.Option1->click();
        QCOMPARE(window.List1->count(), 2);
    }

    void toolsNeedNameAndExecutableAndWriteTheirBoxes() {
        Tools t({u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Bob''s tool', 'bob')"_s});
        const auto row = [&t](const QString& name) {
            return scalarRaw(t.db,
                             u"SELECT Tool_EXE || '|' || Tool_Access_Screen || Tool_SCR_Screen || "
                             "Tool_Param_User_ID || Tool_Param_SCR_Number FROM TOOL WHERE Tool_Name = "_s +
                                 quoted(name))
                .toString();
        };
        QStringList steps;
        t.add([&](TOOL_FORM* e) {
            e->Command1->click();
            steps << t.boxes().last() << (e->focusWidget() == e->HOLD_KEY ? u"name"_s : u"?"_s);
            QTest::keyClicks(e->HOLD_KEY, u"   "_s); // blanks count as given, and are written as typed
            e->Command1->click();
            steps << t.boxes().last() << (e->focusWidget() == e->Text1 ? u"exe"_s : u"?"_s);
            QTest::keyClicks(e->Text1, u"bob's.exe "_s); // the executable keeps its apostrophes
            e->Check2->setChecked(true);
            e->Check3->setChecked(true);
            e->Command1->click();
        });
        QCOMPARE(steps, words(u"Please Specify Tool Name|name|Please Specify the Executable Name|exe"_s));
        QCOMPARE(row(u"   "_s), u"bob's.exe |0-1-10"_s);
        QString shown;
        t.modify(1, [&shown](TOOL_FORM* e) {
            for (const QCheckBox* box : {e->Check1, e->Check2, e->Check3, e->Check4})
                shown += box->isChecked() ? u'1' : u'0';
            e->Check1->setChecked(true);
            e->Command1->click();
        });
        QCOMPARE(shown, u"0111"_s);
        QCOMPARE(row(u"Task Report"_s), u"pellreport|-1-1-1-1"_s);
    }

    void aToolDeletionRefusedReachesTheProgramWideHandler() {
        Tools t(
            {u"CREATE TRIGGER keep_tools BEFORE DELETE ON TOOL BEGIN SELECT RAISE(ABORT, 'kept'); END"_s});
        t.sql(u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Later', 'later')"_s);
        t.remove(0);
        QCOMPARE(t.f.platform.boxes().size(), 2);
        QVERIFY(t.f.platform.boxes().last().text.startsWith(u"Error "_s) &&
                t.f.platform.boxes().last().title == AppTitle);
        QVERIFY(!t.window->isUnloaded() && t.window->isVisible());
        QCOMPARE(t.window->List1->count(), 2); // not refilled
    }
};

QTEST_MAIN(TestListWindows)
#include "tst_list_windows.moc"
