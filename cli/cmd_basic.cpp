// pelldb init, init-replicadb, check, hold.
#include "cli/command.h"

#include "db/database.h"
#include "db/files/operations.h"
#include "db/replication/replication.h"
#include "db/schema.h"
#include "support/sample_data.h"

#include <cstdio>

namespace pell::cli {

void addBasicCommands(Registry& registry) {
    registry.add(
        {QStringLiteral("init"),
         QStringLiteral("PATH [--sample] [--users N] [--tasks N] [--seed S]"),
         QStringLiteral("Creates a new shared database at PATH, empty or with sample data."),
         {{QStringLiteral("sample"), {}, QStringLiteral("fill in the sample users, teams, tasks and tools")},
          {QStringLiteral("users"), QStringLiteral("N"), QStringLiteral("add N generated users")},
          {QStringLiteral("tasks"), QStringLiteral("N"), QStringLiteral("add N generated tasks")},
          {QStringLiteral("seed"), QStringLiteral("S"),
           QStringLiteral("the seed of the generated data (default 1)")}},
         [](const Invocation& call) {
             const Options& options = call.options;
             const QString path = options.onePath();
             sample::SampleOptions sample;
             sample.sample = options.flag(QStringLiteral("sample"));
             sample.users = options.intValue(QStringLiteral("users"), 0);
             sample.tasks = options.intValue(QStringLiteral("tasks"), 0);
             sample.seed = unsigned(options.intValue(QStringLiteral("seed"), 1));
             db::files::buildNewDatabase(path, [&](db::Database& db) {
                 db::createSharedSchema(db);
                 sample::fillSharedDatabase(db, sample);
             });
             call.out << "created " << path << "\n";
             return 0;
         }});

    registry.add(
        {QStringLiteral("init-replicadb"),
         QStringLiteral("PATH"),
         QStringLiteral("Creates a new, empty list of replicas (the replica-administration database)."),
         {},
         [](const Invocation& call) {
             const QString path = call.options.onePath();
             db::files::buildNewDatabase(path, [](db::Database& db) { db::createReplicaAdminSchema(db); });
             call.out << "created " << path << "\n";
             return 0;
         }});

    registry.add(
        {QStringLiteral("check"),
         QStringLiteral("PATH"),
         QStringLiteral("Checks a database's integrity, schema and relationships; exit status 1 when "
                        "damaged."),
         {},
         [](const Invocation& call) {
             QStringList problems = db::files::checkDatabase(call.options.onePath());
             if (problems.isEmpty()) {
                 // A member of a replica set holds in its tables what the versions it holds make of them.
                 auto db = db::Database::open(call.options.onePath(), {.readOnly = true});
                 if (db::replication::isReplicable(*db))
                     problems << db::replication::divergences(*db);
             }
             for (const QString& p : problems)
                 call.out << p << "\n";
             call.out << (problems.isEmpty() ? "ok\n" : "damaged\n");
             return problems.isEmpty() ? 0 : 1;
         }});

    registry.add({QStringLiteral("hold"),
                  QStringLiteral("PATH [--exclusive]"),
                  QStringLiteral("Keeps the database open, as a user would, until standard input closes."),
                  {{QStringLiteral("exclusive"), {}, QStringLiteral("open it exclusively")}},
                  [](const Invocation& call) {
                      const QString path = call.options.onePath();
                      auto db = db::Database::open(
                          path, {.exclusive = call.options.flag(QStringLiteral("exclusive"))});
                      call.out << "holding " << path << "\n";
                      call.out.flush();
                      // Holds the database as a user would until standard input closes.
                      while (std::fgetc(stdin) != EOF) {
                      }
                      return 0;
                  }});
}

} // namespace pell::cli
