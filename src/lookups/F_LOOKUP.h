#pragma once

#include "forms/list_window.h"

class QRadioButton;

namespace pell {

// The lookup tables window: the values of LU_Category or LU_Priority, chosen with two option buttons.
class F_LOOKUP : public ListWindow {
    Q_OBJECT
public:
    QRadioButton* Option1 = nullptr; // "Category"
    QRadioButton* Option2 = nullptr; // "Priority"

    void Option1_Click();
    void Option2_Click();

protected:
    F_LOOKUP(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    std::unique_ptr<PellForm> makeEditor() override;
    void deleteFailed(const Error& error) override;

private:
    void chooseLookup(const QString& field, const QString& table);
};

} // namespace pell
