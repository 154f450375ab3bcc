// The lookup tables window and its value editor, driven as the administrator drives them, against real
// database files.
#include "db/database.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "lookups/modal_driver.h"
#include "support/test_support.h"
#include "widgets/data_control.h"
#include "widgets/twips.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using namespace pell;
using pell::test::whenModal;

namespace {

QStringList listLines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

int selectedRow(const QListWidget* list) {
    const auto selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

QStringList column(const QString& db, const QString& sql) {
    QStringList values;
    const QString joined =
        test::scalarRaw(db, QStringLiteral("SELECT group_concat(v, '|') FROM (") + sql + QStringLiteral(")"))
            .toString();
    if (!joined.isNull() && !joined.isEmpty())
        values = joined.split(u'|');
    return values;
}

QStringList categories(const QString& db) {
    return column(db, QStringLiteral("SELECT Category AS v FROM LU_Category ORDER BY rowid"));
}

// Types a value into the editor and presses OK.
std::shared_ptr<bool> typeAndOk(const QString& text) {
    return whenModal<LOOKUP_FORM>([text](LOOKUP_FORM* editor) {
        editor->HOLD_KEY->clear();
        QTest::keyClicks(editor->HOLD_KEY, text);
        editor->Command1->click();
    });
}

std::shared_ptr<bool> cancelAfterTyping(const QString& text) {
    return whenModal<LOOKUP_FORM>([text](LOOKUP_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, text);
        editor->Command2->click();
    });
}

} // namespace

class TestLookups : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void opensOnCategoryWithItsLayout();
    void switchingTableActsOnPriorities();
    void addTrimsAndStoresBlankForEmpty();
    void blankValueCanBeOpenedAndDeleted();
    void duplicatesAreRefusedAndDialogStaysOpen();
    void modifyReselectsSamePosition();
    void cancelWritesNothing();
    void closingEditorDiscardsPendingRow();
    void deleteAsksAndDeletesOnlyTheChosenValue();
    void deleteRefusedByTasksKeepsValueAndList();
    void otherDeleteFailureIsSilent();
    void noItemSelected();
    void apostropheValueFromAnotherProgram();
    void vanishedRowIsReportedNotReplaced();
    void keyFilterAndLength();
    void longerStoredValueIsNotCut();
    void enterAndDoubleClickRunModify();
    void lastIndexBeyondShorterList();
    void fillSkipsNullRowsAndSurvivesMissingTable();
    void otherSaveFailureShowsStandardText();
};

void TestLookups::opensOnCategoryWithItsLayout() {
    test::Fixture f;
    f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    QCOMPARE(window.windowTitle(), QStringLiteral("Lookup Tables"));
    QCOMPARE(window.helpContext(), 2003);
    QVERIFY(window.Option1->isChecked());
    QCOMPARE(window.Option1->text(), QStringLiteral("Category"));
    QCOMPARE(window.Option2->text(), QStringLiteral("Priority"));
    QCOMPARE(f.state.LOOKUP_TABLE, QStringLiteral("LU_Category"));
    QCOMPARE(f.state.LOOKUP_FIELD, QStringLiteral("Category"));
    QCOMPARE(f.state.HOLD_FIELD, QStringLiteral("Category"));
    QCOMPARE(window.LAST_INDEX, -1);
    QCOMPARE(listLines(window.List1), (QStringList{QStringLiteral("Bug"), QStringLiteral("Enhancement"),
                                                   QStringLiteral("Question"), QStringLiteral("Urgent")}));
    QCOMPARE(selectedRow(window.List1), -1);

    QCOMPARE(window.List1->geometry(), twips::rect(0, 720, 5655, 1815));
    QCOMPARE(window.Command4->geometry(), twips::rect(4560, 2760, 975, 495));
    QCOMPARE(window.Option2->geometry(), twips::rect(120, 360, 1935, 255));
    QVERIFY(window.Command2->isDefault());
    QCOMPARE(window.Command1->text(), QStringLiteral("Add"));
    QCOMPARE(window.Command3->text(), QStringLiteral("Delete"));
    QCOMPARE(window.EDIT->title(), QStringLiteral("&Edit"));
    QStringList entries;
    for (QAction* a : window.EDIT->actions())
        entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(entries, (QStringList{QStringLiteral("&Add"), QStringLiteral("&Modify"),
                                   QStringLiteral("&Delete"), QStringLiteral("-"), QStringLiteral("&Exit")}));

    LOOKUP_FORM editor(f.ctx, nullptr);
    QCOMPARE(editor.windowTitle(), QStringLiteral("Lookup Value"));
    QCOMPARE(editor.helpContext(), 2003);
    QCOMPARE(editor.size(), QSize(twips::toPx(3930), twips::toPx(1305)));
    QCOMPARE(editor.HOLD_KEY->geometry(), twips::rect(1080, 120, 2415, 285));
    QCOMPARE(editor.HOLD_KEY->maxLength(), 24);
    QVERIFY(editor.Command1->isDefault());
    QCOMPARE(editor.Command2->text(), QStringLiteral("Cancel"));
}

