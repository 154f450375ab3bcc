#pragma once

#include "db/filelock.h"
#include "db/statement.h"
#include "db/transaction.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

namespace pell::db {

class Recordset;
class Database;

// The replica-set half of the engine. It lives above this library (db/replication), which installs it; every
// program does so at its start, before it opens a database. Until then no database is replicable and the
// replica-set operations are refused.
class ReplicaSetEngine {
public:
    virtual ~ReplicaSetEngine() = default;
    virtual bool isReplicable(Database& db) = 0;
    // Runs inside the write transaction that sets the Replicable property to "T"; needs an exclusive open.
    virtual void convertToMaster(Database& db) = 0;
    virtual void makeReplica(Database& db, const QString& path, const QString& description) = 0;
    virtual void synchronize(Database& db, const QString& partnerPath, int mode) = 0;

    static void install(ReplicaSetEngine* engine);
};

struct OpenOptions {
    bool exclusive = false;
    bool readOnly = false;
    // Repair opens files whose schema may be unreadable: the open then does not read it.
    bool unchecked = false;
    // A hidden file this process has just made and nobody else knows of (a database being built): no lock
    // file is made for it.
    bool unshared = false;
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

    // Replication (a replica set of database files that exchange their changes), by the installed
    // ReplicaSetEngine.
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

    SqliteHandle m_handle;
    FileLock m_lock;
    QString m_path;
    OpenOptions m_options;
};

// Throws the runtime's error for a path whose folder is missing or that is empty.
void checkDatabasePath(const QString& path);

// The version of the storage library underneath (pelldb --version).
QString engineVersion();

} // namespace pell::db
