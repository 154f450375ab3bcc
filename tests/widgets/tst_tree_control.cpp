// The tree control: positions that stay with their node, the tree file, removal and moves with their
// refusals, and the user's gestures (keyboard, double-click, drag and drop) as the events they raise.
#include "support/user_window.h"
#include "widgets/tree_control.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace pell;
using pell::test::dropOnto;
using pell::test::shown;
using namespace Qt::StringLiterals;

namespace {

// root -> a (a1, a2), b
struct Sample {
    int a, a1, a2, b;
};
Sample fill(TreeControl& tree) {
    tree.setCurrentText(u"root"_s);
    Sample s{};
    s.a = tree.addChild(u"a"_s);
    s.b = tree.addChild(u"b"_s);
    tree.setCurrentPosition(s.a);
    s.a1 = tree.addChild(u"a1"_s);
    s.a2 = tree.addChild(u"a2"_s);
    tree.setCurrentPosition(0);
    return s;
}

// The sample shown with a as current and its team open.
Sample showSample(TreeControl& tree) {
    const Sample s = fill(tree);
    tree.setCurrentPosition(s.a);
    tree.prepareNode();
    tree.show();
    [&] { QVERIFY(QTest::qWaitForWindowExposed(&tree)); }();
    tree.flush();
    return s;
}

} // namespace