void TestLookups::switchingTableActsOnPriorities() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(1);
    window.Option2->click();
    QCOMPARE(f.state.LOOKUP_TABLE, QStringLiteral("LU_Priority"));
    QCOMPARE(f.state.HOLD_FIELD, QStringLiteral("Priority"));
    QCOMPARE(window.LAST_INDEX, -1);
    QCOMPARE(listLines(window.List1),
             (QStringList{QStringLiteral("High"), QStringLiteral("Normal"), QStringLiteral("Low")}));
    QCOMPARE(selectedRow(window.List1), -1);

    auto ran = typeAndOk(QStringLiteral("Critical"));
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(
        test::scalarRaw(db, QStringLiteral("SELECT count(*) FROM LU_Priority WHERE Priority = 'Critical'"))
            .toInt(),
        1);
    QCOMPARE(categories(db).size(), 4);
    QCOMPARE(window.List1->count(), 4);

    window.Option1->click();
    QCOMPARE(f.state.LOOKUP_TABLE, QStringLiteral("LU_Category"));
    QCOMPARE(window.List1->count(), 4);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestLookups::addTrimsAndStoresBlankForEmpty() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();

    auto ran = typeAndOk(QStringLiteral("  Sensor   "));
    window.ADD->trigger();
    QVERIFY(*ran);
    QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("NEW"));
    QVERIFY(categories(db).contains(QStringLiteral("Sensor")));
    QVERIFY(listLines(window.List1).contains(QStringLiteral("Sensor")));
    QCOMPARE(selectedRow(window.List1), -1);

    ran = typeAndOk(QStringLiteral("    "));
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(
        test::scalarRaw(db, QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category = ' '")).toInt(),
        1);
    QVERIFY(listLines(window.List1).contains(QStringLiteral(" ")));
    QVERIFY(f.platform.boxes().isEmpty());

    QCOMPARE(LOOKUP_FORM::storedValue(QString()), QStringLiteral(" "));
    QCOMPARE(LOOKUP_FORM::storedValue(QStringLiteral(" a b ")), QStringLiteral("a b"));
}

void TestLookups::blankValueCanBeOpenedAndDeleted() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES (' ')"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    const int blank = int(listLines(window.List1).indexOf(QStringLiteral(" ")));
    QVERIFY(blank >= 0);

    QString shown;
    window.List1->setCurrentRow(blank);
    auto ran = whenModal<LOOKUP_FORM>([&shown](LOOKUP_FORM* editor) {
        shown = editor->HOLD_KEY->text();
        editor->Command1->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(shown, QStringLiteral(" "));
    QCOMPARE(f.state.HOLD_VALUE, QStringLiteral(" "));

    window.List1->setCurrentRow(blank);
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QVERIFY(!categories(db).contains(QStringLiteral(" ")));
    QCOMPARE(categories(db).size(), 4);
    QVERIFY(!listLines(window.List1).contains(QStringLiteral(" ")));
}

void TestLookups::duplicatesAreRefusedAndDialogStaysOpen() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();

    // Each of these duplicates Urgent once trimmed and compared without regard to case.
    for (const QString& typed :
         {QStringLiteral("urgent"), QStringLiteral("  Urgent "), QStringLiteral("URGENT")}) {
        f.platform.clear();
        bool stayedOpen = false;
        bool focusInKey = false;
        QString pendingAfterFix;
        auto ran = whenModal<LOOKUP_FORM>([&](LOOKUP_FORM* editor) {
            QTest::keyClicks(editor->HOLD_KEY, typed);
            editor->Command1->click();
            stayedOpen = editor->isVisible() && !editor->isUnloaded();
            focusInKey = editor->focusWidget() == editor->HOLD_KEY;
            // The row is still pending: a corrected value saves.
            editor->HOLD_KEY->setText(QStringLiteral("Routine"));
            editor->Command1->click();
            pendingAfterFix = editor->isUnloaded() ? QStringLiteral("closed") : QStringLiteral("open");
        });
        window.Command1->click();
        QVERIFY(*ran);
        QVERIFY(stayedOpen);
        QVERIFY(focusInKey);
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral("Value already exists, Please specify another ID.")});
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));
        QCOMPARE(pendingAfterFix, QStringLiteral("closed"));
        QCOMPARE(
            test::scalarRaw(db, QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category = 'Routine'"))
                .toInt(),
            1);
        test::execRaw(db, QStringLiteral("DELETE FROM LU_Category WHERE Category = 'Routine'"));
    }
    QCOMPARE(test::scalarRaw(db, QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category = 'Urgent'"))
                 .toInt(),
             1);
}

