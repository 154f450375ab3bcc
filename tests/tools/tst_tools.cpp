// The add-on tool list and the tool editor, driven through their real windows against real databases.
#include "lookups/list_window_driver.h"
#include "platform/twips.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

using namespace pell;
using namespace Qt::StringLiterals;
using test::words;

namespace {

struct Tools : test::ListWindow<F_TOOL, TOOL_FORM> {
    using ListWindow::ListWindow;
    // One tool row as "name|exe|access|scr|user|number".
    QString row(const QString& name) const {
        return test::scalarRaw(db,
                               u"SELECT Tool_Name || '|' || Tool_EXE || '|' || Tool_Access_Screen || '|' || "
                               "Tool_SCR_Screen || '|' || Tool_Param_User_ID || '|' || "
                               "Tool_Param_SCR_Number FROM TOOL WHERE Tool_Name = '"_s +
                                   QString(name).replace(u'\'', u"''"_s) + u'\'')
            .toString();
    }
    int tools() const { return count(u"SELECT count(*) FROM TOOL"_s); }
};

// What the editor shows, as "name|exe|" and the four boxes as 0 or 1.
QString shownIn(const TOOL_FORM* e) {
    QString boxes;
    for (const QCheckBox* box : {e->Check1, e->Check2, e->Check3, e->Check4})
        boxes += box->isChecked() ? u'1' : u'0';
    return e->HOLD_KEY->text() + u'|' + e->Text1->text() + u'|' + boxes;
}

} // namespace

class TestTools : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layout();
    void addChecksRequiredFieldsThenWritesEveryField();
    void duplicateNamesAndChangedRowsAreRefused();
    void modifyWritesBoxesAndReselects();
    void cancelCloseAndKeyFilterWriteNothing();
    void deleteAsksAndFailureReachesProgramWideHandler();
    void vanishedToolIsReportedAndEmptyListAnswers();
};

void TestTools::layout() {
    Tools t;
    F_TOOL& w = *t.window;
    QCOMPARE(w.windowTitle(), u"Add-On Tool Administration"_s);
    QCOMPARE(w.helpContext(), 3);
    QCOMPARE(t.f.state.HOLD_FIELD, u"Tool_Name"_s);
    QCOMPARE(w.LAST_INDEX, -1);
    QCOMPARE(t.lines(), words("Calculator|Task Report"));
    QCOMPARE(t.selected(), -1);
    QCOMPARE(w.List1->geometry(), twips::rect(0, 0, 3855, 2595));
    QCOMPARE(w.Command4->geometry(), twips::rect(2880, 2760, 975, 495));
    QVERIFY(w.Command2->isDefault());
    QCOMPARE(w.EDIT->actions().size(), 5);
    QVERIFY(w.EDIT->actions().at(3)->isSeparator());

    t.f.state.HOLD_ACTION = u"NEW"_s;
    Loaded<TOOL_FORM> e(t.f.ctx, nullptr);
    QCOMPARE(e.windowTitle(), u"TOOL"_s);
    QCOMPARE(e.helpContext(), 3);
    QCOMPARE(e.size(), QSize(twips::toPx(6045), twips::toPx(4245)));
    QCOMPARE((QStringList{e.Label2->text(), e.Label1->text(), e.Frame1->title(), e.Frame2->title(),
                          e.Check1->text(), e.Check2->text(), e.Check3->text(), e.Check4->text()}),
             words("Tool Name|Tool EXE|Include On|Passing Parameters|Access Screen|Task Screen|User ID|"
                   "Task Number"));
    QCOMPARE(e.Frame2->geometry(), twips::rect(240, 2280, 5655, 975));
    QCOMPARE(e.Check4->parentWidget(), e.Frame2);
    QCOMPARE(e.Command2->geometry(), twips::rect(4800, 3600, 1095, 495));
    QVERIFY(e.Command1->isDefault());
}

