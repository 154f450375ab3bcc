// Backup through the real main window with the scripted save dialog: every message path, and copies that
// are never torn, never partial and never made over the database itself.
#include "app/Admin_FORM.h"
#include "db/engine.h"
#include "maintenance/maintenance_commands.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Files in a folder other than the database's lock files: no temporary file may be left behind.
QStringList leftovers(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    names.removeIf([](const QString& n) { return n.endsWith(QLatin1String(".ldb")); });
    return names;
}

struct MainWindow {
    explicit MainWindow(Fixture& f) : window(f.ctx) {}
    void backup() { window.Command3D8->click(); }
    Admin_FORM window;
};

} // namespace

class BackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void copiesTheDatabaseWithTheDialogSetAnew() {
        Fixture f;
        const QString db = f.makeSharedDb();
        MainWindow main(f);
        const QString dest = f.path(QStringLiteral("pellbkup.mdb"));
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
        QCOMPARE(f.platform.boxes().constFirst().title, QStringLiteral("Pell Admin"));
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::OkOnly);
        QCOMPARE(contents(dest), contents(db));
        QVERIFY(db::engine::checkDatabase(dest).isEmpty());

        f.platform.queueSavePath(f.path(QStringLiteral("second")));
        main.backup();
        QVERIFY(QFile::exists(f.path(QStringLiteral("second.mdb")))); // the default extension
        QCOMPARE(f.platform.saveDialogs().size(), 2);
        for (const SaveDialogSettings& s : f.platform.saveDialogs()) {
            QVERIFY(s.title.isEmpty());
            QCOMPARE(s.flags, 6);
            QCOMPARE(s.filter, QStringLiteral("mdb (*.mdb) | *.mdb"));
            QCOMPARE(s.defaultExt, QStringLiteral("mdb"));
            QCOMPARE(s.fileName, QStringLiteral("pellbkup.mdb")); // not the name chosen last time
            QCOMPARE(s.initialDir, f.state.programFolder);
        }
        QCOMPARE(f.platform.pointerHistory().size(), 0); // the pointer is left alone
    }

    void aLinkedDestinationGetsTheCopyWhereItLeads() {
        Fixture f;
        const QString db = f.makeSharedDb();
        QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("vault")));
        const QString target = f.path(QStringLiteral("vault/weekly.mdb"));
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("last week");
        old.close();
        const QString link = f.path(QStringLiteral("weekly.mdb"));
        QVERIFY(QFile::link(target, link));
        MainWindow main(f);
        f.platform.queueSavePath(link);
        main.backup();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(contents(target), contents(db));
    }

    void cancelEndsSilently() {
        Fixture f;
        f.makeSharedDb();
        MainWindow main(f);
        f.platform.queueSavePath(std::nullopt);
        main.backup();
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(leftovers(f.dir.path()), QStringList{QStringLiteral("pell.mdb")});
    }

    void theDatabaseItselfIsRefused_data() {
        QTest::addColumn<int>("form");
        QTest::newRow("other case") << 0;
        QTest::newRow("symbolic link") << 1;
        QTest::newRow("relative spelling") << 2;
    }
    void theDatabaseItselfIsRefused() {
        QFETCH(int, form);
        Fixture f;
        const QString db = f.makeSharedDb();
        const QByteArray before = contents(db);
        QString dest;
        if (form == 0) {
            dest = db.toUpper();
        } else if (form == 1) {
            dest = f.path(QStringLiteral("link.mdb"));
            QVERIFY(QFile::link(db, dest));
        } else {
            QDir(f.dir.path()).mkdir(QStringLiteral("sub"));
            dest = f.path(QStringLiteral("sub/../pell.mdb"));
        }
        MainWindow main(f);
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral("Destination must be different than active database")});
        QCOMPARE(contents(db), before);
    }

    void aDatabaseHeldExclusivelyIsInUse() {
        Fixture f;
        const QString db = f.makeSharedDb();
        Holder holder(db, true);
        MainWindow main(f);
        const QString dest = f.path(QStringLiteral("copy.mdb"));
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(
            f.platform.boxTexts(),
            QStringList{QStringLiteral("Database is currently in use and can not be opened exclusively")});
        QVERIFY(!QFile::exists(dest));
        holder.release();
        // A user who merely has it open does not stop a backup.
        Holder reader(db, false);
        f.platform.clear();
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
    }

    void aDestinationThatMayNotBeWrittenIsInUse() {
        Fixture f;
        f.makeSharedDb();
        MainWindow main(f);
        // Even root may not create files here.
        f.platform.queueSavePath(QStringLiteral("/sys/pellbkup.mdb"));
        main.backup();
        QCOMPARE(
            f.platform.boxTexts(),
            QStringList{QStringLiteral("Database is currently in use and can not be opened exclusively")});
    }

    void aMissingFolderKeepsTheEarlierBackup() {
        Fixture f;
        const QString db = f.makeSharedDb();
        MainWindow main(f);
        const QString missing = f.path(QStringLiteral("nowhere/pellbkup.mdb"));
        f.platform.queueSavePath(missing);
        main.backup();
        QCOMPARE(f.platform.boxes().size(), 1);
        const QString text = f.platform.boxTexts().constFirst();
        QVERIFY2(text.startsWith(QLatin1String("Path not found.")), qPrintable(text));
        QVERIFY(!QFile::exists(missing));

        // An earlier backup survives a copy that fails: here the database is held by another.
        const QString dest = f.path(QStringLiteral("pellbkup.mdb"));
        f.platform.queueSavePath(dest);
        main.backup();
        const QByteArray earlier = contents(dest);
        QVERIFY(!earlier.isEmpty());
        execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('Later')"));
        Holder holder(db, true);
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(contents(dest), earlier);
        QCOMPARE(leftovers(f.dir.path()).size(), 2); // the database and the backup, no temporary file
    }

    void anEmptyDatabasePathShowsTheErrorText() {
        Fixture f;
        MainWindow main(f);
        f.platform.queueSavePath(f.path(QStringLiteral("x.mdb")));
        main.backup();
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(!f.platform.boxTexts().constFirst().isEmpty());
        QVERIFY(f.platform.boxTexts().constFirst() != QLatin1String("Database has been backed up"));
        QVERIFY(!QFile::exists(f.path(QStringLiteral("x.mdb"))));
    }

    void copiesTakenUnderContinuousWritesAreCommittedStates() {
        // Another program adds pairs of rows, one transaction each, a few milliseconds apart; every copy must
        // hold whole pairs and pass the check.
        const QString sqlite = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
        if (sqlite.isEmpty())
            QSKIP("needs the sqlite3 shell as the other writer");
        Fixture f;
        const QString db = f.makeSharedDb();
        QString script = QStringLiteral(".timeout 10000\n");
        for (int i = 0; i < 400; ++i)
            script += QStringLiteral("BEGIN; INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES "
                                     "(%1, 'w', zeroblob(3000)); INSERT INTO ROUTE (SCR_Number, Route_Note) "
                                     "VALUES (%1, 'w'); COMMIT;\n.shell sleep 0.003\n")
                          .arg(1000 + i);
        QProcess writer;
        writer.start(sqlite, {db});
        QVERIFY(writer.waitForStarted());
        writer.write(script.toUtf8());
        writer.closeWriteChannel();

        MainWindow main(f);
        int copies = 0;
        QSet<qint64> seen;
        while (writer.state() != QProcess::NotRunning || copies < 3) {
            const QString dest = f.path(QStringLiteral("copy%1.mdb").arg(copies));
            f.platform.clear();
            f.platform.queueSavePath(dest);
            main.backup();
            QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
            QVERIFY(db::engine::checkDatabase(dest).isEmpty());
            const qint64 attach =
                scalarRaw(dest, QStringLiteral("SELECT count(*) FROM ATTACH WHERE File_Name = 'w'"))
                    .toLongLong();
            const qint64 route =
                scalarRaw(dest, QStringLiteral("SELECT count(*) FROM ROUTE WHERE Route_Note = 'w'"))
                    .toLongLong();
            QCOMPARE(attach, route);
            seen.insert(attach);
            QFile::remove(dest);
            ++copies;
            writer.waitForFinished(20);
        }
        QCOMPARE(writer.exitCode(), 0);
        QVERIFY2(seen.size() >= 2, "the copies should have caught the writer at work");
    }

    void aWriterThatDiedMidwayIsRolledBackFirst() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const qint64 before = scalarRaw(db, QStringLiteral("SELECT count(*) FROM ATTACH")).toLongLong();
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // A small cache makes the writer put its changes into the file before it commits; it then dies
            // and leaves its journal behind.
            sqlite3* raw = nullptr;
            sqlite3_open_v2(QFile::encodeName(db).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
            sqlite3_exec(raw,
                         "PRAGMA cache_size=5; BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 "
                         "FROM n WHERE i < 500) INSERT INTO ATTACH (SCR_Number, Contents) SELECT 1, "
                         "randomblob(3000) FROM n;",
                         nullptr, nullptr, nullptr);
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(QFile::exists(db + QStringLiteral("-journal")));

        MainWindow main(f);
        const QString dest = f.path(QStringLiteral("copy.mdb"));
        f.platform.queueSavePath(dest);
        main.backup();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
        QVERIFY(db::engine::checkDatabase(dest).isEmpty());
        QCOMPARE(scalarRaw(dest, QStringLiteral("SELECT count(*) FROM ATTACH")).toLongLong(), before);
        QVERIFY(!QFile::exists(dest + QStringLiteral("-journal")));
    }

    void pelldbBackupRunsTheSameCommand() {
        Fixture f;
        const QString db = f.makeSharedDb();
        QString out;
        QCOMPARE(runPelldb({QStringLiteral("backup"), db, f.path(QStringLiteral("nightly"))}, &out), 0);
        QVERIFY(out.contains(QLatin1String("Database has been backed up")));
        QCOMPARE(contents(f.path(QStringLiteral("nightly.mdb"))), contents(db));
        QCOMPARE(runPelldb({QStringLiteral("backup"), db, db.toLower()}, &out), 1);
        QVERIFY(out.contains(QLatin1String("Destination must be different than active database")));
    }
};

QTEST_MAIN(BackupTest)
#include "tst_backup.moc"
