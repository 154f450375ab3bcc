// Compaction through the real main window: the question, the hourglass, the swap that keeps the original
// until the compacted file is complete, and a database that survives an interruption at the worst moment.
#include "core/error.h"
#include "db/files/operations.h"
#include "support/db_dump.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
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
                        300, u"DELETE FROM ATTACH WHERE Attach_Number % 2 = 0;"_s);
}

struct stat statOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Owner, group and permission bits as one text: "uid:gid:octal bits".
QString ownership(const QString& path) {
    const struct stat st = statOf(path);
    return u"%1:%2:%3"_s.arg(st.st_uid).arg(st.st_gid).arg(st.st_mode & 0777, 0, 8);
}

// Another program with its own connection to the database, driven line by line through the sqlite3 shell.
struct OtherProgram {
    QProcess shell;
    explicit OtherProgram(const QString& db) {
        shell.start(QStandardPaths::findExecutable(u"sqlite3"_s), {db});
        shell.waitForStarted();
        run(u".timeout 5000"_s);
    }
    ~OtherProgram() { kill(); }
    // Runs SQL and waits until it is done; returns what it printed.
    QString run(const QString& sql) {
        shell.write((sql + u"\n.print @done\n"_s).toUtf8());
        QByteArray out;
        while (!out.endsWith("@done\n") && shell.waitForReadyRead(20000))
            out += shell.readAll();
        return QString::fromUtf8(out).remove(u"@done"_s).trimmed();
    }
    // SIGKILL: no clean-up of its own.
    void kill() {
        shell.kill();
        shell.waitForFinished();
    }
};

// Another program that writes the database in write-ahead-log mode and dies (SIGKILL) with its committed
// transactions still in NAME-wal: 2,000 tasks added, a third of them deleted again. Returns how many tasks
// it committed, -1 when it could not run.
qint64 killedWalWriter(const QString& db) {
    QProcess python;
    python.start(QStandardPaths::findExecutable(u"python3"_s), {u"-c"_s, uR"py(import os, sqlite3, sys
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute('pragma journal_mode=wal'); c.execute('pragma wal_autocheckpoint=0')
c.execute('begin')
for i in range(2000): c.execute("insert into SCR (SCR_Title, SCR_Owner) values (?, 'admin')", ('task %d' % i,))
c.execute('commit')
c.execute('delete from SCR where SCR_Number % 3 = 0')
print(c.execute('select count(*) from SCR').fetchone()[0], flush=True)
os.kill(os.getpid(), 9))py"_s,
                                                                db});
    if (!python.waitForFinished(60000) || python.exitStatus() != QProcess::CrashExit)
        return -1;
    bool ok = false;
    const qint64 tasks = python.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok && QFileInfo(db + u"-wal"_s).size() > 0 ? tasks : -1;
}

} // namespace

class CompactTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusedInUseSurvivesAnInterruptionThenCompactsInPlaceAndLeavesACopy() {
        Fixture f;
        const QString db = makeLooseDb(f);
        const auto before = dumpDatabase(db);
        const QByteArray bytes = fileBytes(db);
        MainWindow main(f, &Admin_FORM::Command3D6);
        const QString temp = f.path(u"_temp.mdb"_s);
        {
            Holder holder(db, false);
            main.run();
            QCOMPARE(f.platform.boxTexts(),
                     (QStringList{u"Are you sure?"_s, u"ERROR:"_s + standardText(err::FileInUse)}));
            QCOMPARE(f.platform.boxes().constLast().pointer, Pointer::Default);
            QCOMPARE(fileBytes(db), bytes);
            // Nor a hidden leftover of its own.
            QVERIFY(
                !QFile::exists(temp) &&
                QDir(f.dir.path()).entryList({u".*.compacting*"_s}, QDir::Files | QDir::Hidden).isEmpty());
        }
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // The process dies with half the compacted content written into the file, running no clean-up.
            try {
                db::files::compactInPlace(db, temp, [] { ::_exit(3); });
            } catch (...) {
            }
            ::_exit(1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 3);
        // Torn, with the journal beside it: the next user of the file, through the engine, finds the original
        // again, byte for byte.
        QVERIFY(fileBytes(db) != bytes && QFile::exists(db + u"-journal"_s));
        QCOMPARE(db::files::checkDatabase(db), QStringList());
        QCOMPARE(fileBytes(db), bytes);
        QVERIFY(!QFile::exists(db + u"-journal"_s));

