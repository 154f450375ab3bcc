// The add-on tool list and the tool editor, driven through their real windows against real databases.
#include "lookups/modal_driver.h"
#include "support/test_support.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "widgets/twips.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
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

// One tool row as "name|exe|access|scr|user|number".
QString toolRow(const QString& db, const QString& name) {
    return test::scalarRaw(
               db,
               QStringLiteral("SELECT Tool_Name || '|' || Tool_EXE || '|' || Tool_Access_Screen || '|' || "
                              "Tool_SCR_Screen || '|' || Tool_Param_User_ID || '|' || "
                              "Tool_Param_SCR_Number FROM TOOL WHERE Tool_Name = '") +
                   QString(name).replace(u'\'', QStringLiteral("''")) + QStringLiteral("'"))
        .toString();
}

int toolCount(const QString& db) {
    return test::scalarRaw(db, QStringLiteral("SELECT count(*) FROM TOOL")).toInt();
}

} // namespace

class TestTools : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowsHaveTheirLayout();
    void addWritesEveryField();
    void requiredFieldsInOrder();
    void blankNameIsWrittenAsTyped();
    void duplicateNamesAreRefused();
    void checkBoxChangeReselectsLine();
    void cancelAndCloseWriteNothing();
    void keyFilterOnNameOnlyAndLengths();
    void deleteAsksAndDeletesOnlyTheChosenTool();
    void deleteFailureReachesProgramWideHandler();
    void apostropheNameFromAnotherProgram();
    void vanishedToolIsReported();
    void otherSaveFailureIsUnknownError();
    void emptyTableAndNoSelection();
};

void TestTools::windowsHaveTheirLayout() {
    test::Fixture f;
    f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    QCOMPARE(window.windowTitle(), QStringLiteral("Add-On Tool Administration"));
    QCOMPARE(window.helpContext(), 3);
    QCOMPARE(f.state.HOLD_FIELD, QStringLiteral("Tool_Name"));
    QCOMPARE(window.LAST_INDEX, -1);
    QCOMPARE(listLines(window.List1),
             (QStringList{QStringLiteral("Calculator"), QStringLiteral("Task Report")}));
    QCOMPARE(selectedRow(window.List1), -1);
    QCOMPARE(window.List1->geometry(), twips::rect(0, 0, 3855, 2595));
    QCOMPARE(window.Command4->geometry(), twips::rect(2880, 2760, 975, 495));
    QVERIFY(window.Command2->isDefault());
    QCOMPARE(window.EDIT->actions().size(), 5);
    QVERIFY(window.EDIT->actions().at(3)->isSeparator());

    f.state.HOLD_ACTION = QStringLiteral("NEW");
    TOOL_FORM editor(f.ctx, nullptr);
    QCOMPARE(editor.windowTitle(), QStringLiteral("TOOL"));
    QCOMPARE(editor.helpContext(), 3);
    QCOMPARE(editor.size(), QSize(twips::toPx(6045), twips::toPx(4245)));
    QCOMPARE(editor.Label2->text(), QStringLiteral("Tool Name"));
    QCOMPARE(editor.Label1->text(), QStringLiteral("Tool EXE"));
    QCOMPARE(editor.Frame1->title(), QStringLiteral("Include On"));
    QCOMPARE(editor.Frame2->title(), QStringLiteral("Passing Parameters"));
    QCOMPARE(editor.Check1->parentWidget(), editor.Frame1);
    QCOMPARE(editor.Check2->parentWidget(), editor.Frame1);
    QCOMPARE(editor.Check3->parentWidget(), editor.Frame2);
    QCOMPARE(editor.Check4->parentWidget(), editor.Frame2);
    QCOMPARE(editor.Check1->text(), QStringLiteral("Access Screen"));
    QCOMPARE(editor.Check2->text(), QStringLiteral("Task Screen"));
    QCOMPARE(editor.Check3->text(), QStringLiteral("User ID"));
    QCOMPARE(editor.Check4->text(), QStringLiteral("Task Number"));
    QCOMPARE(editor.Check4->geometry(), twips::rect(120, 600, 2895, 255));
    QCOMPARE(editor.Frame2->geometry(), twips::rect(240, 2280, 5655, 975));
    QCOMPARE(editor.Command1->geometry(), twips::rect(240, 3600, 1095, 495));
    QCOMPARE(editor.Command2->geometry(), twips::rect(4800, 3600, 1095, 495));
    QVERIFY(editor.Command1->isDefault());
    QCOMPARE(editor.HOLD_KEY->maxLength(), 50);
    QCOMPARE(editor.Text1->maxLength(), 50);
}

