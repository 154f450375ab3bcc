// Compaction through the real main window: the question, the hourglass, the swap that keeps the original
// until the compacted file is complete, and a database that survives an interruption at the worst moment.
#include "app/Admin_FORM.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "maintenance/db_dump.h"
#include "support/test_support.h"

#include <QDir>
#include <QPushButton>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

// A database with free pages to give back: rows added and half of them deleted again.
QString makeLooseDb(Fixture& f) {
    const QString db = f.makeSharedDb();
    QString sql = QStringLiteral("BEGIN;");
    for (int i = 0; i < 300; ++i)
        sql += QStringLiteral("INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (%1, 'f', "
                              "randomblob(2000));")
                   .arg(i % 4 + 1);
    sql += QStringLiteral("COMMIT; DELETE FROM ATTACH WHERE Attach_Number % 2 = 0;");
    execRaw(db, sql);
    return db;
}

QStringList hiddenLeftovers(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral(".*.compacting*")}, QDir::Files | QDir::Hidden);
}

struct MainWindow {
    explicit MainWindow(Fixture& f) : window(f.ctx) {}
    void compact() { window.Command3D6->click(); }
    Admin_FORM window;
};

} // namespace

class CompactTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noChangesNothingButTheOldTemporaryFile() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const QByteArray before = fileBytes(db);
        const QString temp = f.path(QStringLiteral("_temp.mdb"));
        QFile stale(temp);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("left from an earlier run");
        stale.close();
        MainWindow main(f);
        f.platform.queueAnswer(Answer::No);
        main.compact();
        QCOMPARE(f.platform.boxes().size(), 1);
        const auto& box = f.platform.boxes().constFirst();
        QCOMPARE(box.text, QStringLiteral("Are you sure?"));
        QCOMPARE(box.title, QStringLiteral("Compact Database"));
        QCOMPARE(box.buttons, Buttons::YesNo);
        QCOMPARE(box.icon, Icon::None);
        QVERIFY(!QFile::exists(temp)); // deleted before the question
        QCOMPARE(fileBytes(db), before);
        QVERIFY(f.platform.pointerHistory().isEmpty());
    }

    void compactsInPlaceAndLeavesACopy() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        const qint64 sizeBefore = QFileInfo(db).size();
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxTexts(), (QStringList{QStringLiteral("Are you sure?"),
                                                     QStringLiteral("Database has been compacted")}));
        const auto& done = f.platform.boxes().constLast();
        QCOMPARE(done.title, QStringLiteral("Pell Admin"));
        QCOMPARE(done.pointer, Pointer::Default);
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(QFileInfo(db).size() < sizeBefore);
        QCOMPARE(fileBytes(f.path(QStringLiteral("_temp.mdb"))), fileBytes(db));
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
        // Still a working database for the windows.
        auto opened = db::Database::open(db);
        QCOMPARE(
            opened->scalar(QStringLiteral("SELECT User_ID FROM \"USER\" WHERE User_ID = 'admin'")).toString(),
            QStringLiteral("admin"));
    }

    void aDatabaseInUseIsLeftAsItWas() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const QByteArray before = fileBytes(db);
        Holder holder(db, false);
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxes().size(), 2);
        const auto& error = f.platform.boxes().constLast();
        QCOMPARE(error.text, QStringLiteral("ERROR:") + standardText(err::FileInUse));
        QCOMPARE(error.pointer, Pointer::Default);
        QCOMPARE(error.buttons, Buttons::OkOnly);
        QCOMPARE(fileBytes(db), before);
        QVERIFY(!QFile::exists(f.path(QStringLiteral("_temp.mdb"))));
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
    }

    void aTemporaryFileThatStaysStopsTheCompaction() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const QByteArray before = fileBytes(db);
        // A folder by that name cannot be deleted as a file.
        QVERIFY(QDir(f.dir.path()).mkpath(QStringLiteral("_temp.mdb/inside")));
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxes().size(), 2);
        QVERIFY(f.platform.boxTexts().constLast().startsWith(QStringLiteral("ERROR:") +
                                                             standardText(err::DatabaseExists)));
        QCOMPARE(fileBytes(db), before);
    }

    void aMissingDatabaseIsAnError() {
        Fixture f;
        f.state.DATABASE_PATH = f.path(QStringLiteral("gone.mdb"));
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxes().size(), 2);
        QVERIFY(f.platform.boxTexts().constLast().startsWith(QLatin1String("ERROR:")));
        QCOMPARE(f.platform.pointer(), Pointer::Default);
    }

    void anInterruptionBeforeTheSwapLeavesTheDatabaseWhole() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        const QByteArray bytes = fileBytes(db);
        const QString temp = f.path(QStringLiteral("_temp.mdb"));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // The process dies between the compaction and the swap, running no clean-up at all.
            try {
                db::engine::compactInPlace(db, temp, [] { ::_exit(3); });
            } catch (...) {
            }
            ::_exit(1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 3);

        QCOMPARE(fileBytes(db), bytes);
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(db::engine::checkDatabase(db).isEmpty());
        auto opened = db::Database::open(db, {.exclusive = true}); // nobody holds it any more
        opened.reset();

        // The next compaction is not disturbed by what the interrupted one left.
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxTexts().constLast(), QStringLiteral("Database has been compacted"));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(hiddenLeftovers(f.dir.path()).isEmpty());
    }

    void theFileBehindALinkIsCompactedWithItsPermissions() {
        Fixture f;
        const QString real = makeLooseDb(f);
        const auto before = dumpDatabase(real);
        QVERIFY(QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                QFile::WriteGroup));
        const QString link = f.path(QStringLiteral("shared.mdb"));
        QVERIFY(QFile::link(real, link));
        f.state.DATABASE_PATH = link;
        const qint64 sizeBefore = QFileInfo(real).size();
        MainWindow main(f);
        main.compact();
        QCOMPARE(f.platform.boxTexts().constLast(), QStringLiteral("Database has been compacted"));
        QVERIFY(QFileInfo(link).isSymLink()); // still the administrator's link
        QVERIFY(QFileInfo(real).size() < sizeBefore);
        QCOMPARE(dumpDatabase(real), before);
        // A new file would be readable by all and not writable by the group.
        QVERIFY(QFile::permissions(real).testFlag(QFile::WriteGroup));
        QVERIFY(!QFile::permissions(real).testFlag(QFile::ReadOther));
    }

    void pelldbCompactRunsTheSameCommand() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        QString out;
        QCOMPARE(runPelldb({QStringLiteral("compact"), db, QStringLiteral("--folder"), f.dir.path()}, &out),
                 0);
        QVERIFY2(out.contains(QLatin1String("Database has been compacted")), qPrintable(out));
        QCOMPARE(dumpDatabase(db), before);
        QCOMPARE(fileBytes(f.path(QStringLiteral("_temp.mdb"))), fileBytes(db));
        Holder holder(db, false);
        QCOMPARE(runPelldb({QStringLiteral("compact"), db, QStringLiteral("--folder"), f.dir.path()}, &out),
                 1);
        QVERIFY(out.startsWith(QLatin1String("ERROR:")));
    }
};

QTEST_MAIN(CompactTest)
#include "tst_compact.moc"
