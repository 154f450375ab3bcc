// The retention period of a replica set: set on the master, carried by exchanges; deletion records and closed
// conflicts held longer are forgotten at the next exchange, so the engine tables shrink back to what the data
// needs and compaction gives the space back; a member that has not exchanged within the period is refused
// instead of bringing deleted rows back. The clock retention measures by is moved forward through
// PELL_TEST_NOW_MS.
#include "db/replication/retention.h"
#include "replication_fixture.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

constexpr qint64 DayMs = 24LL * 60 * 60 * 1000;

// Moves the clock retention measures by, for this process and the pelldb it starts, until destroyed.
class Later {
public:
    explicit Later(int days) {
        qputenv("PELL_TEST_NOW_MS", QByteArray::number(QDateTime::currentMSecsSinceEpoch() + days * DayMs));
    }
    ~Later() { qunsetenv("PELL_TEST_NOW_MS"); }
    Later(const Later&) = delete;
    Later& operator=(const Later&) = delete;
};

// Rows the engine keeps about a file's tasks and its conflicts, beside the tasks themselves.
qint64 engineRows(const QString& path) {
    return num(path,
               u"SELECT (SELECT count(*) FROM _pell_rows_SCR) + (SELECT count(*) FROM _pell_keep_SCR) + "
               "(SELECT count(*) FROM _pell_conflicts)"_s);
}

qint64 tasks(const QString& path) {
    return num(path, u"SELECT count(*) FROM SCR"_s);
}

// Bytes the engine tables and their indexes hold, their pages' free space aside.
qint64 engineBytes(const QString& path) {
    return num(path, u"SELECT sum(payload) FROM dbstat WHERE name LIKE '\\_pell\\_%' ESCAPE '\\'"_s);
}

} // namespace

