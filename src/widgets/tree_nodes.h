#pragma once

#include <QString>

#include <vector>

namespace pell {

// The nodes of a tree of texts, addressed by position. A node keeps its position for as long as it is in
// the tree (the root is always 0), so a position taken before a change still names the same node after it;
// the position of a removed node is never given again.
class TreeNodes {
public:
    static constexpr int NoPosition = -1;

    struct Node {
        int parent = NoPosition;
        int row = 0; // index among the parent's children
        int mark = 0;
        bool alive = true;
        bool open = false;
        QString text;
        std::vector<int> children;
    };

    // A lone root with an empty text.
    TreeNodes();
    // Nodes as a tree file lists them, by position (positions without a node are not alive); the caller has
    // checked that they form one tree under the root.
    explicit TreeNodes(std::vector<Node> nodes);

    bool has(int position) const;
    // The node at a position that has one.
    const Node& at(int position) const { return m_nodes[size_t(position)]; }
    // Positions given so far, removed ones included: every node's position is below it.
    int size() const { return int(m_nodes.size()); }
    // Nodes in the tree, the root included.
    int count() const { return m_alive; }

    void setText(int position, const QString& text) { m_nodes[size_t(position)].text = text; }
    void setMark(int position, int mark) { m_nodes[size_t(position)].mark = mark; }
    void setOpen(int position, bool open) { m_nodes[size_t(position)].open = open; }

    // Appends a child with that text; returns its position.
    int add(int parent, const QString& text);
    // Removes a node other than the root, with everything under it.
    void remove(int position);
    // Moves `dragged` (with its subtree) to the end of the children of `target`; false, and nothing changes,
    // for the root, an unknown position, or a target that is the dragged node or lies under it.
    bool move(int dragged, int target);
    bool isUnder(int position, int ancestor) const;
    // Every position in the tree, parents before their children, children in their order.
    std::vector<int> inOrder() const;

private:
    void detach(int position);

    std::vector<Node> m_nodes;
    int m_alive = 0;
};

} // namespace pell