void TestTools::addWritesEveryField() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    bool defaultsClear = false;
    auto ran = whenModal<TOOL_FORM>([&defaultsClear](TOOL_FORM* editor) {
        defaultsClear = editor->HOLD_KEY->text().isEmpty() && editor->Text1->text().isEmpty() &&
                        !editor->Check1->isChecked() && !editor->Check4->isChecked();
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("Editor"));
        QTest::keyClicks(editor->Text1, QStringLiteral("/usr/bin/editor"));
        editor->Check2->setChecked(true);
        editor->Check3->setChecked(true);
        editor->Command1->click();
    });
    window.ADD->trigger();
    QVERIFY(*ran);
    QVERIFY(defaultsClear);
    QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("NEW"));
    QCOMPARE(toolRow(db, QStringLiteral("Editor")), QStringLiteral("Editor|/usr/bin/editor|0|-1|-1|0"));
    QCOMPARE(listLines(window.List1).last(), QStringLiteral("Editor"));
    QCOMPARE(selectedRow(window.List1), -1);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestTools::requiredFieldsInOrder() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    QStringList steps;
    auto ran = whenModal<TOOL_FORM>([&steps, &f](TOOL_FORM* editor) {
        editor->Command1->click();
        steps << f.platform.boxTexts().join(u'/');
        steps << (editor->focusWidget() == editor->HOLD_KEY ? QStringLiteral("name") : QStringLiteral("?"));
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("Viewer"));
        f.platform.clear();
        editor->Command1->click();
        steps << f.platform.boxTexts().join(u'/');
        steps << (editor->focusWidget() == editor->Text1 ? QStringLiteral("exe") : QStringLiteral("?"));
        steps << (editor->isUnloaded() ? QStringLiteral("closed") : QStringLiteral("open"));
        editor->Command2->click();
    });
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(steps, (QStringList{QStringLiteral("Please Specify Tool Name"), QStringLiteral("name"),
                                 QStringLiteral("Please Specify the Executable Name"), QStringLiteral("exe"),
                                 QStringLiteral("open")}));
    QCOMPARE(toolCount(db), 2);
}

void TestTools::blankNameIsWrittenAsTyped() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    auto ran = whenModal<TOOL_FORM>([](TOOL_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("   "));
        QTest::keyClicks(editor->Text1, QStringLiteral(" run me "));
        editor->Command1->click();
    });
    window.Command1->click();
    QVERIFY(*ran);
    QVERIFY(f.platform.boxes().isEmpty());
    QCOMPARE(toolRow(db, QStringLiteral("   ")), QStringLiteral("   | run me |0|0|0|0"));
    QVERIFY(listLines(window.List1).contains(QStringLiteral("   ")));
}

