// pellbench backup and compact on a database from pelldb init --tasks N (about 220 MB for 100,000 tasks):
// the backup against cp of the same file (and against cp followed by a sync of the copy's data, which is
// what ours guarantees), the compaction against VACUUM INTO with the bare C API.
#include "bench/bench.h"

#include "core/error.h"
#include "db/files/operations.h"

#include <QFile>

#include <QProcess>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include <unistd.h>

namespace pell::bench {
namespace {

// Nothing written by the previous run may still be on its way to disk while the next one is timed.
void settle(const QStringList& remove) {
    for (const QString& path : remove)
        QFile::remove(path);
    ::sync();
}

QString makeDatabase(QTemporaryDir& dir, long long tasks) {
    QString path = dir.filePath(QStringLiteral("big.mdb"));
    runPelldb({QStringLiteral("init"), path, QStringLiteral("--tasks"), QString::number(tasks)});
    return path;
}

// Whether two files hold the same bytes; with ignoreCounters, the database header's change counters and
// schema cookie may differ (a compacted database moved them on, its copy did not).
bool sameContent(const QString& a, const QString& b, bool ignoreCounters = false) {
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    bool first = true;
    while (!fa.atEnd()) {
        QByteArray ca = fa.read(1 << 20);
        QByteArray cb = fb.read(1 << 20);
        if (first && ignoreCounters && ca.size() >= 100 && cb.size() >= 100) {
            for (const int at : {24, 40, 92}) {
                ca.replace(at, 4, QByteArray(4, '\0'));
                cb.replace(at, 4, QByteArray(4, '\0'));
            }
        }
        first = false;
        if (ca != cb)
            return false;
    }
    return true;
}

const Register backup("backup", "backup [--tasks N] [--runs R]", [](const QStringList& args) {
    const long long tasks = argValue(args, QStringLiteral("tasks"), 100000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 5));
    QTemporaryDir dir;
    const QString database = makeDatabase(dir, tasks);
    const QString ours = dir.filePath(QStringLiteral("ours.mdb"));
    const QString theirs = dir.filePath(QStringLiteral("cp.mdb"));
    const auto [oursMs, cpMs] = byTurns(
        runs, [&] { settle({ours}); }, [&] { db::files::copyDatabaseFile(database, ours); },
        [&] { settle({theirs}); },
        [&] {
            QProcess cp;
            cp.start(QStringLiteral("cp"), {database, theirs});
            if (!cp.waitForFinished(-1) || cp.exitCode() != 0)
                throw Error(1, QStringLiteral("cp failed"));
        });
    report(QStringLiteral("backup"), QFile(database).size(), oursMs, cpMs);
    // cp leaves its copy to the system's write-back; ours is on disk before it is put in place. The same
    // work done durably by hand: cp, then the copy's data synced.
    const auto [oursAgainMs, durableMs] = byTurns(
        runs, [&] { settle({ours}); }, [&] { db::files::copyDatabaseFile(database, ours); },
        [&] { settle({theirs}); },
        [&] {
            QProcess cp;
            cp.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"), QStringLiteral("cp \"$1\" \"$2\" && sync --data \"$2\""),
                      QStringLiteral("sh"), database, theirs});
            if (!cp.waitForFinished(-1) || cp.exitCode() != 0)
                throw Error(1, QStringLiteral("cp and sync failed"));
        });
    report(QStringLiteral("backup-durable"), QFile(database).size(), oursAgainMs, durableMs);
    return sameContent(database, ours) ? 0 : 1;
});

const Register compact("compact", "compact [--tasks N] [--runs R]", [](const QStringList& args) {
    const long long tasks = argValue(args, QStringLiteral("tasks"), 100000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 3));
    QTemporaryDir dir;
    const QString original = makeDatabase(dir, tasks);
    const QString work = dir.filePath(QStringLiteral("work.mdb"));
    const QString temp = dir.filePath(QStringLiteral("_temp.mdb"));
    const QString vacuumed = dir.filePath(QStringLiteral("v.mdb"));
    const auto freshWork = [&] {
        settle({work, temp});
        if (!QFile::copy(original, work))
            throw Error(1, QStringLiteral("cannot copy the database"));
        ::sync();
    };
    bool copyLeft = true;
    const auto [oursMs, vacuumMs] = byTurns(
        runs, freshWork, [&] { db::files::compactInPlace(work, temp); },
        [&] {
            copyLeft = copyLeft && sameContent(work, temp, true);
            settle({vacuumed});
        },
        [&] {
            sqlite3* db = nullptr;
            sqlite3_open_v2(QFile::encodeName(original).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
            const QByteArray sql = "VACUUM INTO '" + QFile::encodeName(vacuumed) + "'";
            const int rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
            sqlite3_close(db);
            if (rc != SQLITE_OK)
                throw Error(1, QStringLiteral("VACUUM INTO failed"));
        });
    report(QStringLiteral("compact"), QFile(original).size(), oursMs, vacuumMs);
    return copyLeft ? 0 : 1;
});

} // namespace
} // namespace pell::bench
