#pragma once

#include "widgets/tree_nodes.h"

#include <QString>

#include <optional>

// The tree file: where the tree control keeps its tree between uses. A header line, the number of nodes, then
// one line per node, parents before their children: position, parent, mark, open (1 or 0) and the text,
// separated by tabs, with backslash, tab, line feed and carriage return escaped in the text. UTF-8.
namespace pell::tree_file {

// Writes the tree, replacing the file only once the whole tree is written; false when it could not.
bool save(const TreeNodes& nodes, const QString& path);
// The tree stored in the file; nothing when the file cannot be read or holds no sound tree.
std::optional<TreeNodes> load(const QString& path);

} // namespace pell::tree_file
