// Repair through the real main window: a damaged file salvaged with every readable row and its schema, keys
// and relationships, and failures left to the program-wide error handling.
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "maintenance/db_dump.h"

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
    return scalarRaw(db, QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))).toLongLong();
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
        scalarRaw(db, QStringLiteral("SELECT ncell FROM dbstat WHERE pageno = %1").arg(page)).toLongLong();
    const qint64 size = scalarRaw(db, QStringLiteral("PRAGMA page_size")).toLongLong();
    QFile file(db);
    if (!file.open(QIODevice::ReadWrite) || !file.seek((page - 1) * size) ||
        file.write(QByteArray(int(size), fill)) != size)
        return -1;
    return cells;
}

} // namespace

class RepairTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aDatabaseInUseGoesToTheProgramWideHandler() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const QByteArray before = fileBytes(db);
        Holder holder(db, false);
        MainWindow main(f, &Admin_FORM::Command3D7);
        main.run();
        QCOMPARE(f.platform.boxes().size(), 2);
        QCOMPARE(f.platform.boxes().constFirst().title, QStringLiteral("Repair Database"));
        const auto& error = f.platform.boxes().constLast();
        QCOMPARE(error.text,
                 QStringLiteral("Error %1: %2").arg(err::FileInUse).arg(standardText(err::FileInUse)));
        QCOMPARE(error.pointer, Pointer::Default);
        QCOMPARE(fileBytes(db), before);
    }

    void aDamagedFileKeepsEveryReadableRow() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const auto before = dumpDatabase(db);
        const qint64 routes = count(db, "ROUTE");
        const qint64 cells = overwriteMiddleLeafOfRoute(db, '\xA5');
        QVERIFY(cells > 0);
        QVERIFY(!db::engine::checkDatabase(db).isEmpty());

        MainWindow main(f, &Admin_FORM::Command3D7);
        main.run();
        QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"),
                                                     QStringLiteral("Database has been repaired")}));
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QVERIFY2(db::engine::checkDatabase(db).isEmpty(),
                 qPrintable(db::engine::checkDatabase(db).join(u'\n')));

        // Schema, keys and relationships as they were; every other table whole; ROUTE less only the rows
        // of the overwritten page.
        const auto after = dumpDatabase(db);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() != QLatin1String("ROUTE"))
                QCOMPARE(after.value(it.key()), it.value());
        }
        QCOMPARE(count(db, "ROUTE"), routes - cells);
        auto opened = db::Database::open(db);
        try {
            opened->execute(QStringLiteral("DELETE FROM \"USER\" WHERE User_ID = 'clerk1'"));
            QFAIL("a user who owns tasks was deleted");
        } catch (const Error& error) {
            QCOMPARE(error.number(), err::RelatedRecords);
        }
        try {
            opened->execute(QStringLiteral("INSERT INTO LU_Category (Category) VALUES ('bug')"));
            QFAIL("a duplicate category was stored");
        } catch (const Error& error) {
            QCOMPARE(error.number(), err::DuplicateKey);
        }
    }

    void theEngineReportsWhatItSalvaged() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const qint64 cells = overwriteMiddleLeafOfRoute(db, '\0');
        const db::engine::RepairReport report = db::engine::repairDatabase(db);
        QVERIFY(report.salvaged);
        QVERIFY(!report.problems.isEmpty());
        QCOMPARE(report.rowsLost, qint64(0));
        QVERIFY(report.rowsKept > 3000 - cells);
        QVERIFY(!db::engine::repairDatabase(db).salvaged); // a second repair finds nothing to salvage
    }
};

QTEST_MAIN(RepairTest)
#include "tst_repair.moc"
