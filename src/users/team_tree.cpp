#include "users/team_tree.h"

#include "db/criteria.h"
#include "db/database.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace pell::users {

namespace {

// The form of a key under which the engine's comparison sees two texts as equal: ASCII letters folded.
QString folded(const QString& text) {
    QString out = text;
    for (QChar& c : out)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 32);
    return out;
}

// The rows grouped by supervisor, each group in row order, so that "the members of a leader" is a look-up
// instead of a search through the whole table. A supervisor stored as a number matches a key that reads
// as that number, as the search does.
class TeamIndex {
public:
    explicit TeamIndex(const std::vector<UserRow>& rows) {
        for (int i = 0; i < int(rows.size()); ++i) {
            const QVariant& s = rows[size_t(i)].supervisor;
            if (s.isNull()) {
                m_none.push_back(i);
                continue;
            }
            switch (s.typeId()) {
            case QMetaType::Int:
            case QMetaType::LongLong:
                m_whole[s.toLongLong()].push_back(i);
                break;
            case QMetaType::Double:
                if (!std::isnan(s.toDouble()))
                    m_real[s.toDouble()].push_back(i);
                break;
            default:
                m_text[folded(s.toString())].push_back(i);
            }
        }
    }

    std::vector<int> members(const QString& key) const {
        if (key.isEmpty())
            return m_none;
        std::vector<int> result = m_text.value(folded(key));
        if (m_whole.isEmpty() && m_real.isEmpty())
            return result;
        bool ok = false;
        const qlonglong whole = key.trimmed().toLongLong(&ok);
        if (ok)
            mergeInto(result, m_whole.value(whole));
        const double real = key.trimmed().toDouble(&ok);
        if (ok)
            mergeInto(result, m_real.value(real));
        return result;
    }

private:
    static void mergeInto(std::vector<int>& into, const std::vector<int>& more) {
        if (more.empty())
            return;
        std::vector<int> merged;
        merged.reserve(into.size() + more.size());
        std::merge(into.begin(), into.end(), more.begin(), more.end(), std::back_inserter(merged));
        into = std::move(merged);
    }

    std::vector<int> m_none;
    QHash<QString, std::vector<int>> m_text;
    QHash<qlonglong, std::vector<int>> m_whole;
    QHash<double, std::vector<int>> m_real;
};

} // namespace

std::vector<TreeEntry> teamTreeOrder(const std::vector<UserRow>& rows, int rootRow, const QString& rootKey) {
    const TeamIndex index(rows);
    std::vector<TreeEntry> entries;
    entries.reserve(rows.size());
    std::vector<bool> listed(rows.size(), false);
    if (rootRow >= 0 && size_t(rootRow) < rows.size())
        listed[size_t(rootRow)] = true;

    // Depth-first with an explicit stack: a chain of supervisors may be as long as the table.
    struct Frame {
        std::vector<int> members;
        size_t next = 0;
        int entry = TreeEntry::RootEntry;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{index.members(rootKey), 0, TreeEntry::RootEntry});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next >= frame.members.size()) {
            stack.pop_back();
            continue;
        }
        const int row = frame.members[frame.next++];
        if (listed[size_t(row)])
            continue; // a supervisor loop leads back to a user already in the tree
        listed[size_t(row)] = true;
        entries.push_back(TreeEntry{frame.entry, row});
        const int entry = int(entries.size()) - 1;
        stack.push_back(Frame{index.members(rows[size_t(row)].id), 0, entry});
    }
    return entries;
}

int findUserRow(const std::vector<UserRow>& rows, const QString& key) {
    for (int i = 0; i < int(rows.size()); ++i)
        if (db::textEqualsNoCase(rows[size_t(i)].id, key))
            return i;
    return -1;
}

QString nodeText(const QString& id, const QString& name) {
    return id + QStringLiteral(" : ") + name;
}

QString rootText(const QString& adminName) {
    return QStringLiteral("admin : (Pellwood Administrator) ") + adminName;
}

QString keyBefore(const QString& text, const QString& marker) {
    const qsizetype at = text.indexOf(marker);
    return at < 0 ? text : text.left(at);
}

bool closesLoop(const QString& movedKey, const QString& targetKey,
                const std::function<std::optional<QString>(const QString& key)>& supervisorOf) {
    QSet<QString> seen;
    QString key = targetKey;
    while (true) {
        if (db::textEqualsNoCase(key, movedKey))
            return true;
        if (key.isEmpty())
            return false;
        const QString f = folded(key);
        if (seen.contains(f))
            return false; // an old loop above the target that does not pass through the moved user
        seen.insert(f);
        const std::optional<QString> next = supervisorOf(key);
        if (!next)
            return false;
        key = *next;
    }
}

void carryTeamToNewId(db::Database& db, const QString& oldId, const QString& newId) {
    db.execute(QStringLiteral("UPDATE %1 SET %2 = ?1 WHERE %2 = ?2")
                   .arg(db::quoteIdentifier(db::schema::User), db::schema::user::Supervisor),
               {newId, oldId});
}

} // namespace pell::users
