#pragma once

#include "core/command.h"
#include "forms/pell_form.h"

#include <QRect>
#include <QString>

#include <memory>

class QAction;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;

namespace pell {

class DataControl;
class Error;

// Texts every list window shares.
inline const QString NoItemSelectedText = QStringLiteral("No item selected");
inline const QString DeleteTitle = QStringLiteral("DELETE");

// Where a list window puts its controls, in twips.
struct ListWindowLayout {
    int clientWidth = 0;
    int clientHeight = 0;
    QRect list;
    QRect add;
    QRect modify;
    QRect remove;
    QRect exit;
};

// What every list window has around the control that shows its records (a list, or the team tree): Add,
// Modify, Delete and Exit as buttons and in the Edit menu, each button calling its menu entry's handler, and
// the data-source control Data1. A handler's error that it does not trap is reported and the window stays.
class ListFrame : public PellForm {
    Q_OBJECT
public:
    ~ListFrame() override;

    QPushButton* Command1 = nullptr; // Add
    QPushButton* Command2 = nullptr; // Modify, the default button
    QPushButton* Command3 = nullptr; // Delete
    QPushButton* Command4 = nullptr; // Exit
    QMenuBar* menuBar = nullptr;
    QMenu* EDIT = nullptr;
    QAction* ADD = nullptr;
    QAction* MODIFY = nullptr;
    QAction* DELETE = nullptr;
    QAction* EXIT = nullptr;
    DataControl* Data1 = nullptr;

    virtual void Add_Click() = 0;
    virtual void Modify_Click() = 0;
    virtual void DELETE_Click() = 0;
    void EXIT_Click();

protected:
    // makeChooser makes the control that shows the records, in the client area, before the buttons (it
    // comes first in the tab order); separator names the line above Exit in the menu.
    ListFrame(AppContext& ctx, QWidget* parent, int helpContext, const QString& name, const QString& caption,
              const ListWindowLayout& layout, QWidget* (*makeChooser)(QWidget* client),
              const char* separator);

    // The client area below the menu bar: where a window puts controls of its own.
    QWidget* client() const { return m_client; }
    QWidget* chooser() const { return m_chooser; }
    QAction* separator() const { return m_separator; }
    // Runs a handler as a command.
    template <class F> void command(F&& f) { runCommand(ctx.platform, std::forward<F>(f)); }

private:
    QWidget* m_client = nullptr;
    QWidget* m_chooser = nullptr;
    QAction* m_separator = nullptr;
};

// A list window of one key column: List1 lists the values of HOLD_FIELD. The editor dialog is shown
// modally with HOLD_ACTION/HOLD_VALUE set, and the list is refilled from the table when it has closed.
class ListWindow : public ListFrame {
    Q_OBJECT
public:
    ~ListWindow() override;

    QListWidget* List1 = nullptr;

    // The list position Modify selects again after the refill; -1 for none. Kept wider than the old
    // 16-bit integer so a long list cannot overflow it.
    int LAST_INDEX = -1;

    void Add_Click() override;
    void Modify_Click() override;
    void DELETE_Click() override;
    // Refills List1 from the record source; never fails (a failing step ends the fill).
    void FILL_LIST();

protected:
    ListWindow(AppContext& ctx, QWidget* parent, int helpContext, const QString& name, const QString& caption,
               const ListWindowLayout& layout);

    // The editor dialog for the current HOLD_ACTION, loaded afresh.
    virtual std::unique_ptr<PellForm> makeEditor() = 0;
    // A failure while finding or deleting the chosen row. Returning normally ends Delete without a refill;
    // rethrowing hands the error to the program-wide handler.
    virtual void deleteFailed(const Error& error) = 0;

private:
    int selectedRow() const;
    void showEditor();
};

} // namespace pell
