#pragma once

#include "widgets/pell_form.h"

namespace pell {

class F_USER : public PellForm {
    Q_OBJECT
public:
    F_USER(AppContext& ctx, QWidget* parent);
};

} // namespace pell
