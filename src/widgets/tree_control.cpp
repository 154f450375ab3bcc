#include "widgets/tree_control.h"

#include "widgets/tree_file.h"

#include <QAbstractItemModel>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScopedValueRollback>

#include <climits>

namespace pell {

namespace {
const QString DragFormat = QStringLiteral("application/x-pell-tree-node");

QByteArray dragPayload(const void* owner, int position) {
    return QByteArray::number(quintptr(owner)) + ' ' + QByteArray::number(position);
}
} // namespace

// The item model the view shows. It reads the control's nodes directly; the item's internal id is the
// node's position, so an index the view still holds from before a change names a node or nothing, never
// garbage.
class TreeModel : public QAbstractItemModel {
public:
    explicit TreeModel(TreeControl& tree) : m_tree(tree) {}

    void beginReset() { beginResetModel(); }
    void endReset() { endResetModel(); }
    QModelIndex make(int row, int position) const { return createIndex(row, 0, quintptr(position)); }

    bool valid(quintptr position) const {
        return position <= quintptr(INT_MAX) && m_tree.m_nodes.has(int(position));
    }
    const TreeNodes::Node& node(quintptr position) const { return m_tree.m_nodes.at(int(position)); }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        if (column != 0 || row < 0)
            return {};
        if (!parent.isValid())
            return row == 0 && valid(0) ? make(0, 0) : QModelIndex();
        if (!valid(parent.internalId()))
            return {};
        const auto& children = node(parent.internalId()).children;
        if (size_t(row) >= children.size())
            return {};
        return make(row, children[size_t(row)]);
    }

    QModelIndex parent(const QModelIndex& child) const override {
        if (!child.isValid() || !valid(child.internalId()))
            return {};
        const int p = node(child.internalId()).parent;
        if (p < 0 || !valid(quintptr(p)))
            return {};
        return make(node(quintptr(p)).row, p);
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        if (!parent.isValid())
            return valid(0) ? 1 : 0;
        if (parent.column() != 0 || !valid(parent.internalId()))
            return 0;
        return int(node(parent.internalId()).children.size());
    }

    bool hasChildren(const QModelIndex& parent = {}) const override { return rowCount(parent) > 0; }
    int columnCount(const QModelIndex& = {}) const override { return 1; }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || !valid(index.internalId()))
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return node(index.internalId()).text;
        return {};
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid() || !valid(index.internalId()))
            return Qt::NoItemFlags;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    }

    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }

private:
    TreeControl& m_tree;
};

TreeControl::TreeControl(QWidget* parent) : QTreeView(parent), m_model(new TreeModel(*this)) {
    m_model->setParent(this);
    setHeaderHidden(true);
    setUniformRowHeights(true); // keeps layout linear in the number of rows
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setExpandsOnDoubleClick(false); // a double-click chooses the node
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    resetToRoot();
    setModel(m_model);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (m_syncing || m_pending)
            return;
        const int position = positionOf(current);
        if (position != NoPosition)
            m_current = position;
    });
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (!m_syncing && !m_pending && positionOf(index) != NoPosition)
            m_nodes.setOpen(positionOf(index), true);
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (!m_syncing && !m_pending && positionOf(index) != NoPosition)
            m_nodes.setOpen(positionOf(index), false);
    });
    syncView();
}

TreeControl::~TreeControl() {
    // The model reads our nodes: it goes while they are still here, and the view lets go of it first.
    setModel(nullptr);
    delete m_model;
}

// --- the tree file ---------------------------------------------------------------------------------------

void TreeControl::setTreeFile(const QString& path) {
    if (!m_treeFile.isEmpty() && !tree_file::save(m_nodes, m_treeFile))
        report(FileUnwritable, QStringLiteral("Unable to write the tree file ") + m_treeFile);
    m_treeFile = path;
    structureChanging();
    if (path.isEmpty() || !QFile::exists(path)) {
        resetToRoot();
        return;
    }
    std::optional<TreeNodes> stored = tree_file::load(path);
    if (stored) {
        m_nodes = std::move(*stored);
        m_current = 0;
    } else {
        resetToRoot();
        report(FileUnreadable, QStringLiteral("The tree file ") + path +
                                   QStringLiteral(" can not be read; the tree starts again from its root"));
    }
}

void TreeControl::resetToRoot() {
    m_nodes = TreeNodes();
    m_current = 0;
}

// --- the current node ------------------------------------------------------------------------------------

bool TreeControl::hasNode(int position) const {
    return m_nodes.has(position);
}

void TreeControl::setCurrentPosition(int position) {
    if (!hasNode(position)) {
        report(NoSuchNode, QStringLiteral("There is no node at position ") + QString::number(position));
        return;
    }
    if (position == m_current)
        return;
    m_current = position;
    showCurrentInView();
}

QString TreeControl::currentText() const {
    return m_nodes.at(m_current).text;
}

void TreeControl::setCurrentText(const QString& text) {
    m_nodes.setText(m_current, text);
    if (!m_pending) {
        const QModelIndex index = indexOf(m_current);
        Q_EMIT m_model->dataChanged(index, index, {Qt::DisplayRole});
    }
}

int TreeControl::nodeMark() const {
    return m_nodes.at(m_current).mark;
}

void TreeControl::setNodeMark(int mark) {
    m_nodes.setMark(m_current, mark);
}

// --- changes to the tree ---------------------------------------------------------------------------------

int TreeControl::addChild(const QString& text) {
    structureChanging();
    return m_nodes.add(m_current, text);
}

void TreeControl::prepareNode() {
    if (m_nodes.at(m_current).open)
        return;
    m_nodes.setOpen(m_current, true);
    if (!m_pending && !m_nodes.at(m_current).children.empty()) {
        const QScopedValueRollback<bool> guard(m_syncing, true);
        expand(indexOf(m_current));
    }
}

