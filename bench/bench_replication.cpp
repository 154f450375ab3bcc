// pellbench sync, sync-idle, capture: the replication engine against the bare C API doing the plain
// writes (or the plain opens) that the same work needs at the least. sync-ssh and bundle: the same exchange
// with a member behind SSH, or carried by bundle files, against the exchange between local files.
#include "bench/bench.h"

#include "core/error.h"
#include "db/database.h"
#include "db/replication/replication.h"
#include "replication/CONFLICTS_FORM.h"
#include "support/private_sshd.h"
#include "support/scripted_platform.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTableView>

#include <sqlite3.h>

#include <cstdio>
#include <utility>

#include <sys/resource.h>

namespace pell::bench {
namespace {

// A bare connection for the baselines and for writing as another program would.
class Raw {
public:
    explicit Raw(const QString& path) {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            throw Error(1, QStringLiteral("cannot open %1").arg(path));
    }
    ~Raw() { sqlite3_close_v2(m_db); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
    void exec(const char* sql) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw Error(1, QString::fromUtf8(sqlite3_errmsg(m_db)));
    }
    sqlite3* get() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

// Inserts `rows` users named prefix<i> and renames as many existing ones, in one transaction.
void writeUsers(const QString& path, const QString& prefix, long long rows) {
    Raw raw(path);
    raw.exec("BEGIN");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(
        raw.get(),
        "INSERT INTO \"USER\" (User_ID, User_Name, User_Password, Full_Access, Supervisor_User_ID) "
        "VALUES (?1, ?2, 'pw', 0, 'admin')",
        -1, &stmt, nullptr);
    for (long long i = 0; i < rows; ++i) {
        const QByteArray id = (prefix + QString::number(i)).toUtf8();
        const QByteArray name = QStringLiteral("User %1 of %2").arg(i).arg(prefix).toUtf8();
        sqlite3_bind_text(stmt, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, name.constData(), int(name.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE)
            throw Error(1, QString::fromUtf8(sqlite3_errmsg(raw.get())));
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    raw.exec("COMMIT");
}

// A master made from a fresh sample database (with N generated tasks) and one replica of it, in dir.
std::pair<QString, QString> masterAndReplica(const QTemporaryDir& dir, long long tasks) {
    const QString master = dir.filePath(QStringLiteral("master.mdb"));
    const QString replica = dir.filePath(QStringLiteral("replica.mdb"));
    QStringList init{QStringLiteral("init"), master, QStringLiteral("--sample")};
    if (tasks > 0)
        init << QStringLiteral("--tasks") << QString::number(tasks);
    runPelldb(init);
    runPelldb({QStringLiteral("make-master"), master, QStringLiteral("--no-list")});
    runPelldb({QStringLiteral("make-replica"), master, replica, QStringLiteral("--no-list")});
    return {master, replica};
}

void copyFile(const QString& from, const QString& to) {
    QFile::remove(to);
    if (!QFile::copy(from, to))
        throw Error(1, QStringLiteral("cannot copy %1").arg(from));
}

// sync: N new users on each side of a master/replica pair, then one two-way exchange.
const Register sync("sync", "sync [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 3));
    QTemporaryDir dir;
    const auto file = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
    runPelldb({QStringLiteral("init"), file("plain.mdb"), QStringLiteral("--sample")});
    long long moved = 0;
    const double ours = medianMs(
        runs,
        [&] {
            // A master and its replica made anew: a copy of a member's file would be a new member, which
            // its first exchange reads whole.
            copyFile(file("plain.mdb"), file("master.mdb"));
            QFile::remove(file("replica.mdb"));
            runPelldb({QStringLiteral("make-master"), file("master.mdb"), QStringLiteral("--no-list")});
            runPelldb({QStringLiteral("make-replica"), file("master.mdb"), file("replica.mdb"),
                       QStringLiteral("--no-list")});
            writeUsers(file("master.mdb"), QStringLiteral("m"), rows);
            writeUsers(file("replica.mdb"), QStringLiteral("r"), rows);
        },
        [&] {
            auto db = db::Database::open(file("master.mdb"));
            const auto stats =
                db::replication::synchronizeWithStats(*db, file("replica.mdb"), db::SyncImpExp);
            moved = stats.imported.applied + stats.exported.applied;
        });
    const double baseline = medianMs(
        runs,
        [&] {
            copyFile(file("plain.mdb"), file("a.mdb"));
            copyFile(file("plain.mdb"), file("b.mdb"));
        },
        [&] {
            writeUsers(file("a.mdb"), QStringLiteral("r"), rows);
            writeUsers(file("b.mdb"), QStringLiteral("m"), rows);
        });
    report(QStringLiteral("sync"), rows, ours, baseline);
    return moved == 2 * rows ? 0 : 1;
});

// pelldb with more environment (PELL_SSH ...); throws on failure.
void runPelldbWith(const QStringList& args, const QList<std::pair<QString, QString>>& env) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : env)
        e.insert(name, value);
    p.setProcessEnvironment(e);
    p.start(pelldbPath(), args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw Error(1, QStringLiteral("pelldb %1 failed: %2")
                           .arg(args.join(u' '), QString::fromLocal8Bit(p.readAllStandardError())));
}

long long countUsers(const QString& path, const char* pattern) {
    Raw raw(path);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw.get(), "SELECT count(*) FROM \"USER\" WHERE User_ID GLOB ?1", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, pattern, -1, SQLITE_STATIC);
    const long long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
}

// The pair of `sync`, made anew for each run in `dir`: N new users on each side, as another program writes
// them.
class ExchangeRun {
public:
    ExchangeRun(const QTemporaryDir& dir, long long rows) : m_dir(dir), m_rows(rows) {
        runPelldb({QStringLiteral("init"), file("plain.mdb"), QStringLiteral("--sample")});
    }
    QString file(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    void setUp() const {
        copyFile(file("plain.mdb"), file("master.mdb"));
        QFile::remove(file("replica.mdb"));
        runPelldb({QStringLiteral("make-master"), file("master.mdb"), QStringLiteral("--no-list")});
        runPelldb({QStringLiteral("make-replica"), file("master.mdb"), file("replica.mdb"),
                   QStringLiteral("--no-list")});
        writeUsers(file("master.mdb"), QStringLiteral("m"), m_rows);
        writeUsers(file("replica.mdb"), QStringLiteral("r"), m_rows);
    }
    // Whether both members now hold the rows of both.
    bool exchanged() const {
        for (const char* member : {"master.mdb", "replica.mdb"})
            if (countUsers(file(member), "m[0-9]*") != m_rows ||
                countUsers(file(member), "r[0-9]*") != m_rows)
                return false;
        return true;
    }

private:
    const QTemporaryDir& m_dir;
    long long m_rows;
};

// sync-ssh: the exchange of `sync` run by pelldb with the replica behind SSH (an sshd of the benchmark's own
// on 127.0.0.1) against the same exchange between local files, also run by pelldb.
const Register syncSsh("sync-ssh", "sync-ssh [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 3));
    const PrivateSshd sshd;
    if (!sshd.available())
        throw Error(1, QStringLiteral("sync-ssh needs sshd: ") + sshd.whyNot());
    QTemporaryDir dir;
    const ExchangeRun run(dir, rows);
    const QList<std::pair<QString, QString>> env{{QStringLiteral("PELL_SSH"), sshd.sshCommand()},
                                                 {QStringLiteral("PELL_REMOTE_PELLDB"), pelldbPath()}};
    bool complete = true;
    const auto [overSsh, local] = byTurns(
        runs, [&] { run.setUp(); },
        [&] {
            runPelldbWith(
                {QStringLiteral("sync"), run.file("master.mdb"), sshd.location(run.file("replica.mdb"))},
                env);
            complete = complete && run.exchanged();
        },
        [&] { run.setUp(); },
        [&] {
            runPelldb({QStringLiteral("sync"), run.file("master.mdb"), run.file("replica.mdb")});
            complete = complete && run.exchanged();
        });
    report(QStringLiteral("sync-ssh"), rows, overSsh, local);
    return complete ? 0 : 1;
});

// bundle: the exchange of `sync` carried by bundle files (a bundle written and applied each way, each step a
// pelldb of its own) against the same exchange between local files.
const Register bundle("bundle", "bundle [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 3));
    QTemporaryDir dir;
    const ExchangeRun run(dir, rows);
    bool complete = true;
    const auto [bundles, local] = byTurns(
        runs, [&] { run.setUp(); },
        [&] {
            const QString master = run.file("master.mdb"), replica = run.file("replica.mdb");
            const QString there = run.file("to-replica.bundle"), back = run.file("to-master.bundle");
            runPelldb({QStringLiteral("export"), master, there, QStringLiteral("--for"), replica});
            runPelldb({QStringLiteral("import"), replica, there});
            runPelldb({QStringLiteral("export"), replica, back, QStringLiteral("--for"), master});
            runPelldb({QStringLiteral("import"), master, back});
            complete = complete && run.exchanged();
        },
        [&] { run.setUp(); },
        [&] {
            runPelldb({QStringLiteral("sync"), run.file("master.mdb"), run.file("replica.mdb")});
            complete = complete && run.exchanged();
        });
    report(QStringLiteral("bundle"), rows, bundles, local);
    return complete ? 0 : 1;
});

// sync-idle: a two-way exchange with nothing new between a large master and its replica.
const Register syncIdle("sync-idle", "sync-idle [--tasks N] [--runs R]", [](const QStringList& args) {
    const long long tasks = argValue(args, QStringLiteral("tasks"), 80000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 20));
    QTemporaryDir dir;
    const auto files = masterAndReplica(dir, tasks);
    const QString &master = files.first, &replica = files.second;
    std::fprintf(stderr, "sync-idle: master %.0f MB, replica %.0f MB\n",
                 double(QFileInfo(master).size()) / 1e6, double(QFileInfo(replica).size()) / 1e6);
    long long moved = 0;
    const double ours = medianMs(runs, {}, [&] {
        auto db = db::Database::open(master);
        const auto stats = db::replication::synchronizeWithStats(*db, replica, db::SyncImpExp);
        moved += stats.imported.received + stats.exported.received;
    });
    // The least any exchange must do: open both files and read their schemas.
    const double baseline = medianMs(runs, {}, [&] {
        for (const QString& path : {master, replica}) {
            Raw raw(path);
            raw.exec("SELECT count(*) FROM sqlite_schema");
        }
    });
    report(QStringLiteral("sync-idle"), tasks, ours, baseline);
    return moved == 0 ? 0 : 1;
});

