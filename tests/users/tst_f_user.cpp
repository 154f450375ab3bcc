// The user window on a real database: the team tree, Add and Modify through the editor, moves by drag
// and drop, and the deletion rules with their messages.
#include "db/database.h"
#include "db/recordset.h"
#include "support/test_support.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"
#include "widgets/data_control.h"
#include "widgets/tree_control.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace pell;
using test::execRaw;
using test::scalarRaw;

namespace {

const QString TeamLeaderText = QStringLiteral(
    "This user is currently designated as a Pellwood to other users.  Please restructure teams "
    "(using the TEAMS button) before deleting.  Another solution is to replace, instead of "
    "deleting this user.");

const QStringList SampleTree = {
    QStringLiteral("admin : (Pellwood Administrator) Administrator"),
    QStringLiteral(".support : Support team lead"),
    QStringLiteral("..clerk1 : Front desk"),
    QStringLiteral("..clerk2 : Back office"),
    QStringLiteral(".dev : Development lead"),
    QStringLiteral("..dev1 : Programmer"),
    QStringLiteral("..dev2 : Tester"),
};

// The tree as the window shows it: one line per node, dots for depth, in display order.
QStringList shown(TreeControl& tree) {
    tree.flush();
    QStringList lines;
    const QAbstractItemModel* model = tree.model();
    std::function<void(const QModelIndex&, int)> walk = [&](const QModelIndex& parent, int depth) {
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex index = model->index(r, 0, parent);
            lines << QString(depth, u'.') + index.data().toString();
            walk(index, depth + 1);
        }
    };
    walk({}, 0);
    return lines;
}

// The position of the node whose text starts with "key :"; it is left current.
int select(F_USER& w, const QString& key) {
    TreeControl& tree = *w.Easytree1;
    for (int p = 0; p < 100000; ++p) {
        if (!tree.hasNode(p))
            continue;
        tree.setCurrentPosition(p);
        if (tree.currentText().startsWith(key + QStringLiteral(" :")))
            return p;
    }
    return -1;
}

// Runs `act` on the user editor as soon as it is up (it is shown modally, so the test waits inside it).
struct EditorScript {
    explicit EditorScript(std::function<void(USER_FORM&)> a) : act(std::move(a)) {}
    std::function<void(USER_FORM&)> act;
    int shown = 0;
    QString action, value;
};
QTimer* whenEditorShows(test::Fixture& f, EditorScript& script) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, &script, &f] {
        auto* form = qobject_cast<USER_FORM*>(QApplication::activeModalWidget());
        if (!form)
            return;
        timer->stop();
        timer->deleteLater();
        ++script.shown;
        script.action = f.state.HOLD_ACTION;
        script.value = f.state.HOLD_VALUE;
        script.act(*form);
    });
    timer->start();
    return timer;
}

void dropOnto(TreeControl& tree, int dragged, int target) {
    const std::unique_ptr<QMimeData> payload(tree.dragData(dragged));
    const QPoint at = tree.nodeRect(target).center();
    QDragEnterEvent enter(at, Qt::MoveAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &enter);
    QDropEvent drop(QPointF(at), Qt::MoveAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &drop);
    QCoreApplication::processEvents();
}

std::unique_ptr<F_USER> openWindow(test::Fixture& f) {
    auto w = std::make_unique<F_USER>(f.ctx, nullptr);
    w->show();
    return w;
}

QString supervisorOf(const QString& db, const QString& id) {
    return scalarRaw(
               db, QStringLiteral("SELECT ifnull(Supervisor_User_ID, '~') FROM \"USER\" WHERE User_ID = '") +
                       id + u'\'')
        .toString();
}

qlonglong userCount(const QString& path) {
    return scalarRaw(path, QStringLiteral("SELECT count(*) FROM \"USER\"")).toLongLong();
}

