#include "tools/F_TOOL.h"

namespace pell {

F_TOOL::F_TOOL(AppContext& context, QWidget* parent) : PellForm(context, parent, 3) {
    setObjectName(QStringLiteral("F_TOOL"));
    load();
}

} // namespace pell
