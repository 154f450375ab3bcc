#pragma once

#include "core/progress.h"
#include "forms/pell_form.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;

namespace pell {

class DataControl;
class DataGrid;

// "Replication Administrator": the list of known replicas (table REPLICA of the replica-administration
// database, held exclusively while the window is open) and the four replication commands, as picture
// buttons and in the Utilities menu. Opened modeless beside the main window.
class REPLICA_FORM : public PellForm {
    Q_OBJECT
public:
    ~REPLICA_FORM() override;

    // Menu handlers; each picture button runs its entry's handler.
    void SYNC_Click();
    void CREATE_Click();
    void DELETE_Click();
    void MASTER_Click();
    void CONFLICTS_Click();
    void EXIT_Click();

    QPushButton* Command1; // synchronize
    QPushButton* Command2; // create
    QPushButton* Command4; // remove reference
    QPushButton* Command3; // make master
    QLabel* Label2;        // status line of synchronization
    DataGrid* DBGrid1;
    DataControl* Data1;

    QMenuBar* menuBar;
    QMenu* UTIL;
    QAction* SYNC;
    QAction* CREATE;
    QAction* DELETE;
    QAction* MASTER;
    QAction* CONFLICTS;
    QAction* FILL20;
    QAction* EXIT;

protected:
    REPLICA_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    void closeEvent(QCloseEvent* event) override;

private:
    QPushButton* addPictureButton(QWidget* client, const char* name, const QPixmap& picture,
                                  const QString& tip, int left);
    QAction* addEntry(const char* name, const QString& caption, void (REPLICA_FORM::*handler)());
    // Runs a command; errors it does not trap go to the program-wide handling. The grid then shows the
    // list as the command left it.
    template <class F> void command(F&& f);
    // The status line: shown while the replicas are synchronized, with the one in hand.
    void showProgress(const ProgressReport& report);
};

} // namespace pell
