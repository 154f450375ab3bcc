#pragma once

#include <QList>
#include <QString>

namespace pell::db {

class Database;

// Table and column names the program reads and writes.
namespace schema {
inline const QString User = QStringLiteral("USER");
inline const QString Category = QStringLiteral("LU_Category");
inline const QString Priority = QStringLiteral("LU_Priority");
inline const QString Tool = QStringLiteral("TOOL");
inline const QString System = QStringLiteral("SYSTEM");
inline const QString Scr = QStringLiteral("SCR");
inline const QString Attach = QStringLiteral("ATTACH");
inline const QString Route = QStringLiteral("ROUTE");
inline const QString Replica = QStringLiteral("REPLICA");
} // namespace schema

// A relationship the product relies on without declaring it as a foreign key: the child column refers to the
// parent's key. Cascade: the child rows go with their parent; otherwise the parent may not go while referred to.
struct Relationship {
    QString child;
    QString column;
    QString parent;
    bool cascade = false;
};
QList<Relationship> undeclaredRelationships();

// The tables of the shared database, with the relationships the delete commands rely on: tasks refer to
// their owner, category and priority, without cascading deletes. Only pelldb and tests create them; the
// administration program never creates or alters tables.
void createSharedSchema(Database& db);
// The replica-administration database: the table of known replicas.
void createReplicaAdminSchema(Database& db);

struct SampleOptions {
    bool sample = false; // admin, teams, lookups, tools, options and a few tasks
    int users = 0;       // further generated users in teams under admin
    int tasks = 0;       // generated tasks: half closed and 100 days old, 3 attachments and 5 routes each
    unsigned seed = 1;
};
// Fills a new shared database. The admin user and one SYSTEM row are always written.
void fillSharedDatabase(Database& db, const SampleOptions& options);

} // namespace pell::db
