// The outcome of replication depends only on the changes made, never on who meets whom, in which direction or
// mode, with which batch size or in which order. The same histories are exchanged under different schedules
// and must end in the same data everywhere; a model of what each writer had seen checks that no version a
// later one replaced survives and that every version that did not survive is accounted for.
#include "replication_fixture.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>
#include <QtTest>

#include <algorithm>

using namespace pell;
using namespace pell::test;

namespace {

// SYSTEM has no text column: its marker is a number well above the sample's values.
QString systemValue(const QString& marker) {
    return QString::number(100000 + marker.mid(1).toInt());
}

// The writes: what the writer sees of the row it replaces (if any), and the statement. %1 a user, %2 another
// user, %3 the new version's marker, %4 a task 1..10, %5 a position 0..4, %6 the marker as a number, %7 an
// owner that may not exist.
#define AT(table) " WHERE rowid=(SELECT rowid FROM " table " ORDER BY rowid LIMIT 1 OFFSET %5)"
const char* const userSeen = "SELECT User_Name FROM \"USER\" WHERE User_ID='%1'";
const char* const scrSeen = "SELECT SCR_Title FROM SCR WHERE SCR_Number=100+%4";
struct Write {
    const char* seen;
    const char* sql;
    bool deletes;
};
const Write writes[] = {
    {"", "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('%1', '%3', 'admin')", false},
    {"", "INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('%1', '%3', '%2')", false},
    {userSeen, "UPDATE \"USER\" SET User_Name='%3' WHERE User_ID='%1'", false},
    {userSeen, "UPDATE \"USER\" SET User_Name='%3', Supervisor_User_ID='%2' WHERE User_ID='%1'", false},
    {userSeen, "DELETE FROM \"USER\" WHERE User_ID='%1'", true},
    // a key change ends the old row
    {userSeen, "UPDATE \"USER\" SET User_ID='%2', User_Name='%3' WHERE User_ID='%1'", true},
    {"",
     "INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner, SCR_Category, SCR_Priority) VALUES "
     "(100+%4, '%3', 'A', '%7', 'Bug', 'High')",
     false},
    {scrSeen, "UPDATE SCR SET SCR_Title='%3', SCR_Owner='%7' WHERE SCR_Number=100+%4", false},
    {scrSeen, "DELETE FROM SCR WHERE SCR_Number=100+%4", true},
    {"", "INSERT INTO ROUTE (SCR_Number, From_User, Route_Note) VALUES (100+%4, 'admin', '%3')", false},
    {"SELECT Route_Note FROM ROUTE" AT("ROUTE"), "UPDATE ROUTE SET Route_Note='%3'" AT("ROUTE"), false},
    {"SELECT Route_Note FROM ROUTE" AT("ROUTE"), "DELETE FROM ROUTE" AT("ROUTE"), true},
    // the table without a key
    {"", "INSERT INTO \"SYSTEM\" (MAX_STORAGE, Chunk_Size) VALUES (%6, 2000)", false},
    {"SELECT 'w'||(MAX_STORAGE-100000) FROM \"SYSTEM\"" AT("\"SYSTEM\""),
     "UPDATE \"SYSTEM\" SET MAX_STORAGE=%6" AT("\"SYSTEM\""), false},
    {"SELECT 'w'||(MAX_STORAGE-100000) FROM \"SYSTEM\"" AT("\"SYSTEM\""),
     "DELETE FROM \"SYSTEM\"" AT("\"SYSTEM\""), true},
    // tools, attachments with their contents, lookups
    {"SELECT Tool_EXE FROM TOOL" AT("TOOL"), "UPDATE TOOL SET Tool_EXE='%3'" AT("TOOL"), false},
    {"", "INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (100+%4, '%3', randomblob(300))",
     false},
    {"SELECT File_Name FROM ATTACH" AT("ATTACH"),
     "UPDATE ATTACH SET File_Name='%3', Contents=randomblob(200)" AT("ATTACH"), false},
    {"SELECT File_Name FROM ATTACH" AT("ATTACH"), "DELETE FROM ATTACH" AT("ATTACH"), true},
    {"", "INSERT INTO LU_Priority (Priority) VALUES ('prio%5')", false},
    {"", "DELETE FROM LU_Priority WHERE Priority='prio%5'", false},
};
#undef AT

// Whether a file's data holds a marker's version.
bool holds(const QString& dump, const QString& m) {
    const auto hex = [](const QString& s) { return QString::fromLatin1(s.toUtf8().toHex().toUpper()); };
    return dump.contains(hex(u'\'' + m + u'\'')) || dump.contains(hex(systemValue(m)));
}

// A replica set with a random history of changes and exchanges, and what each writer had seen.
struct History {
    History(Fixture& f, quint32 seed, int replicas) : random(seed) {
        QVERIFY(QDir(f.dir.path()).mkdir(u"base"_s));
        files << f.makeSharedDb(u"base/master.mdb"_s);
        makeMaster(files[0]);
        for (int i = 1; i <= replicas; ++i) {
            files << f.path(u"base/replica%1.mdb"_s.arg(i));
            makeReplica(files[0], files.last());
        }
    }

