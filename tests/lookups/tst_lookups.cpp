// The lookup tables window and its value editor, driven as the administrator drives them, against real
// database files.
#include "db/database.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "lookups/list_window_driver.h"
#include "platform/twips.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

using namespace pell;
using namespace Qt::StringLiterals;
using test::words;

namespace {

const char* const Sample = "Bug|Enhancement|Question|Urgent";

struct Lookups : test::ListWindow<F_LOOKUP, LOOKUP_FORM> {
    using ListWindow::ListWindow;
    QStringList categories() const {
        const QString all = test::scalarRaw(db, u"SELECT group_concat(Category, '|') FROM "
                                                "(SELECT Category FROM LU_Category ORDER BY rowid)"_s)
                                .toString();
        return all.isEmpty() ? QStringList{} : all.split(u'|');
    }
};

std::function<void(LOOKUP_FORM*)> typeAndOk(const QString& text) {
    return [text](LOOKUP_FORM* editor) {
        editor->HOLD_KEY->clear();
        QTest::keyClicks(editor->HOLD_KEY, text);
        editor->Command1->click();
    };
}

} // namespace

class TestLookups : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layout();
    void addTrimsStoresBlankAndActsOnChosenTable();
    void valuesWrittenElsewhereOpenAndDelete();
    void duplicatesAreRefusedAndDialogStaysOpen();
    void modifyReselectsAndSaveFailuresKeepEditorOpen();
    void cancelAndCloseWriteNothing();
    void deleteAsksAndRemovesOnlyTheChosenValue();
    void vanishedRowIsReportedNotReplaced();
    void enterAndDoubleClickRunModify();
    void fillSkipsNullRowsAndSurvivesMissingTable();
    void aFillThatSelectsNothingLeavesNoLineCurrent();
};

void TestLookups::layout() {
    Lookups t;
    F_LOOKUP& w = *t.window;
    QCOMPARE(w.windowTitle(), u"Lookup Tables"_s);
    QCOMPARE(w.helpContext(), 2003);
    QVERIFY(w.Option1->isChecked());
    QCOMPARE(t.f.state.LOOKUP_TABLE + u'.' + t.f.state.LOOKUP_FIELD + u'.' + t.f.state.HOLD_FIELD,
             u"LU_Category.Category.Category"_s);
    QCOMPARE(w.LAST_INDEX, -1);
    QCOMPARE(t.lines(), words(Sample));
    QCOMPARE(t.selected(), -1);
    QCOMPARE(w.List1->geometry(), twips::rect(0, 720, 5655, 1815));
    QCOMPARE(w.Command4->geometry(), twips::rect(4560, 2760, 975, 495));
    QVERIFY(w.Command2->isDefault());
    QStringList captions{w.Option1->text(), w.Option2->text(), w.Command1->text(), w.Command3->text(),
                         w.EDIT->title()};
    for (QAction* a : w.EDIT->actions())
        captions << (a->isSeparator() ? u"-"_s : a->text());
    QCOMPARE(captions, words("Category|Priority|Add|Delete|&Edit|&Add|&Modify|&Delete|-|&Exit"));
    w.Command2->click(); // lines listed but none chosen
    w.Command3->click();
    QCOMPARE(t.boxes(), QStringList(2, u"No item selected"_s));
    QCOMPARE(t.f.platform.boxes().first().title, u"Pell Admin"_s);

    Loaded<LOOKUP_FORM> editor(t.f.ctx, nullptr);
    QCOMPARE(editor.windowTitle() + u'|' + editor.Command2->text(), u"Lookup Value|Cancel"_s);
    QCOMPARE(editor.helpContext(), 2003);
    QCOMPARE(editor.size(), QSize(twips::toPx(3930), twips::toPx(1305)));
    QCOMPARE(editor.HOLD_KEY->geometry(), twips::rect(1080, 120, 2415, 285));
    QVERIFY(editor.Command1->isDefault());
}

