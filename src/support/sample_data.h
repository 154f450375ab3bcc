#pragma once

namespace pell::db {
class Database;
}

// The sample data of a new shared database: what scripts/setup lays out for a first look at the program,
// what the tests start from, and the large generated databases of the benchmarks.
namespace pell::sample {

struct SampleOptions {
    bool sample = false; // admin, teams, lookups, tools, options and a few tasks
    int users = 0;       // further generated users in teams under admin
    int tasks = 0;       // generated tasks: half closed and 100 days old, 3 attachments and 5 routes each
    unsigned seed = 1;
};

// Fills a new shared database (db::createSharedSchema). The admin user and one SYSTEM row are always written.
void fillSharedDatabase(db::Database& db, const SampleOptions& options);

} // namespace pell::sample