void TestTools::duplicateNamesAreRefused() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    bool focusInName = false;
    auto ran = whenModal<TOOL_FORM>([&focusInName](TOOL_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("calculator"));
        QTest::keyClicks(editor->Text1, QStringLiteral("calc2"));
        editor->Text1->setFocus();
        editor->Command1->click();
        focusInName = editor->focusWidget() == editor->HOLD_KEY && !editor->isUnloaded();
        editor->HOLD_KEY->setText(QStringLiteral("Calculator 2"));
        editor->Command1->click();
    });
    window.Command1->click();
    QVERIFY(*ran);
    QVERIFY(focusInName);
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Tool Name already exists, Please specify another Name.")});
    QCOMPARE(toolRow(db, QStringLiteral("Calculator 2")), QStringLiteral("Calculator 2|calc2|0|0|0|0"));

    // Renaming a tool to another tool's name.
    f.platform.clear();
    window.List1->setCurrentRow(1); // Task Report
    ran = whenModal<TOOL_FORM>([](TOOL_FORM* editor) {
        editor->HOLD_KEY->setText(QStringLiteral("CALCULATOR"));
        editor->Command1->click();
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Tool Name already exists, Please specify another Name.")});
    QCOMPARE(toolRow(db, QStringLiteral("Task Report")), QStringLiteral("Task Report|pellreport|0|-1|-1|-1"));
}

void TestTools::checkBoxChangeReselectsLine() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(1);
    QString shown;
    auto ran = whenModal<TOOL_FORM>([&shown](TOOL_FORM* editor) {
        shown = editor->HOLD_KEY->text() + u'|' + editor->Text1->text() + u'|' +
                QString::number(editor->Check1->isChecked()) + QString::number(editor->Check2->isChecked()) +
                QString::number(editor->Check3->isChecked()) + QString::number(editor->Check4->isChecked());
        editor->Check1->setChecked(true);
        editor->Command1->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(shown, QStringLiteral("Task Report|pellreport|0111"));
    QCOMPARE(toolRow(db, QStringLiteral("Task Report")),
             QStringLiteral("Task Report|pellreport|-1|-1|-1|-1"));
    QCOMPARE(window.LAST_INDEX, 1);
    QCOMPARE(selectedRow(window.List1), 1);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestTools::cancelAndCloseWriteNothing() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    const QString before = toolRow(db, QStringLiteral("Calculator"));
    window.List1->setCurrentRow(0);
    auto ran = whenModal<TOOL_FORM>([](TOOL_FORM* editor) {
        editor->Text1->setText(QStringLiteral("other"));
        editor->Check4->setChecked(true);
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(toolRow(db, QStringLiteral("Calculator")), before);
    QCOMPARE(selectedRow(window.List1), 0);

    ran = whenModal<TOOL_FORM>([](TOOL_FORM* editor) {
        QTest::keyClicks(editor->HOLD_KEY, QStringLiteral("Pending"));
        QTest::keyClicks(editor->Text1, QStringLiteral("pending"));
        editor->close();
    });
    window.Command1->click();
    QVERIFY(*ran);
    QCOMPARE(toolCount(db), 2);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestTools::keyFilterOnNameOnlyAndLengths() {
    test::Fixture f;
    f.makeSharedDb();
    f.state.HOLD_FIELD = QStringLiteral("Tool_Name");
    f.state.HOLD_ACTION = QStringLiteral("NEW");
    TOOL_FORM editor(f.ctx, nullptr);
    editor.show();
    QTest::keyClicks(editor.HOLD_KEY, QStringLiteral("Bob's tool"));
    QTest::keyClicks(editor.Text1, QStringLiteral("bob's.exe"));
    QCOMPARE(editor.HOLD_KEY->text(), QStringLiteral("Bob\"s tool"));
    QCOMPARE(editor.Text1->text(), QStringLiteral("bob's.exe"));
    editor.HOLD_KEY->clear();
    editor.Text1->clear();
    const QString fiftyOne = QString(51, u'x');
    QTest::keyClicks(editor.HOLD_KEY, fiftyOne);
    QTest::keyClicks(editor.Text1, fiftyOne);
    QCOMPARE(editor.HOLD_KEY->text().size(), 50);
    QCOMPARE(editor.Text1->text().size(), 50);
    editor.Command2->click();
}

void TestTools::deleteAsksAndDeletesOnlyTheChosenTool() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(0);
    f.platform.queueAnswer(Answer::Cancel);
    window.Command3->click();
    QCOMPARE(toolCount(db), 2);
    f.platform.queueAnswer(Answer::Ok);
    window.DELETE->trigger();
    QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("DELETE"));
    QCOMPARE(f.state.HOLD_VALUE, QStringLiteral("Calculator"));
    QCOMPARE(toolCount(db), 1);
    QVERIFY(toolRow(db, QStringLiteral("Task Report")).startsWith(QStringLiteral("Task Report|")));
    QCOMPARE(listLines(window.List1), QStringList{QStringLiteral("Task Report")});
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("Are you sure?"), QStringLiteral("Are you sure?")}));
    QCOMPARE(f.platform.boxes().first().title, QStringLiteral("DELETE"));
    QCOMPARE(f.platform.boxes().first().buttons, Buttons::OkCancel);
}

