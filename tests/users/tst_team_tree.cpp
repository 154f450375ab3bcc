// The team tree's order and the rules on node keys and loops, without a window.
#include "db/criteria.h"
#include "users/team_tree.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace Qt::StringLiterals;

using namespace pell;
using namespace pell::users;

namespace {

// The walk as the window was first written: one search of the whole table per user, members in row
// order, recursion for each member's own team.
void searchingWalk(const std::vector<UserRow>& rows, int parentEntry, const QString& parentKey,
                   std::vector<TreeEntry>& out, int depth = 0) {
    QVERIFY2(depth < 10000, "the reference walk ran into a loop");
    const db::Criteria criteria = parentKey.isEmpty()
                                      ? db::Criteria::isNull(db::schema::user::Supervisor)
                                      : db::Criteria::equals(db::schema::user::Supervisor, parentKey);
    for (int r = 0; r < int(rows.size()); ++r) {
        if (!criteria.matches(rows[size_t(r)].supervisor))
            continue;
        out.push_back(TreeEntry{parentEntry, r});
        searchingWalk(rows, int(out.size()) - 1, rows[size_t(r)].id, out, depth + 1);
    }
}

QStringList describe(const std::vector<UserRow>& rows, const std::vector<TreeEntry>& entries) {
    QStringList lines;
    for (const TreeEntry& e : entries)
        lines << rows[size_t(e.row)].id + u'<' +
                     (e.parent == TreeEntry::RootEntry ? u"ROOT"_s
                                                       : rows[size_t(entries[size_t(e.parent)].row)].id);
    return lines;
}

UserRow user(const QString& id, const QVariant& supervisor) {
    return UserRow{id, u"name of "_s + id, supervisor};
}
// "id<supervisor id" entries apart by spaces; an ID alone has no supervisor.
std::vector<UserRow> rowsOf(const QString& description) {
    std::vector<UserRow> rows;
    for (const QString& entry : description.split(u' ')) {
        const qsizetype at = entry.indexOf(u'<');
        rows.push_back(at < 0 ? user(entry, QVariant()) : user(entry.left(at), entry.mid(at + 1)));
    }
    return rows;
}
QStringList treeOf(const std::vector<UserRow>& rows, int root) {
    return describe(rows, teamTreeOrder(rows, root, db::schema::user::Admin));
}

// Loop-free teams in a shuffled row order, with the odd data other programs leave behind.
std::vector<UserRow> randomTeams(int count, quint32 seed) {
    QRandomGenerator random(seed);
    std::vector<UserRow> rows;
    // admin reports to nobody real, so the users without a supervisor do not lead back to it.
    rows.push_back(user(u"admin"_s, u"nobody"_s));
    for (int i = 0; i < count; ++i) {
        QVariant supervisor;
        const int kind = random.bounded(20);
        if (kind == 0)
            supervisor = QVariant(); // no supervisor: not in the tree
        else if (kind == 1)
            supervisor = u"nobody"_s; // a supervisor that does not exist
        else if (kind == 2)
            supervisor = QString(); // an empty text is not the same as none
        else {
            // Any earlier user (so no loops), sometimes written in capitals.
            const int j = int(random.bounded(quint32(rows.size())));
            supervisor = kind == 3 ? rows[size_t(j)].id.toUpper() : rows[size_t(j)].id;
        }
        rows.push_back(user(u"u%1"_s.arg(i), supervisor));
    }
    // A user with an empty ID leads the users that have no supervisor.
    rows.push_back(user(QString(), u"admin"_s));
    for (size_t i = rows.size() - 1; i > 0; --i)
        std::swap(rows[i], rows[random.bounded(quint32(i + 1))]);
    return rows;
}

} // namespace

