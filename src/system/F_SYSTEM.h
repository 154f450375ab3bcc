#pragma once

#include "widgets/pell_form.h"

namespace pell {

class F_SYSTEM : public PellForm {
    Q_OBJECT
public:
    F_SYSTEM(AppContext& ctx, QWidget* parent);
};

} // namespace pell