void TestLookups::modifyReselectsSamePosition() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(2); // Question
    auto ran = typeAndOk(QStringLiteral("Inquiry"));
    window.MODIFY->trigger();
    QVERIFY(*ran);
    QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("OPEN"));
    QCOMPARE(f.state.HOLD_VALUE, QStringLiteral("Question"));
    QCOMPARE(window.LAST_INDEX, 2);
    QCOMPARE(categories(db), (QStringList{QStringLiteral("Bug"), QStringLiteral("Enhancement"),
                                          QStringLiteral("Inquiry"), QStringLiteral("Urgent")}));
    QCOMPARE(selectedRow(window.List1), 2);
    QCOMPARE(window.List1->item(2)->text(), QStringLiteral("Inquiry"));

    // Renaming a category that tasks use is refused by the engine and shown with its standard text.
    window.List1->setCurrentRow(0); // Bug, used by the sample tasks
    f.platform.clear();
    bool stayedOpen = false;
    ran = whenModal<LOOKUP_FORM>([&](LOOKUP_FORM* editor) {
        editor->HOLD_KEY->setText(QStringLiteral("Defect"));
        editor->Command1->click();
        stayedOpen = !editor->isUnloaded();
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QVERIFY(stayedOpen);
    QCOMPARE(f.platform.boxTexts(), QStringList{standardText(err::RelatedRecords)});
    QCOMPARE(categories(db).first(), QStringLiteral("Bug"));
}

void TestLookups::cancelWritesNothing() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    const QStringList before = categories(db);

    auto ran = cancelAfterTyping(QStringLiteral("Never"));
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(categories(db), before);
    QCOMPARE(selectedRow(window.List1), -1);

    window.List1->setCurrentRow(3);
    ran = cancelAfterTyping(QStringLiteral("Changed"));
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(categories(db), before);
    QCOMPARE(selectedRow(window.List1), 3);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestLookups::closingEditorDiscardsPendingRow() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    const QStringList before = categories(db);
    // Esc is bound to nothing; the title bar's close box unloads and the pending row is dropped.
    auto ran = whenModal<LOOKUP_FORM>([](LOOKUP_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("Pending"));
        QTest::keyClick(editor, Qt::Key_Escape);
        QVERIFY(!editor->isUnloaded());
        editor->close();
    });
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(categories(db), before);

    bool save = true;
    EditorDialog::Data1_Validate(action::Unload, save);
    QVERIFY(!save);
    save = true;
    EditorDialog::Data1_Validate(action::Update, save);
    QVERIFY(save);
}

void TestLookups::deleteAsksAndDeletesOnlyTheChosenValue() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(2); // Question

    f.platform.queueAnswer(Answer::Cancel);
    window.Command3->click();
    QCOMPARE(categories(db).size(), 4);
    QCOMPARE(f.platform.boxes().size(), 1);
    QCOMPARE(f.platform.boxes().first().text, QStringLiteral("Are you sure?"));
    QCOMPARE(f.platform.boxes().first().title, QStringLiteral("DELETE"));
    QCOMPARE(f.platform.boxes().first().buttons, Buttons::OkCancel);
    QCOMPARE(f.platform.boxes().first().icon, Icon::None);

    f.platform.queueAnswer(Answer::Ok);
    window.DELETE->trigger();
    QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("DELETE"));
    QCOMPARE(categories(db),
             (QStringList{QStringLiteral("Bug"), QStringLiteral("Enhancement"), QStringLiteral("Urgent")}));
    QCOMPARE(listLines(window.List1), categories(db));
    QCOMPARE(f.platform.boxes().size(), 2);
}

