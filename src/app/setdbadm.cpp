#include "app/setdbadm.h"

#include "widgets/data_control.h"

namespace pell {

void SETDB_LOOKUP_FORM(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}
void SETDB_REPLICA_FORM(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.REPLICADB_PATH);
}
void SETDB_F_LOOKUP(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}
void SETDB_F_SYSTEM(DataControl& Data1, DataControl& Data2, DataControl& Data3, DataControl& Data4,
                    const AppState& state) {
    for (DataControl* data : {&Data1, &Data2, &Data3, &Data4})
        data->setDatabaseName(state.DATABASE_PATH);
}
void SETDB_F_TOOL(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}
void SETDB_TOOL_FORM(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}
void SETDB_USER_FORM(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}
void SETDB_F_USER(DataControl& Data1, const AppState& state) {
    Data1.setDatabaseName(state.DATABASE_PATH);
}

} // namespace pell
