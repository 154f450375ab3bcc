#include "users/F_USER.h"

namespace pell {

F_USER::F_USER(AppContext& context, QWidget* parent) : PellForm(context, parent, 1) {
    setObjectName(QStringLiteral("F_USER"));
    load();
}

} // namespace pell
