#include "db/database.h"

#include "core/error.h"
#include "db/recordset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <sys/stat.h>

namespace pell::db {

namespace {
constexpr int BusyTimeoutMs = 5000;
const QString PropertiesTable = QStringLiteral("_pell_properties");

ReplicaSetEngine* installedEngine = nullptr;

ReplicaSetEngine& replicaSet() {
    if (!installedEngine)
        throw Error::make(err::InvalidOperation,
                          QStringLiteral("(this program was started without replication)"));
    return *installedEngine;
}
} // namespace

void ReplicaSetEngine::install(ReplicaSetEngine* engine) {
    installedEngine = engine;
}

void checkDatabasePath(const QString& path) {
    if (path.trimmed().isEmpty())
        throw Error::make(err::InvalidPath, QStringLiteral("(no path given)"));
    const QFileInfo info(path);
    if (!info.absoluteDir().exists())
        throw Error::make(err::InvalidPath, path);
}

Database::~Database() {
    close();
}

void Database::close() {
    m_handle.reset();
    m_lock.release();
}

void Database::openHandle(const QString& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    m_handle.reset(raw);
    if (rc != SQLITE_OK) {
        if (!raw)
            throw Error::make(err::DiskIo, path);
        throwSqlite(raw, rc, path);
    }
}

void Database::configure(bool readSchema) {
    sqlite3* db = m_handle.get();
    check(db, sqlite3_busy_timeout(db, BusyTimeoutMs));
    check(db, sqlite3_extended_result_codes(db, 1));
    // Reading the schema is the first real access: a file that is not a database fails here.
    if (readSchema) {
        const int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            throwSqlite(db, rc, m_path);
    }
    if (readSchema)
        check(db, sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr));
}