void TreeControl::removeCurrentNode() {
    if (m_current == 0) {
        report(RootNotRemovable, QStringLiteral("The root of the tree can not be removed"));
        return;
    }
    structureChanging();
    const int parent = m_nodes.at(m_current).parent;
    m_nodes.remove(m_current);
    m_current = parent;
}

bool TreeControl::move(int dragged, int target) {
    if (!m_nodes.has(dragged) || !m_nodes.has(target) || dragged == 0 || m_nodes.isUnder(target, dragged))
        return false;
    structureChanging();
    m_nodes.move(dragged, target);
    m_current = dragged;
    return true;
}

void TreeControl::report(ErrorCode code, const QString& text) {
    Q_EMIT TreeError(int(code), text);
}

// --- keeping the view in step ----------------------------------------------------------------------------

// Changes come in bursts (a whole tree is built node by node), so the view is told once, when control
// returns to the event loop, rather than at each node.
void TreeControl::structureChanging() {
    if (m_pending)
        return;
    m_pending = true;
    m_model->beginReset();
    QMetaObject::invokeMethod(this, &TreeControl::syncView, Qt::QueuedConnection);
}

void TreeControl::flush() {
    syncView();
    doItemsLayout();
}

void TreeControl::flushPending() {
    if (m_pending)
        syncView();
}

void TreeControl::syncView() {
    const QScopedValueRollback<bool> guard(m_syncing, true);
    if (m_pending) {
        m_pending = false;
        m_model->endReset();
    }
    // Open nodes: only those with children matter to the view (a leaf has nothing to show).
    for (int position = 0; position < m_nodes.size(); ++position) {
        if (!m_nodes.has(position))
            continue;
        const TreeNodes::Node& node = m_nodes.at(position);
        if (node.open && !node.children.empty())
            setExpanded(m_model->make(node.row, position), true);
    }
    showCurrentInView();
}

void TreeControl::showCurrentInView() {
    if (m_pending)
        return;
    const QScopedValueRollback<bool> guard(m_syncing, true);
    const QModelIndex index = indexOf(m_current);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    if (isVisible())
        scrollTo(index);
}

QModelIndex TreeControl::indexOf(int position) const {
    if (!hasNode(position))
        return {};
    return m_model->make(m_nodes.at(position).row, position);
}

int TreeControl::positionOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != m_model || !hasNode(int(index.internalId())))
        return NoPosition;
    return int(index.internalId());
}

QRect TreeControl::nodeRect(int position) {
    flush();
    const QModelIndex index = indexOf(position);
    if (!index.isValid())
        return {};
    scrollTo(index);
    return visualRect(index);
}

// --- the user's gestures ---------------------------------------------------------------------------------

QMimeData* TreeControl::dragData(int position) const {
    auto* payload = new QMimeData;
    payload->setData(DragFormat, dragPayload(this, position));
    return payload;
}

int TreeControl::dragSource(const QMimeData* payload) const {
    if (!payload || !payload->hasFormat(DragFormat))
        return NoPosition;
    const QList<QByteArray> parts = payload->data(DragFormat).split(' ');
    if (parts.size() != 2 || parts[0] != QByteArray::number(quintptr(this)))
        return NoPosition; // dragged from another tree
    bool ok = false;
    const int position = parts[1].toInt(&ok);
    return ok && hasNode(position) ? position : NoPosition;
}

int TreeControl::dropTarget(const QPoint& pos) const {
    return positionOf(indexAt(pos));
}

void TreeControl::startDrag(Qt::DropActions) {
    const int position = positionOf(currentIndex());
    if (position == NoPosition)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(dragData(position));
    drag->exec(Qt::MoveAction, Qt::MoveAction);
}

// Input always meets the view as the tree stands: a change waiting for the event loop is shown first.
void TreeControl::dragEnterEvent(QDragEnterEvent* event) {
    flushPending();
    if (dragSource(event->mimeData()) == NoPosition) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
}

std::pair<int, int> TreeControl::acceptDrop(QDropEvent* event) {
    flushPending();
    const int source = dragSource(event->mimeData());
    const int target = dropTarget(event->position().toPoint());
    if (source == NoPosition || target == NoPosition || target == source) {
        event->ignore();
        return {NoPosition, NoPosition};
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    return {source, target};
}

void TreeControl::dragMoveEvent(QDragMoveEvent* event) {
    acceptDrop(event);
}

void TreeControl::dropEvent(QDropEvent* event) {
    const std::pair<int, int> drop = acceptDrop(event);
    const int source = drop.first;
    const int target = drop.second;
    if (source == NoPosition)
        return;
    // The window may show boxes in answer; let the drag finish first.
    QMetaObject::invokeMethod(
        this, [this, source, target] { Q_EMIT DropLeaf(source, target); }, Qt::QueuedConnection);
}

void TreeControl::keyPressEvent(QKeyEvent* event) {
    flushPending();
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && plain) {
        event->accept();
        Q_EMIT Select(m_current);
        return;
    }
    QTreeView::keyPressEvent(event);
}

void TreeControl::mousePressEvent(QMouseEvent* event) {
    flushPending();
    QTreeView::mousePressEvent(event);
}

void TreeControl::mouseDoubleClickEvent(QMouseEvent* event) {
    flushPending();
    const int position = dropTarget(event->position().toPoint());
    if (event->button() == Qt::LeftButton && position != NoPosition) {
        event->accept();
        setCurrentPosition(position);
        Q_EMIT Select(position);
        return;
    }
    QTreeView::mouseDoubleClickEvent(event);
}

} // namespace pell