void TestLookups::deleteRefusedByTasksKeepsValueAndList() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(
        db,
        QStringLiteral("INSERT INTO SCR (SCR_Number, SCR_STATUS, SCR_Category) VALUES (77, 'A', 'Urgent')"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    // Added behind the window's back: a refill would show it.
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('Later')"));
    window.List1->setCurrentRow(3); // Urgent
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("Are you sure?"), QStringLiteral("Unable to delete.")}));
    QCOMPARE(f.platform.boxes().last().title, QStringLiteral("Pell Admin"));
    QVERIFY(categories(db).contains(QStringLiteral("Urgent")));
    QCOMPARE(window.List1->count(), 4);
    QVERIFY(!listLines(window.List1).contains(QStringLiteral("Later")));
}

void TestLookups::otherDeleteFailureIsSilent() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("CREATE TRIGGER keep_categories BEFORE DELETE ON LU_Category "
                                     "BEGIN SELECT RAISE(ABORT, 'kept by policy'); END"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('Later')"));
    window.List1->setCurrentRow(2);
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Are you sure?")});
    QCOMPARE(categories(db).size(), 5);
    QCOMPARE(window.List1->count(), 4);
}

void TestLookups::noItemSelected() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("DELETE FROM LU_Priority"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    // Lines listed but none chosen.
    window.Command2->click();
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("No item selected"), QStringLiteral("No item selected")}));
    QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));

    // An empty table: an empty list, and the same answers.
    f.platform.clear();
    window.Option2->click();
    QCOMPARE(window.List1->count(), 0);
    window.MODIFY->trigger();
    window.DELETE->trigger();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("No item selected"), QStringLiteral("No item selected")}));
    QCOMPARE(categories(db).size(), 4);
}

void TestLookups::apostropheValueFromAnotherProgram() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('O''Neil''s list')"));
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('x'' OR ''1''=''1')"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    const QStringList lines = listLines(window.List1);
    const int row = int(lines.indexOf(QStringLiteral("O'Neil's list")));
    QVERIFY(row >= 0);
    QVERIFY(lines.contains(QStringLiteral("x' OR '1'='1")));

    QString shown;
    window.List1->setCurrentRow(row);
    auto ran = whenModal<LOOKUP_FORM>([&shown](LOOKUP_FORM* editor) {
        shown = editor->HOLD_KEY->text();
        editor->Command1->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(shown, QStringLiteral("O'Neil's list"));
    QVERIFY(f.platform.boxes().isEmpty());

    const int injected = int(listLines(window.List1).indexOf(QStringLiteral("x' OR '1'='1")));
    window.List1->setCurrentRow(injected);
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(categories(db),
             (QStringList{QStringLiteral("Bug"), QStringLiteral("Enhancement"), QStringLiteral("Question"),
                          QStringLiteral("Urgent"), QStringLiteral("O'Neil's list")}));
}

void TestLookups::vanishedRowIsReportedNotReplaced() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(1); // Enhancement
    test::execRaw(db, QStringLiteral("DELETE FROM LU_Category WHERE Category = 'Enhancement'"));
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"), VanishedText}));
    QCOMPARE(categories(db),
             (QStringList{QStringLiteral("Bug"), QStringLiteral("Question"), QStringLiteral("Urgent")}));
    QCOMPARE(listLines(window.List1), categories(db));

    // Opening a vanished value opens nothing else and writes nothing.
    f.platform.clear();
    window.List1->setCurrentRow(1); // Question
    test::execRaw(db, QStringLiteral("DELETE FROM LU_Category WHERE Category = 'Question'"));
    QElapsedTimer clock;
    clock.start();
    window.Command2->click();
    QVERIFY(clock.elapsed() < 4000);
    QCOMPARE(f.platform.boxTexts(), QStringList{VanishedText});
    QCOMPARE(categories(db), (QStringList{QStringLiteral("Bug"), QStringLiteral("Urgent")}));
    QCOMPARE(listLines(window.List1), categories(db));
    QCOMPARE(selectedRow(window.List1), 1);
}