// sync-large: N attachments of M megabytes each carried by one exchange, run by pelldb; prints the peak
// memory of that process, which must not grow with the values' size (an exchange holds a bounded number of
// bytes).
const Register syncLarge("sync-large", "sync-large [--values N] [--mb M]", [](const QStringList& args) {
    const long long values = argValue(args, QStringLiteral("values"), 30);
    const long long mb = argValue(args, QStringLiteral("mb"), 10);
    QTemporaryDir dir;
    const auto files = masterAndReplica(dir, 0);
    const QString &master = files.first, &replica = files.second;
    {
        Raw raw(master);
        raw.exec("BEGIN");
        for (long long i = 0; i < values; ++i)
            raw.exec(QStringLiteral("INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (%1, 'big "
                                    "%2', randomblob(%3))")
                         .arg(1 + i % 4)
                         .arg(i)
                         .arg(mb * 1024 * 1024)
                         .toUtf8()
                         .constData());
        raw.exec("COMMIT");
    }
    QProcess exchange;
    QElapsedTimer clock;
    clock.start();
    exchange.start(pelldbPath(), {QStringLiteral("sync"), master, replica});
    if (!exchange.waitForFinished(-1) || exchange.exitCode() != 0)
        throw Error(1, QString::fromUtf8(exchange.readAllStandardError()));
    const auto ms = double(clock.elapsed());
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage); // the largest of the children waited for: this exchange
    const double peakMb = double(usage.ru_maxrss) / 1024.0;
    Raw check(replica);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(check.get(),
                       "SELECT count(*), sum(length(Contents)) FROM ATTACH WHERE File_Name LIKE 'big %'", -1,
                       &stmt, nullptr);
    sqlite3_step(stmt);
    const long long arrived = sqlite3_column_int64(stmt, 0), bytes = sqlite3_column_int64(stmt, 1);
    sqlite3_finalize(stmt);
    std::printf("sync-large values=%lld mb=%lld ours_ms=%.0f peak_rss_mb=%.0f arrived=%lld bytes=%lld\n",
                values, mb, ms, peakMb, arrived, bytes);
    return arrived == values && bytes == values * mb * 1024 * 1024 && peakMb < 200 ? 0 : 1;
});

