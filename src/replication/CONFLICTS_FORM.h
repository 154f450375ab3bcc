#pragma once

#include "db/replication/replication.h"
#include "forms/pell_form.h"

#include <QAbstractTableModel>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
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
// version lost side by side with the differing columns first and marked, the whole of the chosen value, and
// the two decisions, each asked first: keep what stands (for good), or restore the lost version as a new
// change of the main database, which wins on every member.
class CONFLICTS_FORM : public PellForm {
    Q_OBJECT
public:
    ~CONFLICTS_FORM() override;

    void KEEP_Click();
    void RESTORE_Click();

    QLabel* Label2;        // how many are open, or why there are none
    QCheckBox* Check1;     // show closed conflicts too
    QTableView* List1;     // the conflicts
    QLabel* Label1;        // what the selected conflict is about
    QTableWidget* Grid1;   // column, kept, lost
    QPlainTextEdit* Text1; // the whole value of the chosen cell
    QPushButton* Command1; // keep
    QPushButton* Command2; // restore the lost version
    QPushButton* Command3; // close

protected:
    CONFLICTS_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;

private:
    // Lists the conflicts again and chooses the one numbered `id`, or failing that the open one nearest
    // after row `after` (the line that was chosen before).
    void fill(qint64 id, int after = 0);
    void showSelected();
    void showCell();
    // The selected conflict, or nothing when there is none.
    const db::replication::ConflictView* selected();
    // The chosen line if its conflict is still open; otherwise a beep and nothing.
    const db::replication::ConflictView* selectedOpen();
    // Asks, then settles the chosen conflict; the next open one is chosen afterwards.
    void settle(bool restore);

    ConflictListModel* m_model;
    // Why the list is empty when the database cannot hold conflicts; empty otherwise.
    QString m_noLog;
};

} // namespace pell
