#pragma once

#include "forms/pell_form.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pell {

class DataControl;

// The system options window: edits the first SYSTEM row; OK saves it and runs the closed-task purge once.
class F_SYSTEM : public PellForm {
    Q_OBJECT
public:
    QLabel* Label1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check4 = nullptr;
    QCheckBox* Check5 = nullptr;
    QCheckBox* Check7 = nullptr;
    QCheckBox* Check3 = nullptr;
    QCheckBox* Check6 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    DataControl* Data1 = nullptr;
    DataControl* Data2 = nullptr;
    DataControl* Data3 = nullptr;
    DataControl* Data4 = nullptr;

    static constexpr int MinChunkSize = 2000;
    static constexpr int MaxChunkSize = 20000;

    // The number a text starts with (blanks skipped, up to the first character that is not part of a
    // number); 0 for none.
    static double leadingNumber(const QString& text);
    // Whether a key typed into a number box goes through: digits and the editing keys that type nothing.
    static bool numberBoxAccepts(const QKeyEvent& event);

protected:
    F_SYSTEM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    void Form_Activate() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Command1_Click();
    void Command2_Click();
    void Data1_Validate(int action, bool& save);
    void PURGE_CLOSED_TASKS();
};

} // namespace pell