void insertRoutes(const QString& path, long long rows) {
    Raw raw(path);
    raw.exec("BEGIN");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw.get(),
                       "INSERT INTO ROUTE (SCR_Number, From_User, To_User, Route_Date, Route_Note) "
                       "VALUES (?1, 'admin', 'dev1', '2026-12-01 10:00:00', ?2)",
                       -1, &stmt, nullptr);
    for (long long i = 0; i < rows; ++i) {
        const QByteArray note = QStringLiteral("step %1").arg(i).toUtf8();
        sqlite3_bind_int64(stmt, 1, 1 + i % 4);
        sqlite3_bind_text(stmt, 2, note.constData(), int(note.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE)
            throw Error(1, QString::fromUtf8(sqlite3_errmsg(raw.get())));
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    raw.exec("COMMIT");
}

// capture: N inserts in one transaction into a replicable database against a non-replicable copy.
const Register captureCost("capture", "capture [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 100000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 5));
    QTemporaryDir dir;
    const QString plain0 = dir.filePath(QStringLiteral("plain0.mdb"));
    const QString master0 = dir.filePath(QStringLiteral("master0.mdb"));
    const QString target = dir.filePath(QStringLiteral("target.mdb"));
    runPelldb({QStringLiteral("init"), plain0, QStringLiteral("--sample")});
    copyFile(plain0, master0);
    runPelldb({QStringLiteral("make-master"), master0, QStringLiteral("--no-list")});
    // What the writer pays: a replicable file logs each write; turning the log into versions is part of the
    // next exchange (pellbench sync counts it).
    const double ours = medianMs(
        runs, [&] { copyFile(master0, target); }, [&] { insertRoutes(target, rows); });
    const double baseline = medianMs(
        runs, [&] { copyFile(plain0, target); }, [&] { insertRoutes(target, rows); });
    report(QStringLiteral("capture"), rows, ours, baseline);
    return 0;
});

