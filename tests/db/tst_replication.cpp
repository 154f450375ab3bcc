// Replication over real files: conversion into a master, replicas, exchanges in every mode, the conflict
// rule, compaction between exchanges, a killed pelldb sync, and every error number from a real situation.
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/replication.h"
#include "support/test_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

using namespace pell;
using db::Database;
namespace rep = db::replication;

namespace {

template <class F> int errorOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}

QByteArray fileHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1);
}

QString dumpData(const QString& path) {
    auto db = Database::open(path, {.readOnly = true});
    QString out;
    for (const QString& table : db->tableNames()) {
        QStringList cols;
        for (const QString& c : db->columnNames(table))
            cols << QStringLiteral("quote(%1)").arg(db::quoteIdentifier(c));
        auto stmt = db->prepare(QStringLiteral("SELECT %1 FROM %2")
                                    .arg(cols.join(QStringLiteral("||','||")), db::quoteIdentifier(table)));
        QStringList rows;
        while (stmt.step())
            rows << stmt.value(0).toString();
        rows.sort();
        out += table + u'\n' + rows.join(u'\n') + u'\n';
    }
    return out;
}

void makeMaster(const QString& path) {
    auto db = Database::open(path, {.exclusive = true});
    db->appendProperty(db->createProperty(QStringLiteral("Replicable"), 10, QStringLiteral("T")));
}

void makeReplica(const QString& master, const QString& replica) {
    auto db = Database::open(master);
    db->makeReplica(replica, QStringLiteral("replica of ") + replica);
}

rep::SyncStats sync(const QString& from, const QString& partner, int mode = db::SyncImpExp, int batch = 0) {
    auto db = Database::open(from);
    return rep::synchronizeWithStats(*db, partner, mode, batch);
}

qint64 replicaId(const QString& path) {
    auto db = Database::open(path, {.readOnly = true});
    return rep::identity(*db).replicaId;
}

QVariant userName(const QString& path, const QString& id) {
    return test::scalarRaw(path, QStringLiteral("SELECT User_Name FROM \"USER\" WHERE User_ID='%1'").arg(id));
}

qint64 conflictCount(const QString& path) {
    return test::scalarRaw(path, QStringLiteral("SELECT count(*) FROM _pell_conflicts")).toLongLong();
}

// A master made from the sample database and one replica of it.
struct Pair {
    explicit Pair(test::Fixture& f) {
        master = f.makeSharedDb();
        makeMaster(master);
        replica = f.path(QStringLiteral("replica.mdb"));
        makeReplica(master, replica);
    }
    QString master;
    QString replica;
};

} // namespace

