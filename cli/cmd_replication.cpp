// pelldb make-master, make-replica, sync, conflicts: replica-set administration from a shell, for
// scheduled synchronization.
#include "cli/command.h"

#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/replication.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace pell::cli {
namespace {

namespace rep = db::replication;

const Register makeMaster("make-master", "make-master DB", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    const QString path = options.positional().constFirst();
    auto db = db::Database::open(path, {.exclusive = true});
    db::engine::requirePellwoodDatabase(*db);
    db->appendProperty(
        db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T")));
    const rep::Identity id = rep::identity(*db);
    out << path << " is now the master of replica set " << id.setId << " (replica " << id.replicaId << ")\n";
    return 0;
});

const Register makeReplica("make-replica", "make-replica DB DEST [DESCRIPTION]",
                           [](const QStringList& args, QTextStream& out) {
                               const Options options(args, {}, {});
                               const QStringList& p = options.positional();
                               if (p.size() < 2 || p.size() > 3)
                                   throw UsageError{QStringLiteral("expects a database, a destination and an "
                                                                   "optional description")};
                               const QString description =
                                   p.size() == 3 ? p[2] : QStringLiteral("replica of ") + p[1];
                               auto db = db::Database::open(p[0]);
                               db->makeReplica(p[1], description);
                               auto replica = db::Database::open(p[1], {.readOnly = true});
                               const rep::Identity id = rep::identity(*replica);
                               out << "created replica " << p[1] << " of " << p[0] << " (replica "
                                   << id.replicaId << ", \"" << id.description << "\")\n";
                               return 0;
                           });

void printDirection(QTextStream& out, const char* what, const rep::DirectionStats& s) {
    out << what << ": " << s.received << " versions received, " << s.applied << " applied, " << s.conflicts
        << " conflicts logged, " << s.batches << " transactions\n";
}

const Register sync("sync", "sync DB PARTNER [--mode 1|2|4] [--batch N]",
                    [](const QStringList& args, QTextStream& out) {
                        const Options options(args, {QStringLiteral("mode"), QStringLiteral("batch")}, {});
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
                            printDirection(out, "imported", stats.imported);
                        if (mode != db::SyncImport)
                            printDirection(out, "exported", stats.exported);
                        out << "synchronized " << path << " with " << partner << "\n";
                        return 0;
                    });

const Register
    conflicts("conflicts", "conflicts DB [--all] [--json]", [](const QStringList& args, QTextStream& out) {
        const Options options(args, {}, {QStringLiteral("all"), QStringLiteral("json")});
        if (options.positional().size() != 1)
            throw UsageError{QStringLiteral("expects one database path")};
        auto db = db::Database::open(options.positional().constFirst(), {.readOnly = true});
        const QList<rep::ConflictView> list = rep::conflicts(*db, options.flag(QStringLiteral("all")));
        if (options.flag(QStringLiteral("json"))) {
            const auto object = [](const QString& json) {
                return json.isEmpty() ? QJsonValue()
                                      : QJsonValue(QJsonDocument::fromJson(json.toUtf8()).object());
            };
            QJsonArray array;
            for (const rep::ConflictView& c : list)
                array.append(
                    QJsonObject{{QStringLiteral("id"), c.id},
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
            out << "#" << c.id << " " << c.loggedAt << " " << c.table << " " << c.key << ": " << c.reason
                << " [" << c.state << "]\n";
            out << "    kept: " << (c.keptJson.isEmpty() ? QStringLiteral("(deleted)") : c.keptJson) << "\n";
            out << "    lost: " << (c.lostJson.isEmpty() ? QStringLiteral("(deleted)") : c.lostJson) << "\n";
        }
        out << list.size() << " conflicts\n";
        return 0;
    });

const Register
    resolve("resolve", "resolve DB ID keep|restore", [](const QStringList& args, QTextStream& out) {
        const Options options(args, {}, {});
        const QStringList& p = options.positional();
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
        out << "conflict " << id << (p[2] == QLatin1String("keep") ? " kept" : " restored") << "\n";
        return 0;
    });

} // namespace
} // namespace pell::cli
