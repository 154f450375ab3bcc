// Backup through the real main window with the scripted save dialog: every message path, and copies that
// are never torn, never partial and never made over the database itself.
#include "db/database.h"
#include "db/filelock.h"
#include "db/files/operations.h"
#include "db/files/posix_files.h"
#include "support/db_dump.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

// What a folder holds besides the database's lock files: no temporary file may be left behind.
QStringList leftovers(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeIf([](const QString& n) { return n.endsWith(QLatin1String(".ldb")); });
    return names;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode;
}

// Records the file operations that decide what a power cut leaves, with each new file's bits at birth.
struct Recorder : db::files::OperationLog {
    QStringList events;
    QList<mode_t> bornWith;
    void synced(const QString& path) override { events << u"sync "_s + path; }
    void renamed(const QString& old, const QString& to) override { events << u"rename "_s + old + u'>' + to; }
    void folderSynced(const QString& folder) override { events << u"folder "_s + folder; }
    void created(const QString& path) override { bornWith << (modeOf(path) & 0777); }
};

} // namespace

class BackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyAnswerToTheDialogAndUsersWhoHoldTheDatabase() {
        Fixture f;
        const QString db = f.makeSharedDb(), dest = f.path(u"pellbkup.mdb"_s);
        const QByteArray before = fileBytes(db);
        QVERIFY(QFile::link(db, f.path(u"link.mdb"_s)) && QDir(f.dir.path()).mkdir(u"sub"_s));
        MainWindow main(f, &Admin_FORM::Command3D8);
        // Cancel ends silently; a name without its extension gets the default one; the database itself, in
        // other letters, through a link or spelt with a detour, is refused, and so is a missing folder.
        for (const QString& answer :
             {QString(), dest, f.path(u"second"_s), db.toUpper(), f.path(u"link.mdb"_s),
              f.path(u"sub/../pell.mdb"_s), f.path(u"nowhere/pellbkup.mdb"_s)}) {
            f.platform.queueSavePath(answer.isNull() ? std::nullopt : std::optional(answer));
            main.run();
        }
        const QString done = u"Database has been backed up"_s;
        const QString itself = u"Destination must be different than active database"_s;
        QStringList texts = f.platform.boxTexts();
        QVERIFY2(!texts.isEmpty() && texts.takeLast().startsWith(u"Path not found."_s),
                 qPrintable(f.platform.boxTexts().join(u'\n')));
        QCOMPARE(texts, (QStringList{done, done, itself, itself, itself}));
        QCOMPARE(fileBytes(db), before);
        QCOMPARE(fileBytes(dest), before);
        const QStringList files{u"link.mdb"_s, u"pell.mdb"_s, u"pellbkup.mdb"_s, u"second.mdb"_s, u"sub"_s};
        QCOMPARE(leftovers(f.dir.path()), files);
        QCOMPARE(f.platform.saveDialogs().size(), 7);
        for (const SaveDialogSettings& s : f.platform.saveDialogs()) // not the name chosen last time
            QCOMPARE(s.fileName + u'|' + s.initialDir, u"pellbkup.mdb|"_s + f.state.programFolder);
        QVERIFY(f.platform.pointerHistory().isEmpty()); // the pointer is left alone