void TestTools::addChecksRequiredFieldsThenWritesEveryField() {
    Tools t;
    QStringList steps;
    auto ran = test::whenModal<TOOL_FORM>([&](TOOL_FORM* e) {
        steps << shownIn(e);
        e->Command1->click();
        steps << t.boxes() << (e->focusWidget() == e->HOLD_KEY ? u"name"_s : u"?"_s);
        QTest::keyClicks(e->HOLD_KEY, u"Editor"_s);
        t.f.platform.clear();
        e->Command1->click();
        steps << t.boxes() << (e->focusWidget() == e->Text1 ? u"exe"_s : u"?"_s)
              << (e->isUnloaded() ? u"closed"_s : u"open"_s);
        t.f.platform.clear();
        QTest::keyClicks(e->Text1, u"/usr/bin/editor"_s);
        e->Check2->setChecked(true);
        e->Check3->setChecked(true);
        e->Command1->click();
    });
    t.window->ADD->trigger();
    QVERIFY(*ran);
    QCOMPARE(steps, QStringList{u"||0000"_s} +
                        words("Please Specify Tool Name|name|Please Specify the Executable Name|exe|open"));
    QCOMPARE(t.f.state.HOLD_ACTION, u"NEW"_s);
    QCOMPARE(t.row(u"Editor"_s), u"Editor|/usr/bin/editor|0|-1|-1|0"_s);
    QCOMPARE(t.lines().last(), u"Editor"_s);
    QCOMPARE(t.selected(), -1);
    QVERIFY(t.boxes().isEmpty());

    // A name of blanks is written as typed, and so is the executable.
    t.add([](TOOL_FORM* e) {
        QTest::keyClicks(e->HOLD_KEY, u"   "_s);
        QTest::keyClicks(e->Text1, u" run me "_s);
        e->Command1->click();
    });
    QVERIFY(t.boxes().isEmpty());
    QCOMPARE(t.row(u"   "_s), u"   | run me |0|0|0|0"_s);
    QVERIFY(t.lines().contains(u"   "_s));
}

void TestTools::duplicateNamesAndChangedRowsAreRefused() {
    Tools t;
    const QStringList refused{u"Tool Name already exists, Please specify another Name."_s};
    bool focusInName = false;
    t.add([&focusInName](TOOL_FORM* e) {
        QTest::keyClicks(e->HOLD_KEY, u"calculator"_s);
        QTest::keyClicks(e->Text1, u"calc2"_s);
        e->Text1->setFocus();
        e->Command1->click();
        focusInName = e->focusWidget() == e->HOLD_KEY && !e->isUnloaded();
        e->HOLD_KEY->setText(u"Calculator 2"_s);
        e->Command1->click();
    });
    QVERIFY(focusInName);
    QCOMPARE(t.boxes(), refused);
    QCOMPARE(t.row(u"Calculator 2"_s), u"Calculator 2|calc2|0|0|0|0"_s);

    t.f.platform.clear(); // renaming a tool to another tool's name
    t.modify(1, [](TOOL_FORM* e) {
        e->HOLD_KEY->setText(u"CALCULATOR"_s);
        e->Command1->click();
        e->Command2->click();
    });
    QCOMPARE(t.boxes(), refused);
    QCOMPARE(t.row(u"Task Report"_s), u"Task Report|pellreport|0|-1|-1|-1"_s);

    t.f.platform.clear(); // saving a tool changed by someone else meanwhile
    bool stayedOpen = false;
    t.modify(0, [&](TOOL_FORM* e) {
        t.sql(u"UPDATE TOOL SET Tool_EXE = 'calc64' WHERE Tool_Name = 'Calculator'"_s);
        e->Text1->setText(u"calc32"_s);
        e->Command1->click();
        stayedOpen = !e->isUnloaded();
        e->Command2->click();
    });
    QVERIFY(stayedOpen);
    QCOMPARE(t.boxes(), QStringList{u"Unknown Error. Please Exit and restart."_s});
    QCOMPARE(t.row(u"Calculator"_s), u"Calculator|calc64|-1|0|0|0"_s);
}

