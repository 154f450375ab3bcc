#include "db/engine.h"

#include "db/database.h"
#include "db/error.h"

#include <QFileInfo>

namespace pell::db::engine {

void compactDatabase(const QString& source, const QString& destination) {
    checkDatabasePath(destination);
    if (QFileInfo::exists(destination))
        throw Error::make(err::DatabaseExists, destination);
    auto db = Database::open(source, {.exclusive = true});
    db->execute(QStringLiteral("VACUUM INTO ?1"), {destination});
}

void repairDatabase(const QString& path) {
    auto db = Database::open(path, {.exclusive = true});
    db->execute(QStringLiteral("REINDEX"));
    db->execute(QStringLiteral("VACUUM"));
}

QStringList checkDatabase(const QString& path) {
    auto db = Database::open(path, {.readOnly = true});
    QStringList problems;
    Statement integrity = db->prepare(QStringLiteral("PRAGMA integrity_check"));
    while (integrity.step()) {
        const QString line = integrity.value(0).toString();
        if (line != QLatin1String("ok"))
            problems << line;
    }
    Statement fk = db->prepare(QStringLiteral("PRAGMA foreign_key_check"));
    while (fk.step())
        problems << QStringLiteral("row %1 of %2 refers to a missing record of %3")
                        .arg(fk.value(1).toString(), fk.value(0).toString(), fk.value(2).toString());
    return problems;
}

} // namespace pell::db::engine
