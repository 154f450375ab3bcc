#include "db/files/salvage.h"

#include "core/error.h"
#include "db/files/posix_files.h"
#include "db/statement.h"
#include "db/transaction.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <sqlite3.h>

#include <fcntl.h>
#include <limits>
#include <optional>

namespace pell::db::files {

namespace {

struct SchemaObject {
    QString type;
    QString name;
    QString sql;
};

std::vector<SchemaObject> readSchema(sqlite3* source) {
    std::vector<SchemaObject> objects;
    Statement stmt(source, QStringLiteral("SELECT type, name, sql FROM sqlite_schema WHERE sql IS NOT NULL "
                                          "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY rowid"));
    while (stmt.step())
        objects.push_back({stmt.value(0).toString(), stmt.value(1).toString(), stmt.value(2).toString()});
    return objects;
}

bool isVirtual(const SchemaObject& object) {
    static const QRegularExpression re(QStringLiteral(R"(^\s*CREATE\s+VIRTUAL\s)"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re.match(object.sql).hasMatch();
}

QStringList insertableColumns(sqlite3* source, const QString& table) {
    QStringList columns;
    Statement stmt(source, QStringLiteral("SELECT name FROM pragma_table_xinfo(?1) WHERE hidden = 0"));
    stmt.bind(1, table);
    while (stmt.step())
        columns << quoteIdentifier(stmt.value(0).toString());
    return columns;
}

bool hasRowid(sqlite3* source, const QString& table) {
    sqlite3_stmt* probe = nullptr;
    const QByteArray sql =
        (QStringLiteral("SELECT rowid FROM ") + quoteIdentifier(table) + QStringLiteral(" LIMIT 0")).toUtf8();
    const int rc = sqlite3_prepare_v2(source, sql.constData(), int(sql.size()), &probe, nullptr);
    sqlite3_finalize(probe);
    return rc == SQLITE_OK;
}

// Copies the rows of one table. Rows are read in rowid order; where the engine reports damage, the scan
// resumes at the first rowid beyond the damaged stretch that can be reached again, found by probing
// further and further ahead and then narrowing back. A damaged page thus costs only the rows on it.
class TableCopier {
public:
    TableCopier(sqlite3* source, sqlite3* target, const QString& table, RepairReport& report)
        : m_source(source), m_target(target), m_report(report) {
        const QStringList columns = insertableColumns(source, table);
        m_columnCount = int(columns.size());
        m_withRowid = hasRowid(source, table);
        const QString name = quoteIdentifier(table);
        QStringList marks;
        for (int i = 1; i <= m_columnCount + (m_withRowid ? 1 : 0); ++i)
            marks << u'?' + QString::number(i);
        if (m_withRowid) {
            m_scan = QStringLiteral("SELECT rowid, ") + columns.join(u',') + QStringLiteral(" FROM ") + name +
                     QStringLiteral(" WHERE rowid >= ?1 ORDER BY rowid");
            m_insert = QStringLiteral("INSERT INTO ") + name + QStringLiteral(" (rowid, ") +
                       columns.join(u',') + QStringLiteral(") VALUES (") + marks.join(u',') + u')';
        } else {
            m_scan = QStringLiteral("SELECT ") + columns.join(u',') + QStringLiteral(" FROM ") + name;
            m_insert = QStringLiteral("INSERT INTO ") + name + QStringLiteral(" (") + columns.join(u',') +
                       QStringLiteral(") VALUES (") + marks.join(u',') + u')';
        }
    }

    void run() {
        if (m_columnCount == 0)
            return;
        try {
            copyRows();
        } catch (const TargetFailure& failure) {
            // Writing the fresh file failed (a full disk, a failing device): that ends the repair.
            throw failure.error;
        }
    }

private:
    enum class Probe { Row, End, Damaged };

    // A failure of the fresh file, kept apart from the damage that reading the old one meets.
    struct TargetFailure {
        Error error;
    };

    void copyRows() {
        Statement insert(m_target, m_insert);
        if (!m_withRowid) {
            // Without a rowid there is no way past a damaged page: the rows up to it are kept.
            Statement scan(m_source, m_scan);
            try {
                while (scan.step())
                    copyRow(scan, insert, 0);
            } catch (const Error& error) {
                if (!isDamage(error))
                    throw;
            }
            return;
        }
        Statement scan(m_source, m_scan);
        std::optional<qint64> from = std::numeric_limits<qint64>::min();
        std::optional<qint64> lastGood;
        while (from) {
            scan.reset();
            scan.bind(1, *from);
            bool damaged = false;
            bool progressed = false;
            try {
                while (scan.step()) {
                    const qint64 rowid = scan.int64(0);
                    if (rowid < *from || (lastGood && rowid <= *lastGood)) {
                        damaged = true; // a page out of order is no page to trust
                        break;
                    }
                    copyRow(scan, insert, 1);
                    lastGood = rowid;
                    progressed = true;
                }
            } catch (const Error& error) {
                if (!isDamage(error))
                    throw;
                damaged = true;
            }
            // Without a single row read, the search goes on beyond this start, so it always moves forward.
            from = damaged ? nextReachable(progressed ? lastGood : from) : std::nullopt;
        }
    }

    static bool isDamage(const Error& error) {
        return error.number() == err::Corrupt || error.number() == err::NotADatabase ||
               error.number() == err::DiskIo;
    }

    void copyRow(const Statement& scan, Statement& insert, int first) {
        sqlite3_stmt* in = scan.raw();
        sqlite3_stmt* out = insert.raw();
        const int count = m_columnCount + first;
        try {
            for (int i = 0; i < count; ++i)
                check(m_target, sqlite3_bind_value(out, i + 1, sqlite3_column_value(in, i)));
            const int rc = sqlite3_step(out);
            sqlite3_reset(out);
            if (rc == SQLITE_DONE) {
                ++m_report.rowsKept;
            } else if ((rc & 0xff) == SQLITE_CONSTRAINT) {
                ++m_report.rowsLost; // a damaged value that collides with a key already copied
            } else {
                throwSqlite(m_target, rc);
            }
        } catch (const Error& error) {
            throw TargetFailure{error};
        }
    }

    Probe probe(qint64 from) {
        if (!m_probe)
            m_probe.emplace(m_source, m_scan + QStringLiteral(" LIMIT 1"));
        m_probe->reset();
        m_probe->bind(1, from);
        try {
            const bool row = m_probe->step();
            m_probe->reset();
            return row ? Probe::Row : Probe::End;
        } catch (const Error& error) {
            if (!isDamage(error))
                throw;
            return Probe::Damaged;
        }
    }

    // The smallest start beyond `after` from which the scan gets past the damage, or nothing when no row
    // beyond it can be read.
    std::optional<qint64> nextReachable(std::optional<qint64> after) {
        const qint64 base = after ? *after : std::numeric_limits<qint64>::min();
        qint64 bad = base;
        qint64 step = 1;
        qint64 good = 0;
        for (;;) {
            if (base > std::numeric_limits<qint64>::max() - step)
                return std::nullopt;
            const qint64 at = base + step;
            const Probe result = probe(at);
            if (result == Probe::End && step == 1)
                return std::nullopt;
            if (result != Probe::Damaged) {
                good = at;
                break;
            }
            bad = at;
            if (step > std::numeric_limits<qint64>::max() / 2)
                return std::nullopt;
            step *= 2;
        }
        while (good - bad > 1) {
            const qint64 mid = bad + (good - bad) / 2;
            if (probe(mid) == Probe::Damaged)
                bad = mid;
            else
                good = mid;
        }
        return good;
    }

    sqlite3* m_source;
    sqlite3* m_target;
    RepairReport& m_report;
    int m_columnCount = 0;
    bool m_withRowid = true;
    QString m_scan;
    QString m_insert;
    std::optional<Statement> m_probe;
};

void copySequences(sqlite3* source, sqlite3* target) {
    std::vector<std::pair<QVariant, QVariant>> sequences;
    try {
        Statement read(source, QStringLiteral("SELECT name, seq FROM sqlite_sequence"));
        while (read.step())
            sequences.emplace_back(read.value(0), read.value(1));
    } catch (const Error&) {
        // No AUTOINCREMENT table, or its counters are lost: the copied rows set them again.
    }
    if (sequences.empty())
        return;
    Statement update(target, QStringLiteral("UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1"));
    Statement insert(target, QStringLiteral("INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)"));
    for (const auto& [name, seq] : sequences) {
        update.bindAll({name, seq}).run();
        if (sqlite3_changes(target) == 0)
            insert.bindAll({name, seq}).run();
    }
}

QVariant pragmaValue(sqlite3* db, const char* pragma) {
    Statement stmt(db, QStringLiteral("PRAGMA ") + QString::fromLatin1(pragma));
    return stmt.step() ? stmt.value(0) : QVariant();
}

SqliteHandle createTarget(const QString& target) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(target).constData(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteHandle handle(raw);
    if (rc != SQLITE_OK) {
        if (!raw)
            throw Error::make(err::DiskIo, target);
        throwSqlite(raw, rc, target);
    }
    check(raw, sqlite3_extended_result_codes(raw, 1));
    return handle;
}

} // namespace

void salvageDatabase(sqlite3* source, const QString& target, RepairReport& report) {
    // Damaged cells are refused rather than read as garbage.
    exec(source, QStringLiteral("PRAGMA cell_size_check=ON"));
    const std::vector<SchemaObject> schema = readSchema(source);
    const QVariant pageSize = pragmaValue(source, "page_size");
    const QVariant autoVacuum = pragmaValue(source, "auto_vacuum");
    const QVariant userVersion = pragmaValue(source, "user_version");
    const QVariant applicationId = pragmaValue(source, "application_id");

    {
        SqliteHandle handle = createTarget(target);
        sqlite3* out = handle.get();
        // The file is synced once, whole, before it replaces anything; no journal is needed to write it.
        exec(out, QStringLiteral("PRAGMA journal_mode=OFF"));
        exec(out, QStringLiteral("PRAGMA synchronous=OFF"));
        exec(out, QStringLiteral("PRAGMA page_size=") + QString::number(pageSize.toInt()));
        exec(out, QStringLiteral("PRAGMA auto_vacuum=") + QString::number(autoVacuum.toInt()));
        Transaction tx(out);
        for (const SchemaObject& object : schema) {
            if (object.type == QLatin1String("table") && !isVirtual(object))
                exec(out, object.sql);
        }
        for (const SchemaObject& object : schema) {
            if (object.type == QLatin1String("table") && !isVirtual(object))
                TableCopier(source, out, object.name, report).run();
        }
        copySequences(source, out);
        // Indexes are built from the copied rows; triggers come last so the copy fires none of them.
        for (const char* kind : {"index", "view", "trigger"}) {
            for (const SchemaObject& object : schema) {
                if (object.type == QLatin1String(kind))
                    exec(out, object.sql);
            }
        }
        exec(out, QStringLiteral("PRAGMA user_version=") + QString::number(userVersion.toLongLong()));
        exec(out, QStringLiteral("PRAGMA application_id=") + QString::number(applicationId.toLongLong()));
        tx.commit();
    }
    const QByteArray name = QFile::encodeName(target);
    Fd fd(::open(name.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        throwErrno(errno, target);
    syncFile(fd.get(), target);
}

} // namespace pell::db::files
