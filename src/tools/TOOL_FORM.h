#pragma once

#include "forms/editor_dialog.h"

class QCheckBox;
class QGroupBox;
class QLabel;

namespace pell {

// The editor of one add-on tool: name, executable and the four yes/no columns.
class TOOL_FORM : public EditorDialog {
    Q_OBJECT
public:
    static constexpr int MaxTextLength = 50;

    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check2 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QCheckBox* Check3 = nullptr;
    QCheckBox* Check4 = nullptr;

protected:
    TOOL_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    bool beforeSave() override;
    void saveFailed(const Error& error) override;
};

} // namespace pell