class TestReplicationRetention : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void setOnTheMasterAndCarriedByExchanges() {
        Fixture f;
        Pair pair(f);
        const QString third = f.path(u"third.mdb"_s);
        makeReplica(pair.replica, third);
        QString out, err;
        QCOMPARE(runPelldb({u"retention"_s, pair.replica}, &out), 0);
        QCOMPARE(out, u"retention period of %1: 60 days\n"_s.arg(pair.replica));
        // Only the master decides; a replica, a period out of range and a period that is no number are
        // refused, and nothing changes.
        QCOMPARE(runPelldb({u"retention"_s, pair.replica, u"7"_s}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 3620: "_s) && err.contains(pair.replica), qPrintable(err));
        QCOMPARE(runPelldb({u"retention"_s, pair.master, u"0"_s}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 3621: "_s), qPrintable(err));
        QCOMPARE(runPelldb({u"retention"_s, pair.master, u"3651"_s}, &out, &err), 1);
        QCOMPARE(runPelldb({u"retention"_s, pair.master, u"two"_s}, &out, &err), 2);
        QCOMPARE(rep::retentionDays(*Database::open(pair.master)), 60);

        QCOMPARE(runPelldb({u"retention"_s, pair.master, u"7"_s}, &out, &err), 0);
        QCOMPARE(out, u"retention period of %1 set to 7 days\n"_s.arg(pair.master));
        QCOMPARE(rep::retentionDays(*Database::open(pair.replica)), 60);
        // To a member that never met the master, through one that did, in either direction of an exchange.
        sync(pair.replica, pair.master, db::SyncImport);
        QCOMPARE(rep::retentionDays(*Database::open(pair.replica)), 7);
        sync(pair.replica, third, db::SyncExport);
        QCOMPARE(rep::retentionDays(*Database::open(third)), 7);
        // A later decision of the master replaces it; once carried, exchanges are idle again.
        rep::setRetentionDays(*Database::open(pair.master), 90);
        sync(third, pair.master);
        sync(pair.replica, third);
        const QStringList files{pair.master, pair.replica, third};
        for (const QString& file : files)
            QCOMPARE(rep::retentionDays(*Database::open(file)), 90);
        const auto hashes = fileHashes(files);
        sync(pair.master, pair.replica);
        sync(pair.replica, third);
        QCOMPARE(fileHashes(files), hashes);
    }

    void historyPastThePeriodIsForgottenAndAStaleMemberRefused() {
        // 200 tasks changed on two members for 20 rounds, with tasks deleted and added and conflicts decided:
        // the engine's rows grow with every round. Past the retention period, one exchange brings them back
        // to one per task, and compaction gives the space back.
        Fixture f;
        Pair pair(f);
        execRaw(pair.master,
                fillSql(u"SCR"_s, 200, u"1000 + i, 'task ' || i, 'A', NULL, 'admin', NULL, NULL"_s));
        const QString stale = f.path(u"stale.mdb"_s);
        sync(pair.master, pair.replica);
        makeReplica(pair.master, stale);
        const qint64 base = engineBytes(pair.master);
        int next = 2000;
        for (int round = 0; round < 20; ++round) {
            execRaw(pair.master,
                    u"UPDATE SCR SET SCR_Title = 'master %1 ' || SCR_Number WHERE SCR_Number >= 1000"_s.arg(
                        round));
            execRaw(pair.replica,
                    u"UPDATE SCR SET SCR_Title = 'replica %1 ' || SCR_Number WHERE SCR_Number IN "
                    "(SELECT SCR_Number FROM SCR WHERE SCR_Number >= 1000 ORDER BY SCR_Number LIMIT 5)"_s.arg(
                        round));
            execRaw(pair.replica, u"DELETE FROM SCR WHERE SCR_Number IN (SELECT SCR_Number FROM SCR WHERE "
                                  "SCR_Number >= 1000 ORDER BY SCR_Number DESC LIMIT 10)"_s);
            execRaw(pair.replica,
                    fillSql(u"SCR"_s, 10, u"%1 + i, 'new', 'A', NULL, 'admin', NULL, NULL"_s.arg(next)));
            next += 10;
            sync(pair.master, pair.replica);
            for (const rep::ConflictView& c : rep::conflicts(*Database::open(pair.master)))
                rep::keepConflict(*Database::open(pair.master), c.id);
            sync(pair.master, pair.replica);
        }
        QVERIFY(pair.same());
        const qint64 live = tasks(pair.master);
        QCOMPARE(live, tasks(pair.replica));
        const QString superseding = u"SELECT count(*) FROM _pell_rows_SCR WHERE hist IS NOT NULL"_s;
        QVERIFY(num(pair.master, superseding) >= 200);
        QVERIFY2(engineRows(pair.master) >= live + 200 + 100,
                 qPrintable(QString::number(engineRows(pair.master))));
        const qint64 grown = engineBytes(pair.master);
        const qint64 grownFile = QFileInfo(pair.master).size();
        // A deletion the stale member has not received.
        const qint64 staleTasks = tasks(stale);
        QVERIFY(staleTasks > 200);

        {
            // Within the period nothing is forgotten.
            Later soon(59);
            sync(pair.master, pair.replica);
            QVERIFY(engineRows(pair.master) >= live + 300);
        }
        Later past(61);
        const auto idle = sync(pair.master, pair.replica);
        QCOMPARE(traffic(idle), 0);
        for (const QString& file : {pair.master, pair.replica}) {
            QCOMPARE(engineRows(file), tasks(file)); // one row per task, no conflict left: all were decided
            QCOMPARE(num(file, superseding), 0);
            QVERIFY(sound(file));
        }
        QVERIFY(pair.same());
        // What is left is idle: forgetting is done once.
        auto hashes = fileHashes({pair.master, pair.replica});
        sync(pair.master, pair.replica);
        QCOMPARE(fileHashes({pair.master, pair.replica}), hashes);
        // Changes made after seeing rows whose history is forgotten are no conflicts; changes made apart are.
        execRaw(pair.master, u"UPDATE SCR SET SCR_Title = 'after' WHERE SCR_Number IN (1001, 1002)"_s);
        QThread::msleep(2);
        execRaw(pair.replica, u"UPDATE SCR SET SCR_Title = 'apart' WHERE SCR_Number IN (1002, 1003)"_s);
        const auto after = sync(pair.master, pair.replica);
        QCOMPARE(after.imported.conflicts + after.exported.conflicts, 1);
        QVERIFY(pair.same());

        // The stale member still holds tasks the others deleted and have forgotten: refused both ways, with
        // what to do, and the tasks do not come back.
        QString out, err;
        for (const QStringList& args : {QStringList{u"sync"_s, stale, pair.master},
                                        QStringList{u"sync"_s, pair.replica, stale, u"--mode"_s, u"2"_s}}) {
            QCOMPARE(runPelldb(args, &out, &err), 1);
            QVERIFY2(err.startsWith(u"error 3622: "_s) &&
                         err.contains(u"Re-create it from a current member"_s) && err.contains(stale),
                     qPrintable(err));
        }
        QCOMPARE(tasks(pair.master), live);
        QCOMPARE(tasks(stale), staleTasks);

        // A member made again from a current one takes part, and exchanges stay sound.
        const QString remade = f.path(u"remade.mdb"_s);
        makeReplica(pair.replica, remade);
        execRaw(remade, u"UPDATE SCR SET SCR_Title = 'remade' WHERE SCR_Number = 1001"_s);
        sync(pair.master, remade);
        QCOMPARE(str(pair.master, u"SELECT SCR_Title FROM SCR WHERE SCR_Number = 1001"_s), u"remade"_s);

        // Compaction gives the space the forgotten rows held back to the file system.
        const qint64 kept = engineBytes(pair.master);
        QVERIFY2(grown > 2 * base && kept < base + (grown - base) / 4,
                 qPrintable(u"%1, %2, %3"_s.arg(base).arg(grown).arg(kept)));
        QCOMPARE(runPelldb({u"compact"_s, pair.master, u"--folder"_s, QFileInfo(pair.master).absolutePath()},
                           &out, &err),
                 0);
        const qint64 freed = grownFile - QFileInfo(pair.master).size();
        QVERIFY2(freed * 2 > grown - kept, qPrintable(u"%1 for %2"_s.arg(freed).arg(grown - kept)));
    }
};

QTEST_MAIN(TestReplicationRetention)
#include "tst_replication_retention.moc"
