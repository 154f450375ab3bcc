// Repair through the real main window: a damaged file salvaged with every readable row and its schema, keys
// and relationships, and failures left to the program-wide error handling.
#include "core/error.h"
#include "db/database.h"
#include "db/files/operations.h"
#include "support/db_dump.h"

#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

QString makeBusyDb(Fixture& f) {
    return makeFilledDb(
        f,
        QStringLiteral("INSERT INTO ROUTE (SCR_Number, From_User, To_User, Route_Note) VALUES "
                       "(%1, 'admin', 'dev1', 'routing note number %2 with some words');"),
        3000);
}

qint64 count(const QString& db, const char* table) {
    return scalarRaw(db, u"SELECT count(*) FROM %1"_s.arg(QLatin1String(table))).toLongLong();
}

// Overwrites a leaf page of ROUTE from the middle of the table; returns how many rows it held.
qint64 overwriteMiddleLeafOfRoute(const QString& db, char fill) {
    const QStringList pages =
        scalarRaw(db, QStringLiteral("SELECT group_concat(pageno) FROM (SELECT pageno FROM dbstat "
                                     "WHERE name = 'ROUTE' AND pagetype = 'leaf' ORDER BY path)"))
            .toString()
            .split(u',');
    const qint64 page = pages.at(pages.size() / 2).toLongLong();
    const qint64 cells =
        scalarRaw(db, u"SELECT ncell FROM dbstat WHERE pageno = %1"_s.arg(page)).toLongLong();
    const qint64 size = scalarRaw(db, u"PRAGMA page_size"_s).toLongLong();
    QFile file(db);
    if (!file.open(QIODevice::ReadWrite) || !file.seek((page - 1) * size) ||
        file.write(QByteArray(int(size), fill)) != size)
        return -1;
    return cells;
}

// A database file made by another program, with its own tables.
void makeForeign(const QString& path, const QString& sql) {
    sqlite3* raw = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &raw), SQLITE_OK);
    QCOMPARE(sqlite3_exec(raw, sql.toUtf8().constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
}

} // namespace

class RepairTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aDamagedFileKeepsEveryReadableRow() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const auto before = dumpDatabase(db);
        const qint64 routes = count(db, "ROUTE");
        const qint64 cells = overwriteMiddleLeafOfRoute(db, '\xA5');
        QVERIFY(cells > 0);
        QVERIFY(!db::files::checkDatabase(db).isEmpty());

        MainWindow main(f, &Admin_FORM::Command3D7);
        main.run();
        QCOMPARE(f.platform.boxTexts(), (QStringList{u"Are you sure?"_s, u"Database has been repaired"_s}));
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QVERIFY2(db::files::checkDatabase(db).isEmpty(),
                 qPrintable(db::files::checkDatabase(db).join(u'\n')));

        // Schema, keys and relationships as they were; every other table whole; ROUTE less only the rows
        // of the overwritten page.
        const auto after = dumpDatabase(db);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() != QLatin1String("ROUTE"))
                QCOMPARE(after.value(it.key()), it.value());
        }
        QCOMPARE(count(db, "ROUTE"), routes - cells);
        auto opened = db::Database::open(db);
        QCOMPARE(errorOf([&] { opened->execute(u"DELETE FROM \"USER\" WHERE User_ID = 'clerk1'"_s); }),
                 err::RelatedRecords);
        QCOMPARE(errorOf([&] { opened->execute(u"INSERT INTO LU_Category (Category) VALUES ('bug')"_s); }),
                 err::DuplicateKey);
    }

    void inUseRefusedDestroyedHeaderMendedDestroyedFirstPageExplained() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const auto before = dumpDatabase(db);
        MainWindow main(f, &Admin_FORM::Command3D7);
        {
            // In use: the program-wide handler, the file as it was.
            const QByteArray held = fileBytes(db);
            Holder holder(db, false);
            main.run();
            QCOMPARE(f.platform.boxes().size(), 2);
            QCOMPARE(f.platform.boxes().constFirst().title, u"Repair Database"_s);
            const auto& error = f.platform.boxes().constLast();
            QCOMPARE(error.text, u"Error %1: %2"_s.arg(err::FileInUse).arg(standardText(err::FileInUse)));
            QCOMPARE(error.pointer, Pointer::Default);
            QCOMPARE(fileBytes(db), held);
        }
        const auto overwrite = [&](int size, char fill) {
            QByteArray bytes = fileBytes(db);
            bytes.replace(0, size, QByteArray(size, fill));
            QFile file(db);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        for (char fill : {'\xA5', '0'}) {
            overwrite(100, fill);
            f.platform.clear();
            main.run();
            QCOMPARE(f.platform.boxTexts(),
                     (QStringList{u"Are you sure?"_s, u"Database has been repaired"_s}));
            QCOMPARE(dumpDatabase(db), before); // every row, the schema, the keys
            QCOMPARE(db::files::checkDatabase(db), QStringList());
        }

        // With the whole first page gone no table can be found: the repair says so and changes nothing.
        overwrite(4096, '\0');
        const QByteArray bytes = fileBytes(db);
        f.platform.clear();
        main.run();
        QCOMPARE(f.platform.boxes().size(), 2);
        const QString text = f.platform.boxTexts().constLast();
        QVERIFY2(text.startsWith(u"Error %1: "_s.arg(err::Unrepairable)) &&
                     text.contains(QLatin1String("first page")),
                 qPrintable(text));
        QCOMPARE(fileBytes(db), bytes);
    }

    void whatIsNoPellwoodDatabaseIsRefusedAndCheckSaysWhy() {
        Fixture f;
        const QString empty = f.path(u"empty.mdb"_s);
        QFile(empty).open(QIODevice::WriteOnly);
        const QString foreign = f.path(u"foreign.mdb"_s);
        makeForeign(foreign, u"CREATE TABLE t (x); INSERT INTO t VALUES (1);"_s);
        const QString noOptions = f.makeSharedDb(u"nooptions.mdb"_s);
        execRaw(noOptions, u"DELETE FROM \"SYSTEM\";"_s);
        // Relationships the product keeps without declaring them.
        const QString orphans = f.makeSharedDb(u"orphans.mdb"_s);
        execRaw(orphans,
                QStringLiteral("INSERT INTO ROUTE (SCR_Number, Route_Note) VALUES (77, 'x'); UPDATE \"USER\" "
                               "SET Supervisor_User_ID='nobody' WHERE User_ID='guest';"));
        const QString cascading = f.path(u"cascading.mdb"_s);
        makeForeign(
            cascading,
            QStringLiteral(
                "CREATE TABLE \"USER\" (User_ID TEXT COLLATE NOCASE PRIMARY KEY, User_Name, User_Password, "
                "User_Review_Account, Allow_Forwarding, Edit_Contact_Info, Delete_Contact_Info, Full_Access, "
                "Teammate_Access, Supervisor_User_ID);"
                "CREATE TABLE LU_Category (Category TEXT PRIMARY KEY);"
                "CREATE TABLE LU_Priority (Priority TEXT COLLATE NOCASE PRIMARY KEY);"
                "CREATE TABLE TOOL (Tool_Name TEXT COLLATE NOCASE PRIMARY KEY, Tool_EXE, Tool_Access_Screen, "
                "Tool_SCR_Screen, Tool_Param_User_ID, Tool_Param_SCR_Number);"
                "CREATE TABLE \"SYSTEM\" (MAX_STORAGE, Chunk_Size, Mand_Target_Date, Mand_Category, "
                "Mand_Contact, Mand_Priority, Allow_Unowned_Edit, Edit_Attachments);"
                "CREATE TABLE SCR (SCR_Number INTEGER PRIMARY KEY, SCR_STATUS, SCR_OWNER_DATE_IN, "
                "o REFERENCES \"USER\"(User_ID) ON DELETE CASCADE, c REFERENCES LU_Category(Category), "
                "p REFERENCES LU_Priority(Priority));"
                "CREATE TABLE ATTACH (SCR_Number REFERENCES SCR(SCR_Number));"
                "CREATE TABLE ROUTE (SCR_Number);"));
        const struct {
            QString path;
            QString says;
        } cases[] = {{empty, u"the file is empty"_s},
                     {foreign, u"table USER is missing"_s},
                     {noOptions, u"table SYSTEM has no options row"_s},
                     {orphans, u"of ROUTE refers to a missing record of SCR (SCR_Number 77)"_s},
                     {orphans, u"of USER refers to a missing record of USER (Supervisor_User_ID nobody)"_s},
                     {cascading, u"Category of table LU_Category is not a unique key that ignores case"_s},
                     {cascading, u"the relationship from SCR to USER deletes or changes tasks"_s},
                     {cascading, u"the relationship from ATTACH to SCR refuses the deletion of a task"_s}};
        QString out, err;
        for (const auto& c : cases) {
            QCOMPARE(runPelldb({u"check"_s, c.path}, &out, &err), 1);
            QVERIFY2(out.contains(c.says), qPrintable(c.path + u'\n' + out));
        }
        // The whole-file commands turn none of them into something else.
        for (const QString& path : {empty, foreign, cascading}) {
            const QByteArray before = fileBytes(path);
            for (const QString& command : {u"compact"_s, u"repair"_s, u"make-master"_s}) {
                QStringList args{command, path};
                if (command == QLatin1String("compact"))
                    args << u"--folder"_s << f.dir.path();
                QCOMPARE(runPelldb(args, &out, &err), 1);
                QVERIFY2(err.startsWith(u"error %1: "_s.arg(err::NotPellwood)), qPrintable(command + err));
                QCOMPARE(fileBytes(path), before);
                QFile::remove(f.path(u"_temp.mdb"_s));
            }
        }
        QCOMPARE(runPelldb({u"check"_s, f.makeSharedDb()}, &out, &err), 0);
        QCOMPARE(out, u"ok\n"_s);
    }

    void theEngineReportsWhatItSalvaged() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const qint64 cells = overwriteMiddleLeafOfRoute(db, '\0');
        const db::files::RepairReport report = db::files::repairDatabase(db);
        QVERIFY(report.salvaged && !report.problems.isEmpty() && report.rowsKept > 3000 - cells);
        QCOMPARE(report.rowsLost, qint64(0));
        QVERIFY(!db::files::repairDatabase(db).salvaged); // a second repair finds nothing to salvage
    }
};

QTEST_MAIN(RepairTest)
#include "tst_repair.moc"
