#include "db/schema.h"

#include "core/error.h"
#include "db/database.h"

#include <QFileInfo>

#include <vector>

// Whether a file holds the tables of a Pellwood database, as the commands that rewrite a whole file must
// know before they touch it.
namespace pell::db {

namespace {

struct ExpectedTable {
    QString name;
    QStringList columns;
    QString key; // a unique key that ignores case, or empty
};

const std::vector<ExpectedTable>& sharedTables() {
    using namespace schema;
    static const std::vector<ExpectedTable> tables = {
        {User,
         {user::Id, user::Name, user::Password, user::ReviewAccount, user::AllowForwarding,
          user::EditContactInfo, user::DeleteContactInfo, user::FullAccess, user::TeammateAccess,
          user::Supervisor},
         user::Id},
        {Category, {lookup::Category}, lookup::Category},
        {Priority, {lookup::Priority}, lookup::Priority},
        {Tool,
         {tool::Name, tool::Exe, tool::AccessScreen, tool::ScrScreen, tool::ParamUserId,
          tool::ParamScrNumber},
         tool::Name},
        {System,
         {options::MaxStorage, options::ChunkSize, options::MandTargetDate, options::MandCategory,
          options::MandContact, options::MandPriority, options::AllowUnownedEdit, options::EditAttachments},
         {}},
        {Scr, {task::Number, task::Status, task::OwnerDateIn}, {}},
        {Attach, {task::Number}, {}},
        {Route, {task::Number}, {}},
    };
    return tables;
}

QStringList lowered(sqlite3* db, const QString& sql, const QString& arg) {
    QStringList values;
    Statement stmt(db, sql);
    stmt.bind(1, arg);
    while (stmt.step())
        values << stmt.value(0).toString().toLower();
    return values;
}

// Whether column alone is a unique key of table that compares text ignoring case.
bool isCaseInsensitiveKey(sqlite3* db, const QString& table, const QString& column) {
    Statement indexes(
        db, QStringLiteral("SELECT name FROM pragma_index_list(?1) WHERE \"unique\" AND NOT partial"));
    indexes.bind(1, table);
    while (indexes.step()) {
        Statement keys(
            db, QStringLiteral("SELECT name, coll FROM pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno"));
        keys.bind(1, indexes.value(0).toString());
        QStringList names;
        QString collation;
        while (keys.step()) {
            names << keys.value(0).toString();
            collation = keys.value(1).toString();
        }
        if (names.size() == 1 && names.constFirst().compare(column, Qt::CaseInsensitive) == 0 &&
            collation.compare(QLatin1String("NOCASE"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QStringList schemaProblemsOf(sqlite3* db) {
    QStringList problems;
    const auto existing = [&](const QString& name) {
        Statement stmt(db, QStringLiteral("SELECT name FROM sqlite_schema WHERE type = 'table' AND name = ?1 "
                                          "COLLATE NOCASE"));
        stmt.bind(1, name);
        return stmt.step() ? stmt.value(0).toString() : QString();
    };
    if (!existing(schema::Replica).isEmpty() && existing(schema::User).isEmpty() &&
        existing(schema::Scr).isEmpty()) {
        // The replica-administration database: one table of locations.
        if (!lowered(db, QStringLiteral("SELECT name FROM pragma_table_info(?1)"), schema::Replica)
                 .contains(schema::replica::Location.toLower()))
            problems << QStringLiteral("table %1 has no column %2")
                            .arg(schema::Replica, schema::replica::Location);
        return problems;
    }
    for (const ExpectedTable& expected : sharedTables()) {
        const QString name = existing(expected.name);
        if (name.isEmpty()) {
            problems << QStringLiteral("table %1 is missing").arg(expected.name);
            continue;
        }
        const QStringList columns =
            lowered(db, QStringLiteral("SELECT name FROM pragma_table_info(?1)"), name);
        for (const QString& column : expected.columns) {
            if (!columns.contains(column.toLower()))
                problems << QStringLiteral("table %1 has no column %2").arg(name, column);
        }
        if (!expected.key.isEmpty() && columns.contains(expected.key.toLower()) &&
            !isCaseInsensitiveKey(db, name, expected.key))
            problems << QStringLiteral("%1 of table %2 is not a unique key that ignores case")
                            .arg(expected.key, name);
    }
    const QString tasks = existing(schema::Scr);
    if (tasks.isEmpty())
        return problems;
    // Tasks must refer to their owner, category and priority without cascading deletes; attachments and
    // routing steps must not refuse the deletion of their task.
    struct Relation {
        QString table;
        QString column;
    };
    const Relation relations[] = {{schema::User, schema::user::Id},
                                  {schema::Category, schema::lookup::Category},
                                  {schema::Priority, schema::lookup::Priority}};
    for (const Relation& relation : relations) {
        Statement fks(db,
                      QStringLiteral("SELECT \"table\", \"to\", on_delete FROM pragma_foreign_key_list(?1)"));
        fks.bind(1, tasks);
        bool found = false;
        bool cascades = false;
        while (fks.step()) {
            if (fks.value(0).toString().compare(relation.table, Qt::CaseInsensitive) != 0)
                continue;
            const QString to = fks.value(1).toString();
            if (!to.isEmpty() && to.compare(relation.column, Qt::CaseInsensitive) != 0)
                continue;
            const QString onDelete = fks.value(2).toString().toUpper();
            if (onDelete == QLatin1String("NO ACTION") || onDelete == QLatin1String("RESTRICT"))
                found = true;
            else
                cascades = true;
        }
        if (!found && cascades)
            problems << QStringLiteral(
                            "the relationship from %1 to %2 deletes or changes tasks instead of refusing")
                            .arg(tasks, relation.table);
        else if (!found)
            problems << QStringLiteral("table %1 has no relationship to %2.%3")
                            .arg(tasks, relation.table, relation.column);
    }
    for (const QString& child : {schema::Attach, schema::Route}) {
        const QString name = existing(child);
        if (name.isEmpty())
            continue;
        Statement fks(db, QStringLiteral("SELECT \"table\", on_delete FROM pragma_foreign_key_list(?1)"));
        fks.bind(1, name);
        while (fks.step()) {
            const QString onDelete = fks.value(1).toString().toUpper();
            if (fks.value(0).toString().compare(tasks, Qt::CaseInsensitive) == 0 &&
                (onDelete == QLatin1String("NO ACTION") || onDelete == QLatin1String("RESTRICT")))
                problems << QStringLiteral("the relationship from %1 to %2 refuses the deletion of a task")
                                .arg(name, tasks);
        }
    }
    return problems;
}

QStringList schemaProblems(Database& db) {
    return schemaProblemsOf(db.rawHandle());
}

void requirePellwoodDatabase(Database& db) {
    if (QFileInfo(db.path()).size() == 0)
        throw Error::make(err::NotPellwood, db.path() + QStringLiteral(" (the file is empty)"));
    const QStringList problems = schemaProblems(db);
    if (!problems.isEmpty())
        throw Error::make(err::NotPellwood,
                          db.path() + QStringLiteral(" (") + problems.join(QStringLiteral("; ")) + u')');
}

} // namespace pell::db
