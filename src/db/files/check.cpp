#include "db/files/operations.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/engine_file.h"
#include "db/schema.h"

#include <QFileInfo>

namespace pell::db::files {

QStringList checkDatabase(const QString& path) {
    // A normal open, as any user's: a journal left by a writer that died is rolled back first, so the
    // check sees the last committed state instead of failing on the journal.
    auto db = Database::open(path);
    if (QFileInfo(path).size() == 0 && db->tableNames().isEmpty())
        return {QStringLiteral("the file is empty: it holds no database")};
    QStringList problems = integrityProblems(*db);
    try {
        if (problems.isEmpty()) {
            problems << schemaProblems(*db);
            const bool shared = !db->actualTableName(schema::User).isEmpty();
            if (shared && problems.isEmpty()) {
                if (db->scalar(QStringLiteral("SELECT count(*) FROM ") + quoteIdentifier(schema::System))
                        .toLongLong() == 0)
                    problems << QStringLiteral("table %1 has no options row").arg(schema::System);
                if (db->scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE %2 = ?1")
                                   .arg(quoteIdentifier(schema::User), quoteIdentifier(schema::user::Id)),
                               {schema::user::Admin})
                        .toLongLong() == 0)
                    problems << QStringLiteral("table %1 has no user %2, the root of the team tree")
                                    .arg(schema::User, schema::user::Admin);
            }
        }
        Statement fk = db->prepare(QStringLiteral("PRAGMA foreign_key_check"));
        while (fk.step())
            problems << QStringLiteral("row %1 of %2 refers to a missing record of %3")
                            .arg(fk.value(1).toString(), fk.value(0).toString(), fk.value(2).toString());
        // The relationships the product keeps without declaring them: a routing step or attachment belongs to
        // a task, a user's supervisor is a user.
        for (const Relationship& r : undeclaredRelationships()) {
            if (db->actualTableName(r.child).isEmpty() || db->actualTableName(r.parent).isEmpty())
                continue;
            Statement key =
                db->prepare(QStringLiteral("SELECT name FROM pragma_table_info(?1) WHERE pk = 1"));
            key.bind(1, r.parent);
            if (!key.step())
                continue;
            const QString parentKey = key.value(0).toString();
            Statement orphans = db->prepare(
                QStringLiteral(
                    "SELECT rowid, %1 FROM %2 T WHERE %1 IS NOT NULL AND NOT EXISTS (SELECT 1 FROM %3 P "
                    "WHERE P.%4 = T.%1)")
                    .arg(quoteIdentifier(r.column), quoteIdentifier(r.child), quoteIdentifier(r.parent),
                         quoteIdentifier(parentKey)));
            while (orphans.step())
                problems << QStringLiteral("row %1 of %2 refers to a missing record of %3 (%4 %5)")
                                .arg(orphans.value(0).toString(), r.child, r.parent, r.column,
                                     orphans.value(1).toString());
        }
    } catch (const Error& error) {
        if (problems.isEmpty())
            throw;
        problems << error.text(); // the damage already found stops the relationship check too
    }
    return problems;
}

} // namespace pell::db::files
