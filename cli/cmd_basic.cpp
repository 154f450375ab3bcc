// pelldb init, init-replicadb, check, hold.
#include "cli/command.h"

#include "db/database.h"
#include "db/files/operations.h"
#include "db/schema.h"
#include "support/sample_data.h"

#include <cstdio>

namespace pell::cli {
namespace {

QString onePath(const Options& options) {
    if (options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    return options.positional().constFirst();
}

const Register init("init", "init PATH [--sample] [--users N] [--tasks N] [--seed S]",
                    [](const QStringList& args, QTextStream& out) {
                        const Options options(
                            args, {QStringLiteral("users"), QStringLiteral("tasks"), QStringLiteral("seed")},
                            {QStringLiteral("sample")});
                        const QString path = onePath(options);
                        sample::SampleOptions sample;
                        sample.sample = options.flag(QStringLiteral("sample"));
                        sample.users = options.intValue(QStringLiteral("users"), 0);
                        sample.tasks = options.intValue(QStringLiteral("tasks"), 0);
                        sample.seed = unsigned(options.intValue(QStringLiteral("seed"), 1));
                        auto db = db::Database::create(path);
                        db::createSharedSchema(*db);
                        sample::fillSharedDatabase(*db, sample);
                        out << "created " << path << "\n";
                        return 0;
                    });

const Register initReplicaDb("init-replicadb", "init-replicadb PATH",
                             [](const QStringList& args, QTextStream& out) {
                                 const Options options(args, {}, {});
                                 const QString path = onePath(options);
                                 auto db = db::Database::create(path);
                                 db::createReplicaAdminSchema(*db);
                                 out << "created " << path << "\n";
                                 return 0;
                             });

const Register check("check", "check PATH", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    const QString path = onePath(options);
    const QStringList problems = db::files::checkDatabase(path);
    for (const QString& p : problems)
        out << p << "\n";
    out << (problems.isEmpty() ? "ok\n" : "damaged\n");
    return problems.isEmpty() ? 0 : 1;
});

const Register hold("hold", "hold PATH [--exclusive]", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {QStringLiteral("exclusive")});
    const QString path = onePath(options);
    auto db = db::Database::open(path, {.exclusive = options.flag(QStringLiteral("exclusive"))});
    out << "holding " << path << "\n";
    out.flush();
    // Holds the database as a user would until standard input closes.
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
});

} // namespace
} // namespace pell::cli
