// The outcome of replication depends only on the changes made, never on who meets whom or in which order:
// one history of causally related changes, exchanged in several orders, ends the same everywhere; a member
// put back from a backup gets back what it had exchanged. (Random histories under two schedules each are in
// tst_replication_random.cpp.)
#include "replication_fixture.h"

#include <QDir>
#include <QThread>
#include <QtTest>

#include <algorithm>

using namespace pell;
using namespace pell::test;

namespace {

// A master and `replicas` replicas made from it, in a folder of their own.
QStringList replicaSet(Fixture& f, int replicas) {
    QDir(f.dir.path()).mkdir(u"base"_s);
    QStringList files{f.makeSharedDb(u"base/master.mdb"_s)};
    makeMaster(files[0]);
    for (int i = 1; i <= replicas; ++i) {
        files << f.path(u"base/replica%1.mdb"_s.arg(i));
        makeReplica(files[0], files.last());
    }
    return files;
}

// Copies of a set of files, as they stand, into a folder of their own.
QStringList copies(const QStringList& files, const QString& folder) {
    QDir().mkpath(folder);
    QStringList out;
    for (const QString& file : files) {
        const QString copy = QDir(folder).filePath(QFileInfo(file).fileName());
        QFile::copy(file, copy);
        out << copy;
    }
    return out;
}

bool agree(const QStringList& files) {
    const QString first = dumpData(files[0]);
    return std::all_of(files.begin(), files.end(),
                       [&](const QString& file) { return dumpData(file) == first; });
}

using Schedule = std::function<void(const QStringList&, int round)>;

// Rounds of a schedule until every member holds the same data; then two rounds around the first member, after
// which every member also knows what every other holds.
void settle(const QStringList& files, const Schedule& schedule) {
    for (int round = 0; round < 8 && !agree(files); ++round)
        schedule(files, round);
    for (int round = 0; round < 2; ++round)
        for (const QString& file : files.mid(1))
            sync(files[0], file);
}

} // namespace

class TestReplicationSchedules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void causallyLaterVersionsWinWhoeverMeetsFirst() {
        // L sets a row and hands it to X, who overwrites it, while Y sets it too. D deletes another row and
        // hands that to C, who adds it again, while E changes the old row. Whatever pairs meet first, every
        // member ends with X's version over L's and C's over E's; Y's and E's are logged as lost.
        Fixture f;
        const QStringList m = replicaSet(f, 5); // master = L, then X, Y, D, C, E
        const QString setGuest = u"UPDATE \"USER\" SET User_Name='%1' WHERE User_ID='guest'"_s;
        execRaw(m[2], setGuest.arg(u"Y3"_s));
        QThread::msleep(2);
        execRaw(m[0], setGuest.arg(u"L1"_s));
        sync(m[0], m[1], db::SyncExport);
        QThread::msleep(2);
        execRaw(m[1], setGuest.arg(u"X2"_s));
        execRaw(m[3], u"DELETE FROM TOOL WHERE Tool_Name='Calculator'"_s);
        sync(m[3], m[4], db::SyncExport);
        QThread::msleep(2);
        execRaw(m[5], u"UPDATE TOOL SET Tool_EXE='E edit' WHERE Tool_Name='Calculator'"_s);
        QThread::msleep(2);
        execRaw(m[4], u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES ('Calculator', 'C again')"_s);

        const QList<QList<std::pair<int, int>>> orders{
            {{0, 2}, {1, 2}, {0, 1}, {3, 5}, {4, 5}, {3, 4}}, // L meets Y before X does: L1 wins for a while
            {{1, 2}, {0, 2}, {0, 1}, {4, 5}, {3, 5}, {3, 4}},
            {{5, 0}, {2, 1}, {1, 0}, {4, 3}, {3, 2}, {0, 4}},
        };
        QString expected;
        for (qsizetype o = 0; o < orders.size(); ++o) {
            const QStringList files = copies(m, f.path(u"order%1"_s.arg(o)));
            settle(files, [&](const QStringList& fs, int) {
                for (const auto& [a, b] : orders[o])
                    sync(fs[a], fs[b]);
                for (const QString& file : fs.mid(1))
                    sync(fs[0], file);
            });
            QVERIFY(agree(files));
            QCOMPARE(nameOf(files[0], u"guest"_s) +
                         str(files[0], u"SELECT Tool_EXE FROM TOOL WHERE Tool_Name='Calculator'"_s),
                     u"X2C again"_s);
            QString logged;
            for (const QString& file : files)
                logged += reasons(file, u"TOOL"_s) + u'\n';
            const QString lost = lostVersions(files);
            QVERIFY2(lost.contains(u"Y3"_s) && lost.contains(u"E edit"_s) && !lost.contains(u"L1"_s),
                     qPrintable(lost));
            QVERIFY2(logged.contains(u"[\"Calculator\"] deleted in one replica and changed in another"_s),
                     qPrintable(logged));
            if (o == 0)
                expected = dumpData(files[0]);
            QCOMPARE(dumpData(files[0]), expected);
        }
    }

