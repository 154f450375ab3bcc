#pragma once

#include "db/replication/store.h"

#include <memory>
#include <utility>
#include <vector>

// The replicated tables of one member, opened as stores, with the relationships between them.
namespace pell::db::replication {

struct Side {
    std::vector<std::unique_ptr<TableStore>> stores;
    QList<Link> links;
    std::vector<TableStore*> pointers() const;
    int indexOfId(qint64 id) const;
    int indexOf(const QString& table) const;
};

// A member alone: every table it follows, with every column it has.
Side alone(sqlite3* db);
// The tables two members both follow, each side's store over the same columns in the same order; the links
// are the receiver's.
std::pair<Side, Side> paired(sqlite3* sender, sqlite3* receiver);

} // namespace pell::db::replication
