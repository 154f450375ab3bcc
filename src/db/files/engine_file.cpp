#include "db/files/engine_file.h"

#include "core/error.h"
#include "db/database.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

namespace pell::db::files {

void holdFileExclusively(Database& db) {
    sqlite3* raw = db.rawHandle();
    exec(raw, QStringLiteral("PRAGMA locking_mode=EXCLUSIVE"));
    exec(raw, QStringLiteral("BEGIN EXCLUSIVE"));
    exec(raw, QStringLiteral("COMMIT"));
}

QString fileBehind(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

QStringList integrityProblems(Database& db) {
    QStringList problems;
    try {
        Statement integrity = db.prepare(QStringLiteral("PRAGMA integrity_check"));
        while (integrity.step()) {
            const QString line = integrity.value(0).toString();
            if (line != QLatin1String("ok"))
                problems << line;
        }
    } catch (const Error& error) {
        if (error.number() != err::Corrupt && error.number() != err::NotADatabase)
            throw;
        problems << error.text();
    }
    return problems;
}

bool schemaReadable(sqlite3* db) {
    return sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) == SQLITE_OK;
}

SqliteHandle openPlain(const QString& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteHandle handle(raw);
    if (rc != SQLITE_OK)
        throwSqlite(raw, rc, path);
    sqlite3_extended_result_codes(raw, 1);
    return handle;
}

} // namespace pell::db::files
