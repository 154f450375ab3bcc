// The user window and the user editor on a real database: the team tree, Add and Modify through the editor,
// moves by drag and drop, the deletion rules with their messages; the editor's defaults, the access level in
// two flags, its checks, duplicate IDs, the key filters, and what an ID change does to the user's team. And
// without a window: the team tree's order and the rules on node keys and loops.
#include "core/command.h"
#include "core/error.h"
#include "db/database.h"
#include "support/drivers.h"
#include "support/user_window.h"
#include "users/team_tree.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QMenu>
#include <QRadioButton>

#include <tuple>

using namespace pell;
using namespace pell::test;
using namespace pell::users;

namespace {

const QString TeamLeaderText =
    u"This user is currently designated as a Pellwood to other users.  Please restructure teams "
    "(using the TEAMS button) before deleting.  Another solution is to replace, instead of "
    "deleting this user."_s;

const QStringList SampleTree = {
    u"admin : (Pellwood Administrator) Administrator"_s,
    u".support : Support team lead"_s,
    u"..clerk1 : Front desk"_s,
    u"..clerk2 : Back office"_s,
    u".dev : Development lead"_s,
    u"..dev1 : Programmer"_s,
    u"..dev2 : Tester"_s,
    u"..intern : Summer intern"_s,
};

QString supervisorOf(const QString& db, const QString& id) {
    return userColumn(db, id, u"ifnull(Supervisor_User_ID, '~')"_s).toString();
}

const QString DuplicateText = u"User ID already exists, Please specify another ID."_s;

// The whole USER table as text, to prove that nothing changed.
QString table(const QString& db) {
    return tableBytes(db, u"USER"_s);
}
// One user's supervisor, access flags, review/forwarding/contact flags and password, as text.
QString settings(const QString& db, const QString& id) {
    return userColumn(
               db, id,
               u"ifnull(Supervisor_User_ID,'~') || ',' || Full_Access || ',' || Teammate_Access || ',' || "
               "User_Review_Account || ',' || Allow_Forwarding || ',' || Delete_Contact_Info || ',' || "
               "ifnull(User_Password,'~')"_s)
        .toString();
}

// Opens the editor as the user window does, without waiting for it to close.
std::unique_ptr<USER_FORM> openEditor(Fixture& f, const QString& action, const QString& value) {
    f.state.HOLD_ACTION = action;
    f.state.HOLD_VALUE = value;
    f.state.HOLD_FIELD = u"User_ID"_s;
    auto form = std::make_unique<Loaded<USER_FORM>>(f.ctx, nullptr);
    form->show();
    return form;
}

UserRow user(const QString& id, const QVariant& supervisor) {
    return UserRow{id, u"name of "_s + id, supervisor};
}
// "id<supervisor id" entries apart by spaces; an ID alone has no supervisor.
std::vector<UserRow> rowsOf(const QString& description) {
    std::vector<UserRow> rows;
    for (const QString& entry : description.split(u' ')) {
        const qsizetype at = entry.indexOf(u'<');
        rows.push_back(at < 0 ? user(entry, QVariant()) : user(entry.left(at), entry.mid(at + 1)));
    }
    return rows;
}
// The team tree's order as "id<supervisor id" entries, ROOT for the top.
QStringList treeOf(const std::vector<UserRow>& rows, int root) {
    const std::vector<TreeEntry> entries = teamTreeOrder(rows, root, db::schema::user::Admin);
    QStringList lines;
    for (const TreeEntry& e : entries)
        lines << rows[size_t(e.row)].id + u'<' +
                     (e.parent == TreeEntry::RootEntry ? u"ROOT"_s
                                                       : rows[size_t(entries[size_t(e.parent)].row)].id);
    return lines;
}

} // namespace

