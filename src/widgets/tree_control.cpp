#include "widgets/tree_control.h"

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
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QTextStream>

namespace pell {

namespace {
const QString DragFormat = QStringLiteral("application/x-pell-tree-node");
const QString FileHeader = QStringLiteral("PELL TREE 1");
// A damaged file must not make us allocate without bound.
constexpr qint64 MaxPosition = 50'000'000;

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QLatin1String("\\\\");
            break;
        case u'\t':
            out += QLatin1String("\\t");
            break;
        case u'\n':
            out += QLatin1String("\\n");
            break;
        case u'\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(const QString& text, QString& out) {
    out.clear();
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i).unicode()) {
        case u'\\':
            out += u'\\';
            break;
        case u't':
            out += u'\t';
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

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
        return position < m_tree.m_nodes.size() && m_tree.m_nodes[position].alive;
    }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        if (column != 0 || row < 0)
            return {};
        if (!parent.isValid())
            return row == 0 && valid(0) ? make(0, 0) : QModelIndex();
        if (!valid(parent.internalId()))
            return {};
        const auto& children = m_tree.m_nodes[parent.internalId()].children;
        if (size_t(row) >= children.size())
            return {};
        return make(row, children[size_t(row)]);
    }

    QModelIndex parent(const QModelIndex& child) const override {
        if (!child.isValid() || !valid(child.internalId()))
            return {};
        const int p = m_tree.m_nodes[child.internalId()].parent;
        if (p < 0 || !valid(quintptr(p)))
            return {};
        return make(m_tree.m_nodes[size_t(p)].row, p);
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        if (!parent.isValid())
            return valid(0) ? 1 : 0;
        if (parent.column() != 0 || !valid(parent.internalId()))
            return 0;
        return int(m_tree.m_nodes[parent.internalId()].children.size());
    }

    bool hasChildren(const QModelIndex& parent = {}) const override { return rowCount(parent) > 0; }
    int columnCount(const QModelIndex& = {}) const override { return 1; }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || !valid(index.internalId()))
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return m_tree.m_nodes[index.internalId()].text;
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
            m_nodes[size_t(positionOf(index))].open = true;
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (!m_syncing && !m_pending && positionOf(index) != NoPosition)
            m_nodes[size_t(positionOf(index))].open = false;
    });
    syncView();
}

TreeControl::~TreeControl() {
    if (!m_treeFile.isEmpty())
        save(m_treeFile); // nobody is left to hear of a failure
    // The model reads our nodes: it goes while they are still here, and the view lets go of it first.
    setModel(nullptr);
    delete m_model;
}

// --- the tree file ---------------------------------------------------------------------------------------

void TreeControl::setTreeFile(const QString& path) {
    if (!m_treeFile.isEmpty() && !save(m_treeFile))
        report(FileUnwritable, QStringLiteral("Unable to write the tree file ") + m_treeFile);
    m_treeFile = path;
    structureChanging();
    if (path.isEmpty() || !QFile::exists(path)) {
        resetToRoot();
        return;
    }
    if (!load(path)) {
        resetToRoot();
        report(FileUnreadable, QStringLiteral("The tree file ") + path +
                                   QStringLiteral(" can not be read; the tree starts again from its root"));
    }
}

void TreeControl::resetToRoot() {
    m_nodes.clear();
    m_nodes.push_back(Node{});
    m_alive = 1;
    m_current = 0;
}

bool TreeControl::save(const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out.setEncoding(QStringConverter::Utf8);
    out << FileHeader << '\n' << m_alive << '\n';
    // Parents before their children, children in their order.
    std::vector<int> stack{0};
    while (!stack.empty()) {
        const int position = stack.back();
        stack.pop_back();
        const Node& node = m_nodes[size_t(position)];
        out << position << '\t' << node.parent << '\t' << node.mark << '\t' << (node.open ? 1 : 0) << '\t'
            << escaped(node.text) << '\n';
        for (auto it = node.children.rbegin(); it != node.children.rend(); ++it)
            stack.push_back(*it);
    }
    out.flush();
    return out.status() == QTextStream::Ok && file.commit();
}