// conflicts: the Conflicts window opening on N open conflicts, against reading their lines with the bare C
// API.
const Register conflictsWindow("conflicts", "conflicts [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 5));
    QTemporaryDir dir;
    const auto files = masterAndReplica(dir, 0);
    const QString &master = files.first, &replica = files.second;
    // The same users added on both sides, named apart: every one of them is a conflict.
    writeUsers(master, QStringLiteral("u"), rows);
    writeUsers(replica, QStringLiteral("u"), rows);
    Raw(replica).exec("UPDATE \"USER\" SET User_Name = User_Name || ' (replica)'");
    db::replication::synchronize(*db::Database::open(master), replica, db::SyncImpExp);
    AppState state;
    state.DATABASE_PATH = master;
    ScriptedPlatform platform;
    AppContext ctx{state, platform};
    long long listed = 0;
    const auto [ours, baseline] = byTurns(
        runs, {},
        [&] {
            Loaded<CONFLICTS_FORM> form(ctx, nullptr);
            listed = form.List1->model()->rowCount();
        },
        {},
        [&] {
            Raw raw(master);
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(raw.get(),
                               "SELECT id, logged_at, tbl, key_text, reason, logged_by_name, state FROM "
                               "_pell_conflicts WHERE state = 'open'",
                               -1, &stmt, nullptr);
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                for (int i = 0; i < 7; ++i)
                    sqlite3_column_text(stmt, i);
            }
            sqlite3_finalize(stmt);
        });
    report(QStringLiteral("conflicts"), rows, ours, baseline);
    return listed == rows ? 0 : 1;
});

} // namespace
} // namespace pell::bench
