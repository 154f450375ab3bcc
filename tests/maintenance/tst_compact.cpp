// Compaction through the real main window: the question, the hourglass, the swap that keeps the original
// until the compacted file is complete, and a database that survives an interruption at the worst moment.
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "maintenance/db_dump.h"

#include <QDir>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

// A database with free pages to give back: rows added and half of them deleted again.
QString makeLooseDb(Fixture& f) {
    return makeFilledDb(f,
                        QStringLiteral("INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (%1, "
                                       "'f%2', randomblob(2000));"),
                        300, QStringLiteral("DELETE FROM ATTACH WHERE Attach_Number % 2 = 0;"));
}

QStringList hiddenLeftovers(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral(".*.compacting*")}, QDir::Files | QDir::Hidden);
}

} // namespace

class CompactTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void compactsInPlaceAndLeavesACopy() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        const qint64 sizeBefore = QFileInfo(db).size();
        const QString temp = f.path(QStringLiteral("_temp.mdb"));
        QFile stale(temp); // left from an earlier run
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("stale");
        stale.close();
        MainWindow main(f, &Admin_FORM::Command3D6);
        main.run();
        QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"),
                                                     QStringLiteral("Database has been compacted")}));
        QCOMPARE(f.platform.boxes().constFirst().title, QStringLiteral("Compact Database"));
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::YesNo);
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(QFileInfo(db).size() < sizeBefore);
        QCOMPARE(withoutCounters(fileBytes(temp)), withoutCounters(fileBytes(db)));
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
    }

    void aDatabaseInUseIsLeftAsItWas() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const QByteArray before = fileBytes(db);
        Holder holder(db, false);
        MainWindow main(f, &Admin_FORM::Command3D6);
        main.run();
        QCOMPARE(f.platform.boxes().size(), 2);
        const auto& error = f.platform.boxes().constLast();
        QCOMPARE(error.text, QStringLiteral("ERROR:") + standardText(err::FileInUse));
        QCOMPARE(error.pointer, Pointer::Default);
        QCOMPARE(fileBytes(db), before);
        QVERIFY(!QFile::exists(f.path(QStringLiteral("_temp.mdb"))));
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
    }

    void anInterruptionBeforeTheSwapLeavesTheDatabaseWhole() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        const QByteArray bytes = fileBytes(db);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // The process dies between the compaction and the swap, running no clean-up at all.
            try {
                db::engine::compactInPlace(db, f.path(QStringLiteral("_temp.mdb")), [] { ::_exit(3); });
            } catch (...) {
            }
            ::_exit(1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 3);
        QCOMPARE(fileBytes(db), bytes);
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        db::Database::open(db, {.exclusive = true}).reset(); // nobody holds it any more

        // The next compaction is not disturbed by what the interrupted one left.
        MainWindow main(f, &Admin_FORM::Command3D6);
        main.run();
        QCOMPARE(f.platform.boxTexts().constLast(), QStringLiteral("Database has been compacted"));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
    }
};

QTEST_MAIN(CompactTest)
#include "tst_compact.moc"