bool TreeControl::load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    if (in.readLine() != FileHeader)
        return false;
    bool ok = false;
    const qint64 count = in.readLine().toLongLong(&ok);
    if (!ok || count < 1 || count > MaxPosition)
        return false;
    std::vector<Node> nodes;
    for (qint64 i = 0; i < count; ++i) {
        const QString line = in.readLine();
        const QStringList parts = line.split(u'\t');
        if (parts.size() != 5)
            return false;
        bool okPosition = false, okParent = false, okMark = false;
        const qint64 position = parts[0].toLongLong(&okPosition);
        const qint64 parent = parts[1].toLongLong(&okParent);
        const int mark = parts[2].toInt(&okMark);
        if (!okPosition || !okParent || !okMark || position < 0 || position >= MaxPosition)
            return false;
        if (i == 0 ? (position != 0 || parent != NoPosition) : (parent < 0 || size_t(parent) >= nodes.size()))
            return false;
        if (size_t(position) < nodes.size() && nodes[size_t(position)].alive)
            return false; // a position twice
        if (i > 0 && !nodes[size_t(parent)].alive)
            return false;
        if (size_t(position) >= nodes.size()) {
            Node gap;
            gap.alive = false;
            nodes.resize(size_t(position) + 1, gap);
        }
        Node& node = nodes[size_t(position)];
        node = Node{};
        node.parent = int(parent);
        node.mark = mark;
        node.open = parts[3] == QLatin1String("1");
        if (!unescaped(parts[4], node.text))
            return false;
        if (i > 0) {
            auto& siblings = nodes[size_t(parent)].children;
            node.row = int(siblings.size());
            siblings.push_back(int(position));
        }
    }
    // A parent is written before its children, so every parent seen above was already in place.
    m_nodes = std::move(nodes);
    m_alive = int(count);
    m_current = 0;
    return true;
}

// --- the current node ------------------------------------------------------------------------------------

bool TreeControl::hasNode(int position) const {
    return position >= 0 && size_t(position) < m_nodes.size() && m_nodes[size_t(position)].alive;
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
    return m_nodes[size_t(m_current)].text;
}

void TreeControl::setCurrentText(const QString& text) {
    m_nodes[size_t(m_current)].text = text;
    if (!m_pending) {
        const QModelIndex index = indexOf(m_current);
        Q_EMIT m_model->dataChanged(index, index, {Qt::DisplayRole});
    }
}

int TreeControl::nodeMark() const {
    return m_nodes[size_t(m_current)].mark;
}

void TreeControl::setNodeMark(int mark) {
    m_nodes[size_t(m_current)].mark = mark;
}

// --- changes to the tree ---------------------------------------------------------------------------------

int TreeControl::addChild(const QString& text) {
    structureChanging();
    const int position = int(m_nodes.size());
    Node node;
    node.parent = m_current;
    node.text = text;
    auto& siblings = m_nodes[size_t(m_current)].children;
    node.row = int(siblings.size());
    siblings.push_back(position);
    m_nodes.push_back(std::move(node));
    ++m_alive;
    return position;
}

void TreeControl::prepareNode() {
    Node& node = m_nodes[size_t(m_current)];
    if (node.open)
        return;
    node.open = true;
    if (!m_pending && !node.children.empty()) {
        const QScopedValueRollback<bool> guard(m_syncing, true);
        expand(indexOf(m_current));
    }
}

void TreeControl::detach(int position) {
    Node& node = m_nodes[size_t(position)];
    auto& siblings = m_nodes[size_t(node.parent)].children;
    siblings.erase(siblings.begin() + node.row);
    for (size_t i = size_t(node.row); i < siblings.size(); ++i)
        m_nodes[size_t(siblings[i])].row = int(i);
}

void TreeControl::removeCurrentNode() {
    if (m_current == 0) {
        report(RootNotRemovable, QStringLiteral("The root of the tree can not be removed"));
        return;
    }
    structureChanging();
    const int parent = m_nodes[size_t(m_current)].parent;
    detach(m_current);
    std::vector<int> gone{m_current};
    while (!gone.empty()) {
        const int position = gone.back();
        gone.pop_back();
        Node& node = m_nodes[size_t(position)];
        node.alive = false;
        --m_alive;
        gone.insert(gone.end(), node.children.begin(), node.children.end());
        node.children.clear();
        node.text.clear();
    }
    m_current = parent;
}

bool TreeControl::isUnder(int position, int ancestor) const {
    // Walks up from the node; the tree has no loops, so this ends at the root.
    for (int p = position; p != NoPosition; p = m_nodes[size_t(p)].parent)
        if (p == ancestor)
            return true;
    return false;
}

bool TreeControl::move(int dragged, int target) {
    if (!hasNode(dragged) || !hasNode(target) || dragged == 0 || isUnder(target, dragged))
        return false;
    structureChanging();
    detach(dragged);
    Node& node = m_nodes[size_t(dragged)];
    auto& siblings = m_nodes[size_t(target)].children;
    node.parent = target;
    node.row = int(siblings.size());
    siblings.push_back(dragged);
    m_nodes[size_t(target)].open = true; // the moved node stays in sight
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
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        const Node& node = m_nodes[i];
        if (node.alive && node.open && !node.children.empty())
            setExpanded(m_model->make(node.row, int(i)), true);
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
    return m_model->make(m_nodes[size_t(position)].row, position);
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
    const auto [source, target] = acceptDrop(event);
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