    void randomWork(int operations) {
        static const int modes[] = {db::SyncExport, db::SyncImport, db::SyncImpExp, db::SyncImpExp};
        static const int batches[] = {1, 2, 7, 0};
        for (int i = 0; i < operations; ++i) {
            const int r = int(random.bounded(100));
            const int a = int(random.bounded(int(files.size())));
            if (r < 12) { // an exchange between two different files
                const int b = (a + 1 + int(random.bounded(int(files.size()) - 1))) % int(files.size());
                sync(files[a], files[b], modes[random.bounded(4)], batches[random.bounded(4)]);
            } else if (r < 14) {
                execRaw(files[a], u"VACUUM"_s);
            } else {
                write(files[a]);
            }
        }
    }

    QStringList files;
    QSet<QString> written;     // markers a file really held after their write
    QSet<QString> overwritten; // markers a later change (not a deletion) replaced, having seen them
    QSet<QString> replaced;    // markers a later change or deletion replaced
    QRandomGenerator random;
    int counter = 0;

private:
    QString user() { return u"user%1"_s.arg(random.bounded(12)); }

    void write(const QString& path) {
        const Write& w = writes[random.bounded(int(std::size(writes)))];
        const QString m = u"w%1"_s.arg(++counter);
        // clang-format off
        const QStringList values{user(), user(), m, QString::number(1 + random.bounded(10)),
                                 QString::number(random.bounded(5)), systemValue(m),
                                 random.bounded(3) == 0 ? u"admin"_s : user()};
        // clang-format on
        const auto fill = [&](const char* t) { // each place marker by its own number
            QString sql = QString::fromLatin1(t);
            for (int i = 0; i < values.size(); ++i)
                sql.replace(u'%' + QString::number(i + 1), values[i]);
            return sql;
        };
        // The version the row holds now: the writer about to replace it has seen it.
        const QString seen = *w.seen ? str(path, fill(w.seen)) : QString();
        const QString sql = fill(w.sql);
        const QString before = dumpData(path);
        const int how = int(random.bounded(8));
        try { // through our engine, a plain connection, or the sqlite3 shell with relationships off
            if (how == 0) {
                QProcess shell;
                shell.start(u"sqlite3"_s, {path, sql});
                QVERIFY(shell.waitForFinished(30000));
            } else if (how < 4) {
                Database::open(path)->execute(sql);
            } else {
                execRaw(path, u"PRAGMA foreign_keys=ON;"_s + sql);
            }
        } catch (const Error&) {
            return; // duplicate key, related records: the writer is refused, nothing changes
        }
        if (dumpData(path) == before)
            return; // refused, or matched nothing
        if (!seen.isEmpty()) {
            replaced.insert(seen);
            if (!w.deletes)
                overwritten.insert(seen);
        }
        if (sql.contains(m) && holds(dumpData(path), m))
            written.insert(m);
    }
};

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
        History h(f, 1, 5);
        const QStringList& m = h.files; // master = L, then X, Y, D, C, E
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

