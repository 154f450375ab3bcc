#pragma once

#include "widgets/pell_form.h"

namespace pell {

class REPLICA_FORM : public PellForm {
    Q_OBJECT
public:
    REPLICA_FORM(AppContext& ctx, QWidget* parent);
};

} // namespace pell
