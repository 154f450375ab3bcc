// The conflict log across members: a conflict logged by one reaches every member with its state; keeping
// and restoring through the engine and through pelldb; restoring refused when the row changed since or a
// relationship would break; a restored version wins everywhere after a round, and the round after is idle.
#include "replication_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

QString nameOf(const QString& path, const QString& user) {
    return scalarRaw(path, u"SELECT User_Name FROM \"USER\" WHERE User_ID='%1'"_s.arg(user)).toString();
}

// A master and two replicas; the master and the first replica change the same user, the master logs the
// conflict, and the second replica hears of it only through the master.
struct Three {
    explicit Three(Fixture& f) : pair(f) {
        makeReplica(pair.master, third = f.path(u"third.mdb"_s));
        execRaw(pair.master, u"UPDATE \"USER\" SET User_Name='by master' WHERE User_ID='guest'"_s);
        QThread::msleep(2);
        execRaw(pair.replica, u"UPDATE \"USER\" SET User_Name='by replica' WHERE User_ID='guest'"_s);
        sync(pair.master, pair.replica);
        sync(pair.master, third);
    }
    QStringList files() const { return {pair.master, pair.replica, third}; }
    void round() const {
        for (const QString& file : {pair.replica, third})
            sync(pair.master, file);
        for (const QString& file : {pair.replica, third})
            sync(pair.master, file);
    }
    Pair pair;
    QString third;
};

} // namespace

class TestReplicationConflicts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conflictsTravelAndARestoredVersionWinsEverywhere() {
        Fixture f;
        Three set(f);
        // The third member resolved nothing, yet sees the conflict, with both versions, through pelldb.
        QString out, err;
        QCOMPARE(runPelldb({u"conflicts"_s, set.third, u"--json"_s}, &out), 0);
        const QJsonArray list = QJsonDocument::fromJson(out.toUtf8()).array();
        QCOMPARE(list.size(), 1);
        const QJsonObject c = list[0].toObject();
        QCOMPARE(c[u"table"_s].toString(), u"USER"_s);
        QCOMPARE(c[u"key"_s].toArray(), QJsonArray{u"guest"_s});
        QCOMPARE(c[u"reason"_s].toString(), u"changed in two replicas"_s);
        QCOMPARE(c[u"state"_s].toString(), u"open"_s);
        QCOMPARE(c[u"kept"_s].toObject()[u"User_Name"_s].toString(), u"by replica"_s);
        QCOMPARE(c[u"lost"_s].toObject()[u"User_Name"_s].toString(), u"by master"_s);
        QCOMPARE(c[u"member"_s].toString(), u"master"_s);
        const QString id = QString::number(c[u"id"_s].toInteger());

        QCOMPARE(runPelldb({u"resolve"_s, set.third, id, u"restore"_s}, &out), 0);
        QCOMPARE(nameOf(set.third, u"guest"_s), u"by master"_s);
        set.round();
        for (const QString& file : set.files()) {
            QCOMPARE(nameOf(file, u"guest"_s), u"by master"_s);
            QCOMPARE(scalarRaw(file, u"SELECT group_concat(state) FROM _pell_conflicts"_s).toString(),
                     u"restored"_s);
        }
        QCOMPARE(runPelldb({u"conflicts"_s, set.pair.master}, &out), 0);
        QCOMPARE(out, u"0 conflicts\n"_s); // none open any more
        // The restored version was written after seeing the one it replaces: no new conflict anywhere.
        for (const QString& file : set.files())
            QCOMPARE(num(file, u"SELECT count(*) FROM _pell_conflicts"_s), 1);
        // A decision is taken once; the round after it is idle.
        QCOMPARE(runPelldb({u"resolve"_s, set.pair.replica, id, u"keep"_s}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 3617: "_s), qPrintable(err));
        const auto hashes = fileHashes(set.files());
        set.round();
        QCOMPARE(fileHashes(set.files()), hashes);
    }

    void keepClosesTheConflictEverywhereAndRestoreIsRefusedWhenItCannotBeRight() {
        Fixture f;
        Three set(f);
        const auto firstId = [&](const QString& path) {
            return rep::conflicts(*Database::open(path)).value(0).id;
        };
        // Changed again since: the lost version is not written over the newer one.
        execRaw(set.third, u"UPDATE \"USER\" SET User_Name='later' WHERE User_ID='guest'"_s);
        QCOMPARE(errorOf([&] { rep::restoreConflict(*Database::open(set.third), firstId(set.third)); }),
                 err::ConflictChangedSince);
        QCOMPARE(nameOf(set.third, u"guest"_s), u"later"_s);
        QCOMPARE(errorOf([&] { rep::restoreConflict(*Database::open(set.third), 999); }),
                 err::ConflictNotFound);
        rep::keepConflict(*Database::open(set.third), firstId(set.third));
        set.round();
        for (const QString& file : set.files()) {
            QCOMPARE(nameOf(file, u"guest"_s), u"later"_s);
            QVERIFY(rep::conflicts(*Database::open(file)).isEmpty());
            QCOMPARE(rep::conflicts(*Database::open(file), true).value(0).state, u"kept"_s);
        }

        // A routing step of a task deleted elsewhere cannot come back without its task; a deletion that did
        // not take effect (the user still owns a task) cannot be done again.
        execRaw(set.pair.master,
                u"PRAGMA foreign_keys=ON; DELETE FROM SCR WHERE SCR_Number=2; DELETE FROM ROUTE "
                "WHERE SCR_Number=2; DELETE FROM ATTACH WHERE SCR_Number=2; UPDATE SCR SET "
                "SCR_Owner='admin' WHERE SCR_Number=4; DELETE FROM \"USER\" WHERE User_ID='dev2'"_s);
        execRaw(set.pair.replica,
                u"PRAGMA foreign_keys=ON; INSERT INTO ROUTE (SCR_Number, Route_Note) VALUES (2, "
                "'late'); INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner) VALUES (9, "
                "'new', 'A', 'dev2')"_s);
        sync(set.pair.master, set.pair.replica);
        const QList<rep::ConflictView> open = rep::conflicts(*Database::open(set.pair.master));
        QCOMPARE(open.size(), 2);
        for (const rep::ConflictView& c : open) {
            const int e = errorOf([&] { rep::restoreConflict(*Database::open(set.pair.master), c.id); });
            QCOMPARE(e, err::ConflictWouldBreak);
            QVERIFY2(c.table == u"ROUTE"_s || (c.table == u"USER"_s && c.lostDeleted && !c.keptDeleted),
                     qPrintable(c.table + u' ' + c.reason));
            // Both versions side by side, the differing columns marked.
            QCOMPARE(c.columns.size(), c.kept.size());
            QCOMPARE(c.columns.size(), c.differs.size());
        }
        QVERIFY(sound(set.pair.master));
    }
};

QTEST_MAIN(TestReplicationConflicts)
#include "tst_replication_conflicts.moc"
