// The user window on a real database: the team tree, Add and Modify through the editor, moves by drag
// and drop, and the deletion rules with their messages.
#include "db/database.h"
#include "db/recordset.h"
#include "user_window_driver.h"
#include "widgets/data_control.h"

#include <QFile>
#include <QMenu>

using namespace pell;
using namespace pell::test;

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
QString allSupervisors(const QString& db) {
    return scalarRaw(db, u"SELECT group_concat(ifnull(Supervisor_User_ID,'~')) FROM \"USER\""_s).toString();
}

// The team tree as first written: one search of the record set per user, bookmarks around each team.
void searchingWalk(db::Recordset& rs, const QString& key, int depth, QStringList& lines) {
    const QString criteria = u"Supervisor_User_ID = '"_s + key + u'\'';
    rs.findFirst(criteria);
    while (!rs.noMatch()) {
        const QString id = rs.field(u"User_ID"_s).toString();
        lines << QString(depth, u'.') + id + u" : "_s + rs.field(u"User_Name"_s).toString();
        const auto mark = rs.bookmark();
        searchingWalk(rs, id, depth + 1, lines);
        rs.setBookmark(mark);
        rs.findNext(criteria);
    }
}

} // namespace

class TestFUser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsTheSampleTeamsAndTreeErrors() {
        UserWindow u;
        QCOMPARE(u.w->windowTitle(), u"Team Builder / User Administrator"_s);
        QCOMPARE(u.f.state.HOLD_FIELD, u"User_ID"_s);
        QCOMPARE(u.shownTree(), SampleTree); // guest has no supervisor: not in the tree
        QCOMPARE(u.tree().currentPosition(), 0);
        QCOMPARE(u.tree().treeFile(), u.f.state.inProgramFolder(u"status.tre"_s));
        for (int p = 0; p < u.tree().nodeCount(); ++p) {
            u.tree().setCurrentPosition(p);
            QCOMPARE(u.tree().nodeMark(), 1);
        }
        QStringList captions, entries;
        for (QPushButton* b : {u.w->Command1, u.w->Command2, u.w->Command3, u.w->Command4})
            captions << b->text();
        QCOMPARE(captions, (QStringList{u"Add"_s, u"Modify"_s, u"Delete"_s, u"Exit"_s}));
        QVERIFY(u.w->Command2->isDefault());
        for (QAction* a : u.w->EDIT->actions())
            entries << (a->isSeparator() ? u"-"_s : a->text());
        QCOMPARE(entries, (QStringList{u"&Add"_s, u"&Modify"_s, u"&Delete"_s, u"-"_s, u"&Exit"_s}));
        QVERIFY(u.f.platform.boxes().isEmpty());
        // Tree errors are shown; a tree file that can't be written back is no concern of a rebuild.
        u.tree().setCurrentPosition(4242);
        QCOMPARE(u.f.platform.boxTexts().size(), 1);
        QVERIFY(u.f.platform.boxTexts().first().contains(u"4242"_s));
        QCOMPARE(u.f.platform.boxes().first().title, u"Pell Admin"_s);
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

