#pragma once

#include "forms/editor_dialog.h"

class QCheckBox;
class QLabel;
class QRadioButton;

namespace pell {

// The user editor "User": adds a user under the supervisor named in HOLD_VALUE ("NEW") or changes the
// user whose ID is HOLD_VALUE ("OPEN"). Closes itself when the record is saved or on Cancel; a pending
// record that OK did not save is dropped when it unloads.
class USER_FORM : public EditorDialog {
    Q_OBJECT
public:
    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text1 = nullptr; // User_Name
    QLabel* Label3 = nullptr;
    QLineEdit* Text3 = nullptr; // User_Password
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check2 = nullptr;
    QCheckBox* Check3 = nullptr;
    QCheckBox* Check4 = nullptr;
    QRadioButton* C_FULL_ACCESS = nullptr;
    QRadioButton* C_TEAMMATE_ACCESS = nullptr;
    QRadioButton* Option3 = nullptr;

protected:
    USER_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    void newRowStarted() override;
    void rowOpened() override;
    void rowVanished() override;
    bool beforeSave() override;
    void save() override;
    void saveFailed(const Error& error) override;

private:
    void message(const QString& text);

    // The ID the record had when it was opened: team members follow a change of it.
    QString m_openedId;
    bool m_opened = false;
};

} // namespace pell
