// The tree control: positions that stay with their node, the tree file, removal and moves with their
// refusals, and the user's gestures (keyboard, double-click, drag and drop) as the events they raise.
#include "widgets/tree_control.h"

#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace pell;

namespace {

// The tree as the view's model shows it: one line per node, indented by depth, in display order.
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

// root -> a (a1, a2), b
struct Sample {
    int a, a1, a2, b;
};
Sample fill(TreeControl& tree) {
    tree.setCurrentText(QStringLiteral("root"));
    Sample s{};
    s.a = tree.addChild(QStringLiteral("a"));
    s.b = tree.addChild(QStringLiteral("b"));
    tree.setCurrentPosition(s.a);
    s.a1 = tree.addChild(QStringLiteral("a1"));
    s.a2 = tree.addChild(QStringLiteral("a2"));
    tree.setCurrentPosition(0);
    return s;
}

void dropOnto(TreeControl& tree, QMimeData* data, int target) {
    const std::unique_ptr<QMimeData> owned(data);
    const QMimeData* payload = owned.get();
    const QPoint at = tree.nodeRect(target).center();
    QDragEnterEvent enter(at, Qt::MoveAction, payload, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &enter);
    QDragMoveEvent over(at, Qt::MoveAction, payload, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &over);
    QDropEvent drop(QPointF(at), Qt::MoveAction, payload, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &drop);
    QCoreApplication::processEvents();
}

} // namespace

