#include "db/schema.h"

#include "db/database.h"

namespace pell::db {

QList<Relationship> undeclaredRelationships() {
    // A task's attachments and routing steps are deleted with it (the purge deletes the task first); a user's
    // supervisor is the leader of the user's team, and a team leader is not deleted while the team exists.
    return {{schema::Attach, schema::task::Number, schema::Scr, true},
            {schema::Route, schema::task::Number, schema::Scr, true},
            {schema::User, schema::user::Supervisor, schema::User, false}};
}

void createSharedSchema(Database& db) {
    Transaction tx(db);
    db.execute(QStringLiteral(R"(CREATE TABLE "USER" (
        User_ID TEXT COLLATE NOCASE NOT NULL PRIMARY KEY,
        User_Name TEXT NOT NULL,
        User_Password TEXT,
        User_Review_Account INTEGER DEFAULT 0,
        Allow_Forwarding INTEGER DEFAULT 0,
        Edit_Contact_Info INTEGER DEFAULT 0,
        Delete_Contact_Info INTEGER DEFAULT 0,
        Full_Access INTEGER DEFAULT 0,
        Teammate_Access INTEGER DEFAULT 0,
        Supervisor_User_ID TEXT COLLATE NOCASE))"));
    db.execute(QStringLiteral("CREATE INDEX USER_Supervisor ON \"USER\"(Supervisor_User_ID)"));
    db.execute(
        QStringLiteral("CREATE TABLE LU_Category (Category TEXT COLLATE NOCASE NOT NULL PRIMARY KEY)"));
    db.execute(
        QStringLiteral("CREATE TABLE LU_Priority (Priority TEXT COLLATE NOCASE NOT NULL PRIMARY KEY)"));
    db.execute(QStringLiteral(R"(CREATE TABLE TOOL (
        Tool_Name TEXT COLLATE NOCASE NOT NULL PRIMARY KEY,
        Tool_EXE TEXT NOT NULL,
        Tool_Access_Screen INTEGER DEFAULT 0,
        Tool_SCR_Screen INTEGER DEFAULT 0,
        Tool_Param_User_ID INTEGER DEFAULT 0,
        Tool_Param_SCR_Number INTEGER DEFAULT 0))"));
    db.execute(QStringLiteral(R"(CREATE TABLE "SYSTEM" (
        MAX_STORAGE INTEGER,
        Chunk_Size INTEGER,
        Mand_Target_Date INTEGER DEFAULT 0,
        Mand_Category INTEGER DEFAULT 0,
        Mand_Contact INTEGER DEFAULT 0,
        Mand_Priority INTEGER DEFAULT 0,
        Allow_Unowned_Edit INTEGER DEFAULT 0,
        Edit_Attachments INTEGER DEFAULT 0))"));
    db.execute(QStringLiteral(R"(CREATE TABLE SCR (
        SCR_Number INTEGER PRIMARY KEY,
        SCR_Title TEXT,
        SCR_STATUS TEXT COLLATE NOCASE,
        SCR_OWNER_DATE_IN TEXT,
        SCR_Owner TEXT COLLATE NOCASE REFERENCES "USER"(User_ID),
        SCR_Category TEXT COLLATE NOCASE REFERENCES LU_Category(Category),
        SCR_Priority TEXT COLLATE NOCASE REFERENCES LU_Priority(Priority)))"));
    db.execute(QStringLiteral("CREATE INDEX SCR_Owner_Index ON SCR(SCR_Owner)"));
    db.execute(QStringLiteral("CREATE INDEX SCR_Category_Index ON SCR(SCR_Category)"));
    db.execute(QStringLiteral("CREATE INDEX SCR_Priority_Index ON SCR(SCR_Priority)"));
    db.execute(QStringLiteral(R"(CREATE TABLE ATTACH (
        Attach_Number INTEGER PRIMARY KEY,
        SCR_Number INTEGER NOT NULL,
        File_Name TEXT,
        Contents BLOB))"));
    db.execute(QStringLiteral("CREATE INDEX ATTACH_SCR_Number ON ATTACH(SCR_Number)"));
    db.execute(QStringLiteral(R"(CREATE TABLE ROUTE (
        Route_Number INTEGER PRIMARY KEY,
        SCR_Number INTEGER NOT NULL,
        From_User TEXT COLLATE NOCASE,
        To_User TEXT COLLATE NOCASE,
        Route_Date TEXT,
        Route_Note TEXT))"));
    db.execute(QStringLiteral("CREATE INDEX ROUTE_SCR_Number ON ROUTE(SCR_Number)"));
    tx.commit();
}

void createReplicaAdminSchema(Database& db) {
    db.execute(QStringLiteral("CREATE TABLE REPLICA (Replica_Location TEXT)"));
}

} // namespace pell::db
