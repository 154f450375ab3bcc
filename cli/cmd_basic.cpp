// pelldb init, init-replicadb, check, hold.
#include "cli/command.h"

#include "db/database.h"
#include "db/files/operations.h"
#include "db/schema.h"
#include "support/sample_data.h"

#include <cstdio>

namespace pell::cli {

void addBasicCommands(Registry& registry) {
    registry.add({QStringLiteral("init"),
                  QStringLiteral("init PATH [--sample] [--users N] [--tasks N] [--seed S]"),
                  {{QStringLiteral("users"), QStringLiteral("tasks"), QStringLiteral("seed")},
                   {QStringLiteral("sample")}},
                  [](const Invocation& call) {
                      const Options& options = call.options;
                      const QString path = options.onePath();
                      sample::SampleOptions sample;
                      sample.sample = options.flag(QStringLiteral("sample"));
                      sample.users = options.intValue(QStringLiteral("users"), 0);
                      sample.tasks = options.intValue(QStringLiteral("tasks"), 0);
                      sample.seed = unsigned(options.intValue(QStringLiteral("seed"), 1));
                      auto db = db::Database::create(path);
                      db::createSharedSchema(*db);
                      sample::fillSharedDatabase(*db, sample);
                      call.out << "created " << path << "\n";
                      return 0;
                  }});

    registry.add({QStringLiteral("init-replicadb"),
                  QStringLiteral("init-replicadb PATH"),
                  {},
                  [](const Invocation& call) {
                      const QString path = call.options.onePath();
                      auto db = db::Database::create(path);
                      db::createReplicaAdminSchema(*db);
                      call.out << "created " << path << "\n";
                      return 0;
                  }});

    registry.add({QStringLiteral("check"), QStringLiteral("check PATH"), {}, [](const Invocation& call) {
                      const QStringList problems = db::files::checkDatabase(call.options.onePath());
                      for (const QString& p : problems)
                          call.out << p << "\n";
                      call.out << (problems.isEmpty() ? "ok\n" : "damaged\n");
                      return problems.isEmpty() ? 0 : 1;
                  }});

    registry.add({QStringLiteral("hold"),
                  QStringLiteral("hold PATH [--exclusive]"),
                  {{}, {QStringLiteral("exclusive")}},
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