    void putBackMemberGetsEverythingBack_data() {
        QTest::addColumn<QString>("way");
        QTest::newRow("files") << u"files"_s;
        QTest::newRow("over the pipe to pelldb serve") << u"pipe"_s;
        QTest::newRow("bundles carried by hand") << u"bundles"_s;
    }

    void putBackMemberGetsEverythingBack() {
        // A replica is put back from a backup after it exchanged a change, then adds rows before its next
        // exchange: exchanges with its partner give it back what it had exchanged and take what it added
        // since, and the pair is then idle. Through bundles, the partner learns of the put-back from the
        // replica's first bundle back, and its next bundle carries what the replica lost.
        QFETCH(QString, way);
        Fixture f;
        Pair pair(f);
        const LocalTunnel tunnel(f.dir.path());
        QString out;
        const auto exchange = [&] {
            if (way == u"files"_s || way == u"pipe"_s) {
                const QString master = way == u"pipe"_s ? LocalTunnel::location(pair.master) : pair.master;
                QCOMPARE(runPelldb({u"sync"_s, pair.replica, master, u"--mode"_s, u"4"_s}, &out, &out), 0);
                return;
            }
            const QString bundle = f.path(u"carried.pxb"_s);
            QCOMPARE(runPelldb({u"export"_s, pair.replica, bundle, u"--for"_s, pair.master}, &out, &out), 0);
            QCOMPARE(runPelldb({u"import"_s, pair.master, bundle}, &out, &out), 0);
            // Its id as it is now: put back from a copy, the replica became a member of its own at its
            // export.
            const QString replicaId =
                QString::number(db::replication::identity(*db::Database::open(pair.replica)).replicaId);
            QCOMPARE(runPelldb({u"export"_s, pair.master, bundle, u"--for"_s, replicaId}, &out, &out), 0);
            QCOMPARE(runPelldb({u"import"_s, pair.replica, bundle}, &out, &out), 0);
        };
        const QString copy = f.path(u"replica.bak"_s);
        QCOMPARE(runPelldb({u"backup"_s, pair.replica, copy}, &out), 0);
        execRaw(
            pair.replica,
            u"INSERT INTO ROUTE (SCR_Number, From_User, Route_Note) VALUES (1, 'admin', 'exchanged before')"_s);
        exchange();
        QVERIFY(QFile::remove(pair.replica) && QFile::copy(copy, pair.replica));
        execRaw(pair.replica,
                fillSql(u"LU_Category"_s, 8, u"'after '||i"_s) +
                    u"; INSERT INTO ROUTE (Route_Number, SCR_Number, From_User, Route_Note) VALUES (900, 2, "
                    "'admin', 'after put-back')"_s);
        const int idleFrom = way == u"bundles"_s ? 2 : 1;
        for (int round = 0; round < 4; ++round) {
            const auto hashes = fileHashes({pair.master, pair.replica});
            exchange();
            if (round > idleFrom) // then the pair is idle: neither file is written again
                QVERIFY2(fileHashes({pair.master, pair.replica}) == hashes,
                         qPrintable(u"round %1"_s.arg(round)));
        }
        QVERIFY(pair.same() && pair.conflicts() == 0);
        QCOMPARE(str(pair.replica,
                     u"SELECT (SELECT count(*) FROM ROUTE WHERE Route_Note='exchanged before')||(SELECT "
                     "count(*) FROM LU_Category WHERE Category LIKE 'after %')||(SELECT count(*) FROM "
                     "ROUTE WHERE Route_Note='after put-back')"_s),
                 u"181"_s);
    }
};

QTEST_MAIN(TestReplicationSchedules)
#include "tst_replication_schedules.moc"
