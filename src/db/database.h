#pragma once

#include "db/filelock.h"
#include "db/statement.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <map>
#include <memory>

namespace pell::db {

class Recordset;

struct OpenOptions {
    bool exclusive = false;
    bool readOnly = false;
    // Repair opens files whose schema may be unreadable: the open then does not read it.
    bool unchecked = false;
};

// A database property: name, type code (10 is text) and value, stored in the file itself.
struct Property {
    QString name;
    int type = 10;
    QVariant value;
};

inline constexpr int PropertyTypeText = 10;

// Exchange modes of Synchronize.
inline constexpr int SyncExport = 1;
inline constexpr int SyncImport = 2;
inline constexpr int SyncImpExp = 4;

// An open database file: one user of the shared file for as long as it lives.
class Database {
public:
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // OpenDatabase. Throws 3024 (no file), 3044 (bad path or folder), 3343 (not a database),
    // 3356 (held exclusively by another), 3045 (exclusive asked while others use it).
    static std::unique_ptr<Database> open(const QString& path, OpenOptions options = {});
    // Creates a new, empty database file (pelldb and tests); fails when the file exists.
    static std::unique_ptr<Database> create(const QString& path);

    void close();
    bool isOpen() const { return bool(m_handle); }
    const QString& path() const { return m_path; }
    bool exclusive() const { return m_options.exclusive; }
    bool readOnly() const { return m_options.readOnly; }

    // Execute: runs one statement at once in its own implicit transaction.
    void execute(const QString& sql, const QVariantList& params = {});
    // Runs a query and returns the first column of the first row (null when there is none).
    QVariant scalar(const QString& sql, const QVariantList& params = {});
    Statement prepare(const QString& sql);

    // A record set over a table name or a SELECT text.
    std::unique_ptr<Recordset> openRecordset(const QString& source);

    bool tableExists(const QString& name);
    QString actualTableName(const QString& name); // the stored spelling, or empty
    QStringList tableNames();                     // user tables, without the engine's own
    QStringList columnNames(const QString& table);

    // Properties (stored in the file).
    Property createProperty(const QString& name, int type, const QVariant& value) const;
    void appendProperty(const Property& property); // 3367 when it exists
    bool hasProperty(const QString& name);
    QVariant propertyValue(const QString& name); // 3270 when it does not exist
    void setPropertyValue(const QString& name, const QVariant& value);

    // Replication (a replica set of database files that exchange their changes).
    bool isReplicable();
    void makeReplica(const QString& path, const QString& description);
    void synchronize(const QString& partnerPath, int mode = SyncImpExp);

    // Engine-internal access for the engine's own modules (maintenance, replication).
    sqlite3* rawHandle() const { return m_handle.get(); }

    // Whether an engine table name (those are never shown or replicated as user data).
    static bool isEngineTable(const QString& name);

private:
    Database() = default;
    void openHandle(const QString& path, int flags);
    void configure(bool readSchema);
    bool executeCached(const QString& sql);

    SqliteHandle m_handle;
    FileLock m_lock;
    QString m_path;
    OpenOptions m_options;
    // Prepared forms of "DELETE FROM t WHERE c = <number>" texts, the number made a parameter. Declared
    // after the handle so the statements are finalized before it closes.
    std::map<QString, Statement> m_deleteCache;
};

// A write transaction: BEGIN IMMEDIATE when none is open, a savepoint inside an open one. Rolls back
// unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(Database& db);
    explicit WriteTransaction(sqlite3* db);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void commit();

private:
    sqlite3* m_db;
    bool m_nested = false;
    bool m_done = false;
};

// Throws the runtime's error for a path whose folder is missing or that is empty.
void checkDatabasePath(const QString& path);

} // namespace pell::db