class TestTreeControl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void missingFileGivesLoneCurrentRoot() {
        QTemporaryDir dir;
        TreeControl tree;
        fill(tree);
        tree.setTreeFile(QString());
        tree.setTreeFile(dir.filePath(QStringLiteral("none.tre")));
        QCOMPARE(tree.nodeCount(), 1);
        QCOMPARE(tree.currentPosition(), 0);
        QCOMPARE(tree.currentText(), QString());
        QCOMPARE(tree.nodeMark(), 0);
        QCOMPARE(shown(tree), QStringList{QString()});
    }

    void addChildKeepsParentCurrentAndBuildsInOrder() {
        TreeControl tree;
        const Sample s = fill(tree);
        QCOMPARE(s.a, 1);
        QCOMPARE(s.b, 2);
        QCOMPARE(tree.currentPosition(), 0);
        QCOMPARE(tree.nodeCount(), 5);
        QCOMPARE(shown(tree),
                 (QStringList{QStringLiteral("root"), QStringLiteral(".a"), QStringLiteral("..a1"),
                              QStringLiteral("..a2"), QStringLiteral(".b")}));
        tree.setCurrentPosition(s.a2);
        QCOMPARE(tree.currentText(), QStringLiteral("a2"));
        tree.setNodeMark(7);
        tree.setCurrentText(QStringLiteral("a2 renamed"));
        tree.setCurrentPosition(s.a1);
        QCOMPARE(tree.nodeMark(), 0);
        tree.setCurrentPosition(s.a2);
        QCOMPARE(tree.nodeMark(), 7);
        QVERIFY(shown(tree).contains(QStringLiteral("..a2 renamed")));
    }

    void unknownPositionIsReportedAndChangesNothing() {
        TreeControl tree;
        const Sample s = fill(tree);
        tree.setCurrentPosition(s.b);
        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.setCurrentPosition(99);
        tree.setCurrentPosition(-1);
        QCOMPARE(errors.count(), 2);
        QVERIFY(errors.at(0).at(1).toString().contains(QStringLiteral("99")));
        QCOMPARE(tree.currentPosition(), s.b);
    }

    void treeFileKeepsTheTreeWithItsPositions() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("status.tre"));
        std::vector<int> positions;
        {
            TreeControl tree;
            tree.setTreeFile(path);
            const Sample s = fill(tree);
            tree.setCurrentPosition(s.a1);
            tree.setNodeMark(1);
            tree.removeCurrentNode(); // leaves a gap in the positions
            tree.setCurrentPosition(s.b);
            tree.setCurrentText(QStringLiteral("tab\there, back\\slash\nnew line : é"));
            tree.setNodeMark(1);
            positions = {s.a, s.a2, s.b};
            tree.setTreeFile(QString()); // let go: written
            QVERIFY(QFile::exists(path));
            QCOMPARE(tree.nodeCount(), 1);
        }
        TreeControl again;
        QSignalSpy errors(&again, &TreeControl::TreeError);
        again.setTreeFile(path);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(again.nodeCount(), 4);
        QVERIFY(!again.hasNode(3)); // a1 stays gone
        again.setCurrentPosition(positions[2]);
        QCOMPARE(again.currentText(), QStringLiteral("tab\there, back\\slash\nnew line : é"));
        QCOMPARE(again.nodeMark(), 1);
        QCOMPARE(shown(again),
                 (QStringList{QStringLiteral("root"), QStringLiteral(".a"), QStringLiteral("..a2"),
                              QStringLiteral(".tab\there, back\\slash\nnew line : é")}));
        // New nodes never take a position a node had.
        again.setCurrentPosition(0);
        QCOMPARE(again.addChild(QStringLiteral("c")), 5);
    }

    void destroyedControlWritesItsFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("status.tre"));
        {
            TreeControl tree;
            tree.setTreeFile(path);
            fill(tree);
        }
        TreeControl again;
        again.setTreeFile(path);
        QCOMPARE(again.nodeCount(), 5);
    }

    void damagedFileIsReportedAndStartsFromRoot() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("status.tre"));
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
    }

    void unwritableFileIsReportedWhenLettingGo() {
        QTemporaryDir dir;
        TreeControl tree;
        tree.setTreeFile(dir.filePath(QStringLiteral("no/such/folder/status.tre")));
        fill(tree);
        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.setTreeFile(QString());
        QCOMPARE(errors.count(), 1);
        QCOMPARE(tree.treeFile(), QString());
    }

    void removeTakesTheSubtreeAndLeavesParentCurrent() {
        TreeControl tree;
        const Sample s = fill(tree);
        tree.setCurrentPosition(s.a);
        tree.removeCurrentNode();
        QCOMPARE(tree.currentPosition(), 0);
        QCOMPARE(tree.nodeCount(), 2);
        QVERIFY(!tree.hasNode(s.a1) && !tree.hasNode(s.a2));
        QCOMPARE(shown(tree), (QStringList{QStringLiteral("root"), QStringLiteral(".b")}));

        QSignalSpy errors(&tree, &TreeControl::TreeError);
        tree.removeCurrentNode(); // the root
        QCOMPARE(errors.count(), 1);
        QCOMPARE(tree.nodeCount(), 2);
    }

    void moveCarriesTheSubtreeAndRefusesLoops() {
        TreeControl tree;
        const Sample s = fill(tree);
        QVERIFY(!tree.move(0, s.b));    // the root
        QVERIFY(!tree.move(s.a, s.a));  // onto itself
        QVERIFY(!tree.move(s.a, s.a1)); // under its own member
        QVERIFY(!tree.move(s.a, 42));
        QCOMPARE(shown(tree).size(), 5);

        QVERIFY(tree.move(s.a, s.b));
        QCOMPARE(tree.currentPosition(), s.a);
        QCOMPARE(shown(tree),
                 (QStringList{QStringLiteral("root"), QStringLiteral(".b"), QStringLiteral("..a"),
                              QStringLiteral("...a1"), QStringLiteral("...a2")}));
        // Positions still name the same nodes, and siblings keep their order after a node leaves.
        QVERIFY(tree.move(s.a1, 0));
        tree.setCurrentPosition(s.a2);
        QCOMPARE(tree.currentText(), QStringLiteral("a2"));
        QCOMPARE(shown(tree),
                 (QStringList{QStringLiteral("root"), QStringLiteral(".b"), QStringLiteral("..a"),
                              QStringLiteral("...a2"), QStringLiteral(".a1")}));
    }

    void positionsGoPastSixteenBits() {
        TreeControl tree;
        int last = 0;
        for (int i = 0; i < 40000; ++i)
            last = tree.addChild(QString::number(i));
        QCOMPARE(last, 40000);
        tree.setCurrentPosition(last);
        QCOMPARE(tree.currentText(), QStringLiteral("39999"));
        QCOMPARE(shown(tree).size(), 40001);
    }

    void keyboardMovesTheCurrentNodeAndEnterSelects() {
        TreeControl tree;
        const Sample s = fill(tree);
        tree.setCurrentPosition(s.a);
        tree.prepareNode();
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        tree.flush();
        tree.setFocus();
        QSignalSpy select(&tree, &TreeControl::Select);
        QTest::keyClick(&tree, Qt::Key_Down);
        QCOMPARE(tree.currentPosition(), s.a1);
        QTest::keyClick(&tree, Qt::Key_Down);
        QCOMPARE(tree.currentPosition(), s.a2);
        QTest::keyClick(&tree, Qt::Key_Up);
        QCOMPARE(tree.currentPosition(), s.a1);
        QCOMPARE(select.count(), 0);
        QTest::keyClick(&tree, Qt::Key_Return);
        QCOMPARE(select.count(), 1);
        QCOMPARE(select.at(0).at(0).toInt(), s.a1);
    }

    void clickChoosesAndDoubleClickSelects() {
        TreeControl tree;
        const Sample s = fill(tree);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QSignalSpy select(&tree, &TreeControl::Select);
        const QPoint at = tree.nodeRect(s.b).center();
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(tree.currentPosition(), s.b);
        QCOMPARE(select.count(), 0);
        QTest::mouseDClick(tree.viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(select.count(), 1);
        QCOMPARE(select.at(0).at(0).toInt(), s.b);
    }

    void dropRaisesDropLeafWithoutMoving() {
        TreeControl tree;
        const Sample s = fill(tree);
        tree.setCurrentPosition(s.a);
        tree.prepareNode();
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QSignalSpy drops(&tree, &TreeControl::DropLeaf);
        dropOnto(tree, tree.dragData(s.a2), s.b);
        QCOMPARE(drops.count(), 1);
        QCOMPARE(drops.at(0).at(0).toInt(), s.a2);
        QCOMPARE(drops.at(0).at(1).toInt(), s.b);
        // The control leaves the move to whoever listens.
        QCOMPARE(shown(tree).at(3), QStringLiteral("..a2"));

        dropOnto(tree, tree.dragData(s.b), s.b); // onto itself
        TreeControl other;
        fill(other);
        dropOnto(tree, other.dragData(s.a2), s.b); // from another tree
        auto* foreign = new QMimeData;
        foreign->setText(QStringLiteral("2"));
        dropOnto(tree, foreign, s.b);
        QCOMPARE(drops.count(), 1);
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
            tree.setTreeFile(dir.filePath(QStringLiteral("t%1.tre").arg(round)));
            const Sample s = fill(tree);
            tree.setCurrentPosition(s.a);
            tree.prepareNode();
            tree.setCurrentPosition(s.a2);
            QCoreApplication::processEvents();
            QCOMPARE(tree.currentIndex().data().toString(), QStringLiteral("a2"));
            QCOMPARE(shown(tree).size(), 5);
        }
    }
};

QTEST_MAIN(TestTreeControl)
#include "tst_tree_control.moc"
