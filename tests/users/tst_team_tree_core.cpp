// The team tree's order and the rules on node keys and loops, without a window.
#include "db/criteria.h"
#include "users/team_tree_core.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace pell;
using namespace pell::users;

namespace {

// The walk as the window was first written: one search of the whole table per user, members in row
// order, recursion for each member's own team.
void searchingWalk(const std::vector<UserRow>& rows, int parentEntry, const QString& parentKey,
                   std::vector<TreeEntry>& out, int depth = 0) {
    QVERIFY2(depth < 10000, "the reference walk ran into a loop");
    const db::Criteria criteria = parentKey.isEmpty() ? db::Criteria::isNull(SupervisorColumn)
                                                      : db::Criteria::equals(SupervisorColumn, parentKey);
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
                     (e.parent == TreeEntry::RootEntry ? QStringLiteral("ROOT")
                                                       : rows[size_t(entries[size_t(e.parent)].row)].id);
    return lines;
}

UserRow user(const QString& id, const QVariant& supervisor) {
    return UserRow{id, QStringLiteral("name of ") + id, supervisor};
}

// Loop-free teams in a shuffled row order, with the odd data other programs leave behind.
std::vector<UserRow> randomTeams(int count, quint32 seed) {
    QRandomGenerator random(seed);
    std::vector<UserRow> rows;
    // admin reports to nobody real, so the users without a supervisor do not lead back to it.
    rows.push_back(user(QStringLiteral("admin"), QStringLiteral("nobody")));
    for (int i = 0; i < count; ++i) {
        QVariant supervisor;
        const int kind = random.bounded(20);
        if (kind == 0)
            supervisor = QVariant(); // no supervisor: not in the tree
        else if (kind == 1)
            supervisor = QStringLiteral("nobody"); // a supervisor that does not exist
        else if (kind == 2)
            supervisor = QString(); // an empty text is not the same as none
        else {
            // Any earlier user (so no loops), sometimes written in capitals.
            const int j = int(random.bounded(quint32(rows.size())));
            supervisor = kind == 3 ? rows[size_t(j)].id.toUpper() : rows[size_t(j)].id;
        }
        rows.push_back(user(QStringLiteral("u%1").arg(i), supervisor));
    }
    // A user with an empty ID leads the users that have no supervisor.
    rows.push_back(user(QString(), QStringLiteral("admin")));
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
            const int root = findUserRow(rows, AdminKey);
            QVERIFY(root >= 0);
            std::vector<TreeEntry> expected;
            searchingWalk(rows, TreeEntry::RootEntry, AdminKey, expected);
            const std::vector<TreeEntry> actual = teamTreeOrder(rows, root, AdminKey);
            QCOMPARE(describe(rows, actual), describe(rows, expected));
            QVERIFY(actual.size() > 500); // the data really forms teams
        }
    }

    void membersMatchTheirLeaderWithoutRegardToCase() {
        const std::vector<UserRow> rows = {user(QStringLiteral("Admin"), QVariant()),
                                           user(QStringLiteral("Lead"), QStringLiteral("ADMIN")),
                                           user(QStringLiteral("m1"), QStringLiteral("lead")),
                                           user(QStringLiteral("m2"), QStringLiteral("LEAD")),
                                           user(QStringLiteral("x"), QStringLiteral("léad"))};
        QCOMPARE(findUserRow(rows, AdminKey), 0);
        QCOMPARE(
            describe(rows, teamTreeOrder(rows, 0, AdminKey)),
            (QStringList{QStringLiteral("Lead<ROOT"), QStringLiteral("m1<Lead"), QStringLiteral("m2<Lead")}));
    }

    void supervisorStoredAsNumberMatchesTheKeyThatReadsAsIt() {
        const std::vector<UserRow> rows = {
            user(QStringLiteral("admin"), QVariant()), user(QStringLiteral("7"), QStringLiteral("admin")),
            user(QStringLiteral("a"), QVariant(qlonglong(7))), user(QStringLiteral("b"), QStringLiteral("7")),
            user(QStringLiteral("c"), QVariant(7.0))};
        QCOMPARE(describe(rows, teamTreeOrder(rows, 0, AdminKey)),
                 (QStringList{QStringLiteral("7<ROOT"), QStringLiteral("a<7"), QStringLiteral("b<7"),
                              QStringLiteral("c<7")}));
    }

    void loopsEndAndListNobodyTwice() {
        // admin -> x -> y -> admin, and a user that is its own supervisor.
        const std::vector<UserRow> rows = {user(QStringLiteral("y"), QStringLiteral("x")),
                                           user(QStringLiteral("admin"), QStringLiteral("y")),
                                           user(QStringLiteral("x"), QStringLiteral("admin")),
                                           user(QStringLiteral("z"), QStringLiteral("z")),
                                           user(QStringLiteral("w"), QStringLiteral("x"))};
        QCOMPARE(describe(rows, teamTreeOrder(rows, 1, AdminKey)),
                 (QStringList{QStringLiteral("x<ROOT"), QStringLiteral("y<x"), QStringLiteral("w<x")}));
        // Two leaders whose keys both read as the number a member stores: it is listed once.
        const std::vector<UserRow> twice = {user(QStringLiteral("admin"), QVariant()),
                                            user(QStringLiteral("7"), QStringLiteral("admin")),
                                            user(QStringLiteral("07"), QStringLiteral("admin")),
                                            user(QStringLiteral("m"), QVariant(qlonglong(7)))};
        QCOMPARE(teamTreeOrder(twice, 0, AdminKey).size(), size_t(3));
    }

    void longChainNeedsNoDeepRecursion() {
        std::vector<UserRow> rows{user(QStringLiteral("admin"), QVariant())};
        const int length = 200000;
        for (int i = 0; i < length; ++i)
            rows.push_back(user(QStringLiteral("c%1").arg(i),
                                i == 0 ? QStringLiteral("admin") : QStringLiteral("c%1").arg(i - 1)));
        const std::vector<TreeEntry> order = teamTreeOrder(rows, 0, AdminKey);
        QCOMPARE(order.size(), size_t(length));
        QCOMPARE(order.back().parent, length - 2);
    }

    void withoutAdminTheRootKeyStillLeads() {
        const std::vector<UserRow> rows = {user(QStringLiteral("a"), QStringLiteral("admin"))};
        QCOMPARE(findUserRow(rows, AdminKey), -1);
        QCOMPARE(teamTreeOrder(rows, -1, AdminKey).size(), size_t(1));
        QVERIFY(teamTreeOrder({}, -1, AdminKey).empty());
    }

    void nodeTextsAndKeys() {
        QCOMPARE(nodeText(QStringLiteral("clerk1"), QStringLiteral("Front desk")),
                 QStringLiteral("clerk1 : Front desk"));
        QCOMPARE(rootText(QStringLiteral("Administrator")),
                 QStringLiteral("admin : (Pellwood Administrator) Administrator"));
        // " :" and " : " cut differently when the ID itself holds " :".
        const QString text = nodeText(QStringLiteral("a :b"), QStringLiteral("Name"));
        QCOMPARE(keyBefore(text, QStringLiteral(" :")), QStringLiteral("a"));
        QCOMPARE(keyBefore(text, QStringLiteral(" : ")), QStringLiteral("a :b"));
        QCOMPARE(keyBefore(QStringLiteral(" x  : y"), QStringLiteral(" :")), QStringLiteral(" x "));
        QCOMPARE(keyBefore(QStringLiteral("no marker"), QStringLiteral(" :")), QStringLiteral("no marker"));
    }

    void loopsAreFoundThroughTheSupervisorChain() {
        // admin <- lead <- mid <- low; odd1 <-> odd2 form a loop of their own.
        const QHash<QString, QString> supervisor = {{QStringLiteral("admin"), QString()},
                                                    {QStringLiteral("lead"), QStringLiteral("admin")},
                                                    {QStringLiteral("mid"), QStringLiteral("LEAD")},
                                                    {QStringLiteral("low"), QStringLiteral("mid")},
                                                    {QStringLiteral("odd1"), QStringLiteral("odd2")},
                                                    {QStringLiteral("odd2"), QStringLiteral("odd1")}};
        const auto lookUp = [&](const QString& key) -> std::optional<QString> {
            for (auto it = supervisor.begin(); it != supervisor.end(); ++it)
                if (db::textEqualsNoCase(it.key(), key))
                    return it.value();
            return std::nullopt;
        };
        QVERIFY(closesLoop(QStringLiteral("lead"), QStringLiteral("low"), lookUp));
        QVERIFY(closesLoop(QStringLiteral("Lead"), QStringLiteral("mid"), lookUp));
        QVERIFY(closesLoop(QStringLiteral("mid"), QStringLiteral("mid"), lookUp));
        QVERIFY(!closesLoop(QStringLiteral("low"), QStringLiteral("lead"), lookUp));
        QVERIFY(!closesLoop(QStringLiteral("mid"), QStringLiteral("admin"), lookUp));
        QVERIFY(!closesLoop(QStringLiteral("mid"), QStringLiteral("ghost"), lookUp));
        QVERIFY(!closesLoop(QStringLiteral("low"), QStringLiteral("odd1"), lookUp)); // ends on the old loop
        QVERIFY(closesLoop(QStringLiteral("odd2"), QStringLiteral("odd1"), lookUp));
    }
};

QTEST_MAIN(TestTeamTreeCore)
#include "tst_team_tree_core.moc"
