// Repair through the real main window: an intact file rebuilt with its content unchanged, a damaged one
// salvaged with every readable row and its schema, keys and relationships, and failures left to the
// program-wide error handling.
#include "app/Admin_FORM.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "maintenance/db_dump.h"
#include "support/test_support.h"

#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

QString makeBusyDb(Fixture& f) {
    const QString db = f.makeSharedDb();
    QString sql = QStringLiteral("BEGIN;");
    for (int i = 0; i < 3000; ++i)
        sql += QStringLiteral("INSERT INTO ROUTE (SCR_Number, From_User, To_User, Route_Note) VALUES "
                              "(%1, 'admin', 'dev1', 'routing note number %2 with some words');")
                   .arg(i % 4 + 1)
                   .arg(i);
    sql += QStringLiteral("COMMIT;");
    execRaw(db, sql);
    return db;
}

struct Page {
    qint64 number = 0;
    qint64 cells = 0;
};

// A leaf page of ROUTE from the middle of the table.
Page middleLeafOfRoute(const QString& db) {
    const QString pages =
        scalarRaw(db, QStringLiteral("SELECT group_concat(pageno) FROM (SELECT pageno FROM dbstat "
                                     "WHERE name = 'ROUTE' AND pagetype = 'leaf' ORDER BY path)"))
            .toString();
    const QStringList list = pages.split(u',');
    Page page;
    page.number = list.at(list.size() / 2).toLongLong();
    page.cells = scalarRaw(db, QStringLiteral("SELECT ncell FROM dbstat WHERE pageno = %1").arg(page.number))
                     .toLongLong();
    return page;
}

void overwritePage(const QString& db, qint64 page, char fill) {
    const qint64 size = scalarRaw(db, QStringLiteral("PRAGMA page_size")).toLongLong();
    QFile file(db);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek((page - 1) * size));
    QCOMPARE(file.write(QByteArray(int(size), fill)), size);
}

qint64 count(const QString& db, const char* table) {
    return scalarRaw(db, QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))).toLongLong();
}

struct MainWindow {
    explicit MainWindow(Fixture& f) : window(f.ctx) {}
    void repair() { window.Command3D7->click(); }
    Admin_FORM window;
};

} // namespace

class RepairTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noLeavesTheFileAlone() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const QByteArray before = fileBytes(db);
        MainWindow main(f);
        f.platform.queueAnswer(Answer::No);
        main.repair();
        QCOMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(f.platform.boxes().constFirst().text, QStringLiteral("Are you sure?"));
        QCOMPARE(f.platform.boxes().constFirst().title, QStringLiteral("Repair Database"));
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::YesNo);
        QCOMPARE(fileBytes(db), before);
    }

    void anIntactFileIsRebuiltWithItsContent() {
        Fixture f;
        const QString db = makeBusyDb(f);
        execRaw(db, QStringLiteral("DELETE FROM ROUTE WHERE Route_Number % 3 = 0"));
        const auto before = dumpDatabase(db);
        MainWindow main(f);
        main.repair();
        QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"),
                                                     QStringLiteral("Database has been repaired")}));
        QCOMPARE(f.platform.boxes().constLast().pointer, Pointer::Default);
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        QCOMPARE(scalarRaw(db, QStringLiteral("PRAGMA freelist_count")).toLongLong(), 0);
    }

    void aDatabaseInUseGoesToTheProgramWideHandler() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const QByteArray before = fileBytes(db);
        Holder holder(db, false);
        MainWindow main(f);
        main.repair();
        QCOMPARE(f.platform.boxes().size(), 2);
        const auto& error = f.platform.boxes().constLast();
        QCOMPARE(error.text,
                 QStringLiteral("Error %1: %2").arg(err::FileInUse).arg(standardText(err::FileInUse)));
        QCOMPARE(error.pointer, Pointer::Default);
        QCOMPARE(fileBytes(db), before);
    }

    void aMissingFileGoesToTheProgramWideHandler() {
        Fixture f;
        f.state.DATABASE_PATH = f.path(QStringLiteral("gone.mdb"));
        MainWindow main(f);
        main.repair();
        QCOMPARE(f.platform.boxes().size(), 2);
        QVERIFY(f.platform.boxTexts().constLast().startsWith(
            QStringLiteral("Error %1:").arg(err::FileNotFoundDb)));
    }

    void aDamagedFileKeepsEveryReadableRow() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const auto before = dumpDatabase(db);
        const qint64 routes = count(db, "ROUTE");
        const Page page = middleLeafOfRoute(db);
        QVERIFY(page.cells > 0);
        overwritePage(db, page.number, '\xA5');
        QVERIFY(!db::engine::checkDatabase(db).isEmpty());

        MainWindow main(f);
        main.repair();
        QCOMPARE(f.platform.boxTexts().constLast(), QStringLiteral("Database has been repaired"));
        QVERIFY2(db::engine::checkDatabase(db).isEmpty(),
                 qPrintable(db::engine::checkDatabase(db).join(u'\n')));

        const auto after = dumpDatabase(db);
        // Schema, keys and relationships as they were; every other table whole; ROUTE less only the rows
        // of the overwritten page.
        QCOMPARE(after.value(QString()), before.value(QString()));
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() != QLatin1String("ROUTE") && !it.key().isEmpty())
                QCOMPARE(after.value(it.key()), it.value());
        }
        QCOMPARE(count(db, "ROUTE"), routes - page.cells);
        // The relationship from tasks to their owner is still enforced.
        auto opened = db::Database::open(db);
        try {
            opened->execute(QStringLiteral("DELETE FROM \"USER\" WHERE User_ID = 'clerk1'"));
            QFAIL("a user who owns tasks was deleted");
        } catch (const Error& error) {
            QCOMPARE(error.number(), err::RelatedRecords);
        }
        // The unique key too.
        try {
            opened->execute(QStringLiteral("INSERT INTO LU_Category (Category) VALUES ('bug')"));
            QFAIL("a duplicate category was stored");
        } catch (const Error& error) {
            QCOMPARE(error.number(), err::DuplicateKey);
        }
    }

    void garbageInSeveralPagesIsSurvived() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const auto before = dumpDatabase(db);
        const QString pages =
            scalarRaw(db, QStringLiteral("SELECT group_concat(pageno) FROM dbstat WHERE name = "
                                         "'ROUTE' AND pagetype = 'leaf'"))
                .toString();
        const QStringList list = pages.split(u',');
        QVERIFY(list.size() > 10);
        const qint64 size = scalarRaw(db, QStringLiteral("PRAGMA page_size")).toLongLong();
        QRandomGenerator random(7);
        QFile file(db);
        QVERIFY(file.open(QIODevice::ReadWrite));
        for (const qsizetype i : {qsizetype(2), list.size() / 2, list.size() - 3}) {
            QByteArray garbage(int(size), '\0');
            for (char& c : garbage)
                c = char(random.bounded(256));
            QVERIFY(file.seek((list.at(i).toLongLong() - 1) * size));
            QCOMPARE(file.write(garbage), size);
        }
        file.close();

        MainWindow main(f);
        main.repair();
        QCOMPARE(f.platform.boxTexts().constLast(), QStringLiteral("Database has been repaired"));
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        const auto after = dumpDatabase(db);
        QCOMPARE(after.value(QStringLiteral("SCR")), before.value(QStringLiteral("SCR")));
        QCOMPARE(after.value(QStringLiteral("USER")), before.value(QStringLiteral("USER")));
        QVERIFY(count(db, "ROUTE") > 3000 / 2);
    }

    void theEngineReportsWhatItSalvaged() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const Page page = middleLeafOfRoute(db);
        overwritePage(db, page.number, '\0');
        const db::engine::RepairReport report = db::engine::repairDatabase(db);
        QVERIFY(report.salvaged);
        QVERIFY(!report.problems.isEmpty());
        QCOMPARE(report.rowsLost, qint64(0));
        QVERIFY(report.rowsKept > 3000 - page.cells);
        // A second repair finds nothing to salvage.
        QVERIFY(!db::engine::repairDatabase(db).salvaged);
    }

    void pelldbRepairRunsTheSameCommand() {
        Fixture f;
        const QString db = makeBusyDb(f);
        const Page page = middleLeafOfRoute(db);
        overwritePage(db, page.number, '\x5A');
        QString out;
        QCOMPARE(runPelldb({QStringLiteral("check"), db}, &out), 1);
        QCOMPARE(runPelldb({QStringLiteral("repair"), db}, &out), 0);
        QVERIFY(out.contains(QLatin1String("Database has been repaired")));
        QCOMPARE(runPelldb({QStringLiteral("check"), db}, &out), 0);
        QString err;
        QCOMPARE(runPelldb({QStringLiteral("repair"), f.path(QStringLiteral("gone.mdb"))}, &out, &err), 1);
        QVERIFY(err.contains(QString::number(err::FileNotFoundDb)));
    }
};

QTEST_MAIN(RepairTest)
#include "tst_repair.moc"
