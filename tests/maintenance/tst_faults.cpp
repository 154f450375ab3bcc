// Every whole-file command under a failing device and a power cut, at every step: each write, truncation,
// sync and rename it makes (the engine's and its own) fails in turn, with an I/O error and with a full
// disk, and separately the power goes at each sync, taking every write not yet synced with it. Afterwards
// the database is sound, what was reported done is there, and the next run succeeds and leaves nothing
// behind. The steps are sampled (about a dozen per command and kind); PELL_FAULT_SWEEP=full tries every one.
#include "core/error.h"
#include "db/database.h"
#include "db/files/operations.h"
#include "db/replication/replication.h"
#include "db/schema.h"
#include "support/db_dump.h"
#include "support/fault_injection.h"
#include "support/sample_data.h"
#include "system/purge.h"

#include <QDir>
#include <QtTest>

#include <cerrno>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

// What a child process reports in its exit status.
constexpr int Done = 0;     // the command reported success
constexpr int Failed = 2;   // the command reported an error
constexpr int Crashed = 99; // anything else: a defect

// A command as the test drives it: its files are made afresh in folder before each run.
struct Command {
    QString name;
    std::function<void(const QString& folder)> prepare;
    std::function<void(const QString& folder)> run;
    // After an interrupted or failed run (done: whether it reported success): whatever the command
    // promises about its files. Returns the problems found.
    std::function<QStringList(const QString& folder, bool done)> verify;
    // The names a folder holds after a successful run.
    QStringList leaves;
    // Whether the command is run again after a run that ended as this one did (a new database is made once).
    std::function<bool(const QString& folder)> runsAgain = [](const QString&) { return true; };
};