void TestTools::deleteFailureReachesProgramWideHandler() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("CREATE TRIGGER keep_tools BEFORE DELETE ON TOOL "
                                     "BEGIN SELECT RAISE(ABORT, 'kept by policy'); END"));
    F_TOOL window(f.ctx, nullptr);
    window.show();
    test::execRaw(db, QStringLiteral("INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Later', 'later')"));
    window.List1->setCurrentRow(0);
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(f.platform.boxes().size(), 2);
    QVERIFY(f.platform.boxes().last().text.startsWith(QStringLiteral("Error ")));
    QCOMPARE(f.platform.boxes().last().title, QStringLiteral("Pell Admin"));
    QCOMPARE(toolCount(db), 3);
    QVERIFY(!window.isUnloaded());
    QVERIFY(window.isVisible());
    QCOMPARE(window.List1->count(), 2); // not refilled
}

void TestTools::apostropheNameFromAnotherProgram() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Bob''s tool', 'bob')"));
    F_TOOL window(f.ctx, nullptr);
    window.show();
    QCOMPARE(listLines(window.List1).last(), QStringLiteral("Bob's tool"));
    window.List1->setCurrentRow(2);
    QString shown;
    auto ran = whenModal<TOOL_FORM>([&shown](TOOL_FORM* editor) {
        shown = editor->HOLD_KEY->text() + u'|' + editor->Text1->text();
        editor->Check3->setChecked(true);
        editor->Command1->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QCOMPARE(shown, QStringLiteral("Bob's tool|bob"));
    QCOMPARE(toolRow(db, QStringLiteral("Bob's tool")), QStringLiteral("Bob's tool|bob|0|0|-1|0"));

    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(toolCount(db), 2);
    QVERIFY(toolRow(db, QStringLiteral("Bob's tool")).isEmpty());
    QCOMPARE(listLines(window.List1),
             (QStringList{QStringLiteral("Calculator"), QStringLiteral("Task Report")}));
}

void TestTools::vanishedToolIsReported() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(0);
    test::execRaw(db, QStringLiteral("DELETE FROM TOOL WHERE Tool_Name = 'Calculator'"));
    f.platform.queueAnswer(Answer::Ok);
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"), VanishedText}));
    QCOMPARE(toolCount(db), 1);
    QCOMPARE(listLines(window.List1), QStringList{QStringLiteral("Task Report")});

    f.platform.clear();
    window.List1->setCurrentRow(0);
    test::execRaw(db, QStringLiteral("DELETE FROM TOOL"));
    window.Command2->click();
    QCOMPARE(f.platform.boxTexts(), QStringList{VanishedText});
    QCOMPARE(toolCount(db), 0);
    QCOMPARE(window.List1->count(), 0);
}

void TestTools::otherSaveFailureIsUnknownError() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    F_TOOL window(f.ctx, nullptr);
    window.show();
    window.List1->setCurrentRow(0);
    bool stayedOpen = false;
    auto ran = whenModal<TOOL_FORM>([&](TOOL_FORM* editor) {
        test::execRaw(db,
                      QStringLiteral("UPDATE TOOL SET Tool_EXE = 'calc64' WHERE Tool_Name = 'Calculator'"));
        editor->Text1->setText(QStringLiteral("calc32"));
        editor->Command1->click();
        stayedOpen = !editor->isUnloaded();
        editor->Command2->click();
    });
    window.Command2->click();
    QVERIFY(*ran);
    QVERIFY(stayedOpen);
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Unknown Error. Please Exit and restart.")});
    QCOMPARE(toolRow(db, QStringLiteral("Calculator")), QStringLiteral("Calculator|calc64|-1|0|0|0"));
}

void TestTools::emptyTableAndNoSelection() {
    test::Fixture f;
    const QString db = f.makeSharedDb();
    test::execRaw(db, QStringLiteral("DELETE FROM TOOL"));
    F_TOOL window(f.ctx, nullptr);
    window.show();
    QCOMPARE(window.List1->count(), 0);
    window.Command2->click();
    window.Command3->click();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("No item selected"), QStringLiteral("No item selected")}));
    window.EXIT->trigger();
    QVERIFY(window.isUnloaded());
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(TestTools)
#include "tst_tools.moc"