// The team tree as first written: one search of the record set per user, bookmarks around each team.
void searchingWalk(db::Recordset& rs, const QString& key, int depth, QStringList& lines) {
    const QString criteria = key.isEmpty() ? QStringLiteral("IsNull(Supervisor_User_ID)")
                                           : QStringLiteral("Supervisor_User_ID = '") + key + u'\'';
    rs.findFirst(criteria);
    while (!rs.noMatch()) {
        const QString id = rs.field(QStringLiteral("User_ID")).toString();
        lines << QString(depth, u'.') + id + QStringLiteral(" : ") +
                     rs.field(QStringLiteral("User_Name")).toString();
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
    void showsTheSampleTeams() {
        test::Fixture f;
        f.makeSharedDb();
        f.state.HOLD_FIELD = QStringLiteral("Tool_Name");
        auto w = openWindow(f);
        QCOMPARE(w->windowTitle(), QStringLiteral("Team Builder / User Administrator"));
        QCOMPARE(f.state.HOLD_FIELD, QStringLiteral("User_ID"));
        QCOMPARE(shown(*w->Easytree1), SampleTree); // guest has no supervisor: not in the tree
        QCOMPARE(w->Easytree1->currentPosition(), 0);
        QCOMPARE(w->Easytree1->treeFile(), f.state.inProgramFolder(QStringLiteral("status.tre")));
        for (int p = 0; p < w->Easytree1->nodeCount(); ++p) {
            w->Easytree1->setCurrentPosition(p);
            QCOMPARE(w->Easytree1->nodeMark(), 1);
        }
        QCOMPARE(w->Command1->text(), QStringLiteral("Add"));
        QCOMPARE(w->Command2->text(), QStringLiteral("Modify"));
        QVERIFY(w->Command2->isDefault());
        QCOMPARE(w->Command3->text(), QStringLiteral("Delete"));
        QCOMPARE(w->Command4->text(), QStringLiteral("Exit"));
        QStringList entries;
        for (QAction* a : w->EDIT->actions())
            entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(entries,
                 (QStringList{QStringLiteral("&Add"), QStringLiteral("&Modify"), QStringLiteral("&Delete"),
                              QStringLiteral("-"), QStringLiteral("&Exit")}));
        QVERIFY(f.platform.boxes().isEmpty());

        w->Command4->click();
        QVERIFY(w->isUnloaded());
        w.reset();
        QVERIFY(QFile::exists(f.state.inProgramFolder(QStringLiteral("status.tre"))));
    }

    void tableWithOnlyAdminShowsTheRootAndProposesIt() {
        test::Fixture f;
        f.makeSharedDb(QStringLiteral("pell.mdb"), false);
        auto w = openWindow(f);
        QCOMPARE(shown(*w->Easytree1),
                 QStringList{QStringLiteral("admin : (Pellwood Administrator) Administrator")});
        EditorScript script{[](USER_FORM& form) { form.Command2->click(); }};
        whenEditorShows(f, script);
        w->ADD->trigger();
        QCOMPARE(script.shown, 1);
        QCOMPARE(script.action, QStringLiteral("NEW"));
        QCOMPARE(script.value, QStringLiteral("admin"));
    }

    void addUnderTheRootAndUnderAMember() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        EditorScript script{[](USER_FORM& form) {
            form.HOLD_KEY->setText(QStringLiteral("newbie"));
            form.Text1->setText(QStringLiteral("New starter"));
            form.Command1->click();
        }};
        whenEditorShows(f, script);
        w->Command1->click();
        QCOMPARE(script.shown, 1);
        QCOMPARE(supervisorOf(db, QStringLiteral("newbie")), QStringLiteral("admin"));
        QStringList expected = SampleTree;
        expected << QStringLiteral(".newbie : New starter");
        QCOMPARE(shown(*w->Easytree1), expected);
        QCOMPARE(w->Easytree1->currentPosition(), 0);

        select(*w, QStringLiteral("clerk1"));
        script.act = [](USER_FORM& form) {
            form.HOLD_KEY->setText(QStringLiteral("helper"));
            form.Text1->setText(QStringLiteral("Helps clerk one"));
            form.Command1->click();
        };
        whenEditorShows(f, script);
        w->ADD->trigger();
        QCOMPARE(script.value, QStringLiteral("clerk1"));
        QCOMPARE(supervisorOf(db, QStringLiteral("helper")), QStringLiteral("clerk1"));
        expected.insert(3, QStringLiteral("...helper : Helps clerk one"));
        QCOMPARE(shown(*w->Easytree1), expected);

        // Cancel in the editor leaves no row and the same tree.
        script.act = [](USER_FORM& form) {
            form.HOLD_KEY->setText(QStringLiteral("nobody"));
            form.Text1->setText(QStringLiteral("Never saved"));
            form.Command2->click();
        };
        whenEditorShows(f, script);
        w->Command1->click();
        QCOMPARE(script.shown, 3);
        QCOMPARE(userCount(db), 10);
        QCOMPARE(shown(*w->Easytree1), expected);
    }

    void modifyReturnsToTheSamePosition() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        const int dev1 = select(*w, QStringLiteral("dev1"));
        EditorScript script{[](USER_FORM& form) {
            form.Text1->setText(QStringLiteral("Senior programmer"));
            form.Command1->click();
        }};
        whenEditorShows(f, script);
        w->Command2->click();
        QCOMPARE(script.action, QStringLiteral("OPEN"));
        QCOMPARE(script.value, QStringLiteral("dev1"));
        QCOMPARE(w->Easytree1->currentPosition(), dev1);
        QCOMPARE(w->Easytree1->currentText(), QStringLiteral("dev1 : Senior programmer"));
        QCOMPARE(
            scalarRaw(db, QStringLiteral("SELECT User_Name FROM \"USER\" WHERE User_ID = 'dev1'")).toString(),
            QStringLiteral("Senior programmer"));
    }

    void modifyFallsBackToTheRootWhenThePositionIsGone() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, QStringLiteral(
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('temp', "
                        "'Temporary', 'admin')"));
        auto w = openWindow(f);
        QCOMPARE(select(*w, QStringLiteral("temp")), 7);
        EditorScript script{[&db](USER_FORM& form) {
            execRaw(db, QStringLiteral("DELETE FROM \"USER\" WHERE User_ID = 'temp'"));
            form.Command2->click();
        }};
        whenEditorShows(f, script);
        w->Command2->click();
        QCOMPARE(script.shown, 1);
        QCOMPARE(w->Easytree1->currentPosition(), 0);
        QCOMPARE(shown(*w->Easytree1), SampleTree);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void doubleClickOrEnterRunsModify() {
        test::Fixture f;
        f.makeSharedDb();
        auto w = openWindow(f);
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        TreeControl& tree = *w->Easytree1;
        const int clerk2 = select(*w, QStringLiteral("clerk2"));
        tree.setCurrentPosition(0);
        EditorScript script{[](USER_FORM& form) { form.Command2->click(); }};
        whenEditorShows(f, script);
        QTest::mouseDClick(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(clerk2).center());
        QCOMPARE(script.shown, 1);
        QCOMPARE(script.value, QStringLiteral("clerk2"));
        QCOMPARE(tree.currentPosition(), clerk2);

        whenEditorShows(f, script);
        tree.setFocus();
        QTest::keyClick(&tree, Qt::Key_Up);
        QTest::keyClick(&tree, Qt::Key_Return);
        QCOMPARE(script.shown, 2);
        QCOMPARE(script.value, QStringLiteral("clerk1"));
    }

    void modifyOnAnUnmarkedNodeOnlyBeeps() {
        test::Fixture f;
        f.makeSharedDb();
        auto w = openWindow(f);
        select(*w, QStringLiteral("dev"));
        w->Easytree1->setNodeMark(0);
        EditorScript script{[](USER_FORM& form) { form.Command2->click(); }};
        const std::unique_ptr<QTimer> watch(whenEditorShows(f, script));
        w->MODIFY->trigger();
        QTest::qWait(50);
        QCOMPARE(script.shown, 0);
        QCOMPARE(f.platform.beeps(), 1);
    }

    void idChangeKeepsTheTeamInTheTree() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        select(*w, QStringLiteral("support"));
        EditorScript script{[](USER_FORM& form) {
            form.HOLD_KEY->setText(QStringLiteral("helpdesk"));
            form.Command1->click();
        }};
        whenEditorShows(f, script);
        w->Command2->click();
        QStringList expected = SampleTree;
        expected[1] = QStringLiteral(".helpdesk : Support team lead");
        QCOMPARE(shown(*w->Easytree1), expected);
    }

    void dragOntoTheRootChangesTheSupervisor() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        TreeControl& tree = *w->Easytree1;
        const int support = select(*w, QStringLiteral("support"));
        const int clerk2 = select(*w, QStringLiteral("clerk2"));
        dropOnto(tree, clerk2, 0);
        QCOMPARE(supervisorOf(db, QStringLiteral("clerk2")), QStringLiteral("admin"));
        QCOMPARE(tree.currentPosition(), clerk2);
        QStringList expected = SampleTree;
        expected.removeAt(3);
        expected << QStringLiteral(".clerk2 : Back office");
        QCOMPARE(shown(tree), expected);
        QVERIFY(f.platform.boxes().isEmpty());

        // A team moves with its leader.
        const int dev = select(*w, QStringLiteral("dev"));
        dropOnto(tree, dev, support);
        QCOMPARE(supervisorOf(db, QStringLiteral("dev")), QStringLiteral("support"));
        QCOMPARE(supervisorOf(db, QStringLiteral("dev1")), QStringLiteral("dev"));
        QCOMPARE(
            shown(tree),
            (QStringList{SampleTree[0], SampleTree[1], SampleTree[2],
                         QStringLiteral("..dev : Development lead"), QStringLiteral("...dev1 : Programmer"),
                         QStringLiteral("...dev2 : Tester"), QStringLiteral(".clerk2 : Back office")}));
        QCOMPARE(f.platform.beeps(), 0);
    }

    void loopsAndTheRootAreRefused() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        TreeControl& tree = *w->Easytree1;
        const int support = select(*w, QStringLiteral("support"));
        const int clerk1 = select(*w, QStringLiteral("clerk1"));
        const int dev = select(*w, QStringLiteral("dev"));
        const QString before =
            scalarRaw(db, QStringLiteral("SELECT group_concat(ifnull(Supervisor_User_ID,'~')) "
                                         "FROM \"USER\""))
                .toString();
        dropOnto(tree, support, clerk1); // under its own team member
        QCOMPARE(f.platform.beeps(), 1);
        dropOnto(tree, 0, dev); // the root
        QCOMPARE(f.platform.beeps(), 2);
        QCOMPARE(shown(tree), SampleTree);
        QCOMPARE(
            scalarRaw(db, QStringLiteral("SELECT group_concat(ifnull(Supervisor_User_ID,'~')) FROM \"USER\""))
                .toString(),
            before);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void dragOfAUserTheRecordSetLacksIsReported() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        // Another program renames dev2 and the window's record set is read again (as a Delete does),
        // while the tree still shows the old key.
        execRaw(db, QStringLiteral("UPDATE \"USER\" SET User_ID = 'dev2x' WHERE User_ID = 'dev2'"));
        w->Data1->refresh();
        const int dev2 = select(*w, QStringLiteral("dev2"));
        const int support = select(*w, QStringLiteral("support"));
        dropOnto(*w->Easytree1, dev2, support);
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Unable to locate Userdev2")});
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));
        QCOMPARE(supervisorOf(db, QStringLiteral("dev2x")), QStringLiteral("dev"));
    }

    void deleteRefusesAdminAndTeamLeaders() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        w->DELETE->trigger(); // the root is current
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("You can not delete the user 'ADMIN'")});
        QCOMPARE(f.platform.beeps(), 0);

        select(*w, QStringLiteral("support"));
        w->Command3->click();
        QCOMPARE(f.platform.beeps(), 1);
        QCOMPARE(f.platform.boxTexts().last(), TeamLeaderText);
        QCOMPARE(f.platform.boxes().last().buttons, Buttons::OkOnly);

        // A member added by another program since the tree was built still counts.
        execRaw(db, QStringLiteral(
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('ghost', "
                        "'Not shown', 'DEV2')"));
        select(*w, QStringLiteral("dev2"));
        w->Command3->click();
        QCOMPARE(f.platform.beeps(), 2);
        QCOMPARE(f.platform.boxTexts().last(), TeamLeaderText);
        QCOMPARE(f.platform.boxes().size(), 3); // no confirmation was asked
        QCOMPARE(userCount(db), 9);
        QCOMPARE(shown(*w->Easytree1), SampleTree);
    }

    void deleteOfATaskOwnerIsRefusedByTheEngine() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto w = openWindow(f);
        QCOMPARE(scalarRaw(db, QStringLiteral("SELECT count(*) FROM SCR WHERE SCR_Owner = 'clerk1'")).toInt(),
                 1);
        select(*w, QStringLiteral("clerk1"));
        w->Command3->click();
        QCOMPARE(f.platform.boxTexts(),
                 (QStringList{QStringLiteral("Are you sure?"),
                              QStringLiteral("Unable to delete.  This user owns tasks")}));
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("DELETE"));
        QCOMPARE(f.platform.boxes().first().buttons, Buttons::OkCancel);
        QCOMPARE(f.platform.boxes().first().icon, Icon::None);
        QCOMPARE(userCount(db), 8);
        QCOMPARE(shown(*w->Easytree1), SampleTree);
        QVERIFY(w->Easytree1->currentText().startsWith(QStringLiteral("clerk1 :")));
    }

    void cancelAtTheQuestionDeletesNothing() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, QStringLiteral(
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('temp', "
                        "'Temporary', 'dev')"));
        auto w = openWindow(f);
        select(*w, QStringLiteral("temp"));
        f.platform.queueAnswer(Answer::Cancel);
        w->Command3->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Are you sure?")});
        QCOMPARE(userCount(db), 9);
        QCOMPARE(w->Easytree1->nodeCount(), 8);
    }

    void deleteRemovesExactlyOneLeaf() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, QStringLiteral(
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('temp', "
                        "'Temporary', 'dev')"));
        auto w = openWindow(f);
        QStringList expected = shown(*w->Easytree1);
        const int dev2 = select(*w, QStringLiteral("dev2"));
        select(*w, QStringLiteral("temp"));
        f.platform.queueAnswer(Answer::Ok);
        w->Command3->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Are you sure?")});
        QCOMPARE(userCount(db), 8);
        QCOMPARE(
            scalarRaw(db, QStringLiteral("SELECT count(*) FROM \"USER\" WHERE User_ID = 'temp'")).toInt(), 0);
        QCOMPARE(f.state.HOLD_ACTION, QStringLiteral("DELETE"));
        QCOMPARE(f.state.HOLD_VALUE, QStringLiteral("temp"));
        expected.removeAll(QStringLiteral("..temp : Temporary"));
        QCOMPARE(shown(*w->Easytree1), expected);
        QVERIFY(w->Easytree1->hasNode(dev2)); // not rebuilt: positions stand
    }

    void deleteOfAVanishedUserTouchesNoOtherRow() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, QStringLiteral(
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('temp', "
                        "'Temporary', 'dev')"));
        auto w = openWindow(f);
        select(*w, QStringLiteral("temp"));
        execRaw(db, QStringLiteral("DELETE FROM \"USER\" WHERE User_ID = 'temp'"));
        f.platform.queueAnswer(Answer::Ok);
        w->Command3->click();
        QCOMPARE(f.platform.boxTexts(),
                 (QStringList{QStringLiteral("Are you sure?"), QStringLiteral("Unable to locate Usertemp")}));
        QCOMPARE(userCount(db), 8);
        QCOMPARE(w->Easytree1->nodeCount(), 8);
    }

    void treeErrorsAreShown() {
        test::Fixture f;
        f.makeSharedDb();
        auto w = openWindow(f);
        w->Easytree1->setCurrentPosition(4242);
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().first().contains(QStringLiteral("4242")));
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));
        // A tree file that can't be written back is no concern of a rebuild.
        QFile::remove(f.state.inProgramFolder(QStringLiteral("status.tre")));
        QVERIFY(QDir(f.state.programFolder).mkpath(QStringLiteral("status.tre")));
        w->BuildTeamTree();
        QCOMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(shown(*w->Easytree1), SampleTree);
    }

    void fiveThousandUsersInTheOrderOfTheSearchingWalk() {
        test::Fixture f;
        const QString db = f.path(QStringLiteral("big.mdb"));
        QCOMPARE(test::runPelldb({QStringLiteral("init"), db, QStringLiteral("--sample"),
                                  QStringLiteral("--users"), QStringLiteral("5000")}),
                 0);
        f.state.DATABASE_PATH = db;
        // Some members written by other programs: capitals, a leader listed after its members, orphans.
        execRaw(db, QStringLiteral(
                        "UPDATE \"USER\" SET Supervisor_User_ID = 'U20' WHERE User_ID IN ('u13', 'u17');"
                        "UPDATE \"USER\" SET Supervisor_User_ID = 'late' WHERE User_ID = 'u42';"
                        "UPDATE \"USER\" SET Supervisor_User_ID = 'nobody' WHERE User_ID = 'u55';"
                        "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('late', "
                        "'Late leader', 'u4990');"));
        QStringList expected;
        {
            auto database = db::Database::open(db);
            auto rs = database->openRecordset(QStringLiteral("User"));
            rs->findFirst(QStringLiteral("User_ID = 'admin'"));
            expected << QStringLiteral("admin : (Pellwood Administrator) ") +
                            rs->field(QStringLiteral("User_Name")).toString();
            searchingWalk(*rs, QStringLiteral("admin"), 1, expected);
        }
        QCOMPARE(expected.size(), 5000 + 7 + 1 - 1); // everyone but guest and u55's orphaned team member
        auto w = openWindow(f);
        QCOMPARE(shown(*w->Easytree1), expected);
    }
};

QTEST_MAIN(TestFUser)
#include "tst_f_user.moc"
