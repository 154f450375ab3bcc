#include "db/replication/install.h"

#include "db/database.h"
#include "db/replication/replication.h"

namespace pell::db::replication {

namespace {
class Engine final : public ReplicaSetEngine {
public:
    bool isReplicable(Database& db) override { return replication::isReplicable(db); }
    void convertToMaster(Database& db) override { replication::convertToMaster(db); }
    void makeReplica(Database& db, const QString& path, const QString& description) override {
        replication::makeReplica(db, path, description);
    }
    void synchronize(Database& db, const QString& partnerPath, int mode) override {
        replication::synchronize(db, partnerPath, mode);
    }
};
} // namespace

void install() {
    static Engine engine;
    ReplicaSetEngine::install(&engine);
}

} // namespace pell::db::replication
