// Replication over real files: conversion into a master, replicas, exchanges in every mode, the order of
// concurrent versions, exact values, compaction between exchanges, a killed pelldb sync, and every error
// number from a real situation.
#include "db/files/operations.h"
#include "replication_fixture.h"
#include "support/db_dump.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <cmath>

#include <sys/stat.h>

using namespace pell;
using namespace pell::test;

class TestReplication : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conversionNeedsExclusiveOpenAndCapturesEveryWriter() {
        Fixture f;
        const QString path = f.makeSharedDb();
        const auto exclusive = [&] { return Database::open(path, {.exclusive = true}); };
        const auto addReplicable = [](Database& db, const QString& value = u"T"_s) {
            db.appendProperty(db.createProperty(u"Replicable"_s, 10, value));
        };
        // That another user's shared open keeps the exclusive one out is proved between processes.
        QCOMPARE(errorOf([&] { addReplicable(*Database::open(path)); }), err::FileInUse);
        QVERIFY(!Database::open(path)->hasProperty(u"Replicable"_s));
        addReplicable(*exclusive(), u"F"_s);
        QCOMPARE(errorOf([&] { Database::open(path)->setPropertyValue(u"Replicable"_s, u"T"_s); }),
                 err::FileInUse);
        QVERIFY(!Database::open(path)->isReplicable());
        {
            auto db = exclusive();
            db->setPropertyValue(u"Replicable"_s, u"T"_s);
            QVERIFY(db->isReplicable());
            QCOMPARE(errorOf([&] { addReplicable(*db); }), err::AlreadyExists);
            const rep::Identity id = rep::identity(*db);
            QVERIFY(id.setId > 0 && id.replicaId > 0 && id.setId != id.replicaId);
            for (const QString& t : db->tableNames())
                QVERIFY2(!t.startsWith(u"_pell"_s), qPrintable(t));
        }
        // A program that knows nothing of replication is followed all the same: its changes are logged in the
        // order they are made, and become versions of this member when it next exchanges.
        execRaw(path,
                u"INSERT INTO LU_Category VALUES ('Outside'); UPDATE TOOL SET Tool_EXE='calc2' WHERE "
                "Tool_Name='Calculator'; DELETE FROM LU_Priority WHERE Priority='Low'; UPDATE \"USER\" SET "
                "User_ID='Guest' WHERE User_ID='guest'"_s);
        QCOMPARE(
            str(path, u"SELECT group_concat(op||':'||k0, ' ') FROM (SELECT * FROM _pell_log ORDER BY seq)"_s),
            u"1:Outside 2:Calculator 3:Low 2:Guest"_s); // a change of case under NOCASE keeps the row
        QCOMPARE(num(path, u"SELECT count(*) FROM _pell_keep_LU_Priority WHERE Priority='Low'"_s), 1);
        const qint64 guestBorn = num(path, u"SELECT bc FROM \"_pell_rows_USER\" WHERE k0='guest'"_s);
        makeReplica(path, f.path(u"replica.mdb"_s));
        // The log is folded into versions this member wrote, the deleted row kept, the row's birth unchanged.
        QCOMPARE(
            str(path,
                u"SELECT (SELECT count(*) FROM _pell_log)||' '||(SELECT w FROM \"_pell_rows_LU_Category\" "
                "WHERE k0='outside')||' '||(SELECT hist IS NOT NULL FROM \"_pell_rows_TOOL\" WHERE "
                "k0='Calculator')||(SELECT del FROM \"_pell_rows_LU_Priority\" WHERE k0='Low')||(SELECT "
                "count(*) FROM _pell_keep_LU_Priority WHERE _pell_c > 0)||' '||(SELECT bc FROM "
                "\"_pell_rows_USER\" WHERE k0='guest')"_s),
            u"0 %1 111 %2"_s.arg(rep::identity(*Database::open(path)).replicaId).arg(guestBorn));
        QCOMPARE(dumpData(f.path(u"replica.mdb"_s)), dumpData(path));
    }

    void replicaIsAFullCopyAndRefusalsChangeNothing() {
        Fixture f;
        const QString plain = f.makeSharedDb(u"plain.mdb"_s), stranger = f.makeSharedDb(u"stranger.mdb"_s);
        const QString master = f.makeSharedDb(), replica = f.path(u"sub/r1.mdb"_s);
        makeMaster(master);
        makeMaster(stranger);
        QVERIFY(QDir(f.dir.path()).mkpath(u"sub"_s));
        // What a killed maker left behind goes at the next run; the work of one still running stays.
        const QString dead = f.path(u"sub/.r1.mdb.making-999999-0"_s);
        const QString alive = f.path(u"sub/.r1.mdb.making-%1-77"_s.arg(QCoreApplication::applicationPid()));
        for (const QString& leftover : QStringList{dead, dead + u"-journal"_s, alive})
            writeFile(leftover, "half a copy");
        QFile::setPermissions(master, QFile::ReadOwner | QFile::WriteOwner);
        {
            Holder other(master, false); // another user keeps working in the master meanwhile
            makeReplica(master, replica);
        }
        QVERIFY(!QFileInfo::exists(dead) && !QFileInfo::exists(dead + u"-journal"_s) &&
                QFileInfo::exists(alive));
        QFile::remove(alive);
        QCOMPARE(QFile::permissions(replica) & 0x0777, QFile::permissions(master) & 0x0777); // never wider
        // Its description and that it is replicable are seen through the replication window.
        const rep::Identity m = rep::identity(*Database::open(master)),
                            r = rep::identity(*Database::open(replica));
        QVERIFY(r.setId == m.setId && r.replicaId != m.replicaId);
        QCOMPARE(dumpData(replica), dumpData(master));
        // The copy knows what the master has: a first exchange reads nothing and writes nothing.
        const auto hashes = fileHashes({master, replica});
        QCOMPARE(traffic(sync(master, replica)), 0);
        QCOMPARE(fileHashes({master, replica}), hashes);
        const QString copy = f.path(u"copy.mdb"_s), link = f.path(u"link.mdb"_s);
        QVERIFY(QFile::copy(master, copy) && QFile::link(master, link)); // a link is the same file
        const auto before = fileHashes({master, replica});
        // An existing file is left alone; a bad path makes nothing, not even half a file.
        QCOMPARE(errorOf([&] { makeReplica(plain, f.path(u"r.mdb"_s)); }), err::NotReplicable);
        QCOMPARE(errorOf([&] { makeReplica(master, replica); }), err::DatabaseExists);
        for (const QString& bad : {f.path(u"missing/r.mdb"_s), QString()})
            QCOMPARE(errorOf([&] { makeReplica(master, bad); }), err::InvalidPath);
        QVERIFY(!QFileInfo::exists(f.path(u"r.mdb"_s)));
        for (const QString& name : QDir(f.dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(!name.contains(u"making"_s), qPrintable(name));
        const auto syncErr = [&](const QString& partner, int mode = db::SyncImpExp, QString from = {}) {
            return errorOf(
                [&] { Database::open(from.isEmpty() ? master : from)->synchronize(partner, mode); });
        };
        for (int mode : {0, 3})
            QCOMPARE(syncErr(replica, mode), err::InvalidExchangeMode);
        QCOMPARE(syncErr(f.path(u"none.mdb"_s)), err::FileNotFoundDb);
        for (const QString& bad : {f.path(u"no/such/x.mdb"_s), QString()})
            QCOMPARE(syncErr(bad), err::InvalidPath);
        QCOMPARE(syncErr(plain), err::NotAReplica);
        QCOMPARE(syncErr(stranger), err::DifferentReplicaSet);
        for (const QString& self : {master, link})
            QCOMPARE(syncErr(self), err::SyncWithSelf);
        {
            Holder exclusive(replica, true);
            QCOMPARE(syncErr(replica), err::OpenedExclusively);
        }
        QCOMPARE(syncErr(replica, db::SyncImpExp, plain), err::NotReplicable);
        // A member whose engine tables an earlier version wrote is refused, not misread.
        execRaw(stranger, u"DROP TABLE _pell_clock"_s);
        QCOMPARE(syncErr(stranger), err::OutdatedReplica);
        QCOMPARE(fileHashes({master, replica}), before);
    }

    void modesMoveChangesOneWayOrBoth() {
        // Changes, inserts, deletes and a changed key travel in the mode's direction; tables created later
        // do not travel at all.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master, u"UPDATE \"USER\" SET User_Name='by master' WHERE User_ID='dev'"_s);
        execRaw(pair.replica,
                u"UPDATE \"USER\" SET User_Name='by replica' WHERE User_ID='dev1'; INSERT INTO LU_Category "
                "VALUES ('Docs'); DELETE FROM TOOL WHERE Tool_Name='Calculator'; UPDATE \"USER\" SET "
                "User_ID='visitor' WHERE User_ID='guest'"_s);
        const QString seen =
            u"SELECT group_concat(User_ID||'='||User_Name) FROM (SELECT * FROM \"USER\" WHERE "
            "User_ID IN ('dev','dev1','guest','visitor') ORDER BY User_ID)"_s;
        sync(pair.master, pair.replica, db::SyncExport);
        QCOMPARE(str(pair.replica, seen), u"dev=by master,dev1=by replica,visitor=Visitor"_s);
        QCOMPARE(str(pair.master, seen), u"dev=by master,dev1=Programmer,guest=Visitor"_s);
        sync(pair.master, pair.replica, db::SyncImport);
        QCOMPARE(str(pair.master, seen), u"dev=by master,dev1=by replica,visitor=Visitor"_s);
        QVERIFY(pair.same());
        QCOMPARE(pair.conflicts(), 0);
        execRaw(pair.replica, u"CREATE TABLE NOTES (n TEXT PRIMARY KEY); INSERT INTO NOTES VALUES ('a')"_s);
        execRaw(pair.master, u"CREATE TABLE NOTES (n TEXT PRIMARY KEY)"_s);
        sync(pair.replica, pair.master);
        QCOMPARE(num(pair.master, u"SELECT count(*) FROM NOTES"_s), 0);
    }

    void concurrentVersionsEndTheSameFromEitherSide() {
        const QString upd = u"UPDATE \"USER\" SET User_Name='%1' WHERE User_ID='guest';"_s;
        const QString del = u"DELETE FROM \"USER\" WHERE User_ID='guest';"_s;
        const QString add = u"INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('%1', '%2');"_s;
        const QString changed = u"changed in two replicas"_s,
                      added = u"the same key was added in two replicas"_s;
        const struct {
            QString masterSql, replicaSql;
            bool masterFirst;
            QString winner, user, reason; // the winner: "master", "replica" or "deleted"
        } cases[] = {
            // the later of two changes, either way
            {upd.arg(u"master"_s), upd.arg(u"replica"_s), true, u"replica"_s, u"guest"_s, changed},
            {upd.arg(u"x"_s) + upd.arg(u"master"_s), upd.arg(u"replica"_s), false, u"master"_s, u"guest"_s,
             changed},
            // a deletion beats a later change
            {del, upd.arg(u"x"_s) + upd.arg(u"replica"_s), true, u"deleted"_s, u"guest"_s,
             u"deleted in one replica and changed in another"_s},
            // deleted and added again on both sides
            {del + add.arg(u"guest"_s, u"master"_s), del + add.arg(u"guest"_s, u"replica"_s), true,
             u"replica"_s, u"guest"_s, added},
            // the same key added in two replicas
            {add.arg(u"newbie"_s, u"master"_s), add.arg(u"newbie"_s, u"replica"_s), false, u"master"_s,
             u"newbie"_s, added},
        };
        for (const auto& [masterSql, replicaSql, masterFirst, winner, user, reason] : cases)
            for (bool fromMaster : {true, false}) {
                Fixture f;
                Pair pair(f);
                execRaw(masterFirst ? pair.master : pair.replica, masterFirst ? masterSql : replicaSql);
                QThread::msleep(2);
                execRaw(masterFirst ? pair.replica : pair.master, masterFirst ? replicaSql : masterSql);
                sync(fromMaster ? pair.master : pair.replica, fromMaster ? pair.replica : pair.master);
                QVERIFY(pair.same());
                const QString name = nameOf(pair.master, user);
                QCOMPARE(name.isEmpty() ? u"deleted"_s : name, winner);
                // The losing version is kept for the administrator, under its true reason; a member that
                // meets the same loss again records the same conflict.
                const QString loser = winner == u"replica"_s ? u"master"_s : u"replica"_s;
                const QString lost =
                    u"SELECT group_concat(DISTINCT lost_writer||':'||lost_clock) FROM _pell_conflicts "
                    "WHERE tbl='USER' AND reason='%1' AND instr(lost_row, '%2') > 0"_s.arg(reason, loser);
                QSet<QString> dots;
                for (const QString& file : {pair.master, pair.replica})
                    if (const QVariant d = scalarRaw(file, lost); !d.isNull())
                        dots.insert(d.toString());
                QCOMPARE(dots.size(), 1);
                QCOMPARE(pair.conflicts(),
                         pair.both(u"SELECT count(*) FROM _pell_conflicts WHERE reason='%1'"_s.arg(reason)));
                const rep::SyncStats again = sync(pair.master, pair.replica); // nothing further moves
                QCOMPARE(again.imported.applied + again.exported.applied, 0);
            }
    }

    void valuesArriveByteForByte() {
        // Text that is not UTF-8 (as old programs write it), NUL inside text and keys, 64-bit integers, -0.0
        // where the engine keeps it, text in number columns, and blobs of megabytes.
        Fixture f;
        const QString master = f.makeSharedDb();
        execRaw(master, u"CREATE TABLE vals (k TEXT PRIMARY KEY, x, n INTEGER, r REAL)"_s);
        Pair pair(f, master);
        execRaw(pair.replica,
                u"UPDATE \"USER\" SET User_Name = CAST(x'436166E9' AS TEXT) WHERE User_ID='guest';"
                "UPDATE TOOL SET Tool_EXE = CAST(x'6361006C63' AS TEXT) WHERE Tool_Name='Calculator';"
                "UPDATE ATTACH SET Contents = randomblob(3000000) WHERE SCR_Number = 1;"
                "INSERT INTO vals VALUES (CAST(x'4EE9' AS TEXT), -0.0, 'abc', 0.1),"
                " (CAST(x'4E004E' AS TEXT), 9223372036854775807, -9223372036854775808, 1e308),"
                " ('blob', x'00ff00', '12x', -0.0), ('empty', x'', '', NULL)"_s);
        sync(pair.master, pair.replica);
        // The dumps compare each value's type and bytes; quote() ends text at a NUL, so text holding one, and
        // the sign of a zero, are compared on their own.
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QCOMPARE(str(pair.master, u"SELECT hex(Tool_EXE) FROM TOOL WHERE Tool_Name='Calculator'"_s),
                 u"6361006C63"_s);
        QCOMPARE(num(pair.master, u"SELECT x FROM vals WHERE hex(k)='4E004E'"_s), 9223372036854775807LL);
        const double zero = scalarRaw(pair.master, u"SELECT x FROM vals WHERE hex(k)='4EE9'"_s).toDouble();
        QVERIFY(zero == 0.0 && std::signbit(zero));
        // A key that is not UTF-8 is the same row on both sides: a change to it travels and finds it.
        execRaw(pair.master, u"UPDATE vals SET n = 7 WHERE k = CAST(x'4EE9' AS TEXT)"_s);
        sync(pair.master, pair.replica);
        QCOMPARE(num(pair.replica, u"SELECT n FROM vals WHERE k = CAST(x'4EE9' AS TEXT)"_s), 7);
        QCOMPARE(pair.conflicts(), 0);
    }

    void anyKindOfTableReplicates() {
        // Composite keys without rowid, a unique value added under two ids (the same winner whichever side
        // runs), and identical rows of a table without a key that stay distinct.
        for (bool fromMaster : {true, false}) {
            Fixture f;
            const QString master = f.path(u"odd.mdb"_s);
            Database::create(master);
            execRaw(master,
                    u"CREATE TABLE \"Odd Name\" (a TEXT, b INTEGER, note TEXT, PRIMARY KEY (a, b)) WITHOUT "
                    "ROWID; CREATE TABLE mail (id INTEGER PRIMARY KEY, address TEXT UNIQUE, who TEXT); "
                    "CREATE TABLE loose (x, y); INSERT INTO \"Odd Name\" VALUES ('k', 1, 'one'), ('k', 2, "
                    "'two'); INSERT INTO loose VALUES (1, x'00ff'), (1, x'00ff'), (2.5, NULL)"_s);
            Pair pair(f, master);
            execRaw(master,
                    u"UPDATE \"Odd Name\" SET note='master' WHERE a='k' AND b=1; INSERT INTO mail VALUES "
                    "(1, 'a@x', 'master'); DELETE FROM loose WHERE rowid = (SELECT min(rowid) FROM loose "
                    "WHERE x=1)"_s);
            QThread::msleep(2);
            execRaw(pair.replica,
                    u"UPDATE \"Odd Name\" SET b=3 WHERE a='k' AND b=2; INSERT INTO mail VALUES (2, "
                    "'a@x', 'replica'); UPDATE loose SET y='changed' WHERE x=2.5; INSERT INTO loose "
                    "VALUES (1, x'00ff')"_s);
            sync(fromMaster ? master : pair.replica, fromMaster ? pair.replica : master);
            sync(master, pair.replica);
            QVERIFY(pair.same());
            QCOMPARE(str(master, u"SELECT (SELECT count(*) FROM loose WHERE x=1)||(SELECT y FROM loose WHERE "
                                 "x=2.5)||(SELECT group_concat(b) FROM (SELECT b FROM \"Odd Name\" ORDER BY "
                                 "b))||(SELECT group_concat(who) FROM mail)"_s),
                     u"2changed1,3replica"_s);
            QCOMPARE(pair.both(u"SELECT count(*) FROM _pell_conflicts WHERE tbl='mail' AND instr(lost_row, "
                               "'master') > 0"_s),
                     2); // set aside on both sides, the same row
            QCOMPARE(sync(master, pair.replica).exported.applied, 0);
        }
    }

    void compactionBetweenExchanges() {
        Fixture f;
        Pair pair(f);
        // Rows of the table without a key get new rowids from VACUUM once earlier rows are gone.
        execRaw(pair.replica, u"INSERT INTO \"SYSTEM\" (MAX_STORAGE) VALUES (1), (2), (3)"_s);
        sync(pair.replica, pair.master);
        const QString rowid = u"SELECT rowid FROM \"SYSTEM\" WHERE MAX_STORAGE=3"_s;
        const qint64 before = num(pair.replica, rowid);
        execRaw(pair.replica, u"DELETE FROM \"SYSTEM\" WHERE MAX_STORAGE IN (30, 90, 1); VACUUM"_s);
        QVERIFY(num(pair.replica, rowid) != before); // the renumbering really happened
        execRaw(pair.replica, u"UPDATE \"SYSTEM\" SET Chunk_Size=4321 WHERE MAX_STORAGE=3"_s);
        execRaw(pair.master, u"UPDATE \"SYSTEM\" SET Chunk_Size=1234 WHERE MAX_STORAGE=2"_s);
        // The master is compacted and repaired by the engine in between.
        db::files::repairDatabase(pair.master);
        db::files::compactDatabase(pair.master, f.path(u"compacted.mdb"_s));
        QVERIFY(QFile::remove(pair.master) && QFile::rename(f.path(u"compacted.mdb"_s), pair.master));
        sync(pair.master, pair.replica);
        QVERIFY(pair.same());
        QCOMPARE(str(pair.master, u"SELECT group_concat(MAX_STORAGE||':'||coalesce(Chunk_Size,''), ' ') "
                                  "FROM (SELECT * FROM \"SYSTEM\" ORDER BY MAX_STORAGE)"_s),
                 u"2:1234 3:4321"_s);
        QCOMPARE(pair.conflicts(), 0);
    }

    void batchesThenIdleExchangesWriteNothing() {
        Fixture f;
        Pair pair(f);
        execRaw(pair.master, fillSql(u"ROUTE (SCR_Number, Route_Note)"_s, 1000, u"1, 'r'||i"_s));
        {
            Holder user(pair.replica, false); // a user of the replica keeps it open meanwhile
            const rep::SyncStats s = sync(pair.master, pair.replica, db::SyncImpExp, 100);
            QVERIFY(s.exported.applied == 1000 && s.exported.batches == 10);
        }
        QVERIFY(pair.same());
        // The second exchange after a change finds nothing new and touches neither file, nor its time.
        const auto hashes = fileHashes({pair.master, pair.replica});
        const QDateTime mt = QFileInfo(pair.master).lastModified(),
                        rt = QFileInfo(pair.replica).lastModified();
        QThread::msleep(20);
        QCOMPARE(traffic(sync(pair.master, pair.replica)), 0);
        QCOMPARE(fileHashes({pair.master, pair.replica}), hashes);
        QVERIFY(QFileInfo(pair.master).lastModified() == mt && QFileInfo(pair.replica).lastModified() == rt);
        // Members that never met directly send each other nothing they already share.
        const QString third = f.path(u"third.mdb"_s);
        makeReplica(pair.replica, third);
        execRaw(pair.master, u"UPDATE TOOL SET Tool_EXE='new' WHERE Tool_Name='Calculator'"_s);
        sync(pair.master, pair.replica);
        sync(pair.replica, third);
        const auto shared = fileHashes({pair.master, third});
        QCOMPARE(traffic(sync(third, pair.master)), 0);
        QCOMPARE(fileHashes({pair.master, third}), shared);
        QCOMPARE(dumpData(third), dumpData(pair.master));
    }

    void aLogFoldedAtOnceGivesTheVersionsAChangeAtATimeWould() {
        // The same changes on two masters, folded into versions by one statement per table on one and one
        // change at a time on the other: rows added, changed twice, deleted and added again, replaced in
        // place (a new row to the engine), renamed; an attachment added to a new task. Both must make the
        // same versions: the same rows start new incarnations, with the same histories.
        const QStringList changes{
            fillSql(u"SCR (SCR_Number, SCR_Title, SCR_Owner)"_s, 150, u"1000 + i, 'bulk', 'admin'"_s),
            u"UPDATE SCR SET SCR_Title='changed' WHERE SCR_Number=1001"_s,
            u"UPDATE SCR SET SCR_Title='changed twice' WHERE SCR_Number=1001"_s,
            u"DELETE FROM SCR WHERE SCR_Number=1002"_s,
            u"INSERT INTO SCR (SCR_Number, SCR_Title, SCR_Owner) VALUES (1002, 'again', 'admin')"_s,
            u"INSERT OR REPLACE INTO SCR (SCR_Number, SCR_Title, SCR_Owner) VALUES (1003, 'replaced', 'admin')"_s,
            u"INSERT OR REPLACE INTO SCR (SCR_Number, SCR_Title, SCR_Owner) VALUES (2, 'replaced', 'admin')"_s,
            u"UPDATE SCR SET SCR_Title='edited' WHERE SCR_Number=3"_s,
            u"UPDATE SCR SET SCR_Number=1200 WHERE SCR_Number=1004"_s,
            u"DELETE FROM SCR WHERE SCR_Number=1005"_s,
            u"INSERT INTO ATTACH (SCR_Number, File_Name) VALUES (1002, 'for the second task 1002')"_s,
        };
        Fixture f, g; // the sample data's dates are of the moment it is made: one file for both
        const QString sample = f.makeSharedDb(u"sample.mdb"_s);
        QVERIFY(QFile::copy(sample, f.path(u"once.mdb"_s)) && QFile::copy(sample, g.path(u"each.mdb"_s)));
        Pair atOnce(f, f.path(u"once.mdb"_s));
        Pair oneByOne(g, g.path(u"each.mdb"_s));
        for (Pair* pair : {&atOnce, &oneByOne})
            QCOMPARE(shell(pair->master, u"BEGIN; "_s + changes.join(u"; "_s) + u"; COMMIT;"_s), 0);
        // Few runs of clocks for many changes: what makes the fold take them all at once.
        QVERIFY(num(atOnce.master, u"SELECT count(DISTINCT t) * 8 <= count(*) FROM \"_pell_log\""_s) == 1);
        const QString versions =
            u"SELECT group_concat(k0 || ':' || (bc = c) || (bw = w) || del || vis || coalesce((SELECT "
            u"count(*) "
            "FROM json_each(hist)), 0), ' ') FROM (SELECT * FROM \"_pell_rows_SCR\" ORDER BY k0)"_s;
        const QString parents = u"SELECT group_concat(A.k0 || ':' || (A.pbc = S.bc), ' ') FROM "
                                "\"_pell_rows_ATTACH\" A JOIN \"_pell_rows_SCR\" S ON S.k0 = 1002"_s;
        for (Pair* pair : {&atOnce, &oneByOne}) {
            if (pair == &oneByOne)
                qputenv("PELL_TEST_FOLD_EACH", "1");
            sync(pair->master, pair->replica);
            qunsetenv("PELL_TEST_FOLD_EACH");
            QVERIFY(pair->same());
            QVERIFY2(divergent(pair->master).isEmpty(), qPrintable(divergent(pair->master).join(u'\n')));
        }
        QCOMPARE(str(atOnce.master, versions), str(oneByOne.master, versions));
        QVERIFY(str(atOnce.master, versions).contains(u"1003:1"_s)); // replaced in place: a new incarnation
        QCOMPARE(str(atOnce.master, parents), str(oneByOne.master, parents));
        // The versions' clocks in the order of the changes that made them.
        const QString order =
            u"SELECT group_concat(k0, ' ') FROM (SELECT k0 FROM \"_pell_rows_SCR\" ORDER BY c)"_s;
        QCOMPARE(str(atOnce.master, order), str(oneByOne.master, order));
        QCOMPARE(dumpData(atOnce.master), dumpData(oneByOne.master));
    }

    void aCopyKeptInServiceIsANewMember() {
        // The replica is copied before it ever exchanged, and both files are used. The copy recognises it is
        // not the file it was made as and goes on as a new member: nothing either writes is lost, the one row
        // both changed is logged once as a conflict, and every member ends alike.
        Fixture f;
        Pair pair(f);
        const QString copy = f.path(u"copy.mdb"_s);
        QVERIFY(QFile::copy(pair.replica, copy));
        QCOMPARE(shell(pair.replica, u"UPDATE USER SET User_Name='by original' WHERE User_ID='guest'; INSERT "
                                     "INTO USER (User_ID, User_Name) VALUES ('orig', 'O')"_s),
                 0);
        QThread::msleep(2);
        QCOMPARE(shell(copy,
                       u"UPDATE USER SET User_Name='by copy' WHERE User_ID='guest'; INSERT INTO USER "
                       "(User_ID, User_Name) VALUES ('copied', 'C'); UPDATE SYSTEM SET Chunk_Size=777"_s),
                 0);
        QCOMPARE(runPelldb({u"sync"_s, pair.replica, pair.master}), 0);
        QCOMPARE(runPelldb({u"sync"_s, copy, pair.master}), 0);
        for (int round = 0; round < 2; ++round)
            for (const QString& file : {pair.replica, copy})
                sync(pair.master, file);
        const QString expected = dumpData(pair.master);
        QCOMPARE(dumpData(pair.replica), expected);
        QCOMPARE(dumpData(copy), expected);
        QCOMPARE(str(pair.master,
                     u"SELECT group_concat(User_ID||'='||User_Name, ' ') FROM (SELECT * FROM USER "
                     "WHERE User_ID IN ('guest','orig','copied') ORDER BY 1)"_s),
                 u"copied=C guest=by copy orig=O"_s);
        QCOMPARE(num(pair.master, u"SELECT count(*) FROM SYSTEM WHERE Chunk_Size=777"_s), 1);
        QVERIFY(rep::identity(*Database::open(copy)).replicaId !=
                rep::identity(*Database::open(pair.replica)).replicaId);
        QCOMPARE(lostVersions({pair.master}).count(u"by original"_s), 1);
        // The copy is an ordinary member now: the next round is idle.
        const auto hashes = fileHashes({pair.master, pair.replica, copy});
        for (const QString& file : {pair.replica, copy})
            QCOMPARE(traffic(sync(pair.master, file)), 0);
        QCOMPARE(fileHashes({pair.master, pair.replica, copy}), hashes);
    }

    void clocksFarAheadAreRefused() {
        // A member whose machine ran 5 minutes ahead is within the limit; one whose exchange ran on a machine
        // a year ahead carries versions a year ahead, and they are refused, naming it, until the
        // administrator accepts them.
        Fixture f;
        Pair pair(f);
        const QString third = f.path(u"third.mdb"_s);
        // A machine a year ahead also ages the history by its clock; the longest retention keeps that apart
        // from the refusal this case is about.
        QCOMPARE(runPelldb({u"retention"_s, pair.master, u"3650"_s}), 0);
        sync(pair.master, pair.replica);
        makeReplica(pair.master, third);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const auto at = [](qint64 ms) { qputenv("PELL_TEST_NOW_MS", QByteArray::number(ms)); };
        at(now + 5 * 60'000);
        execRaw(pair.replica, u"UPDATE USER SET User_Name='five minutes' WHERE User_ID='guest'"_s);
        sync(pair.replica, third);
        execRaw(third, u"UPDATE USER SET User_Name='after' WHERE User_ID='intern'"_s);
        at(now + 365LL * 86'400'000);
        execRaw(third, u"UPDATE USER SET User_Name='a year' WHERE User_ID='dev2'"_s);
        sync(third, pair.replica); // both clocks are a year ahead now
        execRaw(pair.replica, u"UPDATE USER SET User_Name='from the future' WHERE User_ID='dev1'"_s);
        qunsetenv("PELL_TEST_NOW_MS");
        const QString before = dumpData(pair.master);
        QString out, err;
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 3623: "_s) && err.contains(pair.replica) &&
                     err.contains(u"days) ahead"_s) && err.contains(u"365."_s),
                 qPrintable(err));
        QCOMPARE(dumpData(pair.master), before);
        // The receiver's own clock stayed within the limit of its time.
        QVERIFY(num(pair.master, u"SELECT now >> 20 FROM _pell_clock"_s) <=
                QDateTime::currentMSecsSinceEpoch() + rep::MaxClockAheadMs);
        // The way out for a set whose clocks already ran ahead.
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica, u"--accept-clock-ahead"_s}, &out, &err), 0);
        QCOMPARE(nameOf(pair.master, u"dev1"_s), u"from the future"_s);
        QCOMPARE(nameOf(pair.master, u"guest"_s), u"five minutes"_s);
        QVERIFY(pair.same());
    }

    void exchangesThatCannotWriteFail() {
        Fixture f;
        Pair pair(f);
        QString out, err;
        QCOMPARE(runPelldb({u"sync"_s, pair.master, pair.replica, u"--mode"_s, u"abc"_s}, &out, &err), 2);
        // A user added, given a team member and deleted by another program before any exchange is kept as
        // supervisor, as the same deletion after an exchange would be.
        QCOMPARE(shell(pair.replica, u"INSERT INTO USER (User_ID, User_Name) VALUES ('boss', 'Boss'); INSERT "
                                     "INTO USER (User_ID, User_Name, Supervisor_User_ID) VALUES ('member', "
                                     "'Member', 'boss'); DELETE FROM USER WHERE User_ID='boss'"_s),
                 0);
        sync(pair.master, pair.replica);
        QVERIFY(pair.same());
        QCOMPARE(str(pair.master,
                     u"SELECT group_concat(User_ID||':'||ifnull(Supervisor_User_ID,''), ' ') FROM "
                     "(SELECT * FROM USER WHERE User_ID IN ('boss','member') ORDER BY 1)"_s),
                 u"boss: member:boss"_s);
        QVERIFY(reasons(pair.replica, u"USER"_s).contains(u"[\"boss\"] deleted while other records"_s));

        if (!canSwitchUsers())
            QSKIP("needs root and setpriv to run pelldb as another user");
        // A partner the user may read but not write, and one in a folder the user may not write: its own
        // changes cannot become versions, so the exchange fails, naming the file, in every mode.
        const OtherUser user{46201, 46200, {46200}};
        shareFolder(f.dir.path(), 46200);
        QDir(f.dir.path()).mkdir(u"locked"_s);
        const QString lockedFolder = f.path(u"locked"_s), inLocked = f.path(u"locked/member.mdb"_s);
        makeReplica(pair.master, inLocked);
        for (const QString& file : {pair.master, inLocked})
            QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0666), 0);
        QCOMPARE(::chmod(QFile::encodeName(pair.replica).constData(), 0644), 0);
        QCOMPARE(::chmod(QFile::encodeName(lockedFolder).constData(), 0755), 0);
        for (const QString& partner : {pair.replica, inLocked}) {
            QCOMPARE(shell(partner, u"UPDATE USER SET User_Name='pending' WHERE User_ID='intern'"_s), 0);
            for (const QString& mode : {u"2"_s, u"1"_s, u"4"_s}) {
                const int code =
                    runPelldbAs(user, {u"sync"_s, pair.master, partner, u"--mode"_s, mode}, &out, &err);
                QVERIFY2(code == 1 && err.startsWith(u"error "_s) && err.contains(partner) &&
                             !out.contains(u"versions received"_s),
                         qPrintable(mode + u": "_s + out + err));
            }
        }
        QVERIFY(nameOf(pair.master, u"intern"_s) != u"pending"_s);
    }

    void killedOrBusyExchangeLosesNothing() {
        Fixture f;
        Pair pair(f);
        const QString users = u"\"USER\" (User_ID, User_Name, Supervisor_User_ID)"_s;
        execRaw(pair.master, fillSql(users, 1500, u"'m'||i, 'name m'||i, 'admin'"_s));
        execRaw(pair.replica, fillSql(users, 1500, u"'r'||i, 'name r'||i, 'admin'"_s));
        execRaw(pair.replica, u"UPDATE \"USER\" SET User_Name='edited' WHERE User_ID='dev'"_s);
        const QStringList args{u"sync"_s, pair.master, pair.replica, u"--batch"_s, u"50"_s};
        int killed = 0, written = 0;
        for (int attempt = 0; attempt < 7; ++attempt) {
            QProcess p;
            p.start(pelldbPath(), args);
            QVERIFY(p.waitForStarted());
            // Writers on both sides go on between the exchange's batches; none of their changes may be lost.
            QElapsedTimer clock;
            clock.start();
            const int wait = attempt < 6 ? 20 + 50 * attempt : 60000;
            for (;
                 p.state() != QProcess::NotRunning && clock.elapsed() < wait && written < 20 * (attempt + 1);
                 ++written) {
                execRaw(pair.master, u"INSERT INTO LU_Category VALUES ('m%1'); UPDATE \"USER\" SET "
                                     "User_Name='during %1' WHERE User_ID='m%2'"_s.arg(written)
                                         .arg(1 + written));
                execRaw(pair.replica, u"INSERT INTO LU_Priority VALUES ('r%1')"_s.arg(written));
                QThread::msleep(5);
            }
            if (attempt < 6 && p.state() != QProcess::NotRunning) {
                p.kill();
                ++killed;
            }
            QVERIFY(p.waitForFinished(60000));
            QVERIFY2(attempt < 6 || p.exitCode() == 0, p.readAllStandardError().constData());
            // Whatever the moment, both files stay sound: the next open rolls an interrupted batch back.
            for (const QString& file : {pair.master, pair.replica}) {
                auto db = Database::open(file);
                QCOMPARE(db->scalar(u"PRAGMA integrity_check"_s).toString(), u"ok"_s);
                QVERIFY(db->scalar(u"SELECT 1 FROM pragma_foreign_key_check"_s).isNull());
            }
        }
        QVERIFY(killed > 0 && written > 0);
        QString out;
        QCOMPARE(runPelldb(args, &out), 0);
        QVERIFY(pair.same());
        QCOMPARE(str(pair.master,
                     u"SELECT (SELECT count(*) FROM \"USER\")||' '||(SELECT User_Name FROM \"USER\" "
                     "WHERE User_ID='dev')||' '||(SELECT count(*) FROM LU_Category WHERE Category LIKE "
                     "'m%')||' '||(SELECT count(*) FROM LU_Priority WHERE Priority LIKE 'r%')||' '||"
                     "(SELECT count(*) FROM \"USER\" WHERE User_Name LIKE 'during %')"_s),
                 u"%1 edited %2 %2 %2"_s.arg(9 + 3000).arg(written));
        QCOMPARE(pair.conflicts(), 0);
        QCOMPARE(runPelldb(args, &out), 0);
        QVERIFY2(out.contains(u"imported: 0 versions received, 0 applied"_s) &&
                     out.contains(u"exported: 0 versions received, 0 applied"_s),
                 qPrintable(out));
    }
};

QTEST_MAIN(TestReplication)
#include "tst_replication.moc"
