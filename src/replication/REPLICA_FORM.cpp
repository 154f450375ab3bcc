#include "replication/REPLICA_FORM.h"

namespace pell {

REPLICA_FORM::REPLICA_FORM(AppContext& context, QWidget* parent) : PellForm(context, parent, 34) {
    setObjectName(QStringLiteral("REPLICA_FORM"));
    load();
}

} // namespace pell
