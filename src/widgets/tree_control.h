#pragma once

#include "widgets/tree_nodes.h"

#include <QString>
#include <QTreeView>

#include <utility>

class QMimeData;

namespace pell {

class TreeModel;

// The tree control: a tree of text nodes that the window addresses by position (TreeNodes). The control
// keeps its tree in a file of its own (the tree file): naming a file starts work on the tree stored there,
// or on a lone root when there is none; letting go of the file (naming the empty text) writes the tree
// back. Its owner lets go of the file before it destroys the control: a control destroyed while holding a
// file leaves the file as it was.
//
// Positions were 16-bit in the control this one stands in for; they stay small non-negative numbers, but
// a tree may grow past 32,767 nodes, so they are plain ints here.
//
// The window talks to it through the facilities below only; the user chooses a node by double-click or
// Enter (Select), drags a node onto another (DropLeaf, the window then asks for the move), and moves the
// current node with the keyboard. Problems are reported as TreeError, never thrown.
class TreeControl : public QTreeView {
    Q_OBJECT
public:
    static constexpr int NoPosition = TreeNodes::NoPosition;

    explicit TreeControl(QWidget* parent = nullptr);
    ~TreeControl() override;

    // Tree file. Empty: let go of the current file (the tree is written to it first). A path: start on the
    // tree stored there; a missing file gives a lone, current root with an empty text.
    QString treeFile() const { return m_treeFile; }
    void setTreeFile(const QString& path);

    // The current node.
    int currentPosition() const { return m_current; }
    void setCurrentPosition(int position);
    QString currentText() const;
    void setCurrentText(const QString& text);
    int nodeMark() const;
    void setNodeMark(int mark);

    // Appends a child with that text under the current node; the current node stays. Returns the new
    // node's position.
    int addChild(const QString& text);
    // Readies the current node for its children: it is shown open.
    void prepareNode();
    // Removes the current node with everything under it; its parent becomes current. The root stays.
    void removeCurrentNode();
    // Moves the node at `dragged` (with its subtree) to the end of the children of `target`; the moved
    // node becomes current. Refused (false, nothing changes) for the root, an unknown position, or a
    // target that is the dragged node or lies under it.
    bool move(int dragged, int target);

    // Whether a node stands at that position.
    bool hasNode(int position) const;
    // Number of nodes in the tree, the root included.
    int nodeCount() const { return m_nodes.count(); }

    // The drag payload of a node, as a drag from this control carries it (tests and the drag itself).
    QMimeData* dragData(int position) const;
    // Brings the view up to date with the tree now instead of at the next turn of the event loop.
    void flush();
    // The on-screen rectangle (viewport coordinates) of a node; flushes first.
    QRect nodeRect(int position);

Q_SIGNALS:
    void Select(int position);
    void DropLeaf(int dragged, int target);
    void TreeError(int code, const QString& text);

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Accepts a drop of one node onto another and tells which; ignores anything else.
    std::pair<int, int> acceptDrop(QDropEvent* event);
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    friend class TreeModel;

    enum ErrorCode { NoSuchNode = 1, RootNotRemovable = 2, FileUnreadable = 3, FileUnwritable = 4 };

    void resetToRoot();
    void structureChanging();
    void syncView();
    void flushPending();
    void showCurrentInView();
    QModelIndex indexOf(int position) const;
    int positionOf(const QModelIndex& index) const;
    int dragSource(const QMimeData* payload) const;
    int dropTarget(const QPoint& pos) const;
    void report(ErrorCode code, const QString& text);

    TreeModel* m_model = nullptr; // a child of the view, deleted with it
    TreeNodes m_nodes;
    int m_current = 0;
    QString m_treeFile;
    bool m_pending = false; // the view has been told a reset is under way
    bool m_syncing = false;
};

} // namespace pell
