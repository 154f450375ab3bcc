#pragma once

#include "core/command.h"
#include "forms/pell_form.h"

#include <QRect>
#include <QString>

#include <memory>

class QAction;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;

namespace pell {

class DataControl;
class Error;

// Texts shared by every list window and editor.
inline const QString NoItemSelectedText = QStringLiteral("No item selected");
inline const QString DeleteTitle = QStringLiteral("DELETE");
// A row chosen in a list that another administrator removed meanwhile.
inline const QString VanishedText =
    QStringLiteral("This item no longer exists. Another user may have deleted it meanwhile.");

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

// A list window of one key column: List1 with Add, Modify, Delete and Exit as buttons and in the Edit
// menu. The editor dialog is shown modally with HOLD_ACTION/HOLD_VALUE set, and the list is refilled
// from the table when it has closed.
class ListWindow : public PellForm {
    Q_OBJECT
public:
    ListWindow(AppContext& ctx, QWidget* parent, int helpContext, const QString& name, const QString& caption,
               const ListWindowLayout& layout);
    ~ListWindow() override;

    QListWidget* List1 = nullptr;
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

    // The list position Modify selects again after the refill; -1 for none. Kept wider than the old
    // 16-bit integer so a long list cannot overflow it.
    int LAST_INDEX = -1;

    void Add_Click();
    void Modify_Click();
    void DELETE_Click();
    void EXIT_Click();
    // Refills List1 from the record source; never fails (a failing step ends the fill).
    void FILL_LIST();

protected:
    // The client area below the menu bar: where a window puts controls of its own.
    QWidget* client() const { return m_client; }
    // The editor dialog for the current HOLD_ACTION, loaded afresh.
    virtual std::unique_ptr<PellForm> makeEditor() = 0;
    // A failure while finding or deleting the chosen row. Returning normally ends Delete without a refill;
    // rethrowing hands the error to the program-wide handler.
    virtual void deleteFailed(const Error& error) = 0;
    // Runs a handler as a command: an error it does not trap is reported and the window stays open.
    template <class F> void command(F&& f) { runCommand(ctx.platform, std::forward<F>(f)); }

private:
    int selectedRow() const;
    void showEditor();
    QWidget* m_client = nullptr;
};

// An editor dialog over one row: HOLD_KEY bound to the key column, OK (default) and Cancel. It re-reads
// its record set when shown, then adds a row ("NEW") or edits the row whose key is HOLD_VALUE ("OPEN").
// A pending row that OK did not save is dropped when the dialog unloads.
class EditorDialog : public PellForm {
    Q_OBJECT
public:
    EditorDialog(AppContext& ctx, QWidget* parent, int helpContext, const QString& name,
                 const QString& caption, int keyMaxLength);
    ~EditorDialog() override;

    QLineEdit* HOLD_KEY = nullptr;
    QPushButton* Command1 = nullptr; // OK
    QPushButton* Command2 = nullptr; // Cancel
    DataControl* Data1 = nullptr;

    void Command1_Click();
    void Command2_Click();
    // The Validate hook: an unload (code 11) never saves.
    static void Data1_Validate(int action, bool& save);

protected:
    void Form_Activate() override;
    // Runs before the row is written; false stops OK with the dialog open.
    virtual bool beforeSave() { return true; }
    // The write failed: say so; the dialog stays open with the row pending.
    virtual void saveFailed(const Error& error) = 0;
    // Typed apostrophes become double quotes in this box.
    void filterApostrophes(QLineEdit* edit);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openChosenRow();
    QList<QLineEdit*> m_apostropheFiltered;
};

} // namespace pell
