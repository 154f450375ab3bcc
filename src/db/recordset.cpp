#include "db/recordset.h"

#include "core/error.h"
#include "db/database.h"

#include <QRegularExpression>

#include <atomic>

namespace pell::db {

namespace {
const QRegularExpression& simpleSelect() {
    static const QRegularExpression re(
        QStringLiteral(
            R"(^\s*SELECT\s+\*\s+FROM\s+(\[[^\]]+\]|"[^"]+"|[A-Za-z_][A-Za-z0-9_]*)((?:\s+.*)?)$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    return re;
}

QString unbracket(const QString& name) {
    if (name.size() >= 2 &&
        ((name.front() == u'[' && name.back() == u']') || (name.front() == u'"' && name.back() == u'"')))
        return name.mid(1, name.size() - 2);
    return name;
}

bool isNumber(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}
} // namespace

bool sameValue(const QVariant& a, const QVariant& b) {
    if (a.isNull() || b.isNull())
        return a.isNull() && b.isNull();
    if (isNumber(a) && isNumber(b))
        return a.toDouble() == b.toDouble();
    if (a.typeId() == QMetaType::QByteArray || b.typeId() == QMetaType::QByteArray)
        return a.toByteArray() == b.toByteArray();
    return a.toString() == b.toString();
}

Recordset& requireOpen(Recordset* recordset) {
    if (!recordset)
        throw Error::make(err::NoCurrentRecord, QStringLiteral("(the data source is not open)"));
    return *recordset;
}

Recordset::Recordset(Database& db, const QString& source) : m_db(db), m_source(source) {
    const QString trimmed = source.trimmed();
    if (trimmed.startsWith(QLatin1String("SELECT"), Qt::CaseInsensitive)) {
        const auto match = simpleSelect().match(trimmed);
        const QString table =
            match.hasMatch() ? m_db.actualTableName(unbracket(match.captured(1))) : QString();
        if (!table.isEmpty()) {
            m_table = table;
            m_selectSql =
                QStringLiteral("SELECT rowid, * FROM ") + quoteIdentifier(table) + match.captured(2);
        } else {
            m_selectSql = trimmed;
        }
    } else {
        const QString table = m_db.actualTableName(unbracket(trimmed));
        if (table.isEmpty())
            throw Error::make(err::TableNotFound, trimmed);
        m_table = table;
        m_selectSql = QStringLiteral("SELECT rowid, * FROM ") + quoteIdentifier(table);
    }
    load();
}

void Recordset::load() {
    m_rows.clear();
    m_columns.clear();
    m_index.clear();
    Statement stmt = m_db.prepare(m_selectSql);
    const int first = updatable() ? 1 : 0;
    const int count = stmt.columnCount();
    for (int i = first; i < count; ++i) {
        const QString name = stmt.columnName(i);
        m_index.insert(name.toLower(), int(m_columns.size()));
        m_columns << name;
    }
    qint64 synthetic = 0;
    while (stmt.step()) {
        Row row;
        row.rowid = updatable() ? stmt.int64(0) : synthetic++;
        row.mark = nextMark();
        row.values.reserve(count - first);
        for (int i = first; i < count; ++i)
            row.values.push_back(stmt.value(i));
        m_rows.push_back(std::move(row));
    }
    m_defaults = QVector<QVariant>(m_columns.size());
    if (updatable()) {
        Statement info = m_db.prepare(QStringLiteral("SELECT name, dflt_value FROM pragma_table_info(?1)"));
        info.bind(1, m_table);
        while (info.step()) {
            const int idx = columnIndex(info.value(0).toString());
            if (idx < 0 || info.isNull(1))
                continue;
            try {
                m_defaults[idx] = m_db.scalar(QStringLiteral("SELECT ") + info.value(1).toString());
            } catch (const Error&) {
                // A default the engine evaluates only on insert; the buffer shows none.
            }
        }
    }
    m_liveCount = qsizetype(m_rows.size());
    m_mode = EditMode::None;
    m_noMatch = false;
    m_pos = firstLiveFrom(0);
}

Recordset::Bookmark Recordset::nextMark() {
    static std::atomic<Bookmark> counter{0};
    return ++counter;
}

void Recordset::markDeleted(Row& row) {
    if (!row.deleted) {
        row.deleted = true;
        --m_liveCount;
    }
}

void Recordset::requery() {
    load();
    notify();
}

void Recordset::notify() {
    if (onReposition)
        onReposition();
}

int Recordset::columnIndex(const QString& name) const {
    return m_index.value(name.toLower(), -1);
}

qsizetype Recordset::firstLiveFrom(qsizetype from) const {
    qsizetype i = std::max<qsizetype>(from, 0);
    while (i < qsizetype(m_rows.size()) && m_rows[size_t(i)].deleted)
        ++i;
    return i;
}

bool Recordset::eof() const {
    return m_pos >= qsizetype(m_rows.size()) || m_liveCount == 0;
}

bool Recordset::bof() const {
    return m_pos < 0 || m_liveCount == 0;
}

bool Recordset::hasCurrent() const {
    return m_pos >= 0 && m_pos < qsizetype(m_rows.size()) && !m_rows[size_t(m_pos)].deleted;
}

qsizetype Recordset::recordCount() const {
    return m_liveCount;
}

void Recordset::moveFirst() {
    m_mode = EditMode::None;
    const qsizetype first = firstLiveFrom(0);
    if (first >= qsizetype(m_rows.size())) {
        m_pos = qsizetype(m_rows.size());
        throw Error::make(err::NoCurrentRecord);
    }
    m_pos = first;
    notify();
}

void Recordset::moveNext() {
    m_mode = EditMode::None;
    if (m_pos >= qsizetype(m_rows.size()))
        throw Error::make(err::NoCurrentRecord);
    m_pos = firstLiveFrom(m_pos + 1);
    notify();
}

void Recordset::movePrevious() {
    m_mode = EditMode::None;
    if (m_pos < 0)
        throw Error::make(err::NoCurrentRecord);
    qsizetype i = std::min<qsizetype>(m_pos, qsizetype(m_rows.size())) - 1;
    while (i >= 0 && m_rows[size_t(i)].deleted)
        --i;
    m_pos = i;
    notify();
}

void Recordset::moveLast() {
    m_mode = EditMode::None;
    qsizetype i = qsizetype(m_rows.size()) - 1;
    while (i >= 0 && m_rows[size_t(i)].deleted)
        --i;
    if (i < 0)
        throw Error::make(err::NoCurrentRecord);
    m_pos = i;
    notify();
}

void Recordset::findFirst(const Criteria& criteria) {
    m_pos = std::max<qsizetype>(m_pos, -1);
    const qsizetype saved = m_pos;
    m_pos = -1;
    findNext(criteria);
    if (m_noMatch)
        m_pos = saved;
}

void Recordset::findNext(const Criteria& criteria) {
    const int idx = columnIndex(criteria.column());
    if (idx < 0)
        throw Error::make(err::ItemNotFound, criteria.column());
    m_mode = EditMode::None;
    for (qsizetype i = std::max<qsizetype>(m_pos + 1, 0); i < qsizetype(m_rows.size()); ++i) {
        const Row& row = m_rows[size_t(i)];
        if (!row.deleted && criteria.matches(row.values[idx])) {
            m_pos = i;
            m_noMatch = false;
            notify();
            return;
        }
    }
    m_noMatch = true;
}

Recordset::Bookmark Recordset::bookmark() const {
    requireCurrent();
    return m_rows[size_t(m_pos)].mark;
}

void Recordset::setBookmark(Bookmark bookmark) {
    for (qsizetype i = 0; i < qsizetype(m_rows.size()); ++i) {
        if (m_rows[size_t(i)].mark == bookmark) {
            if (m_rows[size_t(i)].deleted)
                throw Error::make(err::RecordDeleted);
            m_mode = EditMode::None;
            m_pos = i;
            notify();
            return;
        }
    }
    throw Error::make(err::RecordDeleted);
}

void Recordset::requireCurrent() const {
    if (m_pos < 0 || m_pos >= qsizetype(m_rows.size()))
        throw Error::make(err::NoCurrentRecord);
    if (m_rows[size_t(m_pos)].deleted)
        throw Error::make(err::RecordDeleted);
}

const Recordset::Row& Recordset::currentRow() const {
    requireCurrent();
    return m_rows[size_t(m_pos)];
}

bool Recordset::readRow(qint64 rowid, QVector<QVariant>& values) {
    Statement stmt = m_db.prepare(QStringLiteral("SELECT * FROM ") + quoteIdentifier(m_table) +
                                  QStringLiteral(" WHERE rowid = ?1"));
    stmt.bind(1, rowid);
    if (!stmt.step())
        return false;
    values.clear();
    for (const QString& column : m_columns) {
        QVariant v;
        for (int i = 0; i < stmt.columnCount(); ++i) {
            if (stmt.columnName(i).compare(column, Qt::CaseInsensitive) == 0) {
                v = stmt.value(i);
                break;
            }
        }
        values.push_back(v);
    }
    return true;
}

QVariant Recordset::field(const QString& name) const {
    const int idx = columnIndex(name);
    if (idx < 0)
        throw Error::make(err::ItemNotFound, name);
    if (m_mode != EditMode::None)
        return m_buffer[idx];
    return currentRow().values[idx];
}

bool Recordset::hasField(const QString& name) const {
    return columnIndex(name) >= 0;
}

void Recordset::setField(const QString& name, const QVariant& value) {
    const int idx = columnIndex(name);
    if (idx < 0)
        throw Error::make(err::ItemNotFound, name);
    if (m_mode == EditMode::None)
        throw Error::make(err::UpdateWithoutEdit);
    m_buffer[idx] = value;
    m_dirty[idx] = true;
}

void Recordset::revertField(const QString& name) {
    const int idx = columnIndex(name);
    if (idx < 0)
        throw Error::make(err::ItemNotFound, name);
    if (m_mode == EditMode::None)
        return;
    m_buffer[idx] = m_original[idx];
    m_dirty[idx] = false;
}

void Recordset::addNew() {
    if (!updatable())
        throw Error::make(err::ReadOnly);
    m_posBeforeAdd = m_pos;
    m_buffer = m_defaults;
    m_original = m_defaults;
    m_dirty = QVector<bool>(m_columns.size(), false);
    m_mode = EditMode::AddNew;
    notify();
}

void Recordset::edit() {
    if (!updatable())
        throw Error::make(err::ReadOnly);
    requireCurrent();
    Row& row = m_rows[size_t(m_pos)];
    QVector<QVariant> fresh;
    if (!readRow(row.rowid, fresh)) {
        markDeleted(row);
        throw Error::make(err::RecordDeleted);
    }
    row.values = fresh;
    m_buffer = fresh;
    m_original = fresh;
    m_dirty = QVector<bool>(m_columns.size(), false);
    m_mode = EditMode::Edit;
    notify();
}

void Recordset::cancelUpdate() {
    if (m_mode == EditMode::None)
        return;
    if (m_mode == EditMode::AddNew)
        m_pos = m_posBeforeAdd;
    m_mode = EditMode::None;
    notify();
}

void Recordset::rethrowWrite(const Error& error, bool inserting) const {
    if (error.number() != err::RelatedRecords)
        throw error;
    if (inserting)
        throw Error::make(err::RelatedRecordRequired);
    // A refused key change or a reference to a missing record: tell them apart by whether any changed
    // column is one that other tables refer to.
    Statement refs = m_db.prepare(
        QStringLiteral("SELECT fk.\"to\" FROM sqlite_schema s, pragma_foreign_key_list(s.name) fk "
                       "WHERE s.type = 'table' AND fk.\"table\" = ?1 COLLATE NOCASE"));
    refs.bind(1, m_table);
    while (refs.step()) {
        const int idx = columnIndex(refs.value(0).toString());
        if (idx >= 0 && m_dirty[idx])
            throw error;
    }
    throw Error::make(err::RelatedRecordRequired);
}

void Recordset::update() {
    if (m_mode == EditMode::None)
        throw Error::make(err::UpdateWithoutEdit);
    const bool inserting = m_mode == EditMode::AddNew;
    QStringList names;
    QVariantList values;
    for (int i = 0; i < m_columns.size(); ++i) {
        if (m_dirty[i]) {
            names << quoteIdentifier(m_columns[i]);
            values << m_buffer[i];
        }
    }
    Transaction tx(m_db);
    qint64 rowid = 0;
    try {
        if (inserting) {
            QString sql;
            if (names.isEmpty()) {
                sql = QStringLiteral("INSERT INTO ") + quoteIdentifier(m_table) +
                      QStringLiteral(" DEFAULT VALUES");
            } else {
                QStringList marks;
                for (int i = 1; i <= names.size(); ++i)
                    marks << u'?' + QString::number(i);
                sql = QStringLiteral("INSERT INTO ") + quoteIdentifier(m_table) + QStringLiteral(" (") +
                      names.join(u',') + QStringLiteral(") VALUES (") + marks.join(u',') + u')';
            }
            m_db.execute(sql, values);
            rowid = m_db.scalar(QStringLiteral("SELECT last_insert_rowid()")).toLongLong();
        } else {
            Row& row = m_rows[size_t(m_pos)];
            rowid = row.rowid;
            QVector<QVariant> now;
            if (!readRow(rowid, now)) {
                markDeleted(row);
                m_mode = EditMode::None;
                throw Error::make(err::RecordDeleted);
            }
            for (int i = 0; i < m_columns.size(); ++i) {
                if (!sameValue(now[i], m_original[i])) {
                    // The next Update overwrites knowingly: the administrator has been told.
                    m_original = now;
                    throw Error::make(err::ChangedByOther);
                }
            }
            if (!names.isEmpty()) {
                QStringList sets;
                for (int i = 0; i < names.size(); ++i)
                    sets << names[i] + QStringLiteral(" = ?") + QString::number(i + 1);
                values << rowid;
                m_db.execute(QStringLiteral("UPDATE ") + quoteIdentifier(m_table) + QStringLiteral(" SET ") +
                                 sets.join(u',') + QStringLiteral(" WHERE rowid = ?") +
                                 QString::number(values.size()),
                             values);
            }
        }
        tx.commit();
    } catch (const Error& error) {
        if (error.number() == err::RelatedRecords)
            rethrowWrite(error, inserting);
        throw;
    }
    QVector<QVariant> stored;
    readRow(rowid, stored);
    if (inserting) {
        m_rows.push_back(Row{rowid, stored, false, nextMark()});
        ++m_liveCount;
        m_pos = m_posBeforeAdd;
        if (m_pos >= qsizetype(m_rows.size()) - 1)
            m_pos = qsizetype(m_rows.size()) - 1;
    } else {
        m_rows[size_t(m_pos)].values = stored;
    }
    m_lastModified = inserting ? m_rows.back().mark : m_rows[size_t(m_pos)].mark;
    m_mode = EditMode::None;
    notify();
}

void Recordset::deleteCurrent() {
    if (!updatable())
        throw Error::make(err::ReadOnly);
    requireCurrent();
    m_mode = EditMode::None;
    Row& row = m_rows[size_t(m_pos)];
    m_db.execute(QStringLiteral("DELETE FROM ") + quoteIdentifier(m_table) +
                     QStringLiteral(" WHERE rowid = ?1"),
                 {row.rowid});
    const bool gone = m_db.scalar(QStringLiteral("SELECT changes()")).toLongLong() > 0;
    markDeleted(row);
    if (!gone)
        throw Error::make(err::RecordDeleted);
}

} // namespace pell::db
