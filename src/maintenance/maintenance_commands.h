#pragma once

#include "app/app_state.h"

namespace pell {

// The main window's maintenance commands on the shared database.
void BACKUP_CLICK(AppContext& ctx);
void COMPACT_CLICK(AppContext& ctx);
void REPAIR_CLICK(AppContext& ctx);

} // namespace pell
