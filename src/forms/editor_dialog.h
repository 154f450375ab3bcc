#pragma once

#include "forms/pell_form.h"

#include <QString>

#include <utility>
#include <vector>

class QLineEdit;
class QPushButton;

namespace pell {

class DataControl;
class Error;

// A row chosen in a list that another administrator removed meanwhile.
inline const QString VanishedText =
    QStringLiteral("This item no longer exists. Another user may have deleted it meanwhile.");

// An editor dialog over one row: HOLD_KEY bound to the key column, OK (default) and Cancel. It re-reads its
// record set when shown, then adds a row ("NEW") or edits the row whose key is HOLD_VALUE ("OPEN"). OK saves
// and closes; a pending row that OK did not save is dropped when the dialog unloads. The windows that build
// on it say what differs: what a new row starts with, what an opened row shows, what must hold before a save,
// what a save writes beyond the bound controls, and what a refused save tells the administrator.
class EditorDialog : public PellForm {
    Q_OBJECT
public:
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
    EditorDialog(AppContext& ctx, QWidget* parent, int helpContext, const QString& name,
                 const QString& caption, int keyMaxLength);

    void Form_Activate() override;
    // A new row has been started.
    virtual void newRowStarted() {}
    // The chosen row is open for editing.
    virtual void rowOpened() {}
    // The chosen row is gone (another administrator removed it): say so. Nothing else is opened in its
    // place, and the dialog closes once it is up.
    virtual void rowVanished();
    // Runs before the row is written; false stops OK with the dialog open.
    virtual bool beforeSave() { return true; }
    // Writes the pending row with the bound controls' values.
    virtual void save();
    // The write failed: say so; the dialog stays open with the row pending.
    virtual void saveFailed(const Error& error) = 0;

    // What a key box does to typed characters: apostrophes become double quotes, so that typed keys never
    // break a criteria text; some boxes also lower-case what is typed.
    enum class KeyFilter { Apostrophes, Lowered, ApostrophesLowered };
    void filterKeys(QLineEdit* edit, KeyFilter filter);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openChosenRow();
    std::vector<std::pair<QLineEdit*, KeyFilter>> m_keyFilters;
};

} // namespace pell