void TestTools::modifyWritesBoxesAndReselects() {
    // A second tool whose name has an apostrophe, written by another program.
    Tools t({u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Bob''s tool', 'bob')"_s});
    QCOMPARE(t.lines(), words("Calculator|Task Report|Bob's tool"));
    QString shown;
    auto tick = [&shown](QCheckBox* TOOL_FORM::*box) {
        return [&shown, box](TOOL_FORM* e) {
            shown = shownIn(e);
            (e->*box)->setChecked(true);
            e->Command1->click();
        };
    };
    t.modify(1, tick(&TOOL_FORM::Check1));
    QCOMPARE(shown, u"Task Report|pellreport|0111"_s);
    QCOMPARE(t.row(u"Task Report"_s), u"Task Report|pellreport|-1|-1|-1|-1"_s);
    QCOMPARE(t.window->LAST_INDEX, 1);
    QCOMPARE(t.selected(), 1);
    t.modify(2, tick(&TOOL_FORM::Check3));
    QCOMPARE(shown, u"Bob's tool|bob|0000"_s);
    QCOMPARE(t.row(u"Bob's tool"_s), u"Bob's tool|bob|0|0|-1|0"_s);
    QVERIFY(t.boxes().isEmpty());

    t.remove(2);
    QCOMPARE(t.tools(), 2);
    QVERIFY(t.row(u"Bob's tool"_s).isEmpty());
    QCOMPARE(t.lines(), words("Calculator|Task Report"));
}

void TestTools::cancelCloseAndKeyFilterWriteNothing() {
    Tools t;
    const QString before = t.row(u"Calculator"_s);
    t.modify(0, [](TOOL_FORM* e) {
        e->Text1->setText(u"other"_s);
        e->Check4->setChecked(true);
        e->Command2->click();
    });
    QCOMPARE(t.row(u"Calculator"_s), before);
    QCOMPARE(t.selected(), 0);
    // The name refuses the apostrophe, the executable does not; both hold 50; closing writes nothing.
    QStringList shown;
    t.add([&shown](TOOL_FORM* e) {
        QTest::keyClicks(e->HOLD_KEY, u"Bob's tool"_s);
        QTest::keyClicks(e->Text1, u"bob's.exe"_s);
        shown << e->HOLD_KEY->text() << e->Text1->text();
        e->HOLD_KEY->clear();
        e->Text1->clear();
        QTest::keyClicks(e->HOLD_KEY, QString(51, u'x'));
        QTest::keyClicks(e->Text1, QString(51, u'y'));
        shown << e->HOLD_KEY->text() << e->Text1->text();
        e->close();
    });
    QCOMPARE(shown, (QStringList{u"Bob\"s tool"_s, u"bob's.exe"_s, QString(50, u'x'), QString(50, u'y')}));
    QCOMPARE(t.tools(), 2);
    QVERIFY(t.boxes().isEmpty());
}

void TestTools::deleteAsksAndFailureReachesProgramWideHandler() {
    Tools t;
    t.remove(0, Answer::Cancel);
    QCOMPARE(t.tools(), 2);
    t.f.platform.queueAnswer(Answer::Ok);
    t.window->DELETE->trigger();
    QCOMPARE(t.f.state.HOLD_ACTION + u'|' + t.f.state.HOLD_VALUE, u"DELETE|Calculator"_s);
    QCOMPARE(t.tools(), 1);
    QCOMPARE(t.lines(), QStringList{u"Task Report"_s});
    QCOMPARE(t.boxes(), QStringList(2, u"Are you sure?"_s));
    QCOMPARE(t.f.platform.boxes().first().title, u"DELETE"_s);
    QCOMPARE(t.f.platform.boxes().first().buttons, Buttons::OkCancel);

    t.f.platform.clear();
    t.sql(
        u"CREATE TRIGGER keep_tools BEFORE DELETE ON TOOL BEGIN SELECT RAISE(ABORT, 'kept by policy'); END"_s);
    t.sql(u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Later', 'later')"_s);
    t.remove(0);
    QCOMPARE(t.f.platform.boxes().size(), 2);
    QVERIFY(t.f.platform.boxes().last().text.startsWith(u"Error "_s));
    QCOMPARE(t.f.platform.boxes().last().title, u"Pell Admin"_s);
    QCOMPARE(t.tools(), 2);
    QVERIFY(!t.window->isUnloaded() && t.window->isVisible());
    QCOMPARE(t.window->List1->count(), 1); // not refilled
}

void TestTools::vanishedToolIsReportedAndEmptyListAnswers() {
    Tools t;
    t.sql(u"DELETE FROM TOOL WHERE Tool_Name = 'Calculator'"_s);
    t.remove(0);
    QCOMPARE(t.boxes(), (QStringList{u"Are you sure?"_s, VanishedText}));
    QCOMPARE(t.tools(), 1);
    QCOMPARE(t.lines(), QStringList{u"Task Report"_s});

    t.f.platform.clear();
    t.window->List1->setCurrentRow(0);
    t.sql(u"DELETE FROM TOOL"_s);
    t.window->Command2->click();
    QCOMPARE(t.boxes(), QStringList{VanishedText});
    QCOMPARE(t.window->List1->count(), 0);
    t.f.platform.clear(); // the table is empty now
    t.window->Command2->click();
    t.window->Command3->click();
    QCOMPARE(t.boxes(), QStringList(2, u"No item selected"_s));
    t.window->EXIT->trigger();
    QVERIFY(t.window->isUnloaded() && !t.window->isVisible());
}

QTEST_MAIN(TestTools)
#include "tst_tools.moc"