class TestTreeControl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addChildKeepsParentCurrentAndBuildsInOrder() {
        // (An unknown position's message is seen through the user window.)
        TreeControl tree;
        const Sample s = fill(tree);
        QCOMPARE(QList<int>({s.a, s.b, tree.currentPosition()}), QList<int>({1, 2, 0}));
        QCOMPARE(shown(tree), (QStringList{u"root"_s, u".a"_s, u"..a1"_s, u"..a2"_s, u".b"_s}));
        tree.setCurrentPosition(s.a2);
        tree.setNodeMark(7);
        tree.setCurrentText(u"a2 renamed"_s);
        QVERIFY(shown(tree).contains(u"..a2 renamed"_s));
        tree.setCurrentPosition(s.a1);
        QCOMPARE(tree.nodeMark(), 0); // marks are the node's own
        // An unknown position, above or below, is reported and changes nothing.
        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.setCurrentPosition(99);
        tree.setCurrentPosition(-1);
        QCOMPARE(errors.count(), 2);
        QCOMPARE(tree.currentPosition(), s.a1);
    }

    void treeFileKeepsTheTreeWithItsPositions() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"status.tre"_s);
        const QString odd = u"tab\there, back\\slash\nnew line : é"_s;
        int b = 0;
        {
            TreeControl tree;
            tree.setTreeFile(path);
            const Sample s = fill(tree);
            tree.setCurrentPosition(s.a1);
            tree.setNodeMark(1);
            tree.removeCurrentNode(); // leaves a gap in the positions
            tree.setCurrentPosition(b = s.b);
            tree.setCurrentText(odd);
            tree.setNodeMark(1);
            tree.setTreeFile(QString()); // let go: written
            QCOMPARE(tree.nodeCount(), 1);
        }
        TreeControl again;
        QSignalSpy errors(&again, &TreeControl::TreeError);
        again.setTreeFile(path);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(again.nodeCount(), 4);
        QVERIFY(!again.hasNode(3)); // a1 stays gone
        again.setCurrentPosition(b);
        QCOMPARE(again.currentText(), odd);
        QCOMPARE(again.nodeMark(), 1);
        QCOMPARE(shown(again), (QStringList{u"root"_s, u".a"_s, u"..a2"_s, u"."_s + odd}));
        // New nodes never take a position a node had.
        again.setCurrentPosition(0);
        QCOMPARE(again.addChild(u"c"_s), 5);

        // A control destroyed while holding its file leaves the file as it was (its owner lets go to write
        // it); a missing file gives a lone root.
        const QString other = dir.filePath(u"destroyed.tre"_s);
        {
            TreeControl tree;
            tree.setTreeFile(other);
            fill(tree);
        }
        QVERIFY(!QFile::exists(other));
        again.setTreeFile(other);
        QCOMPARE(again.currentPosition(), 0);
        QCOMPARE(again.nodeMark(), 0);
        QCOMPARE(shown(again), QStringList{QString()});
    }

    void damagedOrUnwritableFileIsReported() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"status.tre"_s);
        const QList<QByteArray> damaged = {
            "not a tree\n",
            "PELL TREE 1\n2\n0\t-1\t1\t1\troot\n",                     // fewer nodes than announced
            "PELL TREE 1\n2\n0\t-1\t1\t1\troot\n1\t5\t1\t0\torphan\n", // parent not yet seen
            "PELL TREE 1\n2\n0\t-1\t1\t1\troot\n0\t0\t1\t0\ttwice\n",  // a position twice
            "PELL TREE 1\n1\n3\t-1\t1\t1\troot\n",                     // root not at 0
            "PELL TREE 1\n1\n0\t-1\t1\t1\tbad \\q escape\n",
            "PELL TREE 1\n99999999999\n",
        };
        for (const QByteArray& content : damaged) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content);
            file.close();
            TreeControl tree;
            QSignalSpy errors(&tree, &TreeControl::TreeError);
            tree.setTreeFile(path);
            QCOMPARE(errors.count(), 1);
            QCOMPARE(tree.nodeCount(), 1);
            QCOMPARE(tree.currentPosition(), 0);
            tree.setTreeFile(QString());
        }
        TreeControl tree;
        tree.setTreeFile(dir.filePath(u"no/such/folder/status.tre"_s));
        fill(tree);
        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.setTreeFile(QString());
        QCOMPARE(errors.count(), 1);
        QCOMPARE(tree.treeFile(), QString());
    }

    void removeAndMoveCarryTheSubtreeAndRefuseTheRootAndLoops() {
        TreeControl tree;
        Sample s = fill(tree);
        tree.setCurrentPosition(s.a);
        tree.removeCurrentNode();
        QCOMPARE(tree.currentPosition(), 0);
        QVERIFY(!tree.hasNode(s.a1) && !tree.hasNode(s.a2));
        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.removeCurrentNode(); // the root
        QCOMPARE(errors.count(), 1);
        QCOMPARE(shown(tree), (QStringList{u"root"_s, u".b"_s}));

        TreeControl other;
        s = fill(other);
        QVERIFY(!other.move(0, s.b));    // the root
        QVERIFY(!other.move(s.a, s.a));  // onto itself
        QVERIFY(!other.move(s.a, s.a1)); // under its own member
        QVERIFY(!other.move(s.a, 42));
        QVERIFY(other.move(s.a, s.b));
        QCOMPARE(other.currentPosition(), s.a);
        // Positions still name the same nodes, and siblings keep their order after a node leaves.
        QVERIFY(other.move(s.a1, 0));
        other.setCurrentPosition(s.a2);
        QCOMPARE(other.currentText(), u"a2"_s);
        QCOMPARE(shown(other), (QStringList{u"root"_s, u".b"_s, u"..a"_s, u"...a2"_s, u".a1"_s}));
    }

    void positionsGoPastSixteenBits() {
        TreeControl tree;
        int last = 0;
        for (int i = 0; i < 40000; ++i)
            last = tree.addChild(QString::number(i));
        QCOMPARE(last, 40000);
        tree.setCurrentPosition(last);
        QCOMPARE(tree.currentText(), u"39999"_s);
        QCOMPARE(shown(tree).size(), 40001);
    }

    void clicksAndDrops() {
        // The keys, a double-click and a drop that the window acts on are driven through the user window.
        TreeControl tree;
        const Sample s = showSample(tree);
        QSignalSpy select(&tree, &TreeControl::Select);
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(s.b).center());
        QCOMPARE(tree.currentPosition(), s.b);
        QCOMPARE(select.count(), 0); // a click only moves
        // A drop raises DropLeaf and leaves the move to whoever listens; one from itself, from another tree
        // or of anything else raises nothing.
        QSignalSpy drops(&tree, &TreeControl::DropLeaf);
        dropOnto(tree, tree.dragData(s.b), s.b);
        TreeControl other;
        fill(other);
        dropOnto(tree, other.dragData(s.a2), s.b);
        auto* foreign = new QMimeData;
        foreign->setText(u"2"_s);
        dropOnto(tree, foreign, s.b);
        dropOnto(tree, tree.dragData(s.a2), s.b);
        QCOMPARE(drops.count(), 1);
        QCOMPARE(drops.first(), (QList<QVariant>{s.a2, s.b}));
        QCOMPARE(shown(tree).at(3), u"..a2"_s);
    }

    void rebuildWhileShownKeepsViewConsistent() {
        // A window rebuilds its tree from inside the view's own event handlers: the view must never see
        // the tree half-built.
        QTemporaryDir dir;
        TreeControl tree;
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        for (int round = 0; round < 3; ++round) {
            tree.setTreeFile(QString());
            tree.setTreeFile(dir.filePath(u"t%1.tre"_s.arg(round)));
            const Sample s = fill(tree);
            tree.setCurrentPosition(s.a);
            tree.prepareNode();
            tree.setCurrentPosition(s.a2);
            QCoreApplication::processEvents();
            QCOMPARE(tree.currentIndex().data().toString(), u"a2"_s);
            QCOMPARE(shown(tree).size(), 5);
        }
    }
};

QTEST_MAIN(TestTreeControl)
#include "tst_tree_control.moc"