void TestLookups::addTrimsStoresBlankAndActsOnChosenTable() {
    Lookups t;
    auto ran = test::whenModal<LOOKUP_FORM>(typeAndOk(u"  Sensor   "_s));
    t.window->ADD->trigger();
    QVERIFY(*ran);
    QCOMPARE(t.f.state.HOLD_ACTION, u"NEW"_s);
    QVERIFY(t.categories().contains(u"Sensor"_s));
    QVERIFY(t.lines().contains(u"Sensor"_s));
    QCOMPARE(t.selected(), -1);
    t.add(typeAndOk(u"    "_s));
    QCOMPARE(t.count(u"SELECT count(*) FROM LU_Category WHERE Category = ' '"_s), 1);
    QVERIFY(t.lines().contains(u" "_s));
    QCOMPARE(LOOKUP_FORM::storedValue(QString()), u" "_s);
    QCOMPARE(LOOKUP_FORM::storedValue(u" a b "_s), u"a b"_s);

    t.window->List1->setCurrentRow(1);
    t.window->Option2->click();
    QCOMPARE(t.f.state.LOOKUP_TABLE + u'.' + t.f.state.HOLD_FIELD, u"LU_Priority.Priority"_s);
    QCOMPARE(t.window->LAST_INDEX, -1);
    QCOMPARE(t.lines(), words("High|Normal|Low"));
    QCOMPARE(t.selected(), -1);
    t.add(typeAndOk(u"Critical"_s));
    QCOMPARE(t.count(u"SELECT count(*) FROM LU_Priority WHERE Priority = 'Critical'"_s), 1);
    QCOMPARE(t.categories().size(), 6);
    QCOMPARE(t.window->List1->count(), 4);
    t.window->Option1->click();
    QCOMPARE(t.window->List1->count(), 6);
    QVERIFY(t.boxes().isEmpty());
}

void TestLookups::valuesWrittenElsewhereOpenAndDelete() {
    // A blank value, values with apostrophes and one longer than the editor takes, inserted by another
    // program.
    for (const QString& value :
         {u" "_s, u"O'Neil's list"_s, u"x' OR '1'='1"_s, u"A category written elsewhere, 40 chars"_s}) {
        Lookups t({u"INSERT INTO LU_Category VALUES ('%1')"_s.arg(QString(value).replace(u'\'', u"''"_s))});
        const int row = int(t.lines().indexOf(value));
        QVERIFY2(row >= 0, qPrintable(value));
        QString shown;
        t.modify(row, [&shown](LOOKUP_FORM* editor) {
            shown = editor->HOLD_KEY->text();
            editor->Command1->click();
        });
        QCOMPARE(shown, value);
        QCOMPARE(t.f.state.HOLD_VALUE, value);
        QVERIFY(t.boxes().isEmpty());
        QCOMPARE(t.categories().last(), value);
        t.remove(row);
        QCOMPARE(t.categories(), words(Sample));
        QCOMPARE(t.lines(), words(Sample));
    }
}

void TestLookups::duplicatesAreRefusedAndDialogStaysOpen() {
    Lookups t;
    // Each of these duplicates Urgent once trimmed and compared without regard to case.
    for (const QString& typed : {u"urgent"_s, u"  Urgent "_s, u"URGENT"_s}) {
        t.f.platform.clear();
        bool stayedOpen = false, focusInKey = false, closedAfterFix = false;
        t.add([&](LOOKUP_FORM* editor) {
            QTest::keyClicks(editor->HOLD_KEY, typed);
            editor->Command1->click();
            stayedOpen = editor->isVisible() && !editor->isUnloaded();
            focusInKey = editor->focusWidget() == editor->HOLD_KEY;
            editor->HOLD_KEY->setText(u"Routine"_s); // the row is still pending: a corrected value saves
            editor->Command1->click();
            closedAfterFix = editor->isUnloaded();
        });
        QVERIFY(stayedOpen);
        QVERIFY(focusInKey);
        QVERIFY(closedAfterFix);
        QCOMPARE(t.boxes(), QStringList{u"Value already exists, Please specify another ID."_s});
        QCOMPARE(t.f.platform.boxes().first().title, u"Pell Admin"_s);
        QCOMPARE(t.count(u"SELECT count(*) FROM LU_Category WHERE Category = 'Routine'"_s), 1);
        t.sql(u"DELETE FROM LU_Category WHERE Category = 'Routine'"_s);
    }
    QCOMPARE(t.count(u"SELECT count(*) FROM LU_Category WHERE Category = 'Urgent'"_s), 1);
}

