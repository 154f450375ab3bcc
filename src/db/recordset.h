#pragma once

#include "db/criteria.h"

#include "core/error.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>
#include <vector>

namespace pell::db {

class Database;

// A record set over a table or a SELECT: the rows are read when it opens (or is re-queried) and walked in
// the engine's natural order. Over a table, or a "SELECT * FROM table ..." text, the records can be
// added, edited and deleted; edits are optimistic (the row is compared with what Edit read when it is
// saved, and a row changed by someone else meanwhile is refused with 3197).
class Recordset {
public:
    enum class EditMode { None, Edit, AddNew };
    using Bookmark = qint64;

    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    bool eof() const;
    bool bof() const;
    bool hasCurrent() const;
    void moveFirst(); // 3021 on an empty record set
    void moveNext();  // 3021 when already past the end
    void movePrevious();
    void moveLast();
    qsizetype recordCount() const;

    void findFirst(const Criteria& criteria);
    void findNext(const Criteria& criteria);
    void findFirst(const QString& criteriaText) { findFirst(Criteria::parse(criteriaText)); }
    void findNext(const QString& criteriaText) { findNext(Criteria::parse(criteriaText)); }
    bool noMatch() const { return m_noMatch; }

    Bookmark bookmark() const;
    void setBookmark(Bookmark bookmark);
    Bookmark lastModified() const { return m_lastModified; }

    void addNew();
    void edit();
    void update();
    void cancelUpdate();
    void deleteCurrent();
    EditMode editMode() const { return m_mode; }

    QVariant field(const QString& name) const;
    void setField(const QString& name, const QVariant& value);
    // Takes back what setField put in the pending record: the column keeps the value it had.
    void revertField(const QString& name);
    bool hasField(const QString& name) const;
    const QStringList& fieldNames() const { return m_columns; }

    void setLockEdits(bool pessimistic) { m_lockEdits = pessimistic; }
    bool lockEdits() const { return m_lockEdits; }
    bool updatable() const { return !m_table.isEmpty(); }
    const QString& tableName() const { return m_table; }
    const QString& source() const { return m_source; }

    void requery();

    // Called whenever the current record or the record being edited changes (bound controls repaint).
    std::function<void()> onReposition;

private:
    friend class Database;
    Recordset(Database& db, const QString& source);

    struct Row {
        qint64 rowid = 0;
        QVector<QVariant> values;
        bool deleted = false;
        // The row's bookmark. The engine gives a removed row's rowid to the next row added, so positions
        // are marked apart from it and never reused, in this record set or any other.
        Bookmark mark = 0;
    };
    static Bookmark nextMark();

    void load();
    int columnIndex(const QString& name) const;
    const Row& currentRow() const;
    void requireCurrent() const;
    bool readRow(qint64 rowid, QVector<QVariant>& values);
    qsizetype firstLiveFrom(qsizetype from) const;
    void notify();
    void markDeleted(Row& row);
    [[noreturn]] void rethrowWrite(const pell::Error& error, bool inserting) const;

    Database& m_db;
    QString m_source;
    QString m_table; // empty: read-only
    QString m_selectSql;
    QStringList m_columns;
    QHash<QString, int> m_index;
    QVector<QVariant> m_defaults;
    std::vector<Row> m_rows;
    qsizetype m_liveCount = 0;
    qsizetype m_pos = 0;
    bool m_noMatch = false;
    bool m_lockEdits = true;
    EditMode m_mode = EditMode::None;
    QVector<QVariant> m_buffer;
    QVector<QVariant> m_original;
    QVector<bool> m_dirty;
    qsizetype m_posBeforeAdd = 0;
    Bookmark m_lastModified = -1;
};

// Same value as the engine stores it (numbers compare by value, texts exactly, null only to null).
bool sameValue(const QVariant& a, const QVariant& b);

// The record set a data source holds; where it holds none (it could not be opened), the error every use of
// such a data source raises (3021).
Recordset& requireOpen(Recordset* recordset);

} // namespace pell::db
