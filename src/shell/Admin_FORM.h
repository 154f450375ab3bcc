#pragma once

#include "core/app_state.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>

class QPushButton;
class QAction;
class QMenu;

namespace pell {

class REPLICA_FORM;

// The main window "Administrator": nine buttons and the File and Help menus. Every list window, the
// options and the About box open modally; the replication window opens beside it.
class Admin_FORM : public QMainWindow {
    Q_OBJECT
public:
    explicit Admin_FORM(AppContext& ctx);
    ~Admin_FORM() override;

    // Command handlers (buttons call the menu entries' handlers).
    void SYSTEM_Click();
    void USERS_Click();
    void TOOLS_Click();
    void LOOKUP_CLICK();
    void COMPACT_CLICK();
    void REPAIR_CLICK();
    void BACKUP_CLICK();
    void EXIT_Click();
    void CONTENTS_Click();
    void ABOUT_Click();
    void SSCommand1_Click();

    REPLICA_FORM* replicaWindow() const;
    // Ends the program at once; tests replace it.
    std::function<void()> endProgram;

    QPushButton* Command3D1;
    QPushButton* Command3D2;
    QPushButton* Command3D3;
    QPushButton* Command3D4;
    QPushButton* Command3D5;
    QPushButton* Command3D6;
    QPushButton* Command3D7;
    QPushButton* Command3D8;
    QPushButton* SSCommand1;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPushButton* addButton(const char* name, const QString& caption, int left, int top, int width, int height,
                           void (Admin_FORM::*handler)());
    QAction* addEntry(QMenu* menu, const char* name, const QString& caption, void (Admin_FORM::*handler)());
    template <class F> void command(F&& f);

    AppContext& ctx;
    QPointer<REPLICA_FORM> m_replica;
};

} // namespace pell
