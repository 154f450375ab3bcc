// pellbench fill: refill the lookup window's list from a table of N values (FILL_LIST into the real list
// widget, offscreen), against reading the same column with the bare C API.
#include "bench/bench.h"

#include "core/app_state.h"
#include "db/database.h"
#include "db/statement.h"
#include "lookups/F_LOOKUP.h"
#include "support/scripted_platform.h"

#include <QListWidget>

#include <sqlite3.h>

namespace pell::bench {
namespace {

const Register fill("fill", "fill [--rows N] [--runs R]", [](const QStringList& args) {
    const long long rows = argValue(args, QStringLiteral("rows"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 15));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.mdb"));
    runPelldb({QStringLiteral("init"), path});
    {
        auto db = db::Database::open(path);
        db::Transaction tx(*db);
        db::Statement insert = db->prepare(QStringLiteral("INSERT INTO LU_Category (Category) VALUES (?1)"));
        for (long long i = 0; i < rows; ++i) {
            insert.bindAll({QStringLiteral("Category %1").arg(i, 6, 10, QLatin1Char('0'))});
            insert.run();
        }
        tx.commit();
    }

    AppState state;
    state.DATABASE_PATH = path;
    ScriptedPlatform platform;
    AppContext ctx{state, platform};
    Loaded<F_LOOKUP> window(ctx, nullptr); // opens on Category and fills once
    int listed = 0;
    const double ours = medianMs(runs, {}, [&] {
        window.FILL_LIST();
        listed = window.List1->count();
    });

    int read = 0;
    const double baseline = medianMs(runs, {}, [&] {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(raw, "SELECT Category FROM LU_Category", -1, &stmt, nullptr);
        QStringList values;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (sqlite3_column_type(stmt, 0) != SQLITE_NULL)
                values << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(raw);
        read = int(values.size());
    });
    report(QStringLiteral("fill"), rows, ours, baseline);
    return listed == rows && read == rows && platform.boxes().isEmpty() ? 0 : 1;
});

} // namespace
} // namespace pell::bench