    void addUnderTheRootAndUnderAMemberAndCancel() {
        UserWindow u;
        QCOMPARE(u.edit([&] { u.w->Command1->click(); }, typeAnd(u"newbie"_s, u"New starter"_s)),
                 u"NEW admin"_s);
        QCOMPARE(supervisorOf(u.db, u"newbie"_s), u"admin"_s);
        QStringList expected = SampleTree;
        expected << u".newbie : New starter"_s;
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
        QCOMPARE(userColumn(u.db, u"dev1"_s, u"User_Name"_s).toString(), u"Senior programmer"_s);

        // A new ID keeps the team under its leader in the tree.
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

    void doubleClickOrEnterRunsModifyUnmarkedNodeOnlyBeeps() {
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
    }

    void dragChangesTheSupervisorAndRefusesLoops() {
        UserWindow u;
        TreeControl& tree = u.tree();
        const int support = u.select(u"support"_s);
        const int clerk1 = u.select(u"clerk1"_s);
        const int dev = u.select(u"dev"_s);
        const QString before = allSupervisors(u.db);
        dropOnto(tree, tree.dragData(support), clerk1); // under its own team member
        QCOMPARE(u.f.platform.beeps(), 1);
        dropOnto(tree, tree.dragData(0), dev); // the root
        QCOMPARE(u.f.platform.beeps(), 2);
        QCOMPARE(u.shownTree(), SampleTree);
        QCOMPARE(allSupervisors(u.db), before);

        const int clerk2 = u.select(u"clerk2"_s);
        dropOnto(tree, tree.dragData(clerk2), 0);
        QCOMPARE(supervisorOf(u.db, u"clerk2"_s), u"admin"_s);
        QCOMPARE(tree.currentPosition(), clerk2);
        // A team moves with its leader.
        const int dev2 = u.select(u"dev2"_s);
        dropOnto(tree, tree.dragData(u.select(u"dev"_s)), support);
        QCOMPARE(supervisorOf(u.db, u"dev"_s), u"support"_s);
        QCOMPARE(supervisorOf(u.db, u"dev1"_s), u"dev"_s);
        QCOMPARE(u.shownTree(),
                 (QStringList{SampleTree[0], SampleTree[1], SampleTree[2], u"..dev : Development lead"_s,
                              u"...dev1 : Programmer"_s, u"...dev2 : Tester"_s,
                              u"...intern : Summer intern"_s, u".clerk2 : Back office"_s}));
        QCOMPARE(u.f.platform.beeps(), 2);
        QVERIFY(u.f.platform.boxes().isEmpty());

        // Another program renames dev2 and the record set is read again while the tree shows the old key.
        execRaw(u.db, u"UPDATE \"USER\" SET User_ID = 'dev2x' WHERE User_ID = 'dev2'"_s);
        u.w->Data1->refresh();
        dropOnto(tree, tree.dragData(dev2), support);
        QCOMPARE(u.f.platform.boxTexts(), QStringList{u"Unable to locate Userdev2"_s});
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

        // The owner of a task: the engine refuses after the question.
        QCOMPARE(scalarRaw(u.db, u"SELECT count(*) FROM SCR WHERE SCR_Owner = 'clerk1'"_s).toInt(), 1);
        u.select(u"clerk1"_s);
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts().mid(3),
                 (QStringList{u"Are you sure?"_s, u"Unable to delete.  This user owns tasks"_s}));
        const auto question = u.f.platform.boxes().at(3);
        QCOMPARE(question.title, u"DELETE"_s);
        QCOMPARE(question.buttons, Buttons::OkCancel);
        QCOMPARE(question.icon, Icon::None);
        QCOMPARE(userCount(u.db), 10);
        QCOMPARE(u.shownTree(), SampleTree);
        QVERIFY(u.tree().currentText().startsWith(u"clerk1 :"_s));
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
        u.w->Command3->click();
        QCOMPARE(u.f.platform.boxTexts().size(), 2);
        QCOMPARE(userCount(u.db), 9);
        QCOMPARE(userColumn(u.db, u"intern"_s, u"count(*)"_s).toInt(), 0);
        QCOMPARE(u.f.state.HOLD_ACTION, u"DELETE"_s);
        QCOMPARE(u.f.state.HOLD_VALUE, u"intern"_s);
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

    void fiveThousandUsersInTheOrderOfTheSearchingWalk() {
        Fixture f;
        const QString db = f.path(u"big.mdb"_s);
        QCOMPARE(runPelldb({u"init"_s, db, u"--sample"_s, u"--users"_s, u"5000"_s}), 0);
        f.state.DATABASE_PATH = db;
        // Some members written by other programs: capitals, a leader listed after its members, orphans.
        execRaw(db, u"UPDATE \"USER\" SET Supervisor_User_ID = 'U20' WHERE User_ID IN ('u13', 'u17');"
                    "UPDATE \"USER\" SET Supervisor_User_ID = 'late' WHERE User_ID = 'u42';"
                    "UPDATE \"USER\" SET Supervisor_User_ID = 'nobody' WHERE User_ID = 'u55';"_s +
                        addUserSql(u"late"_s, u"u4990"_s));
        QStringList expected;
        {
            auto database = db::Database::open(db);
            auto rs = database->openRecordset(u"User"_s);
            rs->findFirst(u"User_ID = 'admin'"_s);
            expected << u"admin : (Pellwood Administrator) "_s + rs->field(u"User_Name"_s).toString();
            searchingWalk(*rs, u"admin"_s, 1, expected);
        }
        QCOMPARE(expected.size(), 5000 + 8 + 1 - 1); // everyone but guest and u55's orphaned team member
        Loaded<F_USER> w(f.ctx, nullptr);
        w.show();
        QCOMPARE(shown(*w.Easytree1), expected);
    }
};

QTEST_MAIN(TestFUser)
#include "tst_f_user.moc"