class TestTeamTreeCore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sameOrderAsTheSearchingWalk() {
        for (quint32 seed : {1u, 2u, 3u, 4u}) {
            const std::vector<UserRow> rows = randomTeams(1500, seed);
            const int root = findUserRow(rows, db::schema::user::Admin);
            QVERIFY(root >= 0);
            std::vector<TreeEntry> expected;
            searchingWalk(rows, TreeEntry::RootEntry, db::schema::user::Admin, expected);
            const std::vector<TreeEntry> actual = teamTreeOrder(rows, root, db::schema::user::Admin);
            QCOMPARE(describe(rows, actual), describe(rows, expected));
            QVERIFY(actual.size() > 500); // the data really forms teams
        }
    }

    void membersMatchTheirLeaderWithoutRegardToCaseOrType() {
        const auto rows = rowsOf(u"Admin Lead<ADMIN m1<lead m2<LEAD x<léad"_s);
        QCOMPARE(findUserRow(rows, db::schema::user::Admin), 0);
        QCOMPARE(treeOf(rows, 0), (QStringList{u"Lead<ROOT"_s, u"m1<Lead"_s, u"m2<Lead"_s}));
        // A supervisor stored as a number matches the key that reads as it.
        auto numbers = rowsOf(u"admin 7<admin a b<7 c"_s);
        numbers[2].supervisor = qlonglong(7);
        numbers[4].supervisor = 7.0;
        QCOMPARE(treeOf(numbers, 0), (QStringList{u"7<ROOT"_s, u"a<7"_s, u"b<7"_s, u"c<7"_s}));
        // Without admin the root key still leads.
        const auto orphan = rowsOf(u"a<admin"_s);
        QCOMPARE(findUserRow(orphan, db::schema::user::Admin), -1);
        QCOMPARE(treeOf(orphan, -1), QStringList{u"a<ROOT"_s});
        QVERIFY(teamTreeOrder({}, -1, db::schema::user::Admin).empty());
    }

    void loopsEndAndListNobodyTwice() {
        // admin -> x -> y -> admin, and a user that is its own supervisor.
        const auto rows = rowsOf(u"y<x admin<y x<admin z<z w<x"_s);
        QCOMPARE(treeOf(rows, 1), (QStringList{u"x<ROOT"_s, u"y<x"_s, u"w<x"_s}));
        // Two leaders whose keys both read as the number a member stores: it is listed once.
        auto twice = rowsOf(u"admin 7<admin 07<admin m"_s);
        twice[3].supervisor = qlonglong(7);
        QCOMPARE(teamTreeOrder(twice, 0, db::schema::user::Admin).size(), size_t(3));
        // A long chain needs no deep recursion.
        std::vector<UserRow> chain{user(u"admin"_s, QVariant())};
        const int length = 200000;
        for (int i = 0; i < length; ++i)
            chain.push_back(user(u"c%1"_s.arg(i), i == 0 ? u"admin"_s : u"c%1"_s.arg(i - 1)));
        const std::vector<TreeEntry> order = teamTreeOrder(chain, 0, db::schema::user::Admin);
        QCOMPARE(order.size(), size_t(length));
        QCOMPARE(order.back().parent, length - 2);
    }

    void nodeTextsAndKeys() {
        QCOMPARE(nodeText(u"clerk1"_s, u"Front desk"_s), u"clerk1 : Front desk"_s);
        QCOMPARE(rootText(u"Administrator"_s), u"admin : (Pellwood Administrator) Administrator"_s);
        // " :" and " : " cut differently when the ID itself holds " :".
        const QString text = nodeText(u"a :b"_s, u"Name"_s);
        QCOMPARE(keyBefore(text, u" :"_s), u"a"_s);
        QCOMPARE(keyBefore(text, u" : "_s), u"a :b"_s);
        QCOMPARE(keyBefore(u" x  : y"_s, u" :"_s), u" x "_s);
        QCOMPARE(keyBefore(u"no marker"_s, u" :"_s), u"no marker"_s);
    }

    void loopsAreFoundThroughTheSupervisorChain() {
        // admin <- lead <- mid <- low; odd1 <-> odd2 form a loop of their own.
        const QHash<QString, QString> supervisor = {{u"admin"_s, QString()}, {u"lead"_s, u"admin"_s},
                                                    {u"mid"_s, u"LEAD"_s},   {u"low"_s, u"mid"_s},
                                                    {u"odd1"_s, u"odd2"_s},  {u"odd2"_s, u"odd1"_s}};
        const auto lookUp = [&](const QString& key) -> std::optional<QString> {
            for (auto it = supervisor.begin(); it != supervisor.end(); ++it)
                if (db::textEqualsNoCase(it.key(), key))
                    return it.value();
            return std::nullopt;
        };
        const auto loops = [&](const char16_t* moved, const char16_t* under) {
            return closesLoop(QString::fromUtf16(moved), QString::fromUtf16(under), lookUp);
        };
        QVERIFY(loops(u"lead", u"low") && loops(u"Lead", u"mid") && loops(u"mid", u"mid"));
        QVERIFY(!loops(u"low", u"lead") && !loops(u"mid", u"admin") && !loops(u"mid", u"ghost"));
        QVERIFY(!loops(u"low", u"odd1")); // ends on the old loop
        QVERIFY(loops(u"odd2", u"odd1"));
    }
};

QTEST_MAIN(TestTeamTreeCore)
#include "tst_team_tree.moc"
