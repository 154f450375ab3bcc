#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct sqlite3;

namespace pell::db {

class Database;

// Every table and column name the program reads and writes, spelled once. The engine compares names
// without regard to case.
namespace schema {
inline const QString User = QStringLiteral("USER");
inline const QString Category = QStringLiteral("LU_Category");
inline const QString Priority = QStringLiteral("LU_Priority");
inline const QString Tool = QStringLiteral("TOOL");
inline const QString System = QStringLiteral("SYSTEM");
inline const QString Scr = QStringLiteral("SCR");
inline const QString Attach = QStringLiteral("ATTACH");
inline const QString Route = QStringLiteral("ROUTE");
// The one table of the replica-administration database.
inline const QString Replica = QStringLiteral("REPLICA");

// USER: the users; a user's supervisor is the leader of the user's team.
namespace user {
inline const QString Id = QStringLiteral("User_ID");
inline const QString Name = QStringLiteral("User_Name");
inline const QString Password = QStringLiteral("User_Password");
inline const QString ReviewAccount = QStringLiteral("User_Review_Account");
inline const QString AllowForwarding = QStringLiteral("Allow_Forwarding");
inline const QString EditContactInfo = QStringLiteral("Edit_Contact_Info");
inline const QString DeleteContactInfo = QStringLiteral("Delete_Contact_Info");
inline const QString FullAccess = QStringLiteral("Full_Access");
inline const QString TeammateAccess = QStringLiteral("Teammate_Access");
inline const QString Supervisor = QStringLiteral("Supervisor_User_ID");
// The user at the root of the team tree; it is never deleted.
inline const QString Admin = QStringLiteral("admin");
} // namespace user

// LU_Category and LU_Priority: one key column each.
namespace lookup {
inline const QString Category = QStringLiteral("Category");
inline const QString Priority = QStringLiteral("Priority");
} // namespace lookup

// TOOL: the add-on tools.
namespace tool {
inline const QString Name = QStringLiteral("Tool_Name");
inline const QString Exe = QStringLiteral("Tool_EXE");
inline const QString AccessScreen = QStringLiteral("Tool_Access_Screen");
inline const QString ScrScreen = QStringLiteral("Tool_SCR_Screen");
inline const QString ParamUserId = QStringLiteral("Tool_Param_User_ID");
inline const QString ParamScrNumber = QStringLiteral("Tool_Param_SCR_Number");
} // namespace tool

// SYSTEM: the system-wide options, in its first row.
namespace options {
inline const QString MaxStorage = QStringLiteral("MAX_STORAGE"); // the day limit of the closed-task purge
inline const QString ChunkSize = QStringLiteral("Chunk_Size");
inline const QString MandTargetDate = QStringLiteral("Mand_Target_Date");
inline const QString MandCategory = QStringLiteral("Mand_Category");
inline const QString MandContact = QStringLiteral("Mand_Contact");
inline const QString MandPriority = QStringLiteral("Mand_Priority");
inline const QString AllowUnownedEdit = QStringLiteral("Allow_Unowned_Edit");
inline const QString EditAttachments = QStringLiteral("Edit_Attachments");
} // namespace options

// SCR: the tasks; ATTACH and ROUTE rows belong to a task by its number.
namespace task {
inline const QString Number = QStringLiteral("SCR_Number");
inline const QString Status = QStringLiteral("SCR_STATUS");
inline const QString OwnerDateIn = QStringLiteral("SCR_OWNER_DATE_IN");
} // namespace task

// REPLICA: the known members of the replica set.
namespace replica {
inline const QString Location = QStringLiteral("Replica_Location");
} // namespace replica
} // namespace schema

// A relationship the product relies on without declaring it as a foreign key: the child column refers to the
// parent's key. Cascade: the child rows go with their parent; otherwise the parent may not go while referred
// to.
struct Relationship {
    QString child;
    QString column;
    QString parent;
    bool cascade = false;
};
QList<Relationship> undeclaredRelationships();

// The tables of the shared database, with the relationships the delete commands rely on: tasks refer to
// their owner, category and priority, without cascading deletes. Only pelldb and tests create them; the
// administration program never creates or alters tables.
void createSharedSchema(Database& db);
// The replica-administration database: the table of known replicas.
void createReplicaAdminSchema(Database& db);

// The ways the tables of an open database differ from those of a Pellwood shared database (missing
// tables or columns, keys that are not unique, relationships that are missing or cascade); empty when it
// is one. A replica-administration database is checked for its own table.
QStringList schemaProblems(Database& db);
QStringList schemaProblemsOf(sqlite3* db);
// Throws 3907 naming what is wrong when the open database is no Pellwood database.
void requirePellwoodDatabase(Database& db);

} // namespace pell::db
