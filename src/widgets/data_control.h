#pragma once

#include "db/database.h"
#include "db/recordset.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLineEdit;
class QCheckBox;
class QWidget;

namespace pell {

// Validate action codes of the data-source control.
namespace action {
inline constexpr int Cancel = 0;
inline constexpr int MoveFirst = 1;
inline constexpr int MovePrevious = 2;
inline constexpr int MoveNext = 3;
inline constexpr int MoveLast = 4;
inline constexpr int AddNew = 5;
inline constexpr int Update = 6;
inline constexpr int Delete = 7;
inline constexpr int Find = 8;
inline constexpr int Bookmark = 9;
inline constexpr int Close = 10;
inline constexpr int Unload = 11;
} // namespace action

// The data-source control of a window (Data1 ...): names a database and a record source, opens them on
// Refresh, and binds text boxes and check boxes to columns of the current record.
class DataControl : public QObject {
    Q_OBJECT
public:
    explicit DataControl(const QString& name, QObject* parent = nullptr);
    ~DataControl() override;

    void setDatabaseName(const QString& path) { m_databaseName = path; }
    const QString& databaseName() const { return m_databaseName; }
    void setRecordSource(const QString& source) { m_recordSource = source; }
    const QString& recordSource() const { return m_recordSource; }
    void setExclusive(bool exclusive) { m_exclusive = exclusive; }
    bool exclusive() const { return m_exclusive; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    bool readOnly() const { return m_readOnly; }

    // Opens the database (again when its name or mode changed) and the record set; the bound controls
    // show the first record. Throws the engine's error.
    void refresh();
    bool isOpen() const { return bool(m_recordset); }
    db::Recordset* recordset() const { return m_recordset.get(); }
    db::Recordset& rs(); // throws 3021-like "not open" when refresh has not succeeded
    db::Database* database() const { return m_database.get(); }

    // Bound controls. A text box shows the column's value as text (null: empty), whole even when it is
    // longer than the box's maximum length, which then only limits what is typed; a check box is ticked for
    // any non-zero value and stores -1/0.
    void bind(QLineEdit* edit, const QString& column);
    void bind(QCheckBox* box, const QString& column);
    void unbind(QWidget* control);
    // Shows the current (or pending) record in the bound controls.
    void updateControls();
    // Whether the control no longer shows what the record gave it: only such a control writes its column.
    bool dataChanged(const QWidget* control) const;
    // Copies the changed bound controls into the pending record (Edit or AddNew must be under way); a value
    // stored in another form (1 for yes, a text in a number column, a text longer than its box) stays as
    // it is unless the administrator changed it.
    void copyControlsToRecord();
    // Saves the pending record with the bound controls' values (Recordset.Update).
    void updateRecord();

    // Validate hook: action code, save flag. Setting the flag to false refuses the save.
    std::function<void(int action, bool& save)> onValidate;
    // Asks Validate for the action; saves the pending record when allowed, drops it otherwise.
    void validate(int action);
    // The window unloads: Validate(11), then the record set and the database are closed.
    void unload();
    void close();

private:
    struct Binding {
        QPointer<QWidget> control;
        QString column;
        int maxLength = 0; // a text box's own limit for typing
        QMetaObject::Connection typing;
        QString shownText;
        bool shownChecked = false;
    };
    static bool changed(const Binding& binding);
    QString m_databaseName;
    QString m_recordSource;
    bool m_exclusive = false;
    bool m_readOnly = false;
    QString m_openPath;
    bool m_openExclusive = false;
    bool m_openReadOnly = false;
    std::unique_ptr<db::Database> m_database;
    std::unique_ptr<db::Recordset> m_recordset;
    std::vector<Binding> m_bindings;
};

} // namespace pell
