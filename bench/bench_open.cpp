// pellbench open: open the shared database and read its first user through our engine, against the bare
// C API doing the same.
#include "bench/bench.h"

#include "db/database.h"
#include "db/recordset.h"

#include <sqlite3.h>

namespace pell::bench {
namespace {

const Register open("open", "open [--users N] [--runs R]", [](const QStringList& args) {
    const long long users = argValue(args, QStringLiteral("users"), 1000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 50));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.mdb"));
    runPelldb({QStringLiteral("init"), path, QStringLiteral("--sample"), QStringLiteral("--users"),
               QString::number(users)});
    QString seen;
    const double ours = medianMs(runs, {}, [&] {
        auto db = db::Database::open(path);
        auto rs = db->openRecordset(QStringLiteral("SELECT * FROM \"USER\" WHERE User_ID = 'admin'"));
        rs->moveFirst();
        seen = rs->field(QStringLiteral("User_Name")).toString();
    });
    const double baseline = medianMs(runs, {}, [&] {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(raw, "SELECT * FROM \"USER\" WHERE User_ID = 'admin'", -1, &stmt, nullptr);
        if (sqlite3_step(stmt) == SQLITE_ROW)
            seen = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
        sqlite3_finalize(stmt);
        sqlite3_close(raw);
    });
    report(QStringLiteral("open"), users, ours, baseline);
    return seen.isEmpty() ? 1 : 0;
});

} // namespace
} // namespace pell::bench
