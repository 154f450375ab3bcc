#pragma once

#include "db/replication/replication.h"
#include "forms/pell_form.h"

#include <QAbstractTableModel>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;

namespace pell {

// The conflicts of the replica set as the main database holds them (they travel with the exchanges):
// one line each, in a model so that ten thousand of them list at once.
class ConflictListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setConflicts(QList<db::replication::ConflictView> conflicts);
    const db::replication::ConflictView* at(int row) const;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<db::replication::ConflictView> m_conflicts;
};

// "Conflicts", from the replication window's Utilities menu: the open conflicts, the version kept and the
// version lost side by side with the differing columns marked, and the two decisions: keep what stands, or
// restore the lost version as a new change of the main database, which wins on every member.
class CONFLICTS_FORM : public PellForm {
    Q_OBJECT
public:
    ~CONFLICTS_FORM() override;

    void KEEP_Click();
    void RESTORE_Click();

    QCheckBox* Check1;     // show closed conflicts too
    QTableView* List1;     // the conflicts
    QTableWidget* Grid1;   // column, kept, lost
    QLabel* Label1;        // what the selected conflict is about
    QPushButton* Command1; // keep
    QPushButton* Command2; // restore the lost version
    QPushButton* Command3; // close

protected:
    CONFLICTS_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;

private:
    void fill();
    void showSelected();
    // The selected conflict, or nothing when there is none.
    const db::replication::ConflictView* selected();
    // The chosen line if its conflict is still open; otherwise a beep and nothing.
    const db::replication::ConflictView* selectedOpen();

    ConflictListModel* m_model;
};

} // namespace pell
