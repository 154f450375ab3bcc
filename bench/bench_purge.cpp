// pellbench purge: the closed-task purge on a database from pelldb init --tasks N (half the tasks closed and
// 100 days old, 3 attachments and 5 routing steps each, day limit 30), against the same deletions done as
// three set-based DELETE statements in one transaction with the bare C API.
#include "bench/bench.h"

#include "db/database.h"
#include "system/purge.h"

#include <QFile>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include <cstdio>
#include <unistd.h>

namespace pell::bench {
namespace {

void freshCopy(const QString& from, const QString& to) {
    QFile::remove(to);
    if (!QFile::copy(from, to))
        throw Error(1, QStringLiteral("cannot copy %1").arg(from));
    // The copy's own write-back must not be timed with the purge.
    ::sync();
}

void rawExec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : "");
        sqlite3_free(message);
        throw Error(1, text);
    }
}

long long rawCount(const QString& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
}

void setBased(const QString& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK)
        throw Error(1, QStringLiteral("cannot open %1").arg(path));
    rawExec(db, "BEGIN IMMEDIATE");
    rawExec(db, "CREATE TEMP TABLE doomed AS SELECT SCR_Number FROM SCR WHERE SCR_STATUS <> 'A' "
                "AND julianday(date('now','localtime')) - julianday(date(SCR_OWNER_DATE_IN)) > "
                "(SELECT MAX_STORAGE FROM \"SYSTEM\" LIMIT 1)");
    rawExec(db, "DELETE FROM SCR WHERE SCR_Number IN (SELECT SCR_Number FROM temp.doomed)");
    rawExec(db, "DELETE FROM ATTACH WHERE SCR_Number IN (SELECT SCR_Number FROM temp.doomed)");
    rawExec(db, "DELETE FROM ROUTE WHERE SCR_Number IN (SELECT SCR_Number FROM temp.doomed)");
    rawExec(db, "COMMIT");
    sqlite3_close(db);
}

const Register purge("purge", "purge [--tasks N] [--runs R] [--batch-ms MS]", [](const QStringList& args) {
    const long long tasks = argValue(args, QStringLiteral("tasks"), 100000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 3));
    PurgeOptions options;
    options.batchMilliseconds = int(argValue(args, QStringLiteral("batch-ms"), options.batchMilliseconds));
    QTemporaryDir dir;
    const QString original = dir.filePath(QStringLiteral("original.mdb"));
    const QString work = dir.filePath(QStringLiteral("work.mdb"));
    runPelldb({QStringLiteral("init"), original, QStringLiteral("--tasks"), QString::number(tasks)});
    const char* closedLeft = "SELECT count(*) FROM SCR WHERE SCR_STATUS <> 'A'";
    const char* routesLeft = "SELECT count(*) FROM ROUTE";

    qint64 deleted = 0;
    long long oursClosed = -1;
    long long oursRoutes = -1;
    const auto [ours, baseline] = byTurns(
        runs, [&] { freshCopy(original, work); },
        [&] {
            auto db = db::Database::open(work);
            const PurgeResult result = purgeClosedTasks(*db, options);
            if (result.stoppedBy)
                throw *result.stoppedBy;
            deleted = result.deleted;
        },
        [&] {
            oursClosed = rawCount(work, closedLeft);
            oursRoutes = rawCount(work, routesLeft);
            freshCopy(original, work);
        },
        [&] { setBased(work); });
    const long long baseClosed = rawCount(work, closedLeft);
    const long long baseRoutes = rawCount(work, routesLeft);
    std::printf("purge deleted=%lld closed_left=%lld/%lld routes_left=%lld/%lld\n", (long long)deleted,
                oursClosed, baseClosed, oursRoutes, baseRoutes);
    report(QStringLiteral("purge"), tasks, ours, baseline);
    return oursClosed == baseClosed && oursRoutes == baseRoutes && deleted > 0 ? 0 : 1;
});

} // namespace
} // namespace pell::bench