    void putBackMemberGetsEverythingBack() {
        // A replica is put back from a backup after it exchanged a change, then adds rows before its next
        // exchange: one exchange with its partner gives it back what it had exchanged, takes what it added
        // since, and the pair is then idle.
        Fixture f;
        Pair pair(f);
        const QString copy = f.path(u"replica.bak"_s);
        QString out;
        QCOMPARE(runPelldb({u"backup"_s, pair.replica, copy}, &out), 0);
        execRaw(
            pair.replica,
            u"INSERT INTO ROUTE (SCR_Number, From_User, Route_Note) VALUES (1, 'admin', 'exchanged before')"_s);
        sync(pair.replica, pair.master);
        QVERIFY(QFile::remove(pair.replica) && QFile::copy(copy, pair.replica));
        execRaw(pair.replica,
                fillSql(u"LU_Category"_s, 8, u"'after '||i"_s) +
                    u"; INSERT INTO ROUTE (Route_Number, SCR_Number, From_User, Route_Note) VALUES (900, 2, "
                    "'admin', 'after put-back')"_s);
        for (int round = 0; round < 3; ++round) {
            const auto hashes = fileHashes({pair.master, pair.replica});
            QCOMPARE(runPelldb({u"sync"_s, pair.replica, pair.master, u"--mode"_s, u"4"_s}, &out), 0);
            if (round > 0) // then the pair is idle: neither file is written again
                QCOMPARE(fileHashes({pair.master, pair.replica}), hashes);
        }
        QVERIFY(pair.same() && pair.conflicts() == 0);
        QCOMPARE(str(pair.replica,
                     u"SELECT (SELECT count(*) FROM ROUTE WHERE Route_Note='exchanged before')||(SELECT "
                     "count(*) FROM LU_Category WHERE Category LIKE 'after %')||(SELECT count(*) FROM "
                     "ROUTE WHERE Route_Note='after put-back')"_s),
                 u"181"_s);
    }

    void randomHistoriesAgreeUnderEverySchedule_data() {
        QTest::addColumn<quint32>("seed");
        // Fixed seeds in CI; PELL_SEEDS="1 2 3" runs others on demand.
        for (const QString& seed :
             qEnvironmentVariable("PELL_SEEDS", u"11 2027 4242"_s).split(u' ', Qt::SkipEmptyParts))
            QTest::newRow(qPrintable(u"seed "_s + seed)) << seed.toUInt();
    }

    void randomHistoriesAgreeUnderEverySchedule() {
        QFETCH(quint32, seed);
        Fixture f;
        History h(f, seed, 3);
        h.randomWork(250);

        // Three ways to bring the same files together: a star around the master, both ways at once with the
        // default batch; a ring of one-way exchanges of single versions; random pairs, modes and batches.
        QRandomGenerator pick(seed);
        const QList<Schedule> schedules{
            [](const QStringList& fs, int) {
                for (const QString& file : fs.mid(1))
                    sync(fs[0], file);
            },
            [](const QStringList& fs, int round) {
                for (qsizetype i = 0; i < fs.size(); ++i)
                    round % 2 == 0 ? sync(fs[i], fs[(i + 1) % fs.size()], db::SyncExport, 1)
                                   : sync(fs[(i + 1) % fs.size()], fs[i], db::SyncImport, 2);
            },
            [&pick](const QStringList& fs, int) {
                static const int modes[] = {db::SyncExport, db::SyncImport, db::SyncImpExp};
                static const int batches[] = {2, 7, 0};
                for (int i = 0; i < 12; ++i) {
                    const int a = int(pick.bounded(int(fs.size())));
                    const int b = (a + 1 + int(pick.bounded(int(fs.size()) - 1))) % int(fs.size());
                    sync(fs[a], fs[b], modes[pick.bounded(3)], batches[pick.bounded(3)]);
                }
                for (const QString& file : fs.mid(1))
                    sync(fs[0], file);
            },
        };
        QString expected;
        for (qsizetype s = 0; s < schedules.size(); ++s) {
            const QStringList files = copies(h.files, f.path(u"schedule%1"_s.arg(s)));
            settle(files, schedules[s]);
            if (s == 0)
                expected = dumpData(files[0]);
            // Every member of every schedule ends with the same data, sound.
            for (const QString& file : files)
                QVERIFY2(dumpData(file) == expected && sound(file),
                         qPrintable(u"schedule %1: "_s.arg(s) + file));
            const QString logged = lostVersions(files);
            // No version survives that a later change replaced after seeing it; every version written is in
            // the data, was replaced by a writer who had seen it, or is in a conflict log.
            for (const QString& m : h.written) {
                QVERIFY2(!holds(expected, m) || !h.overwritten.contains(m),
                         qPrintable(m + u" survived a change that had replaced it"_s));
                QVERIFY2(holds(expected, m) || h.replaced.contains(m) || logged.contains(u'"' + m + u'"') ||
                             logged.contains(u"\"MAX_STORAGE\":"_s + systemValue(m)),
                         qPrintable(m + u" vanished without a conflict record"_s));
            }
            // An idle round afterwards leaves every file as it is, to the byte.
            const auto hashes = fileHashes(files);
            for (const QString& file : files.mid(1))
                sync(file, files[0]);
            QCOMPARE(fileHashes(files), hashes);
        }
        QVERIFY(!h.written.isEmpty() && !h.overwritten.isEmpty());
    }
};

QTEST_MAIN(TestReplicationSchedules)
#include "tst_replication_schedules.moc"
