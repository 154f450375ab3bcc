#pragma once

#include "db/schema.h"

#include <QString>
#include <QVariant>

#include <functional>
#include <optional>
#include <vector>

namespace pell::db {
class Database;
}

namespace pell::users {

// One user as the team tree needs it, in the record set's natural order.
struct UserRow {
    QString id;
    QString name;
    QVariant supervisor; // null: no supervisor
};

// One node of the team tree below the root: the user (an index into the rows) and the node it hangs
// under (an index into the same list of entries, or RootEntry).
struct TreeEntry {
    static constexpr int RootEntry = -1;
    int parent = RootEntry;
    int row = 0;
};

// The team tree below the user `rootRow` (-1 when there is none), whose key is `rootKey`, as a depth-first
// walk lists it: each user followed at once by its whole team, the members of a team in row order. A
// member is a row whose supervisor matches the leader's key as a search on the supervisor column would
// (case-insensitive; an empty key stands for no supervisor). Each user is listed at most once, so data
// with supervisor loops still gives a finite tree. One pass over the rows, whatever their number.
std::vector<TreeEntry> teamTreeOrder(const std::vector<UserRow>& rows, int rootRow, const QString& rootKey);

// The first row whose key matches (the search the window makes for the root), or -1.
int findUserRow(const std::vector<UserRow>& rows, const QString& key);

// Node texts: "id : name", and the root's "admin : (Pellwood Administrator) name".
QString nodeText(const QString& id, const QString& name);
QString rootText(const QString& adminName);

// The key of a node: its text before the first occurrence of the marker (" :" or " : "), or the whole
// text when the marker is not there.
QString keyBefore(const QString& text, const QString& marker);

// Would making `movedKey` a member of `targetKey`'s team close a loop, that is, is the moved user the
// target itself or one of the target's superiors? `supervisorOf` gives a user's supervisor key (empty for
// none) or nothing when there is no such user. Ends on data that already holds loops.
bool closesLoop(const QString& movedKey, const QString& targetKey,
                const std::function<std::optional<QString>(const QString& key)>& supervisorOf);

// A user's new ID carried to the members of the user's team: they name their supervisor by it. Runs inside
// the transaction that changes the ID, so that the two changes stand or fall together.
void carryTeamToNewId(db::Database& db, const QString& oldId, const QString& newId);

} // namespace pell::users
