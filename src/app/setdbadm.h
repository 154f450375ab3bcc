#pragma once

#include "core/app_state.h"

namespace pell {

class DataControl;

// SETDBADM: points each window's data sources at the configured database.
void SETDB_LOOKUP_FORM(DataControl& Data1, const AppState& state);
void SETDB_REPLICA_FORM(DataControl& Data1, const AppState& state);
void SETDB_F_LOOKUP(DataControl& Data1, const AppState& state);
void SETDB_F_SYSTEM(DataControl& Data1, DataControl& Data2, DataControl& Data3, DataControl& Data4,
                    const AppState& state);
void SETDB_F_TOOL(DataControl& Data1, const AppState& state);
void SETDB_TOOL_FORM(DataControl& Data1, const AppState& state);
void SETDB_USER_FORM(DataControl& Data1, const AppState& state);
void SETDB_F_USER(DataControl& Data1, const AppState& state);

} // namespace pell
