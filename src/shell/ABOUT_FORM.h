#pragma once

#include "core/version.h"
#include "forms/pell_form.h"

class QLabel;
class QPushButton;

namespace pell {

// The About box: the product's title line and its version. It has no help topic.
class ABOUT_FORM : public PellForm {
    Q_OBJECT
public:
    static inline const QString Version = QString::fromLatin1(ProgramVersion);

    QLabel* Label1 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* Command1 = nullptr;

    void Command1_Click();

protected:
    ABOUT_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
};

} // namespace pell