        // The next compaction is not disturbed by what the interrupted one, or an earlier run, left.
        writeFile(temp, "stale");
        f.platform.clear();
        main.run();
        QCOMPARE(f.platform.boxTexts(), (QStringList{u"Are you sure?"_s, u"Database has been compacted"_s}));
        QCOMPARE(f.platform.boxes().constFirst().title, u"Compact Database"_s);
        QCOMPARE(f.platform.boxes().constFirst().buttons, Buttons::YesNo);
        QCOMPARE(f.platform.pointerHistory(), (QList<Pointer>{Pointer::Hourglass, Pointer::Default}));
        QCOMPARE(dumpDatabase(db), before);
        QVERIFY(fileBytes(db).size() < bytes.size());
        QCOMPARE(withoutCounters(fileBytes(temp)), withoutCounters(fileBytes(db)));
        QCOMPARE(db::files::checkDatabase(db), QStringList());
        QVERIFY(QDir(f.dir.path()).entryList({u".*.compacting*"_s}, QDir::Files | QDir::Hidden).isEmpty());
    }

    void aFileAKilledWalWriterLeftIsCheckpointedFirstNeverRewrittenBeneathIt() {
        if (QStandardPaths::findExecutable(u"python3"_s).isEmpty())
            QSKIP("needs python3 as the other program");
        Fixture f;
        const QString db = makeLooseDb(f);
        const qint64 tasks = killedWalWriter(db);
        QVERIFY(tasks > 1000);
        // The same file twice more, its log with it: one to repair intact, one to repair damaged.
        const QString intact = f.path(u"intact.mdb"_s), damaged = f.path(u"damaged.mdb"_s);
        for (const QString& copy : {intact, damaged})
            QVERIFY(QFile::copy(db, copy) && QFile::copy(db + u"-wal"_s, copy + u"-wal"_s));
        {
            // A page of ATTACH that no logged transaction touched is destroyed, so repair salvages.
            const qint64 page = num(damaged, u"SELECT max(pageno) FROM dbstat WHERE name = 'ATTACH'"_s);
            const qint64 size = num(damaged, u"PRAGMA page_size"_s);
            QFile file(damaged);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek((page - 1) * size) &&
                    file.write(QByteArray(int(size), '\xA5')) == size);
        }
        QString out, err;
        QCOMPARE(runPelldb({u"compact"_s, db, u"--folder"_s, f.dir.path()}, &out, &err), 0);
        QCOMPARE(out, u"Database has been compacted\n"_s);
        QCOMPARE(runPelldb({u"repair"_s, intact}, &out, &err), 0);
        QCOMPARE(runPelldb({u"repair"_s, damaged}, &out, &err), 0);
        for (const QString& file : {db, intact, damaged}) {
            // Every committed task is there, the file is sound and back in rollback-journal mode, with no
            // log.
            QCOMPARE(str(file, u"PRAGMA integrity_check"_s), u"ok"_s);
            QCOMPARE(num(file, u"SELECT count(*) FROM SCR"_s), tasks);
            QCOMPARE(str(file, u"PRAGMA journal_mode"_s), u"delete"_s);
            QVERIFY2(QFileInfo(file + u"-wal"_s).size() == 0, qPrintable(file));
        }
        QCOMPARE(str(f.path(u"_temp.mdb"_s), u"PRAGMA integrity_check"_s), u"ok"_s);
        QCOMPARE(num(f.path(u"_temp.mdb"_s), u"SELECT count(*) FROM SCR"_s), tasks);
    }

    void aSecondCompactionThroughTheSameFolderBringsNoOtherContentIn() {
        Fixture f;
        const QString a = makeLooseDb(f);
        const QString b = f.path(u"other.mdb"_s);
        QVERIFY(QFile::copy(a, b));
        execRaw(b, u"DELETE FROM ATTACH; INSERT INTO LU_Category VALUES ('Only in the other');"_s);
        const auto aBefore = dumpDatabase(a), bBefore = dumpDatabase(b);
        const QString temp = f.path(u"_temp.mdb"_s);
        // While the first puts its copy into its database, a second one, of another database, deletes
        // _temp.mdb and leaves its own copy there.
        bool second = false;
        db::files::compactInPlace(a, temp, [&] {
            QVERIFY(QFile::remove(temp));
            db::files::compactInPlace(b, temp);
            second = true;
        });
        QVERIFY(second);
        QCOMPARE(dumpDatabase(a), aBefore);
        QCOMPARE(dumpDatabase(b), bBefore);
        QCOMPARE(dumpDatabase(temp), bBefore);
        QCOMPARE(db::files::checkDatabase(a), QStringList());
    }

    void aProgramThatOpenedTheFileEarlierGoesOnWithTheCompactedFile() {
        if (QStandardPaths::findExecutable(u"sqlite3"_s).isEmpty())
            QSKIP("needs the sqlite3 shell as the other program");
        Fixture f;
        const QString db = makeLooseDb(f);
        const ino_t inode = statOf(db).st_ino;
        OtherProgram other(db);
        QCOMPARE(other.run(u"SELECT count(*) FROM LU_Category;"_s), u"4"_s);
        MainWindow(f, &Admin_FORM::Command3D6).run();
        QCOMPARE(f.platform.boxTexts().constLast(), u"Database has been compacted"_s);
        QCOMPARE(statOf(db).st_ino, inode); // the same file, so the earlier connection writes where all read
        other.run(u"INSERT INTO LU_Category VALUES ('After');"_s);
        QCOMPARE(num(db, u"SELECT count(*) FROM LU_Category WHERE Category = 'After'"_s), 1);
        // Killed in the middle of a large transaction, the program leaves a journal that belongs to this very
        // file: the next user rolls it back and no uncommitted row survives.
        other.run(QStringLiteral(
            "BEGIN; INSERT INTO ATTACH (SCR_Number, File_Name, Contents) SELECT 1, 'uncommitted', "
            "zeroblob(4000) FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c "
            "WHERE n < 3000) SELECT n FROM c);"));
        other.kill();
        QVERIFY(QFile::exists(db + u"-journal"_s));
        QCOMPARE(db::files::checkDatabase(db), QStringList());
        QCOMPARE(num(db, u"SELECT count(*) FROM ATTACH WHERE File_Name = 'uncommitted'"_s), 0);
        QCOMPARE(num(db, u"SELECT count(*) FROM LU_Category"_s), 5);
    }

    void anotherMemberOfTheGroupSeesEveryLockAndLeavesTheFileAsItWas() {
        if (!canSwitchUsers())
            QSKIP("needs root and setpriv to run pelldb as other users");
        Fixture f;
        const OtherUser a{46101, 46100, {46100}}, b{46102, 46102, {46100}};
        shareFolder(f.dir.path(), 46100);
        const QString db = f.path(u"pell.mdb"_s), ldb = f.path(u"pell.ldb"_s);
        QCOMPARE(runPelldbAs(a, {u"init"_s, db, u"--sample"_s}), 0);
        // The administrator lets the group write.
        QCOMPARE(::chmod(QFile::encodeName(db).constData(), 0660), 0);
        const ino_t inode = statOf(db).st_ino;
        QString out, err;
        {
            Holder userA(db, false, &a); // A has the database open, as a window of A's would
            QCOMPARE(ownership(ldb), u"46101:46100:660"_s);
            for (const QStringList& args :
                 {QStringList{u"hold"_s, db, u"--exclusive"_s},
                  QStringList{u"compact"_s, db, u"--folder"_s, f.dir.path()}, QStringList{u"repair"_s, db}}) {
                QCOMPARE(runPelldbAs(b, args, &out, &err), 1);
                // Refused, and said once.
                QVERIFY2(err.startsWith(QLatin1String("error 3045: ")) && err.count(u'\n') == 1 &&
                             out.isEmpty(),
                         qPrintable(args.constFirst() + u' ' + err));
            }
        }
        // A has left: B compacts and repairs, and the file stays A's, with its group, its bits and its
        // identity.
        QCOMPARE(runPelldbAs(b, {u"compact"_s, db, u"--folder"_s, f.dir.path()}, &out, &err), 0);
        QCOMPARE(runPelldbAs(b, {u"repair"_s, db}, &out, &err), 0);
        QCOMPARE(statOf(db).st_ino, inode);
        QCOMPARE(ownership(db), u"46101:46100:660"_s);
        QCOMPARE(ownership(f.path(u"_temp.mdb"_s)), u"46102:46100:660"_s);
        QCOMPARE(runPelldbAs(a, {u"check"_s, db}, &out, &err), 0);

        // B's backup over A's earlier copy keeps its group and bits; the owner only the administrator could
        // keep, and pelldb says so.
        const QString copy = f.path(u"pellbkup.mdb"_s);
        QCOMPARE(runPelldbAs(a, {u"backup"_s, db, copy}, &out, &err), 0);
        QCOMPARE(ownership(copy), u"46101:46100:660"_s);
        QCOMPARE(runPelldbAs(b, {u"backup"_s, db, copy}, &out, &err), 0);
        QVERIFY2(out.contains(QLatin1String("belonged to another user")), qPrintable(out));
        QCOMPARE(ownership(copy), u"46102:46100:660"_s);

        // A lock file that an older version made readable only: B cannot keep others out and is told so
        // instead of being let in. A found file is a name in a shared folder: nobody's use changes its
        // owner or bits, its owner does.
        QCOMPARE(::chmod(QFile::encodeName(ldb).constData(), 0644), 0);
        QCOMPARE(runPelldbAs(b, {u"hold"_s, db, u"--exclusive"_s}, &out, &err), 1);
        QVERIFY2(err.startsWith(QLatin1String("error 3902: ")) && err.contains(ldb), qPrintable(err));
        QCOMPARE(runPelldbAs(a, {u"check"_s, db}, &out, &err), 0);
        QCOMPARE(ownership(ldb), u"46101:46100:644"_s);
        QCOMPARE(::chmod(QFile::encodeName(ldb).constData(), 0660), 0);
        QCOMPARE(runPelldbAs(b, {u"hold"_s, db, u"--exclusive"_s}, &out, &err), 0);

        // The administrator's compaction, killed midway, leaves a journal that belongs to the database's
        // owner, who rolls it back at the next open.
        const QByteArray before = fileBytes(db);
        QVERIFY(QFile::remove(f.path(u"_temp.mdb"_s)));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            try {
                db::files::compactInPlace(db, f.path(u"_temp.mdb"_s), [] { ::_exit(3); });
            } catch (...) {
            }
            ::_exit(1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 3);
        QCOMPARE(ownership(db + u"-journal"_s), u"46101:46100:660"_s);
        QCOMPARE(runPelldbAs(a, {u"check"_s, db}, &out, &err), 0);
        QVERIFY(!QFile::exists(db + u"-journal"_s));
        QCOMPARE(fileBytes(db), before);
    }
};

QTEST_MAIN(CompactTest)
#include "tst_compact.moc"
