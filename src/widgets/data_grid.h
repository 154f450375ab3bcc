#pragma once

#include <QTableView>

namespace pell {

class DataControl;
class DataGridModel;
class Platform;

// DBGrid: a grid over the record set of a data-source control. Each column shows one field; the row of the
// record set's current record carries the record selector. Choosing a row makes its record current. A cell
// can be edited in place: when the edit is committed (Enter, Tab, leaving the cell or the row, closing the
// window) the value is written to the record through the data control (Validate, then Update), like any
// bound edit. The grid never adds or deletes records. Tab moves on to the window's next control.
class DataGrid : public QTableView {
    Q_OBJECT
public:
    DataGrid(DataControl& source, Platform& platform, QWidget* parent = nullptr);
    ~DataGrid() override;

    void addColumn(const QString& caption, const QString& field);
    // Reads the records again and marks the current one; called after the data control was refreshed or
    // its records changed under the grid.
    void reload();
    // Writes a cell being edited now; the editor closes.
    void commitPendingEdit();

    int recordRows() const;
    QString cellText(int row, int column) const;
    // The grid row of the record set's current record, -1 when there is none.
    int currentRecordRow() const;

protected:
    // Tab and Backtab in a cell being typed in store the text and leave the grid, as they do from the grid.
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    DataGridModel* m_model;
    bool m_reloading = false;
};

} // namespace pell
