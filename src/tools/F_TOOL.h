#pragma once

#include "widgets/pell_form.h"

namespace pell {

class F_TOOL : public PellForm {
    Q_OBJECT
public:
    F_TOOL(AppContext& ctx, QWidget* parent);
};

} // namespace pell