void TestLookups::modifyReselectsAndSaveFailuresKeepEditorOpen() {
    Lookups t;
    t.window->List1->setCurrentRow(2); // Question
    auto ran = test::whenModal<LOOKUP_FORM>(typeAndOk(u"Inquiry"_s));
    t.window->MODIFY->trigger();
    QVERIFY(*ran);
    QCOMPARE(t.f.state.HOLD_ACTION + u'|' + t.f.state.HOLD_VALUE, u"OPEN|Question"_s);
    QCOMPARE(t.window->LAST_INDEX, 2);
    QCOMPARE(t.categories(), words("Bug|Enhancement|Inquiry|Urgent"));
    QCOMPARE(t.selected(), 2);
    QCOMPARE(t.window->List1->item(2)->text(), u"Inquiry"_s);

    // Renaming a category that the sample tasks use; saving a value changed by someone else meanwhile.
    struct Case {
        int row;
        QString otherSql, typed;
        int error;
    };
    const Case cases[] = {{0, {}, u"Defect"_s, err::RelatedRecords},
                          {2, u"UPDATE LU_Category SET Category = 'Query' WHERE Category = 'Inquiry'"_s,
                           u"Renamed"_s, err::ChangedByOther}};
    for (const Case& c : cases) {
        t.f.platform.clear();
        bool stayedOpen = false;
        t.modify(c.row, [&](LOOKUP_FORM* editor) {
            if (!c.otherSql.isEmpty())
                t.sql(c.otherSql);
            editor->HOLD_KEY->setText(c.typed);
            editor->Command1->click();
            stayedOpen = !editor->isUnloaded();
            editor->Command2->click();
        });
        QVERIFY(stayedOpen);
        QCOMPARE(t.boxes(), QStringList{standardText(c.error)});
    }
    QCOMPARE(t.categories(), words("Bug|Enhancement|Query|Urgent"));
}

void TestLookups::cancelAndCloseWriteNothing() {
    Lookups t;
    QString shown; // the key filter and the length, then Cancel
    t.add([&shown](LOOKUP_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, u"O'Neil"_s);
        shown = editor->HOLD_KEY->text() + u'|';
        editor->HOLD_KEY->clear();
        QTest::keyClicks(editor->HOLD_KEY, u"abcdefghijklmnopqrstuvwxyz"_s);
        shown += editor->HOLD_KEY->text();
        editor->Command2->click();
    });
    QCOMPARE(shown, u"O\"Neil|abcdefghijklmnopqrstuvwx"_s);
    QCOMPARE(t.selected(), -1);
    t.modify(3, [](LOOKUP_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, u"Never"_s);
        editor->Command2->click();
    });
    QCOMPARE(t.selected(), 3);
    // Esc is bound to nothing; the title bar's close box unloads and the pending row is dropped.
    bool escIgnored = false;
    t.add([&escIgnored](LOOKUP_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, u"Pending"_s);
        QTest::keyClick(editor, Qt::Key_Escape);
        escIgnored = !editor->isUnloaded();
        editor->close();
    });
    QVERIFY(escIgnored);
    QCOMPARE(t.categories(), words(Sample));
    // Another administrator empties most of the table while the dialog is open.
    t.modify(3, [&t](LOOKUP_FORM* editor) {
        t.sql(u"DELETE FROM LU_Category WHERE Category <> 'Bug' AND Category <> 'Urgent'"_s);
        editor->Command2->click();
    });
    QCOMPARE(t.window->LAST_INDEX, 3);
    QCOMPARE(t.window->List1->count(), 2);
    QCOMPARE(t.selected(), -1);
    QVERIFY(t.boxes().isEmpty());
}

void TestLookups::deleteAsksAndRemovesOnlyTheChosenValue() {
    // A task uses Urgent; a trigger keeps Enhancement.
    Lookups t({u"INSERT INTO SCR (SCR_Number, SCR_STATUS, SCR_Category) VALUES (77, 'A', 'Urgent')"_s,
               u"CREATE TRIGGER keep BEFORE DELETE ON LU_Category WHEN old.Category = 'Enhancement' "
               "BEGIN SELECT RAISE(ABORT, 'kept by policy'); END"_s});
    t.remove(2, Answer::Cancel); // Question
    QCOMPARE(t.categories(), words(Sample));
    const auto box = t.f.platform.boxes().first();
    QCOMPARE(box.text + u'|' + box.title, u"Are you sure?|DELETE"_s);
    QCOMPARE(box.buttons, Buttons::OkCancel);
    QCOMPARE(box.icon, Icon::None);
    t.f.platform.queueAnswer(Answer::Ok);
    t.window->DELETE->trigger();
    QCOMPARE(t.f.state.HOLD_ACTION, u"DELETE"_s);
    QCOMPARE(t.categories(), words("Bug|Enhancement|Urgent"));
    QCOMPARE(t.lines(), t.categories());
    QCOMPARE(t.f.platform.boxes().size(), 2);

    t.f.platform.clear();
    t.sql(u"INSERT INTO LU_Category VALUES ('Later')"_s); // behind the window's back: a refill would show it
    t.remove(2);                                          // Urgent: refused with its message
    QCOMPARE(t.boxes(), words("Are you sure?|Unable to delete."));
    QCOMPARE(t.f.platform.boxes().last().title, u"Pell Admin"_s);
    t.f.platform.clear();
    t.remove(1); // Enhancement: refused silently
    QCOMPARE(t.boxes(), QStringList{u"Are you sure?"_s});
    QCOMPARE(t.categories(), words("Bug|Enhancement|Urgent|Later"));
    QCOMPARE(t.lines(), words("Bug|Enhancement|Urgent"));
}

