#include "db/replication/member.h"

#include <QHash>

namespace pell::db::replication {

namespace {

QStringList currentColumns(sqlite3* db, const QString& table) {
    QStringList columns;
    Statement info(db,
                   QStringLiteral("SELECT name FROM pragma_table_xinfo(?1) WHERE hidden = 0 ORDER BY cid"));
    info.bind(1, table);
    while (info.step())
        columns << info.value(0).toString();
    return columns;
}

bool containsAll(const QStringList& list, const QStringList& items) {
    for (const QString& i : items)
        if (!list.contains(i, Qt::CaseInsensitive))
            return false;
    return true;
}

} // namespace

std::vector<TableStore*> Side::pointers() const {
    std::vector<TableStore*> list;
    for (const auto& s : stores)
        list.push_back(s.get());
    return list;
}

int Side::indexOf(const QString& table) const {
    for (size_t i = 0; i < stores.size(); ++i)
        if (stores[i]->info().name.compare(table, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

int Side::indexOfId(qint64 id) const {
    for (size_t i = 0; i < stores.size(); ++i)
        if (stores[i]->info().id == id)
            return int(i);
    return -1;
}

Side alone(sqlite3* db) {
    Side side;
    for (const TableInfo& t : registeredTables(db)) {
        const QStringList present = currentColumns(db, t.name);
        QStringList carried;
        for (const QString& c : t.columns)
            if (present.contains(c, Qt::CaseInsensitive))
                carried << c;
        side.stores.push_back(std::make_unique<TableStore>(db, t, carried));
    }
    side.links = links(db);
    return side;
}

std::pair<Side, Side> paired(sqlite3* sender, sqlite3* receiver) {
    QHash<QString, TableInfo> theirs;
    for (const TableInfo& t : registeredTables(sender))
        theirs.insert(t.name.toLower(), t);
    Side s, r;
    for (const TableInfo& mine : registeredTables(receiver)) {
        if (!theirs.contains(mine.name.toLower()))
            continue; // followed on one side only: nothing to exchange
        const TableInfo other = theirs.value(mine.name.toLower());
        if (mine.keyed != other.keyed || mine.keys.size() != other.keys.size() ||
            !containsAll(other.keys, mine.keys))
            continue;
        const QStringList here = currentColumns(receiver, mine.name);
        const QStringList there = currentColumns(sender, other.name);
        QStringList carried;
        for (const QString& c : mine.columns)
            if (here.contains(c, Qt::CaseInsensitive) && there.contains(c, Qt::CaseInsensitive) &&
                other.columns.contains(c, Qt::CaseInsensitive))
                carried << c;
        if (mine.keyed && !containsAll(carried, mine.keys))
            continue;
        TableInfo senderInfo = other;
        if (!mine.keyed)
            senderInfo.columns = mine.columns; // a keyless row is found by the content both know
        r.stores.push_back(std::make_unique<TableStore>(receiver, mine, carried));
        s.stores.push_back(std::make_unique<TableStore>(sender, senderInfo, carried));
    }
    for (const Link& link : links(receiver)) {
        bool child = false, parent = false;
        for (const auto& store : r.stores) {
            child |= store->info().name.compare(link.child, Qt::CaseInsensitive) == 0;
            parent |= store->info().name.compare(link.parent, Qt::CaseInsensitive) == 0;
        }
        if (child && parent)
            r.links << link;
    }
    return {std::move(s), std::move(r)};
}

} // namespace pell::db::replication
