#include "support/sample_data.h"

#include "db/database.h"

#include <QByteArray>
#include <QDateTime>
#include <QRandomGenerator>

namespace pell::sample {

using db::Statement;

namespace {
void addUser(Statement& insert, const QString& id, const QString& name, const QVariant& supervisor, bool full,
             bool teammate) {
    insert.bindAll({id, name, QString(), 0, -1, -1, -1, full ? -1 : 0, teammate ? -1 : 0, supervisor});
    insert.run();
}
} // namespace

void fillSharedDatabase(db::Database& db, const SampleOptions& options) {
    db::Transaction tx(db);
    Statement user = db.prepare(QStringLiteral(
        "INSERT INTO \"USER\" (User_ID, User_Name, User_Password, User_Review_Account, Allow_Forwarding, "
        "Edit_Contact_Info, Delete_Contact_Info, Full_Access, Teammate_Access, Supervisor_User_ID) "
        "VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)"));
    addUser(user, QStringLiteral("admin"), QStringLiteral("Administrator"), QVariant(), true, false);
    db.execute(
        QStringLiteral("INSERT INTO \"SYSTEM\" (MAX_STORAGE, Chunk_Size, Mand_Target_Date, Mand_Category, "
                       "Mand_Contact, Mand_Priority, Allow_Unowned_Edit, Edit_Attachments) "
                       "VALUES (?1, 8000, 0, -1, 0, -1, 0, -1)"),
        {options.tasks > 0 ? 30 : 90});

    const QDateTime now = QDateTime::currentDateTime();
    const auto stamp = [](const QDateTime& t) { return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); };
    Statement task = db.prepare(QStringLiteral(
        "INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_OWNER_DATE_IN, SCR_Owner, SCR_Category, "
        "SCR_Priority) VALUES (?1,?2,?3,?4,?5,?6,?7)"));
    Statement attach =
        db.prepare(QStringLiteral("INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (?1,?2,?3)"));
    Statement route = db.prepare(QStringLiteral("INSERT INTO ROUTE (SCR_Number, From_User, To_User, "
                                                "Route_Date, Route_Note) VALUES (?1,?2,?3,?4,?5)"));

    if (options.sample) {
        const struct {
            const char* id;
            const char* name;
            const char* supervisor;
            bool full;
            bool teammate;
        } users[] = {
            {"support", "Support team lead", "admin", true, false},
            {"clerk1", "Front desk", "support", false, true},
            {"clerk2", "Back office", "support", false, false},
            {"dev", "Development lead", "admin", true, false},
            {"dev1", "Programmer", "dev", false, true},
            {"dev2", "Tester", "dev", false, false},
            // Leads nobody and owns no task: the one sample user the user window can delete.
            {"intern", "Summer intern", "dev", false, false},
            {"guest", "Visitor", nullptr, false, false},
        };
        for (const auto& u : users)
            addUser(user, QString::fromLatin1(u.id), QString::fromLatin1(u.name),
                    u.supervisor ? QVariant(QString::fromLatin1(u.supervisor)) : QVariant(), u.full,
                    u.teammate);
        for (const char* c : {"Bug", "Enhancement", "Question", "Urgent"})
            db.execute(QStringLiteral("INSERT INTO LU_Category (Category) VALUES (?1)"),
                       {QString::fromLatin1(c)});
        for (const char* p : {"High", "Normal", "Low"})
            db.execute(QStringLiteral("INSERT INTO LU_Priority (Priority) VALUES (?1)"),
                       {QString::fromLatin1(p)});
        db.execute(QStringLiteral("INSERT INTO TOOL VALUES ('Calculator', 'calc', -1, 0, 0, 0)"));
        db.execute(QStringLiteral("INSERT INTO TOOL VALUES ('Task Report', 'pellreport', 0, -1, -1, -1)"));
        const struct {
            int number;
            const char* status;
            int age;
            const char* owner;
        } tasks[] = {
            {1, "A", 2, "clerk1"}, {2, "C", 200, "clerk2"}, {3, "C", 5, "dev1"}, {4, "A", 400, "dev2"}};
        for (const auto& t : tasks) {
            task.bindAll({t.number, QStringLiteral("Sample task %1").arg(t.number),
                          QString::fromLatin1(t.status), stamp(now.addDays(-t.age)),
                          QString::fromLatin1(t.owner), QStringLiteral("Bug"), QStringLiteral("Normal")});
            task.run();
            attach.bindAll({t.number, QStringLiteral("notes.txt"), QByteArray("sample attachment")});
            attach.run();
            route.bindAll(
                {t.number, QStringLiteral("admin"), QString::fromLatin1(t.owner), stamp(now), QString()});
            route.run();
        }
    }

    // Generated users form teams of ten under leaders, leaders under admin.
    QRandomGenerator random(options.seed);
    for (int i = 0; i < options.users; ++i) {
        const QString id = QStringLiteral("u%1").arg(i);
        QVariant supervisor = QStringLiteral("admin");
        if (i % 10 != 0)
            supervisor = QStringLiteral("u%1").arg(i - i % 10);
        addUser(user, id, QStringLiteral("User %1").arg(random.bounded(1000000)), supervisor, i % 3 == 0,
                i % 3 == 1);
    }

    if (options.tasks > 0) {
        db.execute(QStringLiteral("INSERT OR IGNORE INTO LU_Category (Category) VALUES ('General')"));
        db.execute(QStringLiteral("INSERT OR IGNORE INTO LU_Priority (Priority) VALUES ('Normal')"));
        QByteArray blob(500, '\0');
        const int base = options.sample ? 100 : 1;
        for (int i = 0; i < options.tasks; ++i) {
            const int number = base + i;
            const bool closed = i % 2 == 0;
            for (auto& b : blob)
                b = char(random.bounded(256));
            task.bindAll({number, QStringLiteral("Task %1").arg(number),
                          closed ? QStringLiteral("C") : QStringLiteral("A"),
                          stamp(now.addDays(closed ? -100 : -1)), QStringLiteral("admin"),
                          QStringLiteral("General"), QStringLiteral("Normal")});
            task.run();
            for (int a = 0; a < 3; ++a) {
                attach.bindAll({number, QStringLiteral("file%1.bin").arg(a), blob});
                attach.run();
            }
            for (int r = 0; r < 5; ++r) {
                route.bindAll({number, QStringLiteral("admin"), QStringLiteral("admin"),
                               stamp(now.addDays(-r)), QStringLiteral("step %1").arg(r)});
                route.run();
            }
        }
    }
    tx.commit();
}

} // namespace pell::sample