class TestReplication : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conversionNeedsExclusiveOpen() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        auto db = Database::open(path);
        QCOMPARE(errorOf([&] {
                     db->appendProperty(
                         db->createProperty(QStringLiteral("Replicable"), 10, QStringLiteral("T")));
                 }),
                 err::FileInUse);
        QVERIFY(!db->hasProperty(QStringLiteral("Replicable")));
        QVERIFY(!db->isReplicable());
        // Another user keeps the exclusive open itself from succeeding.
        QCOMPARE(errorOf([&] { Database::open(path, {.exclusive = true}); }), err::FileInUse);
    }

    void conversionMakesMasterAndCapturesEveryWriter() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        makeMaster(path);
        {
            auto db = Database::open(path, {.exclusive = true});
            QVERIFY(db->isReplicable());
            QCOMPARE(db->propertyValue(QStringLiteral("Replicable")).toString(), QStringLiteral("T"));
            QCOMPARE(errorOf([&] {
                         db->appendProperty(
                             db->createProperty(QStringLiteral("Replicable"), 10, QStringLiteral("T")));
                     }),
                     err::AlreadyExists);
            const rep::Identity id = rep::identity(*db);
            QVERIFY(id.setId > 0 && id.replicaId > 0 && id.setId != id.replicaId);
            for (const QString& t : db->tableNames())
                QVERIFY2(!t.startsWith(QLatin1String("_pell")), qPrintable(t));
        }
        // A program that knows nothing of replication is followed all the same.
        test::execRaw(path, QStringLiteral("INSERT INTO LU_Category VALUES ('Outside'); "
                                           "UPDATE TOOL SET Tool_EXE='calc2' WHERE Tool_Name='Calculator'; "
                                           "DELETE FROM LU_Priority WHERE Priority='Low'"));
        const qint64 me = replicaId(path);
        QCOMPARE(test::scalarRaw(
                     path, QStringLiteral("SELECT origin FROM \"_pell_rows_LU_Category\" WHERE k0='outside'"))
                     .toLongLong(),
                 me);
        QCOMPARE(
            test::scalarRaw(path, QStringLiteral("SELECT ver FROM \"_pell_rows_TOOL\" WHERE k0='Calculator'"))
                .toInt(),
            2);
        QCOMPARE(
            test::scalarRaw(path, QStringLiteral("SELECT del FROM \"_pell_rows_LU_Priority\" WHERE k0='Low'"))
                .toInt(),
            1);
    }

    void settingTheValueConvertsToo() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        {
            auto db = Database::open(path, {.exclusive = true});
            db->appendProperty(db->createProperty(QStringLiteral("Replicable"), 10, QStringLiteral("F")));
            QVERIFY(!db->isReplicable());
        }
        {
            auto db = Database::open(path);
            QCOMPARE(
                errorOf([&] { db->setPropertyValue(QStringLiteral("Replicable"), QStringLiteral("T")); }),
                err::FileInUse);
            QCOMPARE(db->propertyValue(QStringLiteral("Replicable")).toString(), QStringLiteral("F"));
        }
        auto db = Database::open(path, {.exclusive = true});
        db->setPropertyValue(QStringLiteral("Replicable"), QStringLiteral("T"));
        QVERIFY(db->isReplicable());
    }

    void makeReplicaRefusals() {
        test::Fixture f;
        const QString plain = f.makeSharedDb(QStringLiteral("plain.mdb"));
        {
            auto db = Database::open(plain);
            QCOMPARE(errorOf([&] { db->makeReplica(f.path(QStringLiteral("r.mdb")), QStringLiteral("d")); }),
                     err::NotReplicable);
        }
        Pair pair(f);
        const QByteArray before = fileHash(pair.replica);
        auto db = Database::open(pair.master);
        QCOMPARE(errorOf([&] { db->makeReplica(pair.replica, QStringLiteral("d")); }), err::DatabaseExists);
        QCOMPARE(fileHash(pair.replica), before);
        QCOMPARE(
            errorOf([&] { db->makeReplica(f.path(QStringLiteral("missing/r.mdb")), QStringLiteral("d")); }),
            err::InvalidPath);
        QCOMPARE(errorOf([&] { db->makeReplica(QString(), QStringLiteral("d")); }), err::InvalidPath);
        QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("r.mdb"))));
        // Nothing half-made is left behind.
        for (const QString& name : QDir(f.dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(!name.contains(QLatin1String("making")), qPrintable(name));
    }

    void replicaIsAFullCopyWithItsOwnIdentity() {
        test::Fixture f;
        const QString master = f.makeSharedDb();
        makeMaster(master);
        test::Holder other(master, false); // another user keeps working in the master meanwhile
        const QString path = f.path(QStringLiteral("sub/r1.mdb"));
        QVERIFY(QDir(f.dir.path()).mkpath(QStringLiteral("sub")));
        {
            auto db = Database::open(master);
            db->makeReplica(path, QStringLiteral("replica of ") + path);
        }
        auto m = Database::open(master);
        auto r = Database::open(path);
        const rep::Identity mid = rep::identity(*m);
        const rep::Identity rid = rep::identity(*r);
        QCOMPARE(rid.setId, mid.setId);
        QVERIFY(rid.replicaId != mid.replicaId);
        QCOMPARE(rid.description, QStringLiteral("replica of ") + path);
        QCOMPARE(r->propertyValue(QStringLiteral("Replicable")).toString(), QStringLiteral("T"));
        QCOMPARE(dumpData(path), dumpData(master));
        // The copy knows what the master has: a first exchange reads nothing.
        const rep::SyncStats s = rep::synchronizeWithStats(*m, path, db::SyncImpExp);
        QCOMPARE(s.imported.received + s.exported.received, 0);
    }

    void synchronizeRefusals() {
        test::Fixture f;
        Pair pair(f);
        const QString plain = f.makeSharedDb(QStringLiteral("plain.mdb"));
        const QString stranger = f.makeSharedDb(QStringLiteral("stranger.mdb"));
        makeMaster(stranger);
        const QString copy = f.path(QStringLiteral("copy.mdb"));
        QVERIFY(QFile::copy(pair.master, copy)); // a file copy is the same replica
        const QString link = f.path(QStringLiteral("link.mdb"));
        QVERIFY(QFile::link(pair.master, link));
        const QByteArray masterBefore = fileHash(pair.master);
        const QByteArray replicaBefore = fileHash(pair.replica);

        auto db = Database::open(pair.master);
        const auto syncErr = [&](const QString& partner, int mode = db::SyncImpExp) {
            return errorOf([&] { db->synchronize(partner, mode); });
        };
        QCOMPARE(syncErr(pair.replica, 0), err::InvalidExchangeMode);
        QCOMPARE(syncErr(pair.replica, 3), err::InvalidExchangeMode);
        QCOMPARE(syncErr(f.path(QStringLiteral("none.mdb"))), err::FileNotFoundDb);
        QCOMPARE(syncErr(f.path(QStringLiteral("no/such/x.mdb"))), err::InvalidPath);
        QCOMPARE(syncErr(QString()), err::InvalidPath);
        QCOMPARE(syncErr(plain), err::NotAReplica);
        QCOMPARE(syncErr(stranger), err::DifferentReplicaSet);
        QCOMPARE(syncErr(pair.master), err::SyncWithSelf);
        QCOMPARE(syncErr(link), err::SyncWithSelf);
        QCOMPARE(syncErr(copy), err::SyncWithSelf);
        {
            test::Holder exclusive(pair.replica, true);
            QCOMPARE(syncErr(pair.replica), err::OpenedExclusively);
        }
        auto plainDb = Database::open(plain);
        QCOMPARE(errorOf([&] { plainDb->synchronize(pair.replica, db::SyncImpExp); }), err::NotReplicable);
        db.reset();
        QCOMPARE(fileHash(pair.master), masterBefore);
        QCOMPARE(fileHash(pair.replica), replicaBefore);
    }

    void modesMoveChangesOneWayOrBoth() {
        test::Fixture f;
        Pair pair(f);
        test::execRaw(pair.master,
                      QStringLiteral("UPDATE \"USER\" SET User_Name='by master' WHERE User_ID='dev'"));
        test::execRaw(pair.replica,
                      QStringLiteral("UPDATE \"USER\" SET User_Name='by replica' WHERE User_ID='dev1'"));
        sync(pair.master, pair.replica, db::SyncExport);
        QCOMPARE(userName(pair.replica, QStringLiteral("dev")).toString(), QStringLiteral("by master"));
        QCOMPARE(userName(pair.master, QStringLiteral("dev1")).toString(), QStringLiteral("Programmer"));
        sync(pair.master, pair.replica, db::SyncImport);
        QCOMPARE(userName(pair.master, QStringLiteral("dev1")).toString(), QStringLiteral("by replica"));
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        // Inserts, deletes and a changed key travel as well.
        test::execRaw(pair.replica,
                      QStringLiteral("INSERT INTO LU_Category VALUES ('Docs'); DELETE FROM TOOL WHERE "
                                     "Tool_Name='Calculator'; UPDATE \"USER\" SET User_ID='visitor' "
                                     "WHERE User_ID='guest'"));
        sync(pair.replica, pair.master);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QVERIFY(userName(pair.master, QStringLiteral("guest")).isNull());
        QCOMPARE(userName(pair.master, QStringLiteral("visitor")).toString(), QStringLiteral("Visitor"));
        QCOMPARE(conflictCount(pair.master) + conflictCount(pair.replica), 0);
    }

    void conflictRuleIsTheSameFromEitherSide_data() {
        QTest::addColumn<QString>("masterSql");
        QTest::addColumn<QString>("replicaSql");
        // "master", "replica", "lower" (lower replica identity) or "deleted"
        QTest::addColumn<QString>("winner");
        QTest::addColumn<QString>("user");
        const QString upd = QStringLiteral("UPDATE \"USER\" SET User_Name='%1' WHERE User_ID='support';");
        QTest::newRow("one change each: lower identity wins")
            << upd.arg(QLatin1String("master")) << upd.arg(QLatin1String("replica")) << "lower"
            << "support";
        QTest::newRow("more changes win")
            << upd.arg(QLatin1String("master"))
            << upd.arg(QLatin1String("x")) + upd.arg(QLatin1String("replica")) << "replica"
            << "support";
        QTest::newRow("more changes win the other way")
            << upd.arg(QLatin1String("x")) + upd.arg(QLatin1String("y")) + upd.arg(QLatin1String("master"))
            << upd.arg(QLatin1String("replica")) << "master"
            << "support";
        QTest::newRow("a deletion beats a change")
            << QStringLiteral("DELETE FROM \"USER\" WHERE User_ID='support';")
            << upd.arg(QLatin1String("x")) + upd.arg(QLatin1String("replica")) << "deleted"
            << "support";
        const QString add =
            QStringLiteral("INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('support', '%1');");
        QTest::newRow("deleted and added again on both sides")
            << QStringLiteral("DELETE FROM \"USER\" WHERE User_ID='support';") +
                   add.arg(QLatin1String("master"))
            << QStringLiteral("DELETE FROM \"USER\" WHERE User_ID='support';") +
                   add.arg(QLatin1String("replica"))
            << "lower"
            << "support";
        const QString addNew =
            QStringLiteral("INSERT INTO \"USER\" (User_ID, User_Name) VALUES ('newbie', '%1');");
        QTest::newRow("the same key added in two replicas")
            << addNew.arg(QLatin1String("master")) << addNew.arg(QLatin1String("replica")) << "lower"
            << "newbie";
    }

    void conflictRuleIsTheSameFromEitherSide() {
        QFETCH(QString, masterSql);
        QFETCH(QString, replicaSql);
        QFETCH(QString, winner);
        QFETCH(QString, user);
        for (bool fromMaster : {true, false}) {
            test::Fixture f;
            Pair pair(f);
            test::execRaw(pair.master, masterSql);
            test::execRaw(pair.replica, replicaSql);
            if (fromMaster)
                sync(pair.master, pair.replica);
            else
                sync(pair.replica, pair.master);
            QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
            const QVariant name = userName(pair.master, user);
            QString expected = winner;
            if (winner == QLatin1String("lower"))
                expected = replicaId(pair.master) < replicaId(pair.replica) ? QStringLiteral("master")
                                                                            : QStringLiteral("replica");
            QCOMPARE(name.isNull() ? QStringLiteral("deleted") : name.toString(), expected);
            // The losing version is kept for the administrator, with the reason.
            const QString loser =
                expected == QLatin1String("master") ? QStringLiteral("replica") : QStringLiteral("master");
            const QString where = QStringLiteral("SELECT count(*) FROM _pell_conflicts WHERE tbl='USER' AND "
                                                 "lost_row LIKE '%\"User_Name\":\"%1\"%'")
                                      .arg(loser);
            if (expected != QLatin1String("deleted"))
                QCOMPARE(test::scalarRaw(pair.master, where).toInt() +
                             test::scalarRaw(pair.replica, where).toInt(),
                         1);
            else
                QCOMPARE(conflictCount(pair.master) + conflictCount(pair.replica), 1);
            // Nothing further moves.
            const rep::SyncStats again = sync(pair.master, pair.replica);
            QCOMPARE(again.imported.applied + again.exported.applied, 0);
        }
    }

    void brokenRelationshipIsAConflict() {
        test::Fixture f;
        Pair pair(f);
        // The master removes clerk2 and his task; the replica gives clerk2 a new task meanwhile.
        auto m = Database::open(pair.master);
        m->execute(QStringLiteral("DELETE FROM SCR WHERE SCR_Owner='clerk2'"));
        m->execute(QStringLiteral("DELETE FROM \"USER\" WHERE User_ID='clerk2'"));
        m.reset();
        test::execRaw(pair.replica,
                      QStringLiteral("INSERT INTO SCR (SCR_Number, SCR_Title, SCR_Owner) VALUES (50, "
                                     "'new task', 'clerk2')"));
        sync(pair.replica, pair.master);
        sync(pair.replica, pair.master);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QVERIFY(userName(pair.replica, QStringLiteral("clerk2")).isNull());
        QCOMPARE(test::scalarRaw(pair.master, QStringLiteral("SELECT count(*) FROM SCR WHERE SCR_Number=50"))
                     .toInt(),
                 0);
        const QString logged =
            QStringLiteral("SELECT count(*) FROM _pell_conflicts WHERE lost_row LIKE '%new task%'");
        QVERIFY(test::scalarRaw(pair.master, logged).toInt() +
                    test::scalarRaw(pair.replica, logged).toInt() >=
                1);
        QVERIFY(db::engine::checkDatabase(pair.master).isEmpty());
        QVERIFY(db::engine::checkDatabase(pair.replica).isEmpty());
    }

    void compactionBetweenExchanges() {
        test::Fixture f;
        Pair pair(f);
        // Rows of the table without a key get new rowids from VACUUM once earlier rows are gone.
        test::execRaw(pair.replica,
                      QStringLiteral("INSERT INTO \"SYSTEM\" (MAX_STORAGE) VALUES (1), (2), (3)"));
        sync(pair.replica, pair.master);
        test::execRaw(pair.replica,
                      QStringLiteral("DELETE FROM \"SYSTEM\" WHERE MAX_STORAGE IN (30, 90, 1)"));
        const qint64 before =
            test::scalarRaw(pair.replica, QStringLiteral("SELECT rowid FROM \"SYSTEM\" WHERE "
                                                         "MAX_STORAGE=3"))
                .toLongLong();
        test::execRaw(pair.replica, QStringLiteral("VACUUM"));
        const qint64 after =
            test::scalarRaw(pair.replica, QStringLiteral("SELECT rowid FROM \"SYSTEM\" WHERE "
                                                         "MAX_STORAGE=3"))
                .toLongLong();
        QVERIFY(after != before); // the renumbering really happened
        test::execRaw(pair.replica,
                      QStringLiteral("UPDATE \"SYSTEM\" SET Chunk_Size=4321 WHERE MAX_STORAGE=3"));
        test::execRaw(pair.master,
                      QStringLiteral("UPDATE \"SYSTEM\" SET Chunk_Size=1234 WHERE MAX_STORAGE=2"));
        // The master is compacted and repaired by the engine in between.
        db::engine::repairDatabase(pair.master);
        const QString compacted = f.path(QStringLiteral("compacted.mdb"));
        db::engine::compactDatabase(pair.master, compacted);
        QVERIFY(QFile::remove(pair.master));
        QVERIFY(QFile::rename(compacted, pair.master));
        sync(pair.master, pair.replica);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QCOMPARE(
            test::scalarRaw(pair.master,
                            QStringLiteral("SELECT group_concat(MAX_STORAGE||':'||coalesce(Chunk_Size,''), "
                                           "' ') FROM (SELECT * FROM \"SYSTEM\" ORDER BY MAX_STORAGE)"))
                .toString(),
            QStringLiteral("2:1234 3:4321"));
        QCOMPARE(conflictCount(pair.master) + conflictCount(pair.replica), 0);
    }

    void idleExchangeWritesNothing() {
        test::Fixture f;
        Pair pair(f);
        test::execRaw(pair.master, QStringLiteral("INSERT INTO LU_Priority VALUES ('Someday')"));
        sync(pair.master, pair.replica);
        sync(pair.master, pair.replica);
        const QByteArray m = fileHash(pair.master);
        const QByteArray r = fileHash(pair.replica);
        const rep::SyncStats s = sync(pair.master, pair.replica);
        QCOMPARE(s.imported.received + s.exported.received + s.imported.batches + s.exported.batches, 0);
        QCOMPARE(fileHash(pair.master), m);
        QCOMPARE(fileHash(pair.replica), r);
    }

    void longExchangesCommitInBatches() {
        test::Fixture f;
        Pair pair(f);
        test::execRaw(pair.master,
                      QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE "
                                     "i<1000) INSERT INTO ROUTE (SCR_Number, Route_Note) SELECT 1, 'r'||i "
                                     "FROM n"));
        test::Holder user(pair.replica, false); // a user of the replica keeps it open meanwhile
        const rep::SyncStats s = sync(pair.master, pair.replica, db::SyncImpExp, 100);
        QCOMPARE(s.exported.applied, 1000);
        QCOMPARE(s.exported.batches, 10);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
    }

    void killedSyncLeavesBothFilesSound() {
        test::Fixture f;
        Pair pair(f);
        const QString fill =
            QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<1500) "
                           "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) SELECT "
                           "'%1'||i, 'name %1'||i, 'admin' FROM n");
        test::execRaw(pair.master, fill.arg(QLatin1String("m")));
        test::execRaw(pair.replica, fill.arg(QLatin1String("r")));
        test::execRaw(pair.replica,
                      QStringLiteral("UPDATE \"USER\" SET User_Name='edited' WHERE User_ID='dev'"));
        QRandomGenerator random(7);
        const QStringList args{QStringLiteral("sync"), pair.master, pair.replica, QStringLiteral("--batch"),
                               QStringLiteral("50")};
        int killed = 0;
        for (int attempt = 0; attempt < 6; ++attempt) {
            QProcess p;
            p.start(test::pelldbPath(), args);
            QVERIFY(p.waitForStarted());
            QThread::msleep(20 + random.bounded(300));
            if (p.state() != QProcess::NotRunning) {
                p.kill();
                ++killed;
            }
            p.waitForFinished();
            // Whatever the moment, both files stay sound: the next user's open rolls an interrupted batch
            // back.
            for (const QString& file : {pair.master, pair.replica}) {
                auto db = Database::open(file);
                QCOMPARE(db->scalar(QStringLiteral("PRAGMA integrity_check")).toString(),
                         QStringLiteral("ok"));
                QVERIFY(db->scalar(QStringLiteral("SELECT 1 FROM pragma_foreign_key_check")).isNull());
            }
        }
        QVERIFY(killed > 0);
        QString out;
        QCOMPARE(test::runPelldb(args, &out), 0);
        QCOMPARE(test::runPelldb({QStringLiteral("check"), pair.master}), 0);
        QCOMPARE(test::runPelldb({QStringLiteral("check"), pair.replica}), 0);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QCOMPARE(test::scalarRaw(pair.master, QStringLiteral("SELECT count(*) FROM \"USER\"")).toInt(),
                 8 + 3000);
        QCOMPARE(userName(pair.master, QStringLiteral("dev")).toString(), QStringLiteral("edited"));
        QCOMPARE(conflictCount(pair.master) + conflictCount(pair.replica), 0);
        QCOMPARE(test::runPelldb(args, &out), 0);
        QVERIFY2(out.contains(QLatin1String("imported: 0 versions received, 0 applied")) &&
                     out.contains(QLatin1String("exported: 0 versions received, 0 applied")),
                 qPrintable(out));
    }

    void usersKeepWritingDuringAnExchange() {
        test::Fixture f;
        Pair pair(f);
        test::execRaw(pair.master,
                      QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE "
                                     "i<3000) INSERT INTO ROUTE (SCR_Number, Route_Note) SELECT 1, 'r'||i "
                                     "FROM n"));
        QProcess p;
        p.start(test::pelldbPath(), {QStringLiteral("sync"), pair.master, pair.replica,
                                     QStringLiteral("--batch"), QStringLiteral("25")});
        QVERIFY(p.waitForStarted());
        // Writers on both sides go on between the exchange's batches; none of their changes may be lost.
        int written = 0;
        while (p.state() != QProcess::NotRunning && written < 40) {
            test::execRaw(pair.master, QStringLiteral("INSERT INTO LU_Category VALUES ('m%1')").arg(written));
            test::execRaw(pair.replica,
                          QStringLiteral("INSERT INTO LU_Priority VALUES ('r%1')").arg(written));
            test::execRaw(pair.master,
                          QStringLiteral("UPDATE ROUTE SET Route_Note='during %1' WHERE Route_Number=%2")
                              .arg(written)
                              .arg(5 + written * 60));
            ++written;
            QThread::msleep(5);
        }
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(written > 0);
        sync(pair.master, pair.replica);
        QCOMPARE(dumpData(pair.master), dumpData(pair.replica));
        QCOMPARE(test::scalarRaw(pair.replica,
                                 QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category LIKE "
                                                "'m%'"))
                     .toInt(),
                 written);
        QCOMPARE(test::scalarRaw(pair.master,
                                 QStringLiteral("SELECT count(*) FROM LU_Priority WHERE Priority LIKE "
                                                "'r%'"))
                     .toInt(),
                 written);
        QCOMPARE(
            test::scalarRaw(pair.replica, QStringLiteral("SELECT count(*) FROM ROUTE WHERE Route_Note LIKE "
                                                         "'during %'"))
                .toInt(),
            written);
        QCOMPARE(conflictCount(pair.master) + conflictCount(pair.replica), 0);
    }

    void pelldbCommands() {
        test::Fixture f;
        const QString master = f.makeSharedDb();
        const QString replica = f.path(QStringLiteral("r.mdb"));
        QString out, err;
        QCOMPARE(test::runPelldb({QStringLiteral("make-master"), master}, &out), 0);
        QVERIFY2(out.contains(QLatin1String("is now the master of replica set")), qPrintable(out));
        QCOMPARE(test::runPelldb({QStringLiteral("make-master"), master}, &out, &err), 1);
        QVERIFY2(err.contains(QLatin1String("error 3367")), qPrintable(err));
        QCOMPARE(test::runPelldb({QStringLiteral("make-replica"), master, replica}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("\"replica of %1\"").arg(replica)), qPrintable(out));
        test::execRaw(master, QStringLiteral("UPDATE TOOL SET Tool_EXE='a' WHERE Tool_Name='Calculator'"));
        test::execRaw(replica, QStringLiteral("UPDATE TOOL SET Tool_EXE='b' WHERE Tool_Name='Calculator'"));
        QCOMPARE(test::runPelldb(
                     {QStringLiteral("sync"), replica, master, QStringLiteral("--mode"), QStringLiteral("4")},
                     &out),
                 0);
        QVERIFY2(out.contains(QLatin1String("1 conflicts logged")) &&
                     out.contains(QLatin1String("synchronized")),
                 qPrintable(out));
        QCOMPARE(test::runPelldb({QStringLiteral("conflicts"), replica}, &out), 0);
        QVERIFY2(out.contains(QLatin1String("TOOL")) &&
                     out.contains(QLatin1String("changed in two replicas")) &&
                     out.contains(QLatin1String("1 conflicts")),
                 qPrintable(out));
        QCOMPARE(test::runPelldb(
                     {QStringLiteral("sync"), replica, master, QStringLiteral("--mode"), QStringLiteral("3")},
                     &out, &err),
                 1);
        QVERIFY2(err.contains(QLatin1String("error 3546")), qPrintable(err));
    }

    void twoReplicasOfTheSampleConvergeInEitherOrder() {
        for (bool firstOneFirst : {true, false}) {
            test::Fixture f;
            const QString master = f.makeSharedDb();
            makeMaster(master);
            const QString r1 = f.path(QStringLiteral("r1.mdb"));
            const QString r2 = f.path(QStringLiteral("r2.mdb"));
            QCOMPARE(test::runPelldb({QStringLiteral("make-replica"), master, r1}), 0);
            QCOMPARE(test::runPelldb({QStringLiteral("make-replica"), master, r2}), 0);
            test::execRaw(r1, QStringLiteral("UPDATE \"USER\" SET User_Name='by r1' WHERE User_ID='dev'; "
                                             "INSERT INTO LU_Category VALUES ('One')"));
            test::execRaw(r2, QStringLiteral("UPDATE \"USER\" SET User_Name='first' WHERE User_ID='dev'; "
                                             "UPDATE \"USER\" SET User_Name='by r2' WHERE User_ID='dev'; "
                                             "INSERT INTO LU_Priority VALUES ('Two')"));
            const QString a = firstOneFirst ? r1 : r2;
            const QString b = firstOneFirst ? r2 : r1;
            QCOMPARE(test::runPelldb({QStringLiteral("sync"), a, b}), 0);
            QCOMPARE(test::runPelldb({QStringLiteral("sync"), master, b}), 0);
            QCOMPARE(test::runPelldb({QStringLiteral("sync"), master, a}), 0);
            QCOMPARE(dumpData(r1), dumpData(r2));
            QCOMPARE(dumpData(master), dumpData(r1));
            QCOMPARE(userName(master, QStringLiteral("dev")).toString(), QStringLiteral("by r2"));
            QCOMPARE(test::scalarRaw(master,
                                     QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category='One'"))
                         .toInt(),
                     1);
            const QString logged =
                QStringLiteral("SELECT count(*) FROM _pell_conflicts WHERE lost_row LIKE '%by r1%'");
            QCOMPARE(test::scalarRaw(a, logged).toInt() + test::scalarRaw(b, logged).toInt(), 1);
        }
    }

    void anyKindOfTableReplicates() {
        test::Fixture f;
        const QString master = f.path(QStringLiteral("odd.mdb"));
        {
            auto db = Database::create(master);
            db->execute(
                QStringLiteral("CREATE TABLE \"Odd Name\" (a TEXT, b INTEGER, note TEXT, PRIMARY KEY (a, b)) "
                               "WITHOUT ROWID"));
            db->execute(
                QStringLiteral("CREATE TABLE mail (id INTEGER PRIMARY KEY, address TEXT UNIQUE, who TEXT)"));
            db->execute(QStringLiteral("CREATE TABLE loose (x, y)"));
            db->execute(QStringLiteral("INSERT INTO \"Odd Name\" VALUES ('k', 1, 'one'), ('k', 2, 'two')"));
            db->execute(QStringLiteral("INSERT INTO loose VALUES (1, x'00ff'), (1, x'00ff'), (2.5, NULL)"));
        }
        makeMaster(master);
        const QString replica = f.path(QStringLiteral("odd2.mdb"));
        makeReplica(master, replica);
        test::execRaw(
            master,
            QStringLiteral("UPDATE \"Odd Name\" SET note='master' WHERE a='k' AND b=1; "
                           "INSERT INTO mail VALUES (1, 'a@x', 'master'); "
                           "DELETE FROM loose WHERE rowid = (SELECT min(rowid) FROM loose WHERE x=1)"));
        test::execRaw(replica,
                      QStringLiteral("UPDATE \"Odd Name\" SET b=3 WHERE a='k' AND b=2; "
                                     "INSERT INTO mail VALUES (2, 'a@x', 'replica'); "
                                     "UPDATE loose SET y='changed' WHERE x=2.5; INSERT INTO loose VALUES "
                                     "(1, x'00ff')"));
        sync(master, replica);
        sync(master, replica);
        QCOMPARE(dumpData(master), dumpData(replica));
        // Identical rows of a table without a key stay distinct: one deleted here, one added there.
        QCOMPARE(test::scalarRaw(master, QStringLiteral("SELECT count(*) FROM loose WHERE x=1")).toInt(), 2);
        QCOMPARE(test::scalarRaw(master, QStringLiteral("SELECT y FROM loose WHERE x=2.5")).toString(),
                 QStringLiteral("changed"));
        QCOMPARE(
            test::scalarRaw(master, QStringLiteral("SELECT group_concat(b) FROM (SELECT b FROM \"Odd Name\" "
                                                   "ORDER BY b)"))
                .toString(),
            QStringLiteral("1,3"));
        QCOMPARE(test::scalarRaw(master, QStringLiteral("SELECT count(*) FROM mail")).toInt(), 1);
        QCOMPARE(sync(master, replica).exported.applied, 0);
    }

    void uniqueValueAddedInTwoReplicas() {
        // The same address under two ids: the conflict rule keeps one row, the same whichever side runs.
        for (bool fromMaster : {true, false}) {
            test::Fixture f;
            const QString master = f.path(QStringLiteral("m.mdb"));
            {
                auto db = Database::create(master);
                db->execute(QStringLiteral(
                    "CREATE TABLE mail (id INTEGER PRIMARY KEY, address TEXT UNIQUE, who TEXT)"));
            }
            makeMaster(master);
            const QString replica = f.path(QStringLiteral("r.mdb"));
            makeReplica(master, replica);
            test::execRaw(master, QStringLiteral("INSERT INTO mail VALUES (1, 'a@x', 'master')"));
            test::execRaw(replica, QStringLiteral("INSERT INTO mail VALUES (2, 'a@x', 'replica')"));
            if (fromMaster)
                sync(master, replica);
            else
                sync(replica, master);
            sync(master, replica);
            QCOMPARE(dumpData(master), dumpData(replica));
            const QString lower =
                replicaId(master) < replicaId(replica) ? QStringLiteral("master") : QStringLiteral("replica");
            QCOMPARE(test::scalarRaw(master, QStringLiteral("SELECT group_concat(who) FROM mail")).toString(),
                     lower);
            const QString logged =
                QStringLiteral("SELECT count(*) FROM _pell_conflicts WHERE tbl='mail' AND lost_row "
                               "NOT LIKE '%\"who\":\"%1\"%'")
                    .arg(lower);
            QVERIFY(test::scalarRaw(master, logged).toInt() + test::scalarRaw(replica, logged).toInt() >= 1);
        }
    }

    void tablesCreatedLaterAreNotReplicated() {
        test::Fixture f;
        Pair pair(f);
        test::execRaw(pair.master,
                      QStringLiteral("CREATE TABLE NOTES (n TEXT PRIMARY KEY); INSERT INTO NOTES VALUES "
                                     "('a')"));
        test::execRaw(pair.replica, QStringLiteral("CREATE TABLE NOTES (n TEXT PRIMARY KEY)"));
        sync(pair.master, pair.replica);
        QCOMPARE(test::scalarRaw(pair.replica, QStringLiteral("SELECT count(*) FROM NOTES")).toInt(), 0);
    }
};

QTEST_MAIN(TestReplication)
#include "tst_replication.moc"
