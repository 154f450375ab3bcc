#include "system/F_SYSTEM.h"

namespace pell {

F_SYSTEM::F_SYSTEM(AppContext& context, QWidget* parent) : PellForm(context, parent, 2) {
    setObjectName(QStringLiteral("F_SYSTEM"));
    load();
}

} // namespace pell