std::unique_ptr<Database> Database::open(const QString& path, OpenOptions options) {
    checkDatabasePath(path);
    const QFileInfo info(path);
    if (!info.exists())
        throw Error::make(err::FileNotFoundDb, path);
    if (info.isDir())
        throw Error::make(err::InvalidPath, path);
    if (!info.isReadable())
        throw Error::make(err::NoPermission, path);
    // A pipe would hold the engine's open until some other program wrote into it, and a device is no
    // file of records: neither is opened, nor gets a lock file beside it.
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        throw Error::make(err::NotADatabase,
                          path + (S_ISFIFO(st.st_mode) ? QStringLiteral(" (a pipe, not a regular file)")
                                                       : QStringLiteral(" (not a regular file)")));

    std::unique_ptr<Database> db(new Database);
    db->m_path = path;
    db->m_options = options;
    if (!options.unshared)
        db->m_lock = FileLock::acquire(
            path, options.exclusive ? FileLock::Mode::Exclusive : FileLock::Mode::Shared, options.readOnly);
    db->openHandle(path, options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    db->configure(!options.unchecked);
    return db;
}

std::unique_ptr<Database> Database::create(const QString& path) {
    checkDatabasePath(path);
    if (QFileInfo::exists(path))
        throw Error::make(err::DatabaseExists, path);
    std::unique_ptr<Database> db(new Database);
    db->m_path = path;
    db->m_options.exclusive = true;
    // Made empty first, so that the lock file can take its permission bits from it.
    {
        QFile file(path);
        if (!file.open(QIODevice::NewOnly | QIODevice::WriteOnly))
            throw Error::make(file.exists() ? err::DatabaseExists : err::NoPermission, path);
    }
    db->m_lock = FileLock::acquire(path, FileLock::Mode::Exclusive);
    db->openHandle(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    check(db->m_handle.get(),
          sqlite3_exec(db->m_handle.get(), "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr));
    db->configure(true);
    return db;
}

Statement Database::prepare(const QString& sql) {
    if (!m_handle)
        throw Error::make(err::InvalidOperation, QStringLiteral("(the database is closed)"));
    return Statement(m_handle.get(), sql);
}

void Database::execute(const QString& sql, const QVariantList& params) {
    Statement stmt = prepare(sql);
    stmt.bindAll(params);
    stmt.run();
}

QVariant Database::scalar(const QString& sql, const QVariantList& params) {
    Statement stmt = prepare(sql);
    stmt.bindAll(params);
    if (!stmt.step())
        return {};
    return stmt.value(0);
}

std::unique_ptr<Recordset> Database::openRecordset(const QString& source) {
    return std::unique_ptr<Recordset>(new Recordset(*this, source));
}

bool Database::isEngineTable(const QString& name) {
    return name.startsWith(QLatin1String("_pell_"), Qt::CaseInsensitive) ||
           name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive);
}

QString Database::actualTableName(const QString& name) {
    Statement stmt = prepare(QStringLiteral(
        "SELECT name FROM sqlite_schema WHERE type IN ('table','view') AND name = ?1 COLLATE NOCASE"));
    stmt.bind(1, name);
    return stmt.step() ? stmt.value(0).toString() : QString();
}

bool Database::tableExists(const QString& name) {
    return !actualTableName(name).isEmpty();
}

QStringList Database::tableNames() {
    QStringList names;
    Statement stmt =
        prepare(QStringLiteral("SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name"));
    while (stmt.step()) {
        const QString name = stmt.value(0).toString();
        if (!isEngineTable(name))
            names << name;
    }
    return names;
}

QStringList Database::columnNames(const QString& table) {
    QStringList names;
    Statement stmt = prepare(QStringLiteral("SELECT name FROM pragma_table_info(?1)"));
    stmt.bind(1, table);
    while (stmt.step())
        names << stmt.value(0).toString();
    return names;
}

Property Database::createProperty(const QString& name, int type, const QVariant& value) const {
    return Property{name, type, value};
}

bool Database::hasProperty(const QString& name) {
    if (!tableExists(PropertiesTable))
        return false;
    return !scalar(QStringLiteral("SELECT 1 FROM _pell_properties WHERE name = ?1"), {name}).isNull();
}

namespace {
bool isReplicableMark(const QString& name, const QVariant& value) {
    return name.compare(QLatin1String("Replicable"), Qt::CaseInsensitive) == 0 && value.toString() == u'T';
}
} // namespace

void Database::appendProperty(const Property& property) {
    if (property.name.isEmpty())
        throw Error::make(err::InvalidOperation, QStringLiteral("(a property needs a name)"));
    Transaction tx(*this);
    execute(
        QStringLiteral("CREATE TABLE IF NOT EXISTS _pell_properties (name TEXT PRIMARY KEY COLLATE NOCASE, "
                       "type INTEGER NOT NULL, value)"));
    if (hasProperty(property.name))
        throw Error::make(err::AlreadyExists, property.name);
    execute(QStringLiteral("INSERT INTO _pell_properties (name, type, value) VALUES (?1, ?2, ?3)"),
            {property.name, property.type, property.value});
    if (isReplicableMark(property.name, property.value) && !replicaSet().isReplicable(*this))
        replicaSet().convertToMaster(*this);
    tx.commit();
}

QVariant Database::propertyValue(const QString& name) {
    if (!hasProperty(name))
        throw Error::make(err::PropertyNotFound, name);
    return scalar(QStringLiteral("SELECT value FROM _pell_properties WHERE name = ?1"), {name});
}

void Database::setPropertyValue(const QString& name, const QVariant& value) {
    Transaction tx(*this);
    if (!hasProperty(name))
        throw Error::make(err::PropertyNotFound, name);
    execute(QStringLiteral("UPDATE _pell_properties SET value = ?2 WHERE name = ?1"), {name, value});
    if (isReplicableMark(name, value) && !replicaSet().isReplicable(*this))
        replicaSet().convertToMaster(*this);
    tx.commit();
}

bool Database::isReplicable() {
    return replicaSet().isReplicable(*this);
}

void Database::makeReplica(const QString& path, const QString& description) {
    replicaSet().makeReplica(*this, path, description);
}

void Database::synchronize(const QString& partnerPath, int mode) {
    replicaSet().synchronize(*this, partnerPath, mode);
}

QString engineVersion() {
    return QString::fromLatin1(sqlite3_libversion());
}

} // namespace pell::db
