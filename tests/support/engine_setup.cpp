// Linked into every test executable: the replica-set engine is installed as each program installs it, before
// the test's first database is opened.
#include "db/replication/install.h"

#include <QCoreApplication>

namespace {
void installReplicaSetEngine() {
    pell::db::replication::install();
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(installReplicaSetEngine)
