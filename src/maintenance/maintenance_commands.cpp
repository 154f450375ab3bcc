#include "maintenance/maintenance_commands.h"

#include "db/error.h"

namespace pell {

void BACKUP_CLICK(AppContext&) {
    throw Error::make(err::InvalidOperation);
}
void COMPACT_CLICK(AppContext&) {
    throw Error::make(err::InvalidOperation);
}
void REPAIR_CLICK(AppContext&) {
    throw Error::make(err::InvalidOperation);
}

} // namespace pell
