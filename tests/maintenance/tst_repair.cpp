// Repair through the real main window: a damaged file salvaged with every readable row and its schema, keys
// and relationships, and failures left to the program-wide error handling.
#include "core/error.h"
#include "db/files/operations.h"
#include "support/db_dump.h"

#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

// Overwrites a leaf page of ROUTE from the middle of the table; returns how many rows it held.
qint64 overwriteMiddleLeafOfRoute(const QString& db) {
    const QStringList pages = str(db, u"SELECT group_concat(pageno) FROM (SELECT pageno FROM dbstat "
                                      "WHERE name = 'ROUTE' AND pagetype = 'leaf' ORDER BY path)"_s)
                                  .split(u',');
    const qint64 page = pages.at(pages.size() / 2).toLongLong();
    const qint64 cells = num(db, u"SELECT ncell FROM dbstat WHERE pageno = %1"_s.arg(page));
    const qint64 size = num(db, u"PRAGMA page_size"_s);
    QFile file(db);
    const bool written = file.open(QIODevice::ReadWrite) && file.seek((page - 1) * size) &&
                         file.write(QByteArray(int(size), '\xA5')) == size;
    return written ? cells : -1;
}

} // namespace

class RepairTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void inUseRefusedDamageMendedWithEveryReadableRowDestroyedFirstPageExplained() {
        Fixture f;
        const QString db =
            makeFilledDb(f,
                         u"INSERT INTO ROUTE (SCR_Number, From_User, To_User, Route_Note) VALUES "
                         "(%1, 'admin', 'dev1', 'routing note number %2 with some words');"_s,
                         3000);
        auto before = dumpDatabase(db);
        MainWindow main(f, &Admin_FORM::Command3D7);
        {
            // In use: the program-wide handler, the file as it was.
            const QByteArray held = fileBytes(db);
            Holder holder(db, false);
            main.run();
            QCOMPARE(f.platform.boxTexts(),
                     (QStringList{u"Are you sure?"_s,
                                  u"Error %1: %2"_s.arg(err::FileInUse).arg(standardText(err::FileInUse))}));
            QCOMPARE(f.platform.boxes().constFirst().title, u"Repair Database"_s);
            QCOMPARE(f.platform.boxes().constLast().pointer, Pointer::Default);
            QCOMPARE(fileBytes(db), held);
        }
        const QStringList repaired{u"Are you sure?"_s, u"Database has been repaired"_s};
        const auto repair = [&](int size, char fill) {
            if (size > 0)
                writeFile(db, fileBytes(db).replace(0, size, QByteArray(size, fill)));
            f.platform.clear();
            main.run();
            return f.platform.boxTexts();
        };
        for (char fill : {'\xA5', '0'}) {
            QCOMPARE(repair(100, fill), repaired); // the header
            QCOMPARE(dumpDatabase(db), before);    // every row, the schema, the keys
            QCOMPARE(db::files::checkDatabase(db), QStringList());
        }
        // A page of ROUTE: the check finds every key and relationship in place; the schema, every other table
        // whole, and ROUTE less only the rows of the overwritten page.
        const qint64 routes = num(db, u"SELECT count(*) FROM ROUTE"_s);
        const qint64 cells = overwriteMiddleLeafOfRoute(db);
        QVERIFY(cells > 0 && !db::files::checkDatabase(db).isEmpty());
        QCOMPARE(repair(0, 0), repaired);
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QCOMPARE(db::files::checkDatabase(db), QStringList());
        auto after = dumpDatabase(db);
        before.remove(u"ROUTE"_s);
        QCOMPARE(after.take(u"ROUTE"_s).count(u'\n'), routes - cells);
        QCOMPARE(after, before);

        // With the whole first page gone no table can be found: the repair says so and changes nothing.
        const QByteArray bytes = fileBytes(db).replace(0, 4096, QByteArray(4096, '\0'));
        const QStringList texts = repair(4096, '\0');
        QVERIFY2(texts.size() == 2 && texts[1].startsWith(u"Error %1: "_s.arg(err::Unrepairable)) &&
                     texts[1].contains(QLatin1String("first page")),
                 qPrintable(texts.join(u'\n')));
        QCOMPARE(fileBytes(db), bytes);
    }

    void whatIsNoPellwoodDatabaseIsRefusedAndCheckSaysWhy() {
        Fixture f;
        const QString empty = f.path(u"empty.mdb"_s), foreign = f.path(u"foreign.mdb"_s);
        writeFile(empty, {});
        writeFile(foreign, {}); // made by another program, with its own tables
        execRaw(foreign, u"CREATE TABLE t (x); INSERT INTO t VALUES (1);"_s);
        const QString noOptions = f.makeSharedDb(u"nooptions.mdb"_s);
        execRaw(noOptions, u"DELETE FROM \"SYSTEM\";"_s);
        // Relationships the product keeps without declaring them.
        const QString orphans = f.makeSharedDb(u"orphans.mdb"_s);
        execRaw(orphans,
                QStringLiteral("INSERT INTO ROUTE (SCR_Number, Route_Note) VALUES (77, 'x'); UPDATE \"USER\" "
                               "SET Supervisor_User_ID='nobody' WHERE User_ID='guest';"));
        // Every table and column, but a key that minds case and relationships that cascade or refuse.
        const QString cascading = f.makeSharedDb(u"cascading.mdb"_s, false);
        execRaw(cascading,
                QStringLiteral("PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = CASE name "
                               "WHEN 'LU_Category' THEN replace(sql, 'COLLATE NOCASE', '') "
                               "WHEN 'SCR' THEN replace(sql, '(User_ID)', '(User_ID) ON DELETE CASCADE') "
                               "ELSE replace(sql, 'NOT NULL', 'REFERENCES SCR') END "
                               "WHERE name IN ('LU_Category', 'SCR', 'ATTACH');"));
        const std::pair<QString, QString> cases[] = {
            {empty, u"the file is empty"_s},
            {foreign, u"table USER is missing"_s},
            {noOptions, u"table SYSTEM has no options row"_s},
            {orphans, u"of ROUTE refers to a missing record of SCR (SCR_Number 77)"_s},
            {orphans, u"of USER refers to a missing record of USER (Supervisor_User_ID nobody)"_s},
            {cascading, u"Category of table LU_Category is not a unique key that ignores case"_s},
            {cascading, u"the relationship from SCR to USER deletes or changes tasks"_s},
            {cascading, u"the relationship from ATTACH to SCR refuses the deletion of a task"_s}};
        QString out, err;
        for (const auto& [path, says] : cases) {
            QCOMPARE(runPelldb({u"check"_s, path}, &out, &err), 1);
            QVERIFY2(out.contains(says), qPrintable(path + u'\n' + out));
        }
        // The whole-file commands turn none of them into something else.
        for (const QString& path : {empty, foreign, cascading}) {
            const QByteArray before = fileBytes(path);
            for (const QStringList& args :
                 {QStringList{u"compact"_s, path, u"--folder"_s, f.dir.path()},
                  QStringList{u"repair"_s, path}, QStringList{u"make-master"_s, path}}) {
                QCOMPARE(runPelldb(args, &out, &err), 1);
                QVERIFY2(err.startsWith(u"error %1: "_s.arg(err::NotPellwood)), qPrintable(args[0] + err));
                QCOMPARE(fileBytes(path), before);
            }
        }
        QVERIFY(!QFile::exists(f.path(u"_temp.mdb"_s)));
    }
};

QTEST_MAIN(RepairTest)
#include "tst_repair.moc"
