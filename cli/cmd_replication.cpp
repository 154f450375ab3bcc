// pelldb make-master, make-replica, sync, conflicts: replica-set administration from a shell, for
// scheduled synchronization.
#include "cli/command.h"

#include "core/error.h"
#include "db/database.h"
#include "db/replication/replication.h"
#include "db/replication/values.h"
#include "db/schema.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace pell::cli {
namespace {

namespace rep = db::replication;

int makeMaster(const Invocation& call) {
    const QString path = call.options.onePath();
    auto db = db::Database::open(path, {.exclusive = true});
    db::requirePellwoodDatabase(*db);
    db->appendProperty(
        db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T")));
    const rep::Identity id = rep::identity(*db);
    call.out << path << " is now the master of replica set " << id.setId << " (replica " << id.replicaId
             << ")\n";
    return 0;
}

int makeReplica(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() < 2 || p.size() > 3)
        throw UsageError{QStringLiteral("expects a database, a destination and an optional description")};
    const QString description = p.size() == 3 ? p[2] : QStringLiteral("replica of ") + p[1];
    auto db = db::Database::open(p[0]);
    db->makeReplica(p[1], description);
    auto replica = db::Database::open(p[1], {.readOnly = true});
    const rep::Identity id = rep::identity(*replica);
    call.out << "created replica " << p[1] << " of " << p[0] << " (replica " << id.replicaId << ", \""
             << id.description << "\")\n";
    return 0;
}

void printDirection(QTextStream& out, const char* what, const rep::DirectionStats& s) {
    out << what << ": " << s.received << " versions received, " << s.applied << " applied, " << s.conflicts
        << " conflicts logged, " << s.batches << " transactions\n";
}

int sync(const Invocation& call) {
    const Options& options = call.options;
    if (options.positional().size() != 2)
        throw UsageError{QStringLiteral("expects a database and its partner")};
    bool ok = false;
    const QString modeText = options.value(QStringLiteral("mode"), QStringLiteral("4"));
    const int mode = modeText.toInt(&ok);
    if (!ok)
        throw Error::make(err::InvalidExchangeMode, modeText);
    const int batch = options.intValue(QStringLiteral("batch"), 0);
    const QString path = options.positional().at(0);
    const QString partner = options.positional().at(1);
    auto db = db::Database::open(path);
    const rep::SyncStats stats = rep::synchronizeWithStats(*db, partner, mode, batch);
    if (mode != db::SyncExport)
        printDirection(call.out, "imported", stats.imported);
    if (mode != db::SyncImport)
        printDirection(call.out, "exported", stats.exported);
    call.out << "synchronized " << path << " with " << partner << "\n";
    return 0;
}

int conflicts(const Invocation& call) {
    QTextStream& out = call.out;
    const Options& options = call.options;
    auto db = db::Database::open(options.onePath(), {.readOnly = true});
    const QList<rep::ConflictView> list = rep::conflicts(*db, options.flag(QStringLiteral("all")));
    if (options.flag(QStringLiteral("json"))) {
        const auto object = [](const QString& json) {
            return json.isEmpty() ? QJsonValue()
                                  : QJsonValue(QJsonDocument::fromJson(json.toUtf8()).object());
        };
        QJsonArray array;
        for (const rep::ConflictView& c : list)
            array.append(QJsonObject{{QStringLiteral("id"), c.id},
                                     {QStringLiteral("logged_at"), c.loggedAt},
                                     {QStringLiteral("table"), c.table},
                                     {QStringLiteral("key"), QJsonDocument::fromJson(c.key.toUtf8()).array()},
                                     {QStringLiteral("reason"), c.reason},
                                     {QStringLiteral("state"), c.state},
                                     {QStringLiteral("member"), c.member},
                                     {QStringLiteral("kept"), object(c.keptJson)},
                                     {QStringLiteral("lost"), object(c.lostJson)}});
        out << QJsonDocument(array).toJson(QJsonDocument::Indented);
        return 0;
    }
    for (const rep::ConflictView& c : list) {
        out << "#" << c.id << " " << c.loggedAt << " " << c.table << " " << c.key << ": " << c.reason << " ["
            << c.state << "]\n";
        out << "    kept: " << (c.keptJson.isEmpty() ? QStringLiteral("(deleted)") : c.keptJson) << "\n";
        out << "    lost: " << (c.lostJson.isEmpty() ? QStringLiteral("(deleted)") : c.lostJson) << "\n";
    }
    out << list.size() << " conflicts\n";
    return 0;
}

int resolve(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() != 3 || (p[2] != QLatin1String("keep") && p[2] != QLatin1String("restore")))
        throw UsageError{QStringLiteral("expects a database, a conflict number and keep or restore")};
    bool ok = false;
    const qint64 id = p[1].toLongLong(&ok);
    if (!ok)
        throw Error::make(err::ConflictNotFound, p[1]);
    auto db = db::Database::open(p[0]);
    if (p[2] == QLatin1String("keep"))
        rep::keepConflict(*db, id);
    else
        rep::restoreConflict(*db, id);
    call.out << "conflict " << id << (p[2] == QLatin1String("keep") ? " kept" : " restored") << "\n";
    return 0;
}

} // namespace

void addReplicationCommands(Registry& registry) {
    registry.add({QStringLiteral("make-master"), QStringLiteral("make-master DB"), {}, makeMaster});
    registry.add({QStringLiteral("make-replica"),
                  QStringLiteral("make-replica DB DEST [DESCRIPTION]"),
                  {},
                  makeReplica});
    registry.add({QStringLiteral("sync"),
                  QStringLiteral("sync DB PARTNER [--mode 1|2|4] [--batch N]"),
                  {{QStringLiteral("mode"), QStringLiteral("batch")}, {}},
                  sync});
    registry.add({QStringLiteral("conflicts"),
                  QStringLiteral("conflicts DB [--all] [--json]"),
                  {{}, {QStringLiteral("all"), QStringLiteral("json")}},
                  conflicts});
    registry.add({QStringLiteral("resolve"), QStringLiteral("resolve DB ID keep|restore"), {}, resolve});
}

} // namespace pell::cli