void TestLookups::keyFilterAndLength() {
    test::Fixture f;
    f.makeSharedDb();
    f.state.LOOKUP_TABLE = QStringLiteral("LU_Category");
    f.state.LOOKUP_FIELD = f.state.HOLD_FIELD = QStringLiteral("Category");
    f.state.HOLD_ACTION = QStringLiteral("NEW");
    LOOKUP_FORM editor(f.ctx, nullptr);
    editor.show();
    QTest::keyClicks(editor.HOLD_KEY, QStringLiteral("O'Neil"));
    QCOMPARE(editor.HOLD_KEY->text(), QStringLiteral("O\"Neil"));
    editor.HOLD_KEY->clear();
    QTest::keyClicks(editor.HOLD_KEY, QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
    QCOMPARE(editor.HOLD_KEY->text(), QStringLiteral("abcdefghijklmnopqrstuvwx"));
    editor.Command2->click();
}

void TestLookups::longerStoredValueIsNotCut() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    const QString longValue = QStringLiteral("A category written elsewhere, 40 chars");
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('") + longValue + QStringLiteral("')"));
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(4);
    QString shown;
    auto ran = whenModal<LOOKUP_FORM>([&shown](LOOKUP_FORM* editor) {
        shown = editor->HOLD_KEY->text();
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("more")); // the box is full: nothing is added
        editor->Command1->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(shown, longValue);
    QCOMPARE(categories(db).last(), longValue);
}

void TestLookups::enterAndDoubleClickRunModify() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.activateWindow();
    window.List1->setFocus();
    window.List1->setCurrentRow(1); // Enhancement

    // Enter in the list runs Modify; Enter in the dialog runs OK.
    bool closedByEnter = false;
    auto ran = whenModal<LOOKUP_FORM>([&closedByEnter](LOOKUP_FORM* editor) {
        editor->HOLD_KEY->setText(QStringLiteral("Feature"));
        QTest::keyClick(editor->HOLD_KEY, Qt::Key_Return);
        closedByEnter = editor->isUnloaded();
        if (!closedByEnter)
            editor->Command2->click();
    });
    QTest::keyClick(window.List1, Qt::Key_Return);
    QVERIFY(*ran);
    QVERIFY(closedByEnter);
    QCOMPARE(f.state.HOLD_VALUE, QStringLiteral("Enhancement"));
    QCOMPARE(categories(db).at(1), QStringLiteral("Feature"));

    const QRect third = window.List1->visualItemRect(window.List1->item(2));
    ran = whenModal<LOOKUP_FORM>([](LOOKUP_FORM* editor) { editor->Command2->click(); });
    QTest::mouseClick(window.List1->viewport(), Qt::LeftButton, {}, third.center());
    QTest::mouseDClick(window.List1->viewport(), Qt::LeftButton, {}, third.center());
    QVERIFY(*ran);
    QCOMPARE(f.state.HOLD_VALUE, QStringLiteral("Question"));
    QCOMPARE(window.LAST_INDEX, 2);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestLookups::lastIndexBeyondShorterList() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(3);
    // Another administrator empties most of the table while the dialog is open.
    auto ran = whenModal<LOOKUP_FORM>([db](LOOKUP_FORM* editor) {
        test::execRaw(
            db, QStringLiteral("DELETE FROM LU_Category WHERE Category <> 'Bug' AND Category <> 'Urgent'"));
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(window.LAST_INDEX, 3);
    QCOMPARE(window.List1->count(), 2);
    QCOMPARE(selectedRow(window.List1), -1);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestLookups::fillSkipsNullRowsAndSurvivesMissingTable() {
    test::Fixture f;
    // A database of an older layout: the column allows nulls.
    const QString db = f.path(QStringLiteral("old.mdb"));
    db::Database::create(db)->execute(QStringLiteral("CREATE TABLE LU_Category (Category TEXT)"));
    test::execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('One'), (NULL), ('Two'), (NULL)"));
    f.state.DATABASE_PATH = db;
    F_LOOKUP window(f.ctx, nullptr);
    QCOMPARE(listLines(window.List1), (QStringList{QStringLiteral("One"), QStringLiteral("Two")}));
    // No priority table at all: the fill ends with an empty list and no box of its own.
    const qsizetype boxes = f.platform.boxes().size();
    window.Option2->click();
    QCOMPARE(window.List1->count(), 0);
    QCOMPARE(f.platform.boxes().size(), boxes);
    window.Option1->click();
    QCOMPARE(window.List1->count(), 2);
}

void TestLookups::otherSaveFailureShowsStandardText() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_LOOKUP window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(2); // Question
    bool stayedOpen = false;
    auto ran = whenModal<LOOKUP_FORM>([&](LOOKUP_FORM* editor) {
        // Changed by someone else after the dialog read it.
        test::execRaw(
            db, QStringLiteral("UPDATE LU_Category SET Category = 'Query' WHERE Category = 'Question'"));
        editor->HOLD_KEY->setText(QStringLiteral("Inquiry"));
        editor->Command1->click();
        stayedOpen = !editor->isUnloaded();
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QVERIFY(stayedOpen);
    QCOMPARE(f.platform.boxTexts(), QStringList{standardText(err::ChangedByOther)});
    QVERIFY(categories(db).contains(QStringLiteral("Query")));
    QVERIFY(!categories(db).contains(QStringLiteral("Inquiry")));
}

QTEST_MAIN(TestLookups)
#include "tst_lookups.moc"
