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
        QString out;
        QVERIFY2(runPelldb({u"sync"_s, pair.master, pair.replica}, &out) == 0 &&
                     out.contains(u"1 conflicts logged"_s),
                 qPrintable(out));
        sync(pair.master, third);
    }
    QStringList files() const { return {pair.master, pair.replica, third}; }
    void round() const {
        for (int twice = 0; twice < 2; ++twice)
            for (const QString& file : {pair.replica, third})
                sync(pair.master, file);
    }
    Pair pair;
    QString third;
};

// What every conflict of the guest user shows as kept, on every member, is what stands in its table: empty
// when so, else the first member and conflict where it is not.
QString keptIsStanding(const QStringList& files) {
    for (const QString& file : files)
        for (const rep::ConflictView& c : rep::conflicts(*Database::open(file), true)) {
            const QString kept =
                QJsonDocument::fromJson(c.keptJson.toUtf8()).object()[u"User_Name"_s].toString();
            if (c.keptDeleted || kept != nameOf(file, u"guest"_s))
                return file + u" #"_s + QString::number(c.id) + u" kept "_s + kept;
        }
    return QString();
}

} // namespace

class TestReplicationRelations : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void batchBoundariesLoseNothing() {
        // One transaction moves the tasks off two users and deletes them; a later change touches a moved task
        // again, so the sender now holds that task's version after the deletion. Wherever a batch ends, the
        // receiver never holds a task whose owner is gone, and nothing is deleted on either side.
        for (const QString& batch : {u"1"_s, u"2"_s, u"7"_s, u"0"_s}) {
            Fixture f;
            Pair pair(f);
            execRaw(pair.master,
                    u"PRAGMA foreign_keys=ON; BEGIN; UPDATE SCR SET SCR_Owner='admin' WHERE SCR_Owner IN "
                    "('dev1','dev2'); DELETE FROM \"USER\" WHERE User_ID IN ('dev1','dev2'); COMMIT; "
                    "UPDATE SCR SET SCR_Title='touched again' WHERE SCR_Number=3"_s);
            const QStringList args{u"sync"_s, pair.master, pair.replica, u"--batch"_s, batch};
            QCOMPARE(runPelldb(args + QStringList{u"--mode"_s, u"1"_s}), 0);
            const QString moved = u"1:clerk1 2:clerk2 3:admin 4:admin"_s;
            QCOMPARE(owners(pair.replica), moved);
            QCOMPARE(num(pair.replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID LIKE 'dev_'"_s), 0);
            QCOMPARE(runPelldb(args), 0);
            QCOMPARE(owners(pair.master), moved);
            QCOMPARE(pair.conflicts(), 0);
            QVERIFY2(pair.same() && sound(pair.master) && sound(pair.replica),
                     qPrintable(u"batch "_s + batch));
        }
    }

    void changeSetsLargerThanABatch() {
        // More renamed users than the default batch holds, then one task moved off a user that is deleted:
        // the default batch ends in the middle of the renames.
        const int users = rep::DefaultBatchSize + 1000;
        Fixture f;
        const QString master = f.makeSharedDb();
        execRaw(master, fillSql(u"\"USER\" (User_ID, User_Name, Supervisor_User_ID)"_s, users,
                                u"'u'||i, 'user '||i, 'admin'"_s));
        Pair pair(f, master);
        execRaw(pair.master,
                u"PRAGMA foreign_keys=ON; UPDATE \"USER\" SET User_Name = User_Name||' renamed' WHERE "
                "User_ID LIKE 'u%'; UPDATE SCR SET SCR_Owner='u1' WHERE SCR_Number=1; DELETE FROM "
                "\"USER\" WHERE User_ID='clerk1'"_s);
        const rep::SyncStats s = sync(pair.master, pair.replica, db::SyncExport);
        QVERIFY(s.exported.batches >= 2);
        QCOMPARE(owners(pair.replica), u"1:u1 2:clerk2 3:dev1 4:dev2"_s);
        sync(pair.master, pair.replica);
        QVERIFY(pair.same() && pair.conflicts() == 0);
        QCOMPARE(num(pair.replica, u"SELECT count(*) FROM \"USER\" WHERE User_Name LIKE '%renamed'"_s),
                 users);
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
                "'dev2'); INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner) VALUES (9, 'guest "
                "task', 'A', 'guest')"_s);
            sync(fromMaster ? pair.master : pair.replica, fromMaster ? pair.replica : pair.master);
            sync(pair.master, pair.replica);
            QVERIFY(pair.same() && sound(pair.master) && sound(pair.replica));
            // What belongs to a deleted task goes with it, set aside and logged, not left pointing at
            // nothing. A user never loses the supervisor, nor a task its owner: those deletions do not take
            // effect.
            QCOMPARE(str(pair.master,
                         u"SELECT ((SELECT count(*) FROM ROUTE WHERE SCR_Number=1)+(SELECT count(*) FROM "
                         "ATTACH WHERE SCR_Number=1)+(SELECT count(*) FROM SCR WHERE SCR_Number=1))||' '||"
                         "(SELECT group_concat(User_ID) FROM (SELECT User_ID FROM \"USER\" WHERE User_ID "
                         "IN ('dev2','guest','newbie') ORDER BY 1))||' '||(SELECT SCR_Owner FROM SCR WHERE "
                         "SCR_Number=9)"_s),
                     u"0 dev2,guest,newbie guest"_s);
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
            QVERIFY(lostVersions({pair.master, pair.replica}).contains(u"late route"_s));

            // Once nothing refers to a deleted user any more, the deletion takes effect everywhere.
            execRaw(pair.replica, u"UPDATE \"USER\" SET Supervisor_User_ID='dev' WHERE User_ID='newbie'"_s);
            sync(pair.replica, pair.master);
            sync(pair.master, pair.replica);
            QVERIFY(pair.same() && nameOf(pair.master, u"dev2"_s).isEmpty());
        }
    }

    void aKeptRowShowsTheSameContentEverywhere() {
        // Two concurrent renames of clerk2, then a deletion of clerk2 on R1 (which had seen R2's rename)
        // while the master gives it a new task: the deletion waits (the user is kept), and every member shows
        // the kept user with the latest content it had alive, the master's later rename, whatever content it
        // happened to stand with before. That rename lost to the deletion: it is in the conflict log.
        Fixture f;
        const QString m = f.makeSharedDb(), r1 = f.path(u"r1.mdb"_s), r2 = f.path(u"r2.mdb"_s);
        makeMaster(m);
        makeReplica(m, r1);
        makeReplica(m, r2);
        QCOMPARE(shell(r2, u"UPDATE USER SET User_Name='R2 edit' WHERE User_ID='clerk2'"_s), 0);
        QThread::msleep(2);
        QCOMPARE(shell(m, u"UPDATE USER SET User_Name='M edit (later)' WHERE User_ID='clerk2'"_s), 0);
        QCOMPARE(runPelldb({u"sync"_s, r1, r2}), 0);
        QCOMPARE(shell(r1, u"UPDATE SCR SET SCR_Owner='admin' WHERE SCR_Owner='clerk2'; DELETE FROM USER "
                           "WHERE User_ID='clerk2'"_s),
                 0);
        QCOMPARE(shell(m, u"INSERT INTO SCR(SCR_Number,SCR_Title,SCR_Owner) VALUES (50,'M task for "
                          "clerk2','clerk2')"_s),
                 0);
        QCOMPARE(runPelldb({u"sync"_s, m, r1}), 0);
        for (int round = 0; round < 3; ++round) {
            QCOMPARE(runPelldb({u"sync"_s, m, r1}), 0);
            QCOMPARE(runPelldb({u"sync"_s, m, r2}), 0);
        }
        for (const QString& file : {m, r1, r2}) {
            QCOMPARE(nameOf(file, u"clerk2"_s), u"M edit (later)"_s);
            QVERIFY2(divergent(file).isEmpty(), qPrintable(divergent(file).join(u'\n')));
            QVERIFY(sound(file));
        }
        QCOMPARE(dumpData(r2), dumpData(m));
        QCOMPARE(dumpData(r1), dumpData(m));
        QVERIFY(lostVersions({m}).contains(u"M edit (later)"_s));
    }

    void aLossFetchedAheadOfTheStreamCountsForTheKeptContent() {
        // The replica deletes support, which clerk1 and helper report to: the deletion waits. The master, not
        // knowing, deletes helper, then renames clerk1 and support. Exchanged one version at a time, helper's
        // deletion comes first: deciding whether support must still stand, the receiver fetches clerk1's and
        // then support's current versions ahead of the stream. The rename of support loses to the deletion
        // and is still the latest content support had alive, so support stands with it, as with any batch
        // size.
        Fixture f;
        const QString master = f.makeSharedDb();
        execRaw(master, u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('helper', "
                        "'Helper', 'support')"_s);
        Pair pair(f, master);
        execRaw(pair.replica, u"PRAGMA foreign_keys=OFF; DELETE FROM \"USER\" WHERE User_ID='support'"_s);
        QThread::msleep(2);
        execRaw(pair.master, u"DELETE FROM \"USER\" WHERE User_ID='helper'"_s);
        QThread::msleep(2);
        execRaw(pair.master, u"UPDATE \"USER\" SET User_Name='clerk1 renamed' WHERE User_ID='clerk1'"_s);
        QThread::msleep(2);
        execRaw(pair.master, u"UPDATE \"USER\" SET User_Name='renamed later' WHERE User_ID='support'"_s);
        sync(pair.master, pair.replica, db::SyncExport, 1);
        QCOMPARE(nameOf(pair.replica, u"support"_s), u"renamed later"_s);
        sync(pair.master, pair.replica);
        QVERIFY(pair.same());
        QCOMPARE(nameOf(pair.master, u"support"_s), u"renamed later"_s);
    }

    void writesByAnotherProgramNeverStopExchanges() {
        // Another program makes a team leader of guest, then deletes dev and guest: dev's team is left
        // without a leader. Every exchange with that member still works, in either direction, and
        // leaves every member sound and alike.
        Fixture f;
        Pair pair(f);
        QCOMPARE(shell(pair.replica,
                       u"UPDATE USER SET Supervisor_User_ID='guest' WHERE User_ID='dev'; DELETE "
                       "FROM USER WHERE User_ID='dev'; DELETE FROM USER WHERE User_ID='guest';"_s),
                 0);
        QString out, err;
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica, u"--mode"_s, u"2"_s}, &out, &err), 0);
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QCOMPARE(runPelldb({u"sync"_s, pair.replica, pair.master}, &out, &err), 0);
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica}, &out, &err), 0);
        QVERIFY2(err.isEmpty(), qPrintable(err));
        for (const QString& file : {pair.master, pair.replica}) {
            QVERIFY2(divergent(file).isEmpty(), qPrintable(divergent(file).join(u'\n')));
            QVERIFY2(runPelldb({u"check"_s, file}, &out) == 0, qPrintable(out));
        }
        QVERIFY(pair.same());
        // dev still leads dev1, dev2 and intern: its deletion waits, and so does guest's, which leads the
        // kept dev.
        QCOMPARE(str(pair.master,
                     u"SELECT group_concat(User_ID||':'||ifnull(Supervisor_User_ID,'')) FROM (SELECT "
                     "* FROM USER WHERE User_ID IN ('dev','guest') ORDER BY 1)"_s),
                 u"dev:guest,guest:"_s);
    }

    void aKeptRowChangedElsewhereReleasesTheRowItKept() {
        // guest leads intern, intern leads dev1; the master deletes guest and intern with relationships
        // off, so both wait, kept. The replica, having seen that, gives intern a leader nobody has: intern
        // (a new row now) is set aside, and nothing keeps guest any more. The master must let guest go too,
        // though intern stood with the content that kept guest when the replica's version came in.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master, u"UPDATE \"USER\" SET Supervisor_User_ID='guest' WHERE User_ID='intern'; "
                             "UPDATE \"USER\" SET Supervisor_User_ID='intern' WHERE User_ID='dev1'"_s);
        sync(pair.master, pair.replica);
        execRaw(pair.master, u"PRAGMA foreign_keys=OFF; DELETE FROM \"USER\" WHERE User_ID IN ('guest', "
                             "'intern')"_s);
        sync(pair.master, pair.replica);
        execRaw(pair.replica, u"PRAGMA foreign_keys=OFF; UPDATE \"USER\" SET User_Name='moved', "
                              "Supervisor_User_ID='nobody' WHERE User_ID='intern'"_s);
        sync(pair.replica, pair.master);
        for (const QString& file : {pair.master, pair.replica}) {
            QVERIFY2(divergent(file).isEmpty(), qPrintable(file + u": "_s + divergent(file).join(u'\n')));
            QCOMPARE(str(file, u"SELECT count(*) FROM \"USER\" WHERE User_ID IN ('guest', 'intern')"_s),
                     u"0"_s);
        }
        QVERIFY(pair.same());
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
        QVERIFY(pair.same() && sound(pair.master) && sound(pair.replica));
        QCOMPARE(str(pair.master,
                     u"SELECT (SELECT count(*) FROM \"USER\" WHERE User_ID='dev1')||(SELECT count(*) "
                     "FROM ROUTE WHERE SCR_Number=77)"_s),
                 u"10"_s);
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
        QVERIFY(pair.same() && sound(pair.master));
        QCOMPARE(str(pair.master,
                     u"SELECT SCR_Title||':'||(SELECT count(*) FROM ATTACH WHERE SCR_Number=500 AND "
                     "File_Name LIKE 'first%') FROM SCR WHERE SCR_Number=500"_s),
                 u"second task:0"_s); // no file of the first task attaches to the second
        const QString standing = dumpData(pair.master), lost = lostVersions({pair.master, pair.replica});
        for (const QString& marker :
             {u"first task"_s, u"first file"_s, u"first route"_s, u"first late file"_s, u"second file"_s})
            QVERIFY2(standing.contains(QString::fromLatin1(marker.toUtf8().toHex().toUpper())) ||
                         lost.contains(marker),
                     qPrintable(marker + u" is neither standing nor logged"_s));
        QVERIFY(QString(reasons(pair.master, u"SCR"_s) + reasons(pair.replica, u"SCR"_s))
                    .contains(u"[500] the same key was added in two replicas"_s));
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
        QCOMPARE((QStringList{
                     c[u"table"_s].toString(),
                     QString::fromUtf8(QJsonDocument(c[u"key"_s].toArray()).toJson(QJsonDocument::Compact)),
                     c[u"reason"_s].toString(), c[u"state"_s].toString(), c[u"member"_s].toString(),
                     c[u"kept"_s][u"User_Name"_s].toString(), c[u"lost"_s][u"User_Name"_s].toString()}),
                 (QStringList{u"USER"_s, u"[\"guest\"]"_s, u"changed in two replicas"_s, u"open"_s,
                              u"master"_s, u"by replica"_s, u"by master"_s}));
        const QString id = QString::number(c[u"id"_s].toInteger());
        // The text form: one line per conflict, the key in the same form whatever its type, then the columns,
        // those that differ first and marked, passwords masked.
        QCOMPARE(runPelldb({u"conflicts"_s, set.third}, &out), 0);
        QVERIFY2(out.contains(u" USER [\"guest\"]: changed in two replicas [open]\n"
                              u"  * User_Name: kept by replica | lost by master\n"_s) &&
                     out.contains(u"\n    User_ID: guest\n"_s) && out.endsWith(u"1 conflicts\n"_s),
                 qPrintable(out));

        QCOMPARE(runPelldb({u"resolve"_s, set.third, id, u"restore"_s}, &out), 0);
        set.round();
        // Everywhere the one conflict is closed as restored: the restored version was written after seeing
        // the one it replaces, so no new conflict arises.
        for (const QString& file : set.files())
            QCOMPARE(nameOf(file, u"guest"_s) +
                         str(file, u"SELECT ' '||group_concat(state) FROM _pell_conflicts"_s),
                     u"by master restored"_s);
        QCOMPARE(runPelldb({u"conflicts"_s, set.pair.master}, &out), 0);
        QCOMPARE(out, u"0 conflicts\n"_s); // none open any more
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
        const auto restore = [&](const QString& path, qint64 id) {
            return errorOf([&] { rep::restoreConflict(*Database::open(path), id); });
        };
        // Changed again since: the lost version is not written over the newer one.
        execRaw(set.third, u"UPDATE \"USER\" SET User_Name='later' WHERE User_ID='guest'"_s);
        const qint64 id = rep::conflicts(*Database::open(set.third)).value(0).id;
        QCOMPARE(restore(set.third, id), err::ConflictChangedSince);
        QCOMPARE(restore(set.third, 999), err::ConflictNotFound);
        rep::keepConflict(*Database::open(set.third), id);
        set.round();
        for (const QString& file : set.files())
            QCOMPARE(nameOf(file, u"guest"_s) +
                         str(file, u"SELECT ' '||group_concat(state) FROM _pell_conflicts"_s),
                     u"later kept"_s);

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
            QCOMPARE(restore(set.pair.master, c.id), err::ConflictWouldBreak);
            QVERIFY2(c.table == u"ROUTE"_s || (c.table == u"USER"_s && c.lostDeleted && !c.keptDeleted),
                     qPrintable(c.table + u' ' + c.reason));
            // Both versions side by side, the differing columns marked.
            QCOMPARE(c.columns.size(), c.kept.size());
            QCOMPARE(c.columns.size(), c.differs.size());
        }
        QVERIFY(sound(set.pair.master));
    }

    void decisionsTakenApartSettleToOneAnswerAndKeptNamesWhatStands() {
        {
            // Restored on one member and kept on another before they meet: the restore is a change made
            // after seeing the loss, it stands everywhere, and so the conflict is restored everywhere,
            // whichever decision came later.
            Fixture f;
            Three set(f);
            const qint64 id = rep::conflicts(*Database::open(set.third)).value(0).id;
            rep::restoreConflict(*Database::open(set.third), id);
            QThread::msleep(2);
            rep::keepConflict(*Database::open(set.pair.replica),
                              rep::conflicts(*Database::open(set.pair.replica)).value(0).id);
            sync(set.pair.replica, set.pair.master);
            set.round();
            for (const QString& file : set.files())
                QCOMPARE(nameOf(file, u"guest"_s) +
                             str(file, u"SELECT ' '||group_concat(state) FROM _pell_conflicts"_s),
                         u"by master restored"_s);
            QCOMPARE(keptIsStanding(set.files()), QString());
        }
    }

    void aThreeWayConflictKeepsWhatStandsAndCanBeRestored() {
        {
            // Three members change one user: the first loss names the second version as kept, which then
            // loses to the third. What stands is the third, the first conflict says so, and restoring it is
            // not refused, as nothing changed on that member since.
            Fixture f;
            Pair pair(f);
            const QString third = f.path(u"third.mdb"_s);
            makeReplica(pair.master, third);
            const QString guest = u"UPDATE \"USER\" SET User_Name='%1' WHERE User_ID='guest'"_s;
            execRaw(pair.master, guest.arg(u"first"_s));
            QThread::msleep(2);
            execRaw(pair.replica, guest.arg(u"second"_s));
            QThread::msleep(2);
            execRaw(third, guest.arg(u"third"_s));
            sync(pair.master, pair.replica);
            sync(pair.master, third);
            const QStringList files{pair.master, pair.replica, third};
            QCOMPARE(nameOf(pair.master, u"guest"_s), u"third"_s);
            QCOMPARE(keptIsStanding({pair.master}), QString());
            const QList<rep::ConflictView> open = rep::conflicts(*Database::open(pair.master));
            QCOMPARE(open.size(), 2);
            qint64 first = 0;
            for (const rep::ConflictView& c : open)
                if (c.lostJson.contains(u"\"first\""_s))
                    first = c.id;
            QVERIFY(first != 0);
            QCOMPARE(errorOf([&] { rep::restoreConflict(*Database::open(pair.master), first); }), 0);
            for (int twice = 0; twice < 2; ++twice)
                for (const QString& file : {pair.replica, third})
                    sync(pair.master, file);
            for (const QString& file : files)
                QCOMPARE(nameOf(file, u"guest"_s), u"first"_s);
            QCOMPARE(keptIsStanding(files), QString());
        }
    }

    void aChangeLostToADeletionCanBeRestored() {
        // The deletion is what the loss was to: nothing stands, and restoring writes the row again, which
        // wins everywhere.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master, u"INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('solo', 'first')"_s);
        sync(pair.master, pair.replica);
        execRaw(pair.master, u"DELETE FROM \"USER\" WHERE User_ID = 'solo'"_s);
        execRaw(pair.replica, u"UPDATE \"USER\" SET User_Name = 'changed' WHERE User_ID = 'solo'"_s);
        sync(pair.master, pair.replica);
        const QList<rep::ConflictView> open = rep::conflicts(*Database::open(pair.replica));
        QCOMPARE(open.size(), 1);
        QVERIFY(open[0].keptDeleted && open[0].keptJson.isEmpty() && !open[0].lostDeleted);
        QCOMPARE(errorOf([&] { rep::restoreConflict(*Database::open(pair.replica), open[0].id); }), 0);
        sync(pair.master, pair.replica);
        sync(pair.master, pair.replica);
        for (const QString& file : {pair.master, pair.replica})
            QCOMPARE(nameOf(file, u"solo"_s) +
                         str(file, u"SELECT ' '||group_concat(state) FROM _pell_conflicts"_s),
                     u"changed restored"_s);
    }

    void oneRecordPerLossWhateverTheCaseOfItsKey() {
        // Two members add one user under keys that differ only in case: one row to the engine, as to the
        // table. The loss is one conflict on every member, whichever spelling each member met it under.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master, u"INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('dev9', 'on master')"_s);
        QThread::msleep(2);
        execRaw(pair.replica, u"INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('DEV9', 'on replica')"_s);
        // Each meets the loss first on its own: the replica under the master's key, the master under the
        // replica's.
        sync(pair.replica, pair.master, db::SyncImport);
        sync(pair.master, pair.replica, db::SyncImport);
        for (int twice = 0; twice < 2; ++twice)
            sync(pair.master, pair.replica);
        QVERIFY(pair.same());
        for (const QString& file : {pair.master, pair.replica})
            QCOMPARE(
                str(file, u"SELECT group_concat(lower(key_text)||' '||reason, '; ') FROM _pell_conflicts"_s),
                u"[\"dev9\"] the same key was added in two replicas"_s);
    }
};

QTEST_MAIN(TestReplicationRelations)
#include "tst_replication_relations.moc"
