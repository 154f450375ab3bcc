// Backup through the real main window with the scripted save dialog: every message path, and copies that
// are never torn, never partial and never made over the database itself.
#include "db/engine.h"
#include "maintenance/db_dump.h"
#include "maintenance/maintenance_commands.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

// Files in a folder other than the database's lock files: no temporary file may be left behind.
QStringList leftovers(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    names.removeIf([](const QString& n) { return n.endsWith(QLatin1String(".ldb")); });
    return names;
}

} // namespace

class BackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void copiesTheDatabaseWithTheDialogSetAnew() {
        Fixture f;
        const QString db = f.makeSharedDb();
        MainWindow main(f, &Admin_FORM::Command3D8);
        const QString dest = f.path(QStringLiteral("pellbkup.mdb"));
        f.platform.queueSavePath(dest);
        main.run();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
        QCOMPARE(fileBytes(dest), fileBytes(db));

        f.platform.queueSavePath(f.path(QStringLiteral("second")));
        main.run();
        QVERIFY(QFile::exists(f.path(QStringLiteral("second.mdb")))); // the default extension
        QCOMPARE(f.platform.saveDialogs().size(), 2);
        for (const SaveDialogSettings& s : f.platform.saveDialogs()) {
            QCOMPARE(s.fileName, QStringLiteral("pellbkup.mdb")); // not the name chosen last time
            QCOMPARE(s.initialDir, f.state.programFolder);
        }
        QCOMPARE(f.platform.pointerHistory().size(), 0); // the pointer is left alone
    }

    void cancelEndsSilently() {
        Fixture f;
        f.makeSharedDb();
        MainWindow main(f, &Admin_FORM::Command3D8);
        f.platform.queueSavePath(std::nullopt);
        main.run();
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
        const QByteArray before = fileBytes(db);
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
        MainWindow main(f, &Admin_FORM::Command3D8);
        f.platform.queueSavePath(dest);
        main.run();
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral("Destination must be different than active database")});
        QCOMPARE(fileBytes(db), before);
    }

    void aDatabaseHeldExclusivelyIsInUse() {
        Fixture f;
        const QString db = f.makeSharedDb();
        Holder holder(db, true);
        MainWindow main(f, &Admin_FORM::Command3D8);
        const QString dest = f.path(QStringLiteral("copy.mdb"));
        f.platform.queueSavePath(dest);
        main.run();
        QCOMPARE(
            f.platform.boxTexts(),
            QStringList{QStringLiteral("Database is currently in use and can not be opened exclusively")});
        QVERIFY(!QFile::exists(dest));
        holder.release();
        // A user who merely has it open does not stop a backup.
        Holder reader(db, false);
        f.platform.clear();
        f.platform.queueSavePath(dest);
        main.run();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database has been backed up")});
    }

    void aMissingFolderKeepsTheEarlierBackup() {
        Fixture f;
        const QString db = f.makeSharedDb();
        MainWindow main(f, &Admin_FORM::Command3D8);
        const QString missing = f.path(QStringLiteral("nowhere/pellbkup.mdb"));
        f.platform.queueSavePath(missing);
        main.run();
        QCOMPARE(f.platform.boxes().size(), 1);
        const QString text = f.platform.boxTexts().constFirst();
        QVERIFY2(text.startsWith(QLatin1String("Path not found.")), qPrintable(text));
        QVERIFY(!QFile::exists(missing));

        // An earlier backup survives a copy that fails: here the database is held by another.
        const QString dest = f.path(QStringLiteral("pellbkup.mdb"));
        f.platform.queueSavePath(dest);
        main.run();
        const QByteArray earlier = fileBytes(dest);
        QVERIFY(!earlier.isEmpty());
        execRaw(db, QStringLiteral("INSERT INTO LU_Category VALUES ('Later')"));
        Holder holder(db, true);
        f.platform.queueSavePath(dest);
        main.run();
        QCOMPARE(fileBytes(dest), earlier);
        QCOMPARE(leftovers(f.dir.path()).size(), 2); // the database and the backup, no temporary file
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

        MainWindow main(f, &Admin_FORM::Command3D8);
        int copies = 0;
        QSet<qint64> seen;
        while (writer.state() != QProcess::NotRunning || copies < 3) {
            const QString dest = f.path(QStringLiteral("copy%1.mdb").arg(copies));
            f.platform.clear();
            f.platform.queueSavePath(dest);
            main.run();
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
};

QTEST_MAIN(BackupTest)
#include "tst_backup.moc"
