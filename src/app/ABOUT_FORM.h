#pragma once

#include "widgets/pell_form.h"

namespace pell {

class ABOUT_FORM : public PellForm {
    Q_OBJECT
public:
    ABOUT_FORM(AppContext& ctx, QWidget* parent);
};

} // namespace pell
