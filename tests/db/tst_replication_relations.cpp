// Relationships across exchanges: batches that end anywhere in a sender's history, deletions that meet rows
// referring to the deleted row elsewhere, rows written with relationships off, and two members that give
// different rows the same key. Every removal the engine makes is logged with its true reason. And the
// conflict log across members: a conflict logged by one reaches every member with its state; keeping and
// restoring through the engine and through pelldb; restoring refused when the row changed since or a
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

QString owners(const QString& path) {
    return str(path, u"SELECT group_concat(SCR_Number||':'||SCR_Owner, ' ') FROM (SELECT * FROM SCR ORDER BY "
                     "SCR_Number)"_s);
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

class TestReplicationRelations : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void batchBoundariesLoseNothing_data() {
        QTest::addColumn<QString>("batch");
        for (const char* b : {"1", "2", "7", "0"})
            QTest::newRow(b) << QString::fromLatin1(b);
    }

    void batchBoundariesLoseNothing() {
        // One transaction moves the tasks off two users and deletes them; a later change touches a moved task
        // again, so the sender now holds that task's version after the deletion. Wherever a batch ends, the
        // receiver never holds a task whose owner is gone, and nothing is deleted on either side.
        QFETCH(QString, batch);
        Fixture f;
        Pair pair(f);
        execRaw(pair.master,
                u"PRAGMA foreign_keys=ON; BEGIN; UPDATE SCR SET SCR_Owner='admin' WHERE SCR_Owner IN "
                "('dev1','dev2'); DELETE FROM \"USER\" WHERE User_ID IN ('dev1','dev2'); COMMIT; "
                "UPDATE SCR SET SCR_Title='touched again' WHERE SCR_Number=3"_s);
        QString out;
        QCOMPARE(
            runPelldb({u"sync"_s, pair.master, pair.replica, u"--mode"_s, u"1"_s, u"--batch"_s, batch}, &out),
            0);
        QCOMPARE(owners(pair.replica), u"1:clerk1 2:clerk2 3:admin 4:admin"_s);
        QCOMPARE(num(pair.replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID LIKE 'dev_'"_s), 0);
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica, u"--batch"_s, batch}, &out), 0);
        QCOMPARE(owners(pair.master), u"1:clerk1 2:clerk2 3:admin 4:admin"_s);
        QVERIFY(pair.same());
        QCOMPARE(pair.conflicts(), 0);
        QVERIFY(sound(pair.master) && sound(pair.replica));
    }

    void changeSetsLargerThanABatch() {
        // 6,000 renamed users, then one task moved off a user that is deleted: the default batch ends in the
        // middle of the renames.
        Fixture f;
        const QString master = f.makeSharedDb();
        execRaw(
            master,
            u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<6000) INSERT INTO "
            "\"USER\" (User_ID, User_Name, Supervisor_User_ID) SELECT 'u'||i, 'user '||i, 'admin' FROM n"_s);
        Pair pair(f, master);
        execRaw(pair.master,
                u"PRAGMA foreign_keys=ON; UPDATE \"USER\" SET User_Name = User_Name||' renamed' WHERE "
                "User_ID LIKE 'u%'; UPDATE SCR SET SCR_Owner='u1' WHERE SCR_Number=1; DELETE FROM "
                "\"USER\" WHERE User_ID='clerk1'"_s);
        const rep::SyncStats s = sync(pair.master, pair.replica, db::SyncExport);
        QVERIFY(s.exported.batches >= 2);
        QCOMPARE(owners(pair.replica), u"1:u1 2:clerk2 3:dev1 4:dev2"_s);
        sync(pair.master, pair.replica);
        QVERIFY(pair.same());
        QCOMPARE(pair.conflicts(), 0);
        QCOMPARE(num(pair.master, u"SELECT count(*) FROM \"USER\" WHERE User_Name LIKE '%renamed'"_s), 6000);
    }

    void deletionsMeetRowsThatReferToTheDeletedRow() {
        for (bool fromMaster : {true, false}) {
            Fixture f;
            Pair pair(f);
            // The master deletes task 1 as the purge does (the task first, then what belongs to it), moves
            // task 4 off dev2 and deletes dev2 and guest. The replica meanwhile adds a route and an
            // attachment to task 1, a team member under dev2 and a task owned by guest.
            execRaw(
                pair.master,
                u"PRAGMA foreign_keys=ON; DELETE FROM SCR WHERE SCR_Number=1; DELETE FROM ATTACH WHERE "
                "SCR_Number=1; DELETE FROM ROUTE WHERE SCR_Number=1; UPDATE SCR SET SCR_Owner='dev' WHERE "
                "SCR_Number=4; DELETE FROM \"USER\" WHERE User_ID IN ('dev2', 'guest')"_s);
            execRaw(
                pair.replica,
                u"PRAGMA foreign_keys=ON; INSERT INTO ROUTE (SCR_Number, From_User, Route_Note) VALUES (1, "
                "'admin', 'late route'); INSERT INTO ATTACH (SCR_Number, File_Name) VALUES (1, 'late.txt'); "
                "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('newbie', 'New', "
                "'dev2'); "
                "INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner) VALUES (9, 'guest task', "
                "'A', "
                "'guest')"_s);
            sync(fromMaster ? pair.master : pair.replica, fromMaster ? pair.replica : pair.master);
            sync(pair.master, pair.replica);
            QVERIFY(pair.same());
            for (const QString& file : {pair.master, pair.replica}) {
                QVERIFY(sound(file));
                // What belongs to a deleted task goes with it, set aside and logged, not left pointing at
                // nothing.
                QCOMPARE(num(file, u"SELECT count(*) FROM ROUTE WHERE SCR_Number=1"_s) +
                             num(file, u"SELECT count(*) FROM ATTACH WHERE SCR_Number=1"_s) +
                             num(file, u"SELECT count(*) FROM SCR WHERE SCR_Number=1"_s),
                         0);
                // A user never loses the supervisor, nor a task its owner: those deletions do not take
                // effect.
                QCOMPARE(str(file, u"SELECT group_concat(User_ID) FROM (SELECT User_ID FROM \"USER\" WHERE "
                                   "User_ID IN ('dev2','guest','newbie') ORDER BY 1)"_s),
                         u"dev2,guest,newbie"_s);
                QCOMPARE(num(file, u"SELECT count(*) FROM SCR WHERE SCR_Number=9 AND SCR_Owner='guest'"_s),
                         1);
            }
            const QString logged = reasons(pair.master, u"ROUTE"_s) + reasons(pair.replica, u"ROUTE"_s) +
                                   reasons(pair.master, u"USER"_s) + reasons(pair.replica, u"USER"_s);
            QVERIFY2(logged.contains(u"belongs to a record that was deleted in another replica"_s),
                     qPrintable(logged));
            QVERIFY2(logged.contains(
                         u"[\"dev2\"] deleted in one replica while records in another still refer to it; "
                         "the record was kept"_s),
                     qPrintable(logged));
            QVERIFY2(!logged.contains(u"record that was deleted\n"_s) &&
                         !logged.contains(u"does not exist"_s),
                     qPrintable(logged)); // the reasons of another replica's deletion, not a local fault
            QVERIFY(loggedAsLost({pair.master, pair.replica}, u"late route"_s));

            // Once nothing refers to a deleted user any more, the deletion takes effect everywhere.
            execRaw(pair.replica, u"UPDATE \"USER\" SET Supervisor_User_ID='dev' WHERE User_ID='newbie'"_s);
            sync(pair.replica, pair.master);
            sync(pair.master, pair.replica);
            QVERIFY(pair.same());
            QCOMPARE(num(pair.master, u"SELECT count(*) FROM \"USER\" WHERE User_ID='dev2'"_s), 0);
        }
    }

    void writesWithRelationshipsOffArePutRightTheSameEverywhere() {
        // Another program deletes a task owner with its relationships off and adds a route to a task that
        // never existed; the member itself puts this right at its next exchange, the way its partner would.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master,
                u"PRAGMA foreign_keys=OFF; DELETE FROM \"USER\" WHERE User_ID='dev1'; INSERT INTO ROUTE "
                "(SCR_Number, From_User, Route_Note) VALUES (77, 'admin', 'no such task')"_s);
        QVERIFY(!sound(pair.master));
        sync(pair.replica, pair.master);
        QVERIFY(pair.same());
        QVERIFY(sound(pair.master) && sound(pair.replica));
        QCOMPARE(num(pair.master, u"SELECT count(*) FROM \"USER\" WHERE User_ID='dev1'"_s), 1);
        QCOMPARE(num(pair.master, u"SELECT count(*) FROM ROUTE WHERE SCR_Number=77"_s), 0);
        const QString logged = reasons(pair.master, u"USER"_s) + u'\n' + reasons(pair.master, u"ROUTE"_s);
        QVERIFY2(logged.contains(
                     u"[\"dev1\"] deleted while other records still referred to it; the record was kept"_s),
                 qPrintable(logged));
        QVERIFY2(logged.contains(u"[77] belongs to a record that does not exist"_s) ||
                     logged.contains(u"refers to a record that does not exist"_s),
                 qPrintable(logged));
        QVERIFY(!reasons(pair.master, u"USER"_s).contains(u"another replica"_s));
    }

    void twoMembersGiveDifferentTasksTheSameNumber() {
        // Both add task 500 with an attachment and a route while apart. One task stands with what belongs to
        // it; the other, and everything that belonged to it, is kept whole in the conflict log: nothing is
        // dropped unrecorded and nothing attaches to the other task.
        Fixture f;
        Pair pair(f);
        const QString add =
            u"PRAGMA foreign_keys=ON; INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner) "
            "VALUES (500, '%1 task', 'A', 'admin'); INSERT INTO ATTACH (SCR_Number, File_Name) VALUES "
            "(500, '%1 file'); INSERT INTO ROUTE (SCR_Number, From_User, Route_Note) VALUES (500, "
            "'admin', '%1 route')"_s;
        execRaw(pair.master, add.arg(u"first"_s));
        QThread::msleep(2);
        execRaw(pair.replica, add.arg(u"second"_s));
        execRaw(pair.master, u"INSERT INTO ATTACH (SCR_Number, File_Name) VALUES (500, 'first late file')"_s);
        sync(pair.master, pair.replica);
        sync(pair.replica, pair.master);
        QVERIFY(pair.same());
        QVERIFY(sound(pair.master));
        const QString standing = dumpData(pair.master);
        QCOMPARE(str(pair.master, u"SELECT SCR_Title FROM SCR WHERE SCR_Number=500"_s), u"second task"_s);
        QCOMPARE(str(pair.master, u"SELECT group_concat(File_Name) FROM ATTACH WHERE SCR_Number=500"_s)
                     .contains(u"first"_s),
                 false);
        for (const QString& marker :
             {u"first task"_s, u"first file"_s, u"first route"_s, u"first late file"_s, u"second file"_s})
            QVERIFY2(standing.contains(hexOf(marker)) || loggedAsLost({pair.master, pair.replica}, marker),
                     qPrintable(marker + u" is neither standing nor logged"_s));
        QVERIFY(reasons(pair.master, u"SCR"_s).contains(u"[500] the same key was added in two replicas"_s) ||
                reasons(pair.replica, u"SCR"_s).contains(u"[500] the same key was added in two replicas"_s));
    }

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
            QCOMPARE(str(file, u"SELECT group_concat(state) FROM _pell_conflicts"_s), u"restored"_s);
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

QTEST_MAIN(TestReplicationRelations)
#include "tst_replication_relations.moc"