void TestLookups::vanishedRowIsReportedNotReplaced() {
    Lookups t;
    t.window->List1->setCurrentRow(1); // Enhancement
    t.sql(u"DELETE FROM LU_Category WHERE Category = 'Enhancement'"_s);
    t.remove(1);
    QCOMPARE(t.boxes(), (QStringList{u"Are you sure?"_s, VanishedText}));
    QCOMPARE(t.categories(), words("Bug|Question|Urgent"));
    QCOMPARE(t.lines(), t.categories());

    // Opening a vanished value opens nothing else and writes nothing.
    t.f.platform.clear();
    t.window->List1->setCurrentRow(1); // Question
    t.sql(u"DELETE FROM LU_Category WHERE Category = 'Question'"_s);
    QElapsedTimer clock;
    clock.start();
    t.window->Command2->click();
    QVERIFY(clock.elapsed() < 4000);
    QCOMPARE(t.boxes(), QStringList{VanishedText});
    QCOMPARE(t.categories(), words("Bug|Urgent"));
    QCOMPARE(t.lines(), t.categories());
    QCOMPARE(t.selected(), 1);
}

void TestLookups::enterAndDoubleClickRunModify() {
    Lookups t;
    t.window->activateWindow();
    t.window->List1->setFocus();
    t.window->List1->setCurrentRow(1); // Enhancement: Enter in the list runs Modify, Enter in the editor OK
    auto ran = test::whenModal<LOOKUP_FORM>([](LOOKUP_FORM* editor) {
        editor->HOLD_KEY->setText(u"Feature"_s);
        QTest::keyClick(editor->HOLD_KEY, Qt::Key_Return);
        if (!editor->isUnloaded())
            editor->Command2->click();
    });
    QTest::keyClick(t.window->List1, Qt::Key_Return);
    QVERIFY(*ran);
    QCOMPARE(t.categories().at(1), u"Feature"_s);

    const QPoint third = t.window->List1->visualItemRect(t.window->List1->item(2)).center();
    ran = test::whenModal<LOOKUP_FORM>([](LOOKUP_FORM* editor) { editor->Command2->click(); });
    QTest::mouseClick(t.window->List1->viewport(), Qt::LeftButton, {}, third);
    QTest::mouseDClick(t.window->List1->viewport(), Qt::LeftButton, {}, third);
    QVERIFY(*ran);
    QCOMPARE(t.f.state.HOLD_VALUE + u'|' + QString::number(t.window->LAST_INDEX), u"Question|2"_s);
    QVERIFY(t.boxes().isEmpty());
}

void TestLookups::fillSkipsNullRowsAndSurvivesMissingTable() {
    test::Fixture f;
    // A database of an older layout: the column allows nulls, and there is no priority table.
    const QString db = f.path(u"old.mdb"_s);
    db::Database::create(db)->execute(u"CREATE TABLE LU_Category (Category TEXT)"_s);
    test::execRaw(db, u"INSERT INTO LU_Category VALUES ('One'), (NULL), ('Two'), (NULL)"_s);
    f.state.DATABASE_PATH = db;
    Loaded<F_LOOKUP> window(f.ctx, nullptr);
    QCOMPARE(test::listLines(window.List1), words("One|Two"));
    const qsizetype boxes = f.platform.boxes().size();
    window.Option2->click();
    QCOMPARE(window.List1->count(), 0);
    QCOMPARE(f.platform.boxes().size(), boxes);
    window.MODIFY->trigger(); // an empty list
    window.DELETE->trigger();
    QCOMPARE(f.platform.boxTexts().mid(boxes), QStringList(2, u"No item selected"_s));
    window.Option1->click();
    QCOMPARE(window.List1->count(), 2);
}

void TestLookups::aFillThatSelectsNothingLeavesNoLineCurrent() {
    // The focus frame of a current line reads as a selection: after a fill no line carries one, and the
    // first arrow key chooses the first line.
    Lookups t;
    QListWidget* list = t.window->List1;
    QVERIFY(QTest::qWaitForWindowActive(t.window.get()));
    QCOMPARE(QApplication::focusWidget(), list);
    QVERIFY(!list->currentIndex().isValid());
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(t.selected(), 0);
    t.add(typeAndOk(u"Routine"_s));
    QCOMPARE(t.selected(), -1);
    QVERIFY(!list->currentIndex().isValid());
    t.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(t.window.get()));
    list->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), list);
    QVERIFY(!list->currentIndex().isValid());
}

QTEST_MAIN(TestLookups)
#include "tst_lookups.moc"
