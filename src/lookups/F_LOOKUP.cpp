#include "lookups/F_LOOKUP.h"

namespace pell {

F_LOOKUP::F_LOOKUP(AppContext& context, QWidget* parent) : PellForm(context, parent, 2003) {
    setObjectName(QStringLiteral("F_LOOKUP"));
    load();
}

} // namespace pell
