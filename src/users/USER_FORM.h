#pragma once

#include "forms/pell_form.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace pell {

class DataControl;

// The user editor "User": adds a user under the supervisor named in HOLD_VALUE ("NEW") or changes the
// user whose ID is HOLD_VALUE ("OPEN"). Closes itself when the record is saved or on Cancel; a pending
// record that OK did not save is dropped when it unloads.
class USER_FORM : public PellForm {
    Q_OBJECT
public:
    USER_FORM(AppContext& ctx, QWidget* parent);
    ~USER_FORM() override;

    QLabel* Label2 = nullptr;
    QLineEdit* HOLD_KEY = nullptr; // User_ID
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
    QPushButton* Command1 = nullptr; // OK
    QPushButton* Command2 = nullptr; // Cancel
    DataControl* Data1 = nullptr;

    void Command1_Click();
    void Command2_Click();

protected:
    void Form_Load() override;
    void Form_Activate() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Data1_Validate(int action, bool& save);
    void save();
    void message(const QString& text);

    // The ID the record had when it was opened: team members follow a change of it.
    QString m_openedId;
    bool m_opened = false;
};

} // namespace pell