        // A user who merely has it open does not stop a backup. One who holds it exclusively does: an earlier
        // backup survives, and no new file is made.
        f.platform.clear();
        {
            Holder reader(db, false);
            f.platform.queueSavePath(dest);
            main.run();
        }
        execRaw(db, u"INSERT INTO LU_Category VALUES ('Later')"_s);
        Holder holder(db, true);
        for (const QString& target : {dest, f.path(u"copy.mdb"_s)}) {
            f.platform.queueSavePath(target);
            main.run();
        }
        const QString inUse = u"Database is currently in use and can not be opened exclusively"_s;
        QCOMPARE(f.platform.boxTexts(), (QStringList{done, inUse, inUse}));
        QCOMPARE(fileBytes(dest), before);
        QCOMPARE(leftovers(f.dir.path()), files);
    }

    void noFileIsPutInPlaceBeforeItsDataIsOnDiskNorWiderThanTheDatabase() {
        Fixture f;
        const QString db = f.makeSharedDb();
        QCOMPARE(::chmod(QFile::encodeName(db).constData(), 0600), 0); // it holds passwords
        const QString dest = f.path(u"pellbkup.mdb"_s);
        writeFile(dest, "an earlier backup");
        QCOMPARE(::chmod(QFile::encodeName(dest).constData(), 0640), 0);
        Recorder log;
        db::files::setOperationLog(&log);
        f.platform.queueSavePath(dest);
        MainWindow(f, &Admin_FORM::Command3D8).run();
        MainWindow(f, &Admin_FORM::Command3D6).run();
        f.platform.queueSavePath(f.path(u"new.mdb"_s));
        MainWindow(f, &Admin_FORM::Command3D8).run();
        // A new replica is held to the same rules.
        db::Database::open(db, {.exclusive = true})
            ->appendProperty(db::Property{u"Replicable"_s, db::PropertyTypeText, u"T"_s});
        db::Database::open(db)->makeReplica(f.path(u"replica.mdb"_s), u"replica"_s);
        db::files::setOperationLog(nullptr);
        const QStringList renames = log.events.filter(QRegularExpression(u"^rename "_s));
        QCOMPARE(renames.size(), 4); // two copies, _temp.mdb and the replica: each command went through
        for (const QString& rename : renames) {
            const qsizetype i = log.events.indexOf(rename);
            const QStringList names = rename.sliced(7).split(u'>');
            // The data of the file reached the disk before its name did, and the folder after.
            QVERIFY2(log.events.mid(0, i).contains(u"sync "_s + names[0]) &&
                         log.events.value(i + 1) == u"folder "_s + QFileInfo(names[1]).absolutePath(),
                     qPrintable(log.events.join(u'\n')));
        }
        QVERIFY(!log.bornWith.isEmpty());
        for (mode_t bits : log.bornWith)
            QCOMPARE(bits & 0077, mode_t(0));
        // No file, the backup over an earlier one with wider bits included, is wider than the database.
        for (const QString& name : {u"pellbkup.mdb"_s, u"new.mdb"_s, u"replica.mdb"_s, u"_temp.mdb"_s})
            QVERIFY2((modeOf(f.path(name)) & 0777) == 0600, qPrintable(name));
    }

    void oddDestinationsDamagedSourcesAndDebrisThroughPelldb() {
        Fixture f;
        const QString db = f.makeSharedDb();
        QString out, err;
        // Destinations that are no regular file are refused and stay what they were.
        const QString fifo = f.path(u"pipe.mdb"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString device = f.path(u"null.mdb"_s);
        const bool haveDevice =
            ::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0;
        for (const QString& dest : haveDevice ? QStringList{fifo, device} : QStringList{fifo}) {
            QCOMPARE(runPelldb({u"backup"_s, db, dest}, &out, &err), 1);
            QVERIFY2(err.startsWith(QLatin1String("error 75: ")) &&
                         err.contains(QLatin1String("not a regular file")) && out.isEmpty(),
                     qPrintable(err));
        }
        QVERIFY(S_ISFIFO(modeOf(fifo)) && (!haveDevice || S_ISCHR(modeOf(device))));
        QCOMPARE(runPelldb({u"backup"_s, db, QString()}, &out, &err), 1);
        QVERIFY2(err.startsWith(QLatin1String("error 76: ")), qPrintable(err));

        // Leftovers of killed backups go with the next backup; those of a running one stay.
        const QString dest = f.path(u"pellbkup.mdb"_s);
        const pid_t ended = ::fork();
        if (ended == 0)
            ::_exit(0);
        ::waitpid(ended, nullptr, 0);
        const QString dead = f.path(u".pellbkup.mdb.backup-%1-0"_s.arg(ended));
        const QString alive = f.path(u".pellbkup.mdb.backup-%1-0"_s.arg(::getppid()));
        for (const QString& leftover : QStringList{dead, dead + u"-journal"_s, alive})
            writeFile(leftover, "partial");
        QCOMPARE(runPelldb({u"backup"_s, db, dest}, &out, &err), 0);
        QVERIFY(!QFile::exists(dead) && !QFile::exists(dead + u"-journal"_s) && QFile::exists(alive));

        // A file whose header is destroyed is still copied byte for byte; held exclusively, it is in use.
        const QByteArray bytes = fileBytes(db).replace(0, 100, QByteArray(100, '\xA5'));
        writeFile(db, bytes);
        QCOMPARE(runPelldb({u"backup"_s, db, dest}, &out, &err), 0);
        QCOMPARE(fileBytes(dest), bytes);
        auto held = db::FileLock::acquire(db, db::FileLock::Mode::Exclusive);
        QCOMPARE(runPelldb({u"backup"_s, db, f.path(u"other.mdb"_s)}, &out, &err), 1);
        QVERIFY2(err.startsWith(QLatin1String("error 70: ")) && err.count(u'\n') == 1 && out.isEmpty(),
                 qPrintable(err));
        QVERIFY(!QFile::exists(f.path(u"other.mdb"_s)));
    }

    void copiesTakenUnderContinuousWritesAreCommittedStates() {
        // Another program switches the file to write-ahead logging, where its commits stay, and adds pairs of
        // rows, one transaction each, a few milliseconds apart. Every copy must hold whole pairs, at least as
        // many as readers saw before it began, and pass the check.
        const QString sqlite = QStandardPaths::findExecutable(u"sqlite3"_s);
        if (sqlite.isEmpty())
            QSKIP("needs the sqlite3 shell as the other writer");
        Fixture f;
        const QString db = f.makeSharedDb();
        QString script = u".timeout 10000\nPRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;\n"_s;
        // The pairs belong to a sample task: a row that refers to no task is a problem the check reports.
        for (int i = 0; i < 400; ++i)
            script += QStringLiteral("BEGIN; INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES "
                                     "(1, 'w', zeroblob(3000)); INSERT INTO ROUTE (SCR_Number, Route_Note) "
                                     "VALUES (1, 'w'); COMMIT;\n.shell sleep 0.003\n");
        QProcess writer;
        writer.start(sqlite, {db});
        QVERIFY(writer.waitForStarted());
        writer.write(script.toUtf8());
        writer.closeWriteChannel();

        MainWindow main(f, &Admin_FORM::Command3D8);
        int copies = 0;
        QSet<qint64> seen;
        while (writer.state() != QProcess::NotRunning || copies < 3) {
            const QString dest = f.path(u"copy%1.mdb"_s.arg(copies++));
            const qint64 committed = num(db, u"SELECT count(*) FROM ATTACH WHERE File_Name = 'w'"_s);
            f.platform.queueSavePath(dest);
            main.run();
            QCOMPARE(db::files::checkDatabase(dest), QStringList());
            const qint64 attach = num(dest, u"SELECT count(*) FROM ATTACH WHERE File_Name = 'w'"_s);
            QCOMPARE(num(dest, u"SELECT count(*) FROM ROUTE WHERE Route_Note = 'w'"_s), attach);
            QVERIFY2(attach >= committed, qPrintable(u"%1 of %2"_s.arg(attach).arg(committed)));
            seen.insert(attach);
            QFile::remove(dest);
            writer.waitForFinished(20);
        }
        QCOMPARE(f.platform.boxTexts(), QStringList(copies, u"Database has been backed up"_s));
        QCOMPARE(writer.exitCode(), 0);
        QVERIFY2(seen.size() >= 2, "the copies should have caught the writer at work");
    }
};

QTEST_MAIN(BackupTest)
#include "tst_backup.moc"
