#pragma once

#include "widgets/pell_form.h"

namespace pell {

class F_LOOKUP : public PellForm {
    Q_OBJECT
public:
    F_LOOKUP(AppContext& ctx, QWidget* parent);
};

} // namespace pell
