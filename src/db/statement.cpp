#include "db/statement.h"

#include "core/error.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>
#include <unistd.h>

namespace pell::db {

void SqliteCloser::operator()(sqlite3* handle) const noexcept {
    sqlite3_close_v2(handle);
}
void StatementFinalizer::operator()(sqlite3_stmt* stmt) const noexcept {
    sqlite3_finalize(stmt);
}

namespace {
int numberFor(sqlite3* db, int rc, const QString& message) {
    switch (rc) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
        return err::DuplicateKey;
    case SQLITE_CONSTRAINT_FOREIGNKEY:
        return err::RelatedRecords;
    case SQLITE_CONSTRAINT_NOTNULL:
        return err::NullNotAllowed;
    default:
        break;
    }
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return err::Locked;
    case SQLITE_READONLY:
        return err::ReadOnly;
    case SQLITE_NOTADB:
        return err::NotADatabase;
    case SQLITE_CORRUPT:
        return err::Corrupt;
    case SQLITE_FULL:
        return err::EngineDiskFull;
    case SQLITE_IOERR:
    case SQLITE_PROTOCOL:
        return err::DiskIo;
    case SQLITE_CANTOPEN:
        return err::FileNotFoundDb;
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return err::NoPermission;
    case SQLITE_CONSTRAINT:
        return err::DuplicateKey;
    default:
        break;
    }
    Q_UNUSED(db);
    if (message.startsWith(QLatin1String("no such table")))
        return err::TableNotFound;
    if (message.startsWith(QLatin1String("no such column")))
        return err::ItemNotFound;
    return err::SyntaxError;
}
} // namespace

namespace {
// The file an error concerns: the one named by the caller, else the connection's own database.
QString fileOf(sqlite3* db, const QString& context) {
    if (!context.isEmpty() || !db)
        return context;
    const char* name = sqlite3_db_filename(db, "main");
    return name ? QString::fromUtf8(name) : QString();
}

// "Cannot open" is about a file that exists: the engine could not open it or its journal beside it.
int cannotOpenNumber(const QString& file) {
    const QFileInfo info(file);
    if (file.isEmpty() || !info.exists())
        return err::FileNotFoundDb;
    if (::access(QFile::encodeName(info.absolutePath()).constData(), W_OK) != 0 &&
        ::access(QFile::encodeName(file).constData(), W_OK) == 0)
        return err::FolderReadOnly;
    return err::CannotOpen;
}
} // namespace

void throwSqlite(sqlite3* db, int rc, const QString& context) {
    const int extended = db ? sqlite3_extended_errcode(db) : rc;
    const QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString();
    const int code = (extended & 0xff) == (rc & 0xff) ? extended : rc;
    int number = numberFor(db, code, message);
    if (code == SQLITE_READONLY_DIRECTORY)
        throw Error::make(err::FolderReadOnly, fileOf(db, context));
    switch (code & 0xff) {
    case SQLITE_CANTOPEN: {
        const QString file = fileOf(db, context);
        number = cannotOpenNumber(file);
        throw Error::make(number, file);
    }
    case SQLITE_FULL:
    case SQLITE_IOERR:
        // A full disk or a failing device: say which file, since a command may write two.
        throw Error::make(number, fileOf(db, context));
    default:
        break;
    }
    throw Error::make(number, context);
}

int check(sqlite3* db, int rc, const QString& context) {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
        throwSqlite(db, rc, context);
    return rc;
}

void exec(sqlite3* db, const QString& sql) {
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc);
}

Statement::Statement(sqlite3* db, const QString& sql) : m_db(db) {
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, text.constData(), int(text.size()), &stmt, nullptr);
    m_stmt.reset(stmt);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc);
    if (!stmt)
        throw Error::make(err::SyntaxError);
}

Statement& Statement::bind(int index, const QVariant& value) {
    sqlite3_stmt* s = m_stmt.get();
    int rc = SQLITE_OK;
    if (value.isNull()) {
        rc = sqlite3_bind_null(s, index);
    } else {
        switch (value.typeId()) {
        case QMetaType::Bool:
            rc = sqlite3_bind_int64(s, index, value.toBool() ? -1 : 0);
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Long:
            rc = sqlite3_bind_int64(s, index, value.toLongLong());
            break;
        case QMetaType::ULongLong:
        case QMetaType::ULong:
            rc = sqlite3_bind_int64(s, index, qint64(value.toULongLong()));
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(s, index, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            rc = sqlite3_bind_blob64(s, index, bytes.constData(), sqlite3_uint64(bytes.size()),
                                     SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::QDateTime:
        case QMetaType::QDate: {
            const QByteArray text =
                value.typeId() == QMetaType::QDate
                    ? value.toDate().toString(QStringLiteral("yyyy-MM-dd")).toUtf8()
                    : value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8();
            rc = sqlite3_bind_text64(s, index, text.constData(), sqlite3_uint64(text.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        default: {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text64(s, index, text.constData(), sqlite3_uint64(text.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        }
    }
    check(m_db, rc);
    return *this;
}

Statement& Statement::bindAll(const QVariantList& values) {
    for (int i = 0; i < values.size(); ++i)
        bind(i + 1, values.at(i));
    return *this;
}

bool Statement::step() {
    const int rc = sqlite3_step(m_stmt.get());
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    const int code = sqlite3_extended_errcode(m_db);
    sqlite3_reset(m_stmt.get());
    throwSqlite(m_db, code == SQLITE_OK ? rc : code);
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

void Statement::reset() {
    sqlite3_reset(m_stmt.get());
}

int Statement::columnCount() const {
    return sqlite3_column_count(m_stmt.get());
}

QString Statement::columnName(int i) const {
    return QString::fromUtf8(sqlite3_column_name(m_stmt.get(), i));
}

QVariant Statement::value(int i) const {
    sqlite3_stmt* s = m_stmt.get();
    switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(s, i)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(s, i));
    case SQLITE_TEXT:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, i)),
                                          sqlite3_column_bytes(s, i)));
    case SQLITE_BLOB: {
        const void* data = sqlite3_column_blob(s, i);
        return QVariant(QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(s, i)));
    }
    default:
        return QVariant();
    }
}

qint64 Statement::int64(int i) const {
    return sqlite3_column_int64(m_stmt.get(), i);
}

bool Statement::isNull(int i) const {
    return sqlite3_column_type(m_stmt.get(), i) == SQLITE_NULL;
}

QString quoteIdentifier(const QString& name) {
    QString quoted = name;
    quoted.replace(u'"', QLatin1String("\"\""));
    return u'"' + quoted + u'"';
}

} // namespace pell::db
