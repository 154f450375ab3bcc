// pellbench tree: the user window builds its whole team tree in the real tree control (offscreen) from a
// database of N generated users, against the bare C API reading the same three columns of every user.
#include "bench/bench.h"

#include "core/app_state.h"
#include "support/scripted_platform.h"
#include "users/F_USER.h"
#include "widgets/tree_control.h"

#include <QFile>

#include <sqlite3.h>

#include <cstdio>
#include <memory>

namespace pell::bench {
namespace {

const Register tree("tree", "tree [--users N] [--runs R]", [](const QStringList& args) {
    const long long users = argValue(args, QStringLiteral("users"), 10000);
    const int runs = int(argValue(args, QStringLiteral("runs"), 5));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.mdb"));
    runPelldb({QStringLiteral("init"), path, QStringLiteral("--sample"), QStringLiteral("--users"),
               QString::number(users)});

    AppState state;
    state.programFolder = dir.path();
    state.DATABASE_PATH = path;
    ScriptedPlatform platform;
    AppContext ctx{state, platform};

    // Opening the window reads the table and builds the tree; the view is then brought up to date.
    // Closing the previous window (which writes the tree file) is left out of the timing.
    std::unique_ptr<Loaded<F_USER>> window;
    int nodes = 0;
    const double ours = medianMs(
        runs, [&] { window.reset(); },
        [&] {
            window = std::make_unique<Loaded<F_USER>>(ctx, nullptr);
            window->Easytree1->flush();
            nodes = window->Easytree1->nodeCount();
        });
    window.reset();

    long long read = 0;
    const double baseline = medianMs(runs, {}, [&] {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(raw, "SELECT User_ID, User_Name, Supervisor_User_ID FROM \"USER\"", -1, &stmt,
                           nullptr);
        read = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            read +=
                sqlite3_column_bytes(stmt, 0) + sqlite3_column_bytes(stmt, 1) + sqlite3_column_bytes(stmt, 2);
        sqlite3_finalize(stmt);
        sqlite3_close(raw);
    });
    report(QStringLiteral("tree"), users, ours, baseline);
    // admin, the sample's six team members and every generated user stand in the tree.
    const bool complete = nodes == users + 7 && platform.boxes().isEmpty() && read > 0;
    if (!complete)
        std::fprintf(stderr, "tree: %d nodes, %lld boxes\n", nodes,
                     static_cast<long long>(platform.boxes().size()));
    return complete ? 0 : 1;
});

} // namespace
} // namespace pell::bench