class TestUsers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsTheSampleTeamsAndTreeErrors() {
        UserWindow u;
        QCOMPARE(u.shownTree(), SampleTree); // guest has no supervisor: not in the tree
        QCOMPARE(u.tree().currentPosition(), 0);
        for (int p = 0; p < u.tree().nodeCount(); ++p) {
            u.tree().setCurrentPosition(p);
            QCOMPARE(u.tree().nodeMark(), 1);
        }
        QCOMPARE(menuEntries(u.w->EDIT, false), words(u"&Add|&Modify|&Delete|-|&Exit"_s));
        // Tree errors are shown (the only box so far); a tree file that can't be written back is no concern
        // of a rebuild.
        u.tree().setCurrentPosition(4242);
        QCOMPARE(u.f.platform.boxes().size(), 1);
        QVERIFY(u.f.platform.boxTexts().first().contains(u"4242"_s) &&
                u.f.platform.boxes().first().title == AppTitle);
        QFile::remove(u.f.state.inProgramFolder(u"status.tre"_s));
        QVERIFY(QDir(u.f.state.programFolder).mkpath(u"status.tre"_s));
        u.w->BuildTeamTree();
        QCOMPARE(u.f.platform.boxes().size(), 1);
        QCOMPARE(u.shownTree(), SampleTree);
        QVERIFY(QFile::remove(u.f.state.inProgramFolder(u"status.tre"_s)) ||
                QDir().rmdir(u.f.state.inProgramFolder(u"status.tre"_s)));
        u.w->Command4->click();
        QVERIFY(u.w->isUnloaded());
        u.w.reset();
        QVERIFY(QFile::exists(u.f.state.inProgramFolder(u"status.tre"_s)));
    }

    void tableWithOnlyAdminShowsTheRootAndProposesIt() {
        UserWindow u({}, false);
        QCOMPARE(u.shownTree(), QStringList{u"admin : (Pellwood Administrator) Administrator"_s});
        QCOMPARE(u.edit([&] { u.w->ADD->trigger(); }, typeAnd({}, {}, false)), u"NEW admin"_s);
    }

    void doubleClickEnterAddUnderTheRootAndUnderAMemberAndCancel() {
        UserWindow u;
        const int clerk2 = u.select(u"clerk2"_s);
        u.tree().setCurrentPosition(0);
        const auto cancel = typeAnd({}, {}, false);
        const QPoint at = u.tree().nodeRect(clerk2).center();
        const auto twice = [&] { QTest::mouseDClick(u.tree().viewport(), Qt::LeftButton, {}, at); };
        QCOMPARE(u.edit(twice, cancel), u"OPEN clerk2"_s);
        QCOMPARE(u.tree().currentPosition(), clerk2);
        u.tree().setFocus();
        QTest::keyClick(&u.tree(), Qt::Key_Up);
        QCOMPARE(u.edit([&] { QTest::keyClick(&u.tree(), Qt::Key_Return); }, cancel), u"OPEN clerk1"_s);

        u.select(u"dev"_s);
        u.tree().setNodeMark(0);
        QCOMPARE(u.edit([&] { u.w->MODIFY->trigger(); }, cancel), QString());
        QCOMPARE(u.f.platform.beeps(), 1);
        u.tree().setCurrentPosition(0);
        QCOMPARE(u.edit([&] { u.w->Command1->click(); }, typeAnd(u"newbie"_s, u"New starter"_s)),
                 u"NEW admin"_s);
        QCOMPARE(supervisorOf(u.db, u"newbie"_s), u"admin"_s);
        QStringList expected = SampleTree + QStringList{u".newbie : New starter"_s};
        QCOMPARE(u.shownTree(), expected);
        QCOMPARE(u.tree().currentPosition(), 0);

        u.select(u"clerk1"_s);
        QCOMPARE(u.edit([&] { u.w->ADD->trigger(); }, typeAnd(u"helper"_s, u"Helps clerk one"_s)),
                 u"NEW clerk1"_s);
        QCOMPARE(supervisorOf(u.db, u"helper"_s), u"clerk1"_s);
        expected.insert(3, u"...helper : Helps clerk one"_s);
        QCOMPARE(u.shownTree(), expected);

        // Cancel in the editor leaves no row and the same tree.
        QVERIFY(!u.edit([&] { u.w->Command1->click(); }, typeAnd(u"nobody"_s, u"Never saved"_s, false))
                     .isEmpty());
        QCOMPARE(userCount(u.db), 11);
        QCOMPARE(u.shownTree(), expected);
    }

    void modifyKeepsThePositionCarriesTheTeamAndFallsBackToTheRoot() {
        UserWindow u(addUserSql(u"temp"_s, u"admin"_s));
        const int dev1 = u.select(u"dev1"_s);
        QCOMPARE(u.edit([&] { u.w->Command2->click(); }, typeAnd({}, u"Senior programmer"_s)),
                 u"OPEN dev1"_s);
        QCOMPARE(u.tree().currentPosition(), dev1);
        QCOMPARE(u.tree().currentText(), u"dev1 : Senior programmer"_s);

        // A new ID keeps the team under its leader in the tree, rebuilt from the stored rows.
        u.select(u"support"_s);
        u.edit([&] { u.w->Command2->click(); }, typeAnd(u"helpdesk"_s, {}));
        QStringList expected = SampleTree;
        expected[1] = u".helpdesk : Support team lead"_s;
        expected[5] = u"..dev1 : Senior programmer"_s;
        expected << u".temp : Temporary"_s;
        QCOMPARE(u.shownTree(), expected);

        // The user vanishes while the editor is up: the tree is rebuilt and the root made current.
        QVERIFY(u.select(u"temp"_s) > 0);
        const auto vanish = [&](USER_FORM& form) {
            execRaw(u.db, u"DELETE FROM \"USER\" WHERE User_ID = 'temp'"_s);
            form.Command2->click();
        };
        QCOMPARE(u.edit([&] { u.w->Command2->click(); }, vanish), u"OPEN temp"_s);
        QCOMPARE(u.tree().currentPosition(), 0);
        expected.removeLast();
        QCOMPARE(u.shownTree(), expected);
        QVERIFY(u.f.platform.boxes().isEmpty());
    }

    void dragChangesTheSupervisorAndRefusesLoops() {
        UserWindow u;
        TreeControl& tree = u.tree();
        const int support = u.select(u"support"_s);
        const int clerk1 = u.select(u"clerk1"_s);
        const int dev = u.select(u"dev"_s);
        const QString before = table(u.db);
        dropOnto(tree, tree.dragData(support), clerk1); // under its own team member
        QCOMPARE(u.f.platform.beeps(), 1);
        dropOnto(tree, tree.dragData(0), dev); // the root
        QCOMPARE(u.f.platform.beeps(), 2);
        QCOMPARE(u.shownTree(), SampleTree);
        QCOMPARE(table(u.db), before);

        const int clerk2 = u.select(u"clerk2"_s);
        dropOnto(tree, tree.dragData(clerk2), 0);
        QCOMPARE(supervisorOf(u.db, u"clerk2"_s), u"admin"_s);
        QCOMPARE(tree.currentPosition(), clerk2);
        // A team moves with its leader.
        const int dev2 = u.select(u"dev2"_s);
        dropOnto(tree, tree.dragData(u.select(u"dev"_s)), support);
        QCOMPARE(supervisorOf(u.db, u"dev"_s) + u'/' + supervisorOf(u.db, u"dev1"_s), u"support/dev"_s);
        QCOMPARE(u.shownTree(),
                 (QStringList{SampleTree[0], SampleTree[1], SampleTree[2], u"..dev : Development lead"_s,
                              u"...dev1 : Programmer"_s, u"...dev2 : Tester"_s,
                              u"...intern : Summer intern"_s, u".clerk2 : Back office"_s}));
        QCOMPARE(u.f.platform.beeps(), 2);

        // Another program renames dev2 and the record set is read again while the tree shows the old key.
        execRaw(u.db, u"UPDATE \"USER\" SET User_ID = 'dev2x' WHERE User_ID = 'dev2'"_s);
        u.w->Data1->refresh();
        dropOnto(tree, tree.dragData(dev2), support);
        QCOMPARE(u.f.platform.boxTexts(), QStringList{u"Unable to locate Userdev2"_s}); // the first box
        QCOMPARE(u.f.platform.boxes().first().title, u"Pell Admin"_s);
        QCOMPARE(supervisorOf(u.db, u"dev2x"_s), u"dev"_s);
    }

    void deleteRefusals() {
        UserWindow u;
        u.w->DELETE->trigger(); // the root is current
        QCOMPARE(u.f.platform.boxTexts(), QStringList{u"You can not delete the user 'ADMIN'"_s});
        QCOMPARE(u.f.platform.beeps(), 0);

        u.select(u"support"_s);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.beeps(), 1);
        QCOMPARE(u.f.platform.boxTexts().last(), TeamLeaderText);
        QCOMPARE(u.f.platform.boxes().last().buttons, Buttons::OkOnly);

        // A member added by another program since the tree was built still counts.
        execRaw(u.db, addUserSql(u"ghost"_s, u"DEV2"_s));
        u.select(u"dev2"_s);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.beeps(), 2);
        QCOMPARE(u.f.platform.boxTexts().last(), TeamLeaderText);
        QCOMPARE(u.f.platform.boxes().size(), 3); // no confirmation was asked

        // The owner of a task (clerk1 owns one in the sample): the engine refuses after the question.
        u.select(u"clerk1"_s);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts().mid(3),
                 (QStringList{u"Are you sure?"_s, u"Unable to delete.  This user owns tasks"_s}));
        const auto question = u.f.platform.boxes().at(3);
        QVERIFY(question.title == u"DELETE"_s && question.buttons == Buttons::OkCancel &&
                question.icon == Icon::None);
        QCOMPARE(userCount(u.db), 10);
        QCOMPARE(u.shownTree(), SampleTree);
        QVERIFY(u.tree().currentText().startsWith(u"clerk1 :"_s));

        // A database this administrator cannot write: the failure is told as Add tells it, the user and the
        // node stay.
        u.w->Data1->setReadOnly(true);
        u.select(u"intern"_s);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts().mid(5),
                 (QStringList{u"Are you sure?"_s, unhandledText(Error::make(err::ReadOnly))}));
        QCOMPARE(userCount(u.db), 10);
        QCOMPARE(u.shownTree(), SampleTree);
    }

    void deleteRemovesExactlyOneLeafAfterTheQuestion() {
        // The sample's intern leads nobody and owns no task: the whole path from the question on.
        UserWindow u(addUserSql(u"gone"_s, u"dev"_s));
        QStringList expected = u.shownTree();
        const int dev2 = u.select(u"dev2"_s);
        u.select(u"intern"_s);
        u.f.platform.queueAnswer(Answer::Cancel);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts(), QStringList{u"Are you sure?"_s});
        QCOMPARE(userCount(u.db), 10);
        QCOMPARE(u.shownTree(), expected);

        u.f.platform.queueAnswer(Answer::Ok);
        u.w->Command3->click(); // told nothing, as the boxes below show
        QCOMPARE(userCount(u.db), 9);
        QCOMPARE(userColumn(u.db, u"intern"_s, u"count(*)"_s).toInt(), 0);
        QCOMPARE(u.f.state.HOLD_ACTION + u' ' + u.f.state.HOLD_VALUE, u"DELETE intern"_s);
        expected.removeAll(u"..intern : Summer intern"_s);
        QCOMPARE(u.shownTree(), expected);
        QVERIFY(u.tree().hasNode(dev2)); // not rebuilt: positions stand

        // A user deleted by another program meanwhile: reported, no other row touched.
        u.select(u"gone"_s);
        execRaw(u.db, u"DELETE FROM \"USER\" WHERE User_ID = 'gone'"_s);
        u.f.platform.queueAnswer(Answer::Ok);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts().mid(2),
                 (QStringList{u"Are you sure?"_s, u"Unable to locate Usergone"_s}));
        QCOMPARE(userCount(u.db), 8);
        QCOMPARE(u.tree().nodeCount(), 8);
    }

    void editorChecksWaysOutAndDefaults() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, u"NEW"_s, u"admin"_s);
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{u"Please Specify User ID"_s});
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        typeAnd(u"someone"_s, {})(*form);
        QCOMPARE(f.platform.boxTexts().last(), u"Please Specify User's Name"_s);
        QCOMPARE(form->focusWidget(), form->Text1);
        const auto& box = f.platform.boxes().last();
        QVERIFY(box.title == AppTitle && box.buttons == Buttons::OkOnly && box.icon == Icon::None);
        QVERIFY(!form->isUnloaded());
        typeAnd(u"ghost"_s, u"Never saved"_s, false)(*form);
        QVERIFY(form->isUnloaded());

        auto edit = openEditor(f, u"OPEN"_s, u"clerk2"_s);
        edit->Text1->setText(u"Changed and closed"_s);
        edit->close(); // the title bar's close box
        // A user that is gone is reported and the editor closes.
        auto gone = openEditor(f, u"OPEN"_s, u"gone"_s);
        QCOMPARE(f.platform.boxTexts().last(), u"Unable to locate Usergone"_s);
        QTRY_VERIFY(gone->isUnloaded());
        QCOMPARE(table(db), before); // after the checks, Cancel, the close box and the missing user
        // Blanks are not empty.
        typeAnd(u"  "_s, u" "_s)(*openEditor(f, u"NEW"_s, u"admin"_s));
        QCOMPARE(userCount(db), 10);
        auto fresh = openEditor(f, u"NEW"_s, u"support"_s); // the defaults, then saved
        QVERIFY(!fresh->Check1->isChecked() && fresh->Check2->isChecked() && fresh->Check3->isChecked() &&
                fresh->Check4->isChecked());
        QVERIFY(fresh->C_FULL_ACCESS->isChecked() && fresh->HOLD_KEY->isEnabled());
        fresh->Check1->setChecked(true);
        typeAnd(u"newbie"_s, u"New starter"_s)(*fresh);
        QCOMPARE(f.platform.boxes().size(), 3); // none since the missing user
        QCOMPARE(settings(db, u"newbie"_s), u"support,-1,0,-1,-1,-1,~"_s);

        // Without a supervisor the column holds NULL.
        auto loner = openEditor(f, u"NEW"_s, QString());
        loner->Option3->setChecked(true);
        typeAnd(u"loner"_s, u"On their own"_s)(*loner);
        QCOMPARE(settings(db, u"loner"_s).section(u',', 0, 2), u"~,0,0"_s);
    }

    void duplicateOrChangedMeanwhileKeepsTheDialog() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, u"NEW"_s, u"dev"_s);
        form->C_TEAMMATE_ACCESS->setChecked(true);
        typeAnd(u"CLERK1"_s, u"Second clerk one"_s)(*form); // keys compare without regard to case
        QCOMPARE(f.platform.boxTexts(), QStringList{DuplicateText});
        QVERIFY(!form->isUnloaded());
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        QCOMPARE(form->Text1->text(), u"Second clerk one"_s);
        QCOMPARE(table(db), before);
        typeAnd(u"clerk3"_s, {})(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userCount(db), 10);
        QCOMPARE(settings(db, u"clerk3"_s).section(u',', 0, 2), u"dev,0,-1"_s);
        QCOMPARE(userColumn(db, u"clerk1"_s, u"User_Name"_s).toString(), u"Front desk"_s);

        // Renaming onto an existing ID is a duplicate too, and the team is not handed over.
        const QString after = table(db);
        auto rename = openEditor(f, u"OPEN"_s, u"support"_s);
        typeAnd(u"dev"_s, {})(*rename);
        QCOMPARE(f.platform.boxTexts(), (QStringList{DuplicateText, DuplicateText}));
        QVERIFY(!rename->isUnloaded());
        QCOMPARE(table(db), after);
        // A record another program changed meanwhile: the engine's text, the other change stays.
        auto late = openEditor(f, u"OPEN"_s, u"clerk1"_s);
        execRaw(db, u"UPDATE \"USER\" SET User_Name = 'Other program' WHERE User_ID = 'clerk1'"_s);
        typeAnd({}, u"Mine"_s)(*late);
        QCOMPARE(f.platform.boxTexts(),
                 (QStringList{DuplicateText, DuplicateText, standardText(err::ChangedByOther)}));
        QVERIFY(!late->isUnloaded());
        QCOMPARE(userColumn(db, u"clerk1"_s, u"User_Name"_s).toString(), u"Other program"_s);
    }

    void accessLevelReadsAndWritesTheTwoFlags() {
        struct Case {
            int full, teammate;
            QRadioButton* USER_FORM::*selected;
            QString saved;
        };
        const Case cases[] = {{-1, 0, &USER_FORM::C_FULL_ACCESS, u"-1,0"_s},
                              {0, -1, &USER_FORM::C_TEAMMATE_ACCESS, u"0,-1"_s},
                              {-1, -1, &USER_FORM::C_TEAMMATE_ACCESS, u"0,-1"_s},
                              {0, 0, &USER_FORM::Option3, u"0,0"_s}};
        for (const Case& c : cases) {
            Fixture f;
            const QString db = f.makeSharedDb();
            execRaw(db,
                    u"UPDATE \"USER\" SET Full_Access = %1, Teammate_Access = %2 WHERE User_ID = 'clerk2'"_s
                        .arg(c.full)
                        .arg(c.teammate));
            auto form = openEditor(f, u"OPEN"_s, u"clerk2"_s);
            QVERIFY((form.get()->*c.selected)->isChecked());
            form->Command1->click();
            QVERIFY(form->isUnloaded());
            // The supervisor is never changed here.
            QCOMPARE(settings(db, u"clerk2"_s).section(u',', 0, 2), u"support,"_s + c.saved);
        }
    }

    void tabLandsOnTheChosenAccessLevelAndArrowsChoose() {
        Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, u"UPDATE \"USER\" SET Full_Access = 0, Teammate_Access = -1 WHERE User_ID = 'clerk2'"_s);
        auto form = openEditor(f, u"OPEN"_s, u"clerk2"_s);
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        const auto key = [](Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
            QTest::keyClick(QApplication::focusWidget(), k, m);
            return QApplication::focusWidget()->objectName();
        };
        form->Check4->setFocus(Qt::TabFocusReason);
        // Into the group from either side: the chosen option, not the first.
        QCOMPARE(key(Qt::Key_Tab), u"C_TEAMMATE_ACCESS"_s);
        QCOMPARE(key(Qt::Key_Tab), u"Command1"_s);
        QCOMPARE(key(Qt::Key_Backtab), u"C_TEAMMATE_ACCESS"_s);
        // An arrow moves the choice with the focus; Tab then leaves the group and comes back to it.
        QCOMPARE(key(Qt::Key_Down), u"Option3"_s);
        QVERIFY(form->Option3->isChecked() && !form->C_TEAMMATE_ACCESS->isChecked());
        QCOMPARE(key(Qt::Key_Backtab), u"Check4"_s);
        QCOMPARE(key(Qt::Key_Tab), u"Option3"_s);
        QCOMPARE(key(Qt::Key_Up), u"C_TEAMMATE_ACCESS"_s);
        QCOMPARE(key(Qt::Key_Up), u"C_FULL_ACCESS"_s);
        QVERIFY(form->C_FULL_ACCESS->isChecked());
        QCOMPARE(key(Qt::Key_Tab), u"Command1"_s);
        QTest::keyClick(form->Command1, Qt::Key_Return);
        QVERIFY(form->isUnloaded());
        QCOMPARE(settings(db, u"clerk2"_s).section(u',', 1, 2), u"-1,0"_s);
    }

    void adminKeepsItsIdAndTypedKeysAreFiltered() {
        Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, u"OPEN"_s, u"admin"_s);
        QVERIFY(!form->HOLD_KEY->isEnabled());
        form->Text3->setText(u"secret"_s);
        form->Option3->setChecked(true);
        typeAnd({}, u"Chief"_s)(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userColumn(db, u"admin"_s, u"User_Name || User_Password || Full_Access"_s).toString(),
                 u"Chiefsecret0"_s);
        // The test is on the exact text.
        auto other = openEditor(f, u"OPEN"_s, u"Admin"_s);
        QCOMPARE(other->HOLD_KEY->text(), u"admin"_s);
        QVERIFY(other->HOLD_KEY->isEnabled());
        // Typed keys are filtered and the ID's length holds; pasted text is not filtered.
        form = openEditor(f, u"NEW"_s, u"admin"_s);
        const std::tuple<QLineEdit*, QString, QString> typing[] = {
            {form->HOLD_KEY, u"O'Bri"_s, u"o\"bri"_s},
            {form->Text3, u"PaSs'W"_s, u"pass'w"_s},
            {form->Text1, u"Mixed 'Name'"_s, u"Mixed 'Name'"_s},
            {form->HOLD_KEY, u"ABCDEFGHIJKL"_s, u"abcdefghij"_s}};
        for (const auto& [box, typed, shown] : typing) {
            box->clear();
            QTest::keyClicks(box, typed);
            QCOMPARE(box->text(), shown);
        }
        QApplication::clipboard()->setText(u"X'Y"_s);
        form->HOLD_KEY->clear();
        QTest::keyClick(form->HOLD_KEY, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(form->HOLD_KEY->text(), u"X'Y"_s);
    }

    void idChangeCarriesTheTeamAlongOrChangesNobody() {
        Fixture f;
        const QString db = f.makeSharedDb();
        // clerk2's link differs in case; dev1 owns a task and now leads dev2.
        execRaw(db, u"UPDATE \"USER\" SET Supervisor_User_ID = 'SUPPORT' WHERE User_ID = 'clerk2';"
                    "UPDATE \"USER\" SET Supervisor_User_ID = 'dev1' WHERE User_ID = 'dev2'"_s);
        auto form = openEditor(f, u"OPEN"_s, u"support"_s);
        typeAnd(u"helpdesk"_s, {})(*form);
        QVERIFY(form->isUnloaded());
        const auto team = [&](const QString& lead) {
            return str(db, u"SELECT group_concat(User_ID) FROM \"USER\" WHERE Supervisor_User_ID = '"_s +
                               lead + u"' ORDER BY rowid"_s);
        };
        QCOMPARE(team(u"helpdesk"_s) + u'/' + team(u"support"_s), u"clerk1,clerk2/"_s);
        QCOMPARE(settings(db, u"helpdesk"_s).section(u',', 0, 0), u"admin"_s);
        const QString before = table(db);
        form = openEditor(f, u"OPEN"_s, u"dev1"_s);
        typeAnd(u"dev9"_s, {})(*form);
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().first().startsWith(standardText(err::RelatedRecords)));
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before);
        // Still editing: going back to the old ID saves the rest.
        typeAnd(u"dev1"_s, u"Senior programmer"_s)(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userColumn(db, u"dev1"_s, u"User_Name"_s).toString(), u"Senior programmer"_s);
        QCOMPARE(userColumn(db, u"dev2"_s, u"Supervisor_User_ID"_s).toString(), u"dev1"_s);
    }

    void teamTreeMatchesWithoutRegardToCaseOrTypeEndsLoopsAndListsNobodyTwice() {
        const auto rows = rowsOf(u"Admin Lead<ADMIN m1<lead m2<LEAD x<léad"_s);
        QCOMPARE(findUserRow(rows, db::schema::user::Admin), 0);
        QCOMPARE(treeOf(rows, 0), (QStringList{u"Lead<ROOT"_s, u"m1<Lead"_s, u"m2<Lead"_s}));
        // A supervisor stored as a number matches the key that reads as it.
        auto numbers = rowsOf(u"admin 7<admin a b<7 c"_s);
        numbers[2].supervisor = qlonglong(7);
        numbers[4].supervisor = 7.0;
        QCOMPARE(treeOf(numbers, 0), (QStringList{u"7<ROOT"_s, u"a<7"_s, u"b<7"_s, u"c<7"_s}));
        // Without admin the root key still leads.
        const auto orphan = rowsOf(u"a<admin"_s);
        QCOMPARE(findUserRow(orphan, db::schema::user::Admin), -1);
        QCOMPARE(treeOf(orphan, -1), QStringList{u"a<ROOT"_s});
        QVERIFY(teamTreeOrder({}, -1, db::schema::user::Admin).empty());
        // The empty ID leads the users without a supervisor, as a search for an empty key finds them; a
        // supervisor stored as an empty text leads nowhere.
        const std::vector<UserRow> blanks{user(u"b"_s, QString()),     user(u"admin"_s, QVariant()),
                                          user(QString(), u"admin"_s), user(u"n"_s, QVariant()),
                                          user(u"a"_s, QString()),     user(u"z"_s, u"admin"_s)};
        QCOMPARE(treeOf(blanks, 1), (QStringList{u"<ROOT"_s, u"n<"_s, u"z<ROOT"_s}));

        // admin -> x -> y -> admin, and a user that is its own supervisor.
        const auto cycle = rowsOf(u"y<x admin<y x<admin z<z w<x"_s);
        QCOMPARE(treeOf(cycle, 1), (QStringList{u"x<ROOT"_s, u"y<x"_s, u"w<x"_s}));
        // Two leaders whose keys both read as the number a member stores: it is listed once.
        auto twice = rowsOf(u"admin 7<admin 07<admin m"_s);
        twice[3].supervisor = qlonglong(7);
        QCOMPARE(teamTreeOrder(twice, 0, db::schema::user::Admin).size(), size_t(3));
        // A long chain needs no deep recursion.
        std::vector<UserRow> chain{user(u"admin"_s, QVariant())};
        const int length = 200000;
        for (int i = 0; i < length; ++i)
            chain.push_back(user(u"c%1"_s.arg(i), i == 0 ? u"admin"_s : u"c%1"_s.arg(i - 1)));
        const std::vector<TreeEntry> order = teamTreeOrder(chain, 0, db::schema::user::Admin);
        QCOMPARE(order.size(), size_t(length));
        QCOMPARE(order.back().parent, length - 2);
    }

    void nodeKeysAndLoopsThroughTheSupervisorChain() {
        // " :" and " : " cut differently when the ID itself holds " :".
        const QString text = nodeText(u"a :b"_s, u"Name"_s);
        QCOMPARE(keyBefore(text, u" :"_s), u"a"_s);
        QCOMPARE(keyBefore(text, u" : "_s), u"a :b"_s);
        QCOMPARE(keyBefore(u" x  : y"_s, u" :"_s), u" x "_s);
        QCOMPARE(keyBefore(u"no marker"_s, u" :"_s), u"no marker"_s);

        // admin <- lead <- mid <- low; odd1 <-> odd2 form a loop of their own.
        const QHash<QString, QString> supervisor = {{u"admin"_s, QString()}, {u"lead"_s, u"admin"_s},
                                                    {u"mid"_s, u"LEAD"_s},   {u"low"_s, u"mid"_s},
                                                    {u"odd1"_s, u"odd2"_s},  {u"odd2"_s, u"odd1"_s}};
        const auto lookUp = [&](const QString& key) -> std::optional<QString> {
            for (auto it = supervisor.begin(); it != supervisor.end(); ++it)
                if (db::textEqualsNoCase(it.key(), key))
                    return it.value();
            return std::nullopt;
        };
        const auto loops = [&](const char16_t* moved, const char16_t* under) {
            return closesLoop(QString::fromUtf16(moved), QString::fromUtf16(under), lookUp);
        };
        QVERIFY(loops(u"lead", u"low") && loops(u"Lead", u"mid") && loops(u"mid", u"mid"));
        QVERIFY(!loops(u"low", u"lead") && !loops(u"mid", u"admin") && !loops(u"mid", u"ghost"));
        QVERIFY(!loops(u"low", u"odd1")); // ends on the old loop
        QVERIFY(loops(u"odd2", u"odd1"));
    }
};

QTEST_MAIN(TestUsers)
#include "tst_users.moc"