// Runs the command in a child process under the plan; its exit status.
int runInChild(const Command& c, const QString& folder, const FaultPlan& plan, int* steps = nullptr,
               int* syncs = nullptr) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        int status = Crashed;
        try {
            injectFaults(plan);
            c.run(folder);
            status = Done;
            // The power goes after the command said it was done: what it did must be on disk already.
            if (plan.kind == FaultPlan::Kind::PowerCut && !faultInjected())
                cutPowerNow();
        } catch (const Error&) {
            status = Failed;
        } catch (...) {
        }
        const int counts[2] = {stepsSeen(), syncsSeen()};
        if (::write(pipe[1], counts, sizeof counts) != sizeof counts) {
        }
        ::_exit(status);
    }
    ::close(pipe[1]);
    int counts[2] = {0, 0};
    const bool told = ::read(pipe[0], counts, sizeof counts) == sizeof counts;
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (steps)
        *steps = told ? counts[0] : 0;
    if (syncs)
        *syncs = told ? counts[1] : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void emptyFolder(const QString& folder) {
    QDir dir(folder);
    for (const QString& name :
         dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        QFile::remove(dir.filePath(name));
}

// The names a folder holds. A journal whose header is empty (its unsynced content went with the power) is
// the engine's own: no user of the file rolls it back, and its next transaction removes it.
QStringList namesIn(const QString& folder) {
    QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.removeIf([&](const QString& name) {
        return name.endsWith(u"-journal"_s) && fileBytes(folder + u'/' + name).left(8).count('\0') ==
                                                   fileBytes(folder + u'/' + name).left(8).size();
    });
    names.sort();
    return names;
}

// Sound (after the engine's next user rolled back what a dead writer left) and holding one of the states.
// A copy that no writer ever had open (raw) is read as it is, without a lock file.
QStringList soundAndOneOf(const QString& path, const QList<QMap<QString, QString>>& states,
                          bool raw = false) {
    QStringList problems;
    if (raw) {
        if (str(path, u"PRAGMA integrity_check"_s) != u"ok"_s)
            problems << path + u" is damaged"_s;
    } else {
        problems = db::files::checkDatabase(path);
    }
    const auto dump = dumpDatabase(path);
    if (!states.contains(dump))
        problems << path + u" holds neither the state before nor the one after"_s;
    return problems;
}

// The tables the users see (the engine's bookkeeping of the replica set left out).
QMap<QString, QString> userTables(const QString& path) {
    QMap<QString, QString> dump = dumpDatabase(path, false);
    for (auto it = dump.begin(); it != dump.end();)
        it = it.key().startsWith(u"_pell"_s, Qt::CaseInsensitive) ? dump.erase(it) : std::next(it);
    return dump;
}

// Each table's number of rows, and the schema.
QMap<QString, QString> shape(const QMap<QString, QString>& dump) {
    QMap<QString, QString> result;
    for (auto it = dump.begin(); it != dump.end(); ++it)
        result.insert(it.key(), it.key().isEmpty() ? it.value() : QString::number(it.value().count(u'\n')));
    return result;
}

QString templateFolder;

// The shared database with closed tasks to purge, free pages to compact and rows to salvage.
void makeTemplate() {
    QDir().mkpath(templateFolder);
    const QString db = templateFolder + u"/pell.mdb"_s;
    db::files::buildNewDatabase(db, [](db::Database& d) {
        db::createSharedSchema(d);
        sample::SampleOptions options;
        options.sample = true;
        options.tasks = 40;
        sample::fillSharedDatabase(d, options);
    });
    execRaw(db, u"DELETE FROM ROUTE WHERE Route_Number % 2 = 0"_s);
    // A replica set: the master, a replica, and a change on each side since.
    const QString master = templateFolder + u"/master.mdb"_s, replica = templateFolder + u"/replica.mdb"_s;
    QFile::copy(db, master);
    {
        auto m = db::Database::open(master, {.exclusive = true});
        m->appendProperty(m->createProperty(u"Replicable"_s, db::PropertyTypeText, u"T"_s));
    }
    db::Database::open(master)->makeReplica(replica, u"the replica"_s);
    {
        auto m = db::Database::open(master);
        m->execute(u"INSERT INTO LU_Category VALUES ('From the master')"_s);
        auto r = db::Database::open(replica);
        r->execute(u"INSERT INTO LU_Priority VALUES ('From the replica')"_s);
    }
}

void copyTemplate(const QString& folder, const QString& as = u"pell.mdb"_s) {
    emptyFolder(folder);
    QFile::copy(templateFolder + u"/pell.mdb"_s, folder + u'/' + as);
}

QList<Command> commands() {
    QList<Command> list;
    const QString tmpl = templateFolder + u"/pell.mdb"_s;
    static const auto before = dumpDatabase(tmpl);

    list << Command{u"compact"_s,
                    [](const QString& folder) { copyTemplate(folder); },
                    [](const QString& folder) {
                        QFile::remove(folder + u"/_temp.mdb"_s);
                        db::files::compactInPlace(folder + u"/pell.mdb"_s, folder + u"/_temp.mdb"_s);
                    },
                    [](const QString& folder, bool done) {
                        QStringList problems = soundAndOneOf(folder + u"/pell.mdb"_s, {before});
                        if (done || QFile::exists(folder + u"/_temp.mdb"_s))
                            problems << soundAndOneOf(folder + u"/_temp.mdb"_s, {before}, true);
                        return problems;
                    },
                    {u"_temp.mdb"_s, u"pell.ldb"_s, u"pell.mdb"_s}};

    // A backup over an earlier one: the earlier copy or the new one, whole, never a part.
    static QMap<QString, QString> earlier;
    list << Command{u"backup"_s,
                    [tmpl](const QString& folder) {
                        copyTemplate(folder);
                        QFile::copy(tmpl, folder + u"/copy.mdb"_s);
                        execRaw(folder + u"/copy.mdb"_s, u"DELETE FROM ROUTE"_s);
                        if (earlier.isEmpty())
                            earlier = dumpDatabase(folder + u"/copy.mdb"_s);
                    },
                    [](const QString& folder) {
                        db::files::copyDatabaseFile(folder + u"/pell.mdb"_s, folder + u"/copy.mdb"_s);
                    },
                    [](const QString& folder, bool done) {
                        QStringList problems = soundAndOneOf(folder + u"/pell.mdb"_s, {before});
                        problems << soundAndOneOf(folder + u"/copy.mdb"_s,
                                                  done ? QList{before} : QList{earlier, before}, true);
                        return problems;
                    },
                    {u"copy.mdb"_s, u"pell.ldb"_s, u"pell.mdb"_s}};

    // A damaged file: the damaged original, byte for byte, or the repaired one.
    static QByteArray damaged;
    static QMap<QString, QString> repaired;
    list << Command{
        u"repair"_s,
        [](const QString& folder) {
            copyTemplate(folder);
            const QString db = folder + u"/pell.mdb"_s;
            if (damaged.isEmpty()) {
                // A table without rowid, larger than the engine's cache, so that the salvage
                // writes while it copies that table's rows.
                execRaw(db, u"CREATE TABLE NOTE (Note_Key TEXT PRIMARY KEY, Body BLOB) WITHOUT ROWID;"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                            "WHERE i < 1500) INSERT INTO NOTE SELECT 'k' || i, randomblob(1500) "
                            "FROM n;"_s);
                const qint64 page = num(db, u"SELECT max(pageno) FROM dbstat WHERE name = 'ROUTE'"_s);
                QByteArray bytes = fileBytes(db);
                bytes.replace(int((page - 1) * 4096), 4096, QByteArray(4096, '\xA5'));
                damaged = bytes;
                writeFile(db, damaged);
                db::files::repairDatabase(db);
                repaired = dumpDatabase(db);
            }
            writeFile(db, damaged);
        },
        [](const QString& folder) { db::files::repairDatabase(folder + u"/pell.mdb"_s); },
        [](const QString& folder, bool done) {
            const QString db = folder + u"/pell.mdb"_s;
            QStringList problems = db::files::checkDatabase(db); // rolls back a journal
            if (fileBytes(db) == damaged && !done)
                return QStringList();
            if (dumpDatabase(db) != repaired)
                problems << u"neither the damaged file nor the repaired one"_s;
            return problems;
        },
        {u"pell.ldb"_s, u"pell.mdb"_s}};

    // A new database: there whole, or not there.
    static QMap<QString, QString> built;
    list << Command{u"init"_s,
                    [](const QString& folder) {
                        emptyFolder(folder);
                        if (built.isEmpty()) {
                            db::files::buildNewDatabase(folder + u"/new.mdb"_s, [](db::Database& d) {
                                db::createSharedSchema(d);
                                sample::fillSharedDatabase(d, {.sample = true});
                            });
                            built = dumpDatabase(folder + u"/new.mdb"_s);
                            emptyFolder(folder);
                        }
                    },
                    [](const QString& folder) {
                        db::files::buildNewDatabase(folder + u"/new.mdb"_s, [](db::Database& d) {
                            db::createSharedSchema(d);
                            sample::fillSharedDatabase(d, {.sample = true});
                        });
                    },
                    [](const QString& folder, bool done) {
                        const QString db = folder + u"/new.mdb"_s;
                        if (!done && !QFile::exists(db))
                            return QStringList();
                        QStringList problems = db::files::checkDatabase(db);
                        // The sample's dates follow the clock: the tables and their sizes are compared.
                        if (shape(dumpDatabase(db)) != shape(built))
                            problems << db + u" is not the whole new database"_s;
                        return problems;
                    },
                    {u"new.ldb"_s, u"new.mdb"_s},
                    [](const QString& folder) { return !QFile::exists(folder + u"/new.mdb"_s); }};

    // Purge: every task it reported deleted is gone; the rest still there or gone too.
    list << Command{u"purge"_s,
                    [](const QString& folder) { copyTemplate(folder); },
                    [](const QString& folder) {
                        auto db = db::Database::open(folder + u"/pell.mdb"_s);
                        PurgeOptions options;
                        options.batchTasks = 5;
                        const PurgeResult result = purgeClosedTasks(*db, options);
                        if (result.stoppedBy)
                            throw *result.stoppedBy;
                    },
                    [](const QString& folder, bool done) {
                        const QString db = folder + u"/pell.mdb"_s;
                        QStringList problems = db::files::checkDatabase(db);
                        const qint64 left = num(db, u"SELECT count(*) FROM SCR WHERE SCR_STATUS <> 'A'"_s);
                        const qint64 all = num(templateFolder + u"/pell.mdb"_s,
                                               u"SELECT count(*) FROM SCR WHERE SCR_STATUS <> 'A'"_s);
                        if (done ? left >= all : left > all)
                            problems << u"%1 closed tasks left of %2"_s.arg(left).arg(all);
                        return problems;
                    },
                    {u"pell.ldb"_s, u"pell.mdb"_s}};
    // A new replica: there whole, or not there; the master sound with its rows as they were.
    static QMap<QString, QString> masterRows;
    list << Command{
        u"make-replica"_s,
        [](const QString& folder) {
            emptyFolder(folder);
            QFile::copy(templateFolder + u"/master.mdb"_s, folder + u"/master.mdb"_s);
            if (masterRows.isEmpty())
                masterRows = userTables(folder + u"/master.mdb"_s);
        },
        [](const QString& folder) {
            db::Database::open(folder + u"/master.mdb"_s)->makeReplica(folder + u"/replica.mdb"_s, u"made"_s);
        },
        [](const QString& folder, bool done) {
            const QString master = folder + u"/master.mdb"_s, replica = folder + u"/replica.mdb"_s;
            QStringList problems = db::files::checkDatabase(master);
            if (userTables(master) != masterRows)
                problems << u"the master's rows changed"_s;
            if (!done && !QFile::exists(replica))
                return problems;
            problems << db::files::checkDatabase(replica);
            if (userTables(replica) != masterRows)
                problems << u"the replica is not a whole copy"_s;
            return problems;
        },
        {u"master.ldb"_s, u"master.mdb"_s, u"replica.ldb"_s, u"replica.mdb"_s},
        [](const QString& folder) { return !QFile::exists(folder + u"/replica.mdb"_s); }};

    // An exchange: each side as it was or with both changes, never a part of one; reported done, both.
    static QMap<QString, QString> masterBefore, replicaBefore, merged;
    list << Command{
        u"sync"_s,
        [](const QString& folder) {
            emptyFolder(folder);
            for (const QString& name : {u"master.mdb"_s, u"replica.mdb"_s})
                QFile::copy(templateFolder + u'/' + name, folder + u'/' + name);
            if (merged.isEmpty()) {
                masterBefore = userTables(folder + u"/master.mdb"_s);
                replicaBefore = userTables(folder + u"/replica.mdb"_s);
                db::Database::open(folder + u"/master.mdb"_s)->synchronize(folder + u"/replica.mdb"_s);
                merged = userTables(folder + u"/master.mdb"_s);
                emptyFolder(folder);
                for (const QString& name : {u"master.mdb"_s, u"replica.mdb"_s})
                    QFile::copy(templateFolder + u'/' + name, folder + u'/' + name);
            }
        },
        [](const QString& folder) {
            db::Database::open(folder + u"/master.mdb"_s)->synchronize(folder + u"/replica.mdb"_s);
        },
        [](const QString& folder, bool done) {
            QStringList problems;
            for (const auto& [name, was] :
                 {std::pair{u"master.mdb"_s, masterBefore}, std::pair{u"replica.mdb"_s, replicaBefore}}) {
                const QString path = folder + u'/' + name;
                problems << db::files::checkDatabase(path);
                const auto rows = userTables(path);
                if (rows != merged && (done || rows != was))
                    problems << name + u" holds a part of the exchange"_s;
            }
            return problems;
        },
        {u"master.ldb"_s, u"master.mdb"_s, u"replica.ldb"_s, u"replica.mdb"_s}};
    return list;
}

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        templateFolder = m_dir.filePath(u"template"_s);
        makeTemplate();
    }

    void everyStepFailsAndThePowerGoesAtEverySync_data() {
        QTest::addColumn<int>("index");
        const QList<Command> list = commands();
        for (int i = 0; i < list.size(); ++i)
            QTest::newRow(qPrintable(list.at(i).name)) << i;
    }

    void everyStepFailsAndThePowerGoesAtEverySync() {
        QFETCH(int, index);
        const Command c = commands().at(index);
        const QString folder = m_dir.filePath(c.name);
        QDir().mkpath(folder);
        const bool full = qgetenv("PELL_FAULT_SWEEP") == "full";

        // The steps of an undisturbed run.
        c.prepare(folder);
        int steps = 0, syncs = 0;
        QCOMPARE(runInChild(c, folder, {}, &steps, &syncs), Done);
        QVERIFY2(steps > 0 && syncs > 0, qPrintable(c.name));
        QCOMPARE(c.verify(folder, true), QStringList());
        QCOMPARE(namesIn(folder), c.leaves);

        struct Kind {
            FaultPlan::Kind kind;
            int errnum;
            int count;
        };
        for (const Kind& k :
             {Kind{FaultPlan::Kind::Fail, EIO, steps}, Kind{FaultPlan::Kind::Fail, ENOSPC, steps},
              Kind{FaultPlan::Kind::PowerCut, 0, syncs + 1}}) {
            const int stride = full ? 1 : std::max(1, k.count / 12);
            // The last step always: a power cut there comes after the command reported success.
            for (int at = 1; at <= k.count;
                 at = at < k.count ? std::min(at + stride, k.count) : k.count + 1) {
                c.prepare(folder);
                const int status = runInChild(c, folder, {k.kind, at, k.errnum});
                const QString where =
                    u"%1, %2 at step %3 of %4"_s
                        .arg(c.name, k.kind == FaultPlan::Kind::PowerCut
                                         ? u"power cut"_s
                                         : (k.errnum == EIO ? u"I/O error"_s : u"full disk"_s))
                        .arg(at)
                        .arg(k.count);
                if (k.kind == FaultPlan::Kind::PowerCut)
                    QVERIFY2(status == PowerCutStatus || status == PowerCutAfterDoneStatus,
                             qPrintable(where + u": status "_s + QString::number(status)));
                else
                    QVERIFY2(status == Failed || status == Done,
                             qPrintable(where + u": status "_s + QString::number(status)));
                const bool done = status == Done || status == PowerCutAfterDoneStatus;
                const QStringList problems = c.verify(folder, done);
                QVERIFY2(problems.isEmpty(), qPrintable(where + u": "_s + problems.join(u"; "_s)));
                // The next run, undisturbed, succeeds and leaves nothing of the interrupted one.
                if (c.runsAgain(folder))
                    QVERIFY2(runInChild(c, folder, {}) == Done,
                             qPrintable(where + u": the next run failed"_s));
                const QStringList after = c.verify(folder, true);
                QVERIFY2(after.isEmpty(),
                         qPrintable(where + u": after the next run: "_s + after.join(u"; "_s)));
                QVERIFY2(namesIn(folder) == c.leaves,
                         qPrintable(where + u": left "_s + namesIn(folder).join(u' ')));
            }
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
