#include "widgets/tree_nodes.h"

#include <algorithm>

namespace pell {

TreeNodes::TreeNodes() : m_nodes(1), m_alive(1) {}

TreeNodes::TreeNodes(std::vector<Node> nodes)
    : m_nodes(std::move(nodes)),
      m_alive(int(std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) { return n.alive; }))) {}

bool TreeNodes::has(int position) const {
    return position >= 0 && size_t(position) < m_nodes.size() && m_nodes[size_t(position)].alive;
}

int TreeNodes::add(int parent, const QString& text) {
    const int position = int(m_nodes.size());
    Node node;
    node.parent = parent;
    node.text = text;
    auto& siblings = m_nodes[size_t(parent)].children;
    node.row = int(siblings.size());
    siblings.push_back(position);
    m_nodes.push_back(std::move(node));
    ++m_alive;
    return position;
}

void TreeNodes::detach(int position) {
    const Node& node = m_nodes[size_t(position)];
    auto& siblings = m_nodes[size_t(node.parent)].children;
    siblings.erase(siblings.begin() + node.row);
    for (auto i = size_t(node.row); i < siblings.size(); ++i)
        m_nodes[size_t(siblings[i])].row = int(i);
}

void TreeNodes::remove(int position) {
    detach(position);
    std::vector<int> gone{position};
    while (!gone.empty()) {
        const int p = gone.back();
        gone.pop_back();
        Node& node = m_nodes[size_t(p)];
        node.alive = false;
        --m_alive;
        gone.insert(gone.end(), node.children.begin(), node.children.end());
        node.children.clear();
        node.text.clear();
    }
}

bool TreeNodes::isUnder(int position, int ancestor) const {
    // Walks up from the node; the tree has no loops, so this ends at the root.
    for (int p = position; p != NoPosition; p = m_nodes[size_t(p)].parent)
        if (p == ancestor)
            return true;
    return false;
}

bool TreeNodes::move(int dragged, int target) {
    if (!has(dragged) || !has(target) || dragged == 0 || isUnder(target, dragged))
        return false;
    detach(dragged);
    Node& node = m_nodes[size_t(dragged)];
    auto& siblings = m_nodes[size_t(target)].children;
    node.parent = target;
    node.row = int(siblings.size());
    siblings.push_back(dragged);
    m_nodes[size_t(target)].open = true; // the moved node stays in sight
    return true;
}

std::vector<int> TreeNodes::inOrder() const {
    std::vector<int> order;
    order.reserve(size_t(m_alive));
    std::vector<int> stack{0};
    while (!stack.empty()) {
        const int position = stack.back();
        stack.pop_back();
        order.push_back(position);
        const auto& children = m_nodes[size_t(position)].children;
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    return order;
}

} // namespace pell
