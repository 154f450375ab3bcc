// pelldb as a shell or a scheduled job sees it: exit status, standard output and the one "error NNNN: text"
// line; its help, its version and its manual page; the unattended synchronization of every listed replica
// and its summary; the list of replicas edited from a shell; what a user without the right to write is told;
// the progress line on a terminal; and the two ways a backup is copied besides the kernel's own copy between
// descriptors on one file system: onto another file system, and through the engine's pages.
#include "core/version.h"
#include "db/database.h"
#include "db/files/operations.h"
#include "support/db_dump.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

const QString BigAttachment =
    u"INSERT INTO ATTACH (SCR_Number, File_Name, Contents) SELECT 1, 'big', randomblob(%1)"_s;

struct Run {
    int status = -1;
    QString out, err;
    // All a caller sees: the status, the output and, after a bar, the errors.
    QString shown() const { return QString::number(status) + u' ' + out + u'|' + err; }
};

// pelldb run to its end; `wrap` turns its command line into the one that runs it (in another folder, a
// namespace, a terminal).
Run pelldb(const QStringList& args, const std::function<QStringList(QStringList)>& wrap = {}) {
    QProcess p;
    QStringList command = QStringList{pelldbPath()} + args;
    if (wrap)
        command = wrap(command);
    p.start(command.takeFirst(), command);
    p.closeWriteChannel();
    const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

// Owner, group and permission bits as one text: "uid:gid:octal bits"; "-" when there is no such file.
QString ownership(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return u"-"_s;
    return u"%1:%2:%3"_s.arg(st.st_uid).arg(st.st_gid).arg(st.st_mode & 07777, 0, 8);
}

// What a folder holds besides the given names, hidden files included.
QStringList debris(const QString& folder, const QStringList& expected) {
    QStringList left =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : expected)
        left.removeAll(name);
    return left;
}

} // namespace

class TestFromAShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusOutputAndErrorOfEachCommand() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString copy = f.path(u"copy.mdb"_s);
        // An error line given by its beginning only.
        const std::pair<QStringList, QString> cases[] = {
            {{u"check"_s, db}, u"0 ok\n|"_s},
            {{u"backup"_s, db, copy}, u"0 Database has been backed up\n|"_s},
            {{u"backup"_s, db, db.toUpper()},
             u"1 |error 3219: Destination must be different than active database\n"_s},
            {{u"backup"_s, db}, u"2 |pelldb backup: expects the database and the destination\n"_s},
            {{u"compact"_s, db, u"--folder"_s, f.dir.path()}, u"0 Database has been compacted\n|"_s},
            {{u"repair"_s, db}, u"0 Database has been repaired\n|"_s},
            // The sample holds one closed task older than the day limit.
            {{u"purge"_s, db}, u"0 deleted 1 task\n|"_s},
            {{u"compact"_s, f.path(u"none.mdb"_s)}, u"1 |error 3024: "_s},
            {{u"repair"_s, f.path(u"none.mdb"_s)}, u"1 |error 3024: "_s},
            {{u"purge"_s, f.path(u"none.mdb"_s)}, u"1 |error 3024: "_s},
            {{u"bogus"_s}, u"2 |pelldb: unknown command bogus (pelldb --help lists the commands)\n"_s},
            {{}, u"2 |usage: pelldb COMMAND"_s},
        };
        for (const auto& [args, expected] : cases) {
            const QString shown = pelldb(args).shown();
            QVERIFY2(expected.endsWith(u'|') ? shown == expected : shown.startsWith(expected),
                     qPrintable(args.join(u' ') + u": "_s + shown));
        }
        QCOMPARE(db::files::checkDatabase(copy), QStringList());
        // The tests' own questions fail loudly where the engine gives no answer, rather than answering 0.
        QCOMPARE(errorOf([&] { num(copy, u"SELECT count(*) FROM NO_SUCH_TABLE"_s); }), 1);
        QVERIFY(errorOf([&] { str(f.path(u"none.mdb"_s), u"PRAGMA integrity_check"_s); }) != 0);
        // A damaged file: check lists what it found, and says so in its status.
        writeFile(db, fileBytes(db).replace(4096, 64, QByteArray(64, '\xA5'))); // the second page's header
        const Run damaged = pelldb({u"check"_s, db});
        QVERIFY2(damaged.status == 1 && damaged.out.endsWith(u"\ndamaged\n"_s), qPrintable(damaged.out));
    }

    void namesInAFolderAreUsedOnlyAsPlainFilesOfTheirOwn() {
        Fixture f;
        const QString db = f.makeSharedDb();
        // A pipe is not waited on and a device is no database: refused at once, with no lock file beside.
        const QString pipe = f.path(u"pipe.mdb"_s), device = f.path(u"device.mdb"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
        for (const QStringList& args : {QStringList{u"check"_s, pipe}, QStringList{u"conflicts"_s, pipe},
                                        QStringList{u"backup"_s, pipe, f.path(u"copy.mdb"_s)}}) {
            const Run r = pelldb(args);
            QVERIFY2(r.status == 1 && r.err.startsWith(u"error 3343: "_s) && r.err.contains(pipe),
                     qPrintable(args.join(u' ') + u": "_s + r.shown()));
        }
        // So is a list of replicas that is a pipe, for the unattended synchronization.
        writeFile(f.path(u"pell.ini"_s),
                  (u"[DATABASE]\r\nDATABASE="_s + db + u"\r\nREPLICADB="_s + pipe + u"\r\n"_s).toUtf8());
        const Run all = pelldb({u"sync-all"_s, f.dir.path()});
        QVERIFY2(all.status == 1 && all.err.startsWith(u"error 3343: "_s) && all.err.contains(pipe),
                 qPrintable(all.shown()));
        QVERIFY(QFile::remove(f.path(u"pell.ini"_s)));
        if (::geteuid() == 0) {
            QCOMPARE(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
            const Run r = pelldb({u"check"_s, device});
            QVERIFY2(r.status == 1 && r.err.startsWith(u"error 3343: "_s), qPrintable(r.shown()));
        }
        QCOMPARE(debris(f.dir.path(), {u"pell.mdb"_s, u"pell.ldb"_s, u"pipe.mdb"_s, u"device.mdb"_s}),
                 QStringList());

        // A backup onto a link that leads nowhere, or round in a circle, is refused and the link stays.
        const QString dangling = f.path(u"dangling.mdb"_s), loop = f.path(u"loop.mdb"_s);
        QCOMPARE(::symlink("nowhere/at/all.mdb", QFile::encodeName(dangling).constData()), 0);
        QCOMPARE(::symlink("loop2.mdb", QFile::encodeName(loop).constData()), 0);
        QCOMPARE(::symlink("loop.mdb", QFile::encodeName(f.path(u"loop2.mdb"_s)).constData()), 0);
        for (const QString& link : {dangling, loop}) {
            const Run r = pelldb({u"backup"_s, db, link});
            QVERIFY2(r.status == 1 && r.err.startsWith(u"error 75: "_s) && r.err.contains(link),
                     qPrintable(r.shown()));
            QVERIFY(QFileInfo(link).isSymLink());
        }
        QCOMPARE(QFileInfo(dangling).symLinkTarget(), f.path(u"nowhere/at/all.mdb"_s));
        QCOMPARE(debris(f.dir.path(), {u"pell.mdb"_s, u"pell.ldb"_s, u"pipe.mdb"_s, u"device.mdb"_s,
                                       u"dangling.mdb"_s, u"loop.mdb"_s, u"loop2.mdb"_s}),
                 QStringList());

        if (!canSwitchUsers())
            QSKIP("needs root and setpriv for the cases of other users");
        // A member of the group plants pell.ldb as a link to a file of whoever opens the database next: the
        // administrator's check refuses it, naming the lock file, and the file it leads to stays as it was.
        Fixture shared;
        const OtherUser a{46201, 46200, {46200}};
        shareFolder(shared.dir.path(), 46200);
        const QString sdb = shared.path(u"pell.mdb"_s), ldb = shared.path(u"pell.ldb"_s);
        QCOMPARE(runPelldbAs(a, {u"init"_s, sdb, u"--sample"_s}), 0);
        QVERIFY(!QFileInfo::exists(ldb)); // a new database has no users yet
        QTemporaryDir rootOnly;
        const QString secret = rootOnly.filePath(u"secret"_s);
        writeFile(secret, "root's own");
        QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
        QCOMPARE(::symlink(QFile::encodeName(secret).constData(), QFile::encodeName(ldb).constData()), 0);
        Run r = pelldb({u"check"_s, sdb});
        QVERIFY2(r.status == 1 && r.err.startsWith(u"error 3902: "_s) && r.err.contains(ldb),
                 qPrintable(r.shown()));
        QCOMPARE(ownership(secret), u"0:0:600"_s);
        QCOMPARE(fileBytes(secret), QByteArray("root's own"));
        // A second name of that file (a hard link) is no lock file either.
        QVERIFY(QFile::remove(ldb));
        QCOMPARE(::link(QFile::encodeName(secret).constData(), QFile::encodeName(ldb).constData()), 0);
        r = pelldb({u"check"_s, sdb});
        QVERIFY2(r.status == 1 && r.err.startsWith(u"error 3902: "_s), qPrintable(r.shown()));
        QCOMPARE(ownership(secret), u"0:0:600"_s);
        QVERIFY(QFile::remove(ldb));

        // The administrator's check of a user's private database leaves nothing the user cannot open: the
        // lock file it makes is the user's, with the database's bits.
        const OtherUser owner{46202, 46202, {}};
        QTemporaryDir parent;
        QCOMPARE(::chmod(QFile::encodeName(parent.path()).constData(), 0711), 0);
        const QString home = parent.filePath(u"home"_s);
        QVERIFY(QDir().mkdir(home));
        QCOMPARE(::chown(QFile::encodeName(home).constData(), owner.uid, owner.gid), 0);
        QCOMPARE(::chmod(QFile::encodeName(home).constData(), 0700), 0);
        const QString mine = home + u"/mine.mdb"_s;
        QCOMPARE(runShellAs(&owner, u"umask 077; exec \"$0\" init \"$1\" --sample"_s, {mine}), 0);
        QCOMPARE(ownership(mine), u"46202:46202:600"_s);
        QVERIFY(!QFileInfo::exists(home + u"/mine.ldb"_s));
        QCOMPARE(pelldb({u"check"_s, mine}).shown(), u"0 ok\n|"_s);
        QCOMPARE(ownership(home + u"/mine.ldb"_s), u"46202:46202:600"_s);
        QString out, err;
        QCOMPARE(runPelldbAs(owner, {u"check"_s, mine}, &out, &err), 0);
        // So is whatever the administrator's compaction and backup make on the user's behalf.
        QCOMPARE(pelldb({u"compact"_s, mine, u"--folder"_s, home}).status, 0);
        QCOMPARE(ownership(home + u"/_temp.mdb"_s), u"46202:46202:600"_s);
        QCOMPARE(ownership(mine), u"46202:46202:600"_s);
        QCOMPARE(runPelldbAs(owner, {u"compact"_s, mine, u"--folder"_s, home}, &out, &err), 0);

        // A folder the engine cannot write its journal in is refused before any work, and nothing is left
        // in the folder that was to receive the copy.
        const OtherUser b{46203, 46203, {}};
        const QString locked = parent.filePath(u"locked"_s), work = parent.filePath(u"work"_s);
        QVERIFY(QDir().mkdir(locked) && QDir().mkdir(work));
        QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0755), 0);
        QCOMPARE(::chown(QFile::encodeName(work).constData(), b.uid, b.gid), 0);
        const QString ro = locked + u"/pell.mdb"_s;
        QVERIFY(QFile::copy(db, ro));
        QCOMPARE(::chmod(QFile::encodeName(ro).constData(), 0666), 0);
        QCOMPARE(pelldb({u"check"_s, ro}).status, 0); // the lock file, usable by all
        const QByteArray before = fileBytes(ro);
        QCOMPARE(runPelldbAs(b, {u"compact"_s, ro, u"--folder"_s, work}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 3905: "_s) && err.contains(ro), qPrintable(err));
        QCOMPARE(fileBytes(ro), before);
        QCOMPARE(debris(work, {}), QStringList());
        QCOMPARE(debris(locked, {u"pell.mdb"_s, u"pell.ldb"_s}), QStringList());
        // The other way round: a program folder the user may not write names _temp.mdb, not a hidden name.
        const QString own = work + u"/own.mdb"_s;
        QVERIFY(QFile::copy(db, own));
        QCOMPARE(::chown(QFile::encodeName(own).constData(), b.uid, b.gid), 0);
        QCOMPARE(runPelldbAs(b, {u"compact"_s, own, u"--folder"_s, locked}, &out, &err), 1);
        QVERIFY2(err.startsWith(u"error 70: "_s) && err.contains(locked + u"/_temp.mdb"_s) &&
                     !err.contains(u"compacting"_s),
                 qPrintable(err));
        QCOMPARE(debris(work, {u"own.mdb"_s, u"own.ldb"_s}), QStringList());
    }

    void aNewDatabaseIsWholeOrNotThereAndTheGroupsWhereTheFolderIsShared() {
        if (!canSwitchUsers())
            QSKIP("needs root (a folder of another group, a small file system) and setpriv");
        Fixture f;
        // Made under a mask that shuts the group out, in a folder that passes its group on: the group shares
        // it.
        const QString group = f.dir.path();
        shareFolder(group, 46300);
        const QString shared = group + u"/group.mdb"_s;
        QCOMPARE(runShellAs(nullptr, u"umask 077; exec \"$0\" init \"$1\" --sample"_s, {shared}), 0);
        QCOMPARE(ownership(shared), u"0:46300:660"_s);
        const OtherUser member{46301, 46301, {46300}};
        QString out, err;
        QCOMPARE(runPelldbAs(member, {u"purge"_s, shared}, &out, &err), 0);
        QCOMPARE(debris(group, {u"group.mdb"_s, u"group.ldb"_s}), QStringList());

        // A disk that fills up: no half-built database under the name, nothing else left, the name said.
        QTemporaryDir small;
        if (QProcess::execute(u"mount"_s,
                              {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=200k"_s, u"tmpfs"_s, small.path()}) != 0)
            QSKIP("needs to mount a small file system");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, {small.path()}); });
        const QString full = small.filePath(u"pell.mdb"_s);
        const Run r = pelldb({u"init"_s, full, u"--sample"_s, u"--tasks"_s, u"5000"_s});
        QVERIFY2(r.status == 1 && r.err.startsWith(u"error 3904: "_s) && r.err.contains(full) &&
                     !r.err.contains(u".init-"_s),
                 qPrintable(r.shown()));
        QCOMPARE(debris(small.path(), {}), QStringList());
        // The same for a replica made there: it names the replica, and the master stays sound.
        const QString master = f.makeSharedDb();
        QCOMPARE(pelldb({u"make-master"_s, master, u"--no-list"_s}).status, 0);
        writeFile(small.filePath(u"filler"_s), QByteArray(180 * 1024, 'x'));
        const QString replica = small.filePath(u"replica.mdb"_s);
        const QByteArray masterHeader = fileBytes(master).left(100);
        const Run made = pelldb({u"make-replica"_s, master, replica, u"--no-list"_s});
        QVERIFY2(made.status == 1 && made.err.startsWith(u"error 3904: "_s) && made.err.contains(replica),
                 qPrintable(made.shown()));
        QCOMPARE(debris(small.path(), {u"filler"_s}), QStringList());
        QCOMPARE(fileBytes(master).left(100), masterHeader); // not even its change counter moved on
        QCOMPARE(pelldb({u"check"_s, master}).shown(), u"0 ok\n|"_s);

        // A repair whose salvaged copy fills the disk while it copies a table without rowid: the full disk
        // is the error, naming the database, never "repaired" and never taken for damage it read.
        const QString damaged = f.path(u"damaged.mdb"_s);
        QVERIFY(QFile::copy(f.makeSharedDb(u"source.mdb"_s), damaged));
        execRaw(damaged, u"CREATE TABLE NOTE (Note_Key TEXT PRIMARY KEY, Body BLOB) WITHOUT ROWID;"
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                         "INSERT INTO NOTE SELECT 'k' || i, randomblob(1500) FROM n;"_s);
        const qint64 page = num(damaged, u"SELECT max(pageno) FROM dbstat WHERE name = 'ROUTE'"_s);
        writeFile(damaged,
                  fileBytes(damaged).replace(int((page - 1) * 4096), 4096, QByteArray(4096, '\xA5')));
        QTemporaryDir tight;
        const qint64 room = QFileInfo(damaged).size() * 3 / 2 / 4096 * 4096;
        QCOMPARE(QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=%1"_s.arg(room),
                                                u"tmpfs"_s, tight.path()}),
                 0);
        const auto unmountTight = qScopeGuard([&] { QProcess::execute(u"umount"_s, {tight.path()}); });
        const QString there = tight.filePath(u"pell.mdb"_s);
        QVERIFY(QFile::copy(damaged, there));
        const QByteArray before = fileBytes(there);
        const Run repaired = pelldb({u"repair"_s, there});
        QVERIFY2(repaired.status == 1 && repaired.err.startsWith(u"error 3904: "_s) &&
                     repaired.err.trimmed().endsWith(there),
                 qPrintable(repaired.shown()));
        QCOMPARE(fileBytes(there), before);
        QCOMPARE(debris(tight.path(), {u"pell.mdb"_s, u"pell.ldb"_s}), QStringList());
    }

    void backupsBesideTheKernelsOwnCopy_data() {
        QTest::addColumn<bool>("throughPages");
        QTest::newRow("onto another file system") << false;
        QTest::newRow("through the engine's pages") << true;
    }

    void backupsBesideTheKernelsOwnCopy() {
        QFETCH(bool, throughPages);
        Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, BigAttachment.arg(3000000));
        // Through the pages: pelldb's table of open descriptors reads empty, as on a system without /proc, so
        // it cannot copy from the engine's descriptor.
        QTemporaryDir other(throughPages ? QString() : u"/dev/shm/pell-backup-XXXXXX"_s);
        if (!throughPages &&
            (!other.isValid() || QStorageInfo(db).rootPath() == QStorageInfo(other.path()).rootPath()))
            QSKIP("needs a second file system (/dev/shm) to copy onto");
        const QString dest = (throughPages ? f.dir : other).filePath(u"pellbkup.mdb"_s);
        const Run r = pelldb({u"backup"_s, db, dest}, [&](const QStringList& command) {
            return throughPages ? QStringList{u"unshare"_s,
                                              u"-m"_s,
                                              u"sh"_s,
                                              u"-c"_s,
                                              u"mount --bind \"$0\" /proc/$$/fd && exec \"$@\""_s,
                                              other.path()} +
                                      command
                                : command;
        });
        if (r.status != 0 && r.err.contains(u"unshare"_s))
            QSKIP("needs to mount in a namespace of its own (root)");
        QVERIFY2(r.status == 0 && r.out == u"Database has been backed up\n"_s, qPrintable(r.err));
        QCOMPARE(fileBytes(dest), fileBytes(db));
        if (!throughPages) // and nothing else is left on the other file system
            QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{u"pellbkup.mdb"_s});
    }

    void helpVersionOptionsAndTheManualAgree() {
        QCOMPARE(pelldb({u"--version"_s}).shown(), u"0 pelldb "_s + QString::fromLatin1(ProgramVersion) +
                                                       u"\nSQLite "_s + db::engineVersion() + u"\n|"_s);
        const Run help = pelldb({u"--help"_s});
        QVERIFY(help.status == 0 && help.err.isEmpty());
        // The commands as --help lists them: the lines indented by two, with their usage.
        QStringList listed;
        for (const QString& line : help.out.split(u'\n'))
            if (line.startsWith(u"  "_s) && !line.startsWith(u"   "_s) && !line.startsWith(u"  --"_s))
                listed << line.trimmed();
        QVERIFY(listed.size() >= 14);
        // The manual lists the same commands with the same usage, in the same order.
        const QString roff =
            QString::fromUtf8(fileBytes(QStringLiteral(PELL_SOURCE_DIR "/packaging/man/pelldb.1")));
        const QString commands = roff.section(u".SH COMMANDS"_s, 1).section(u".SH "_s, 0, 0);
        QStringList documented;
        static const QRegularExpression entry(uR"(\.TP\n\\fB(.*)\n)"_s);
        for (auto m = entry.globalMatch(commands); m.hasNext();)
            documented << m.next().captured(1).remove(u"\\fR"_s).remove(u"\\fB"_s).replace(u"\\-"_s, u"-"_s);
        QCOMPARE(documented, listed);
        for (const QString& usage : listed) {
            const QString name = usage.section(u' ', 0, 0);
            const Run own = pelldb({name, u"--help"_s});
            QVERIFY2(own.status == 0 && own.out.startsWith(u"usage: pelldb "_s + usage + u'\n'),
                     qPrintable(name + u": "_s + own.out));
            QVERIFY2(roff.contains(u"\\fB"_s + name + u"\\fR"_s), qPrintable(name));
        }
        // One syntax for options everywhere: "--name value" and "--name=value" alike; an unknown option or
        // one without its value is a usage error naming it.
        Fixture f;
        const QString db = f.makeSharedDb();
        // A mode that is no number is wrong arguments, like any other: the usage, exit status 2.
        for (const QStringList& args : {QStringList{u"sync"_s, db, db, u"--mode"_s, u"abc"_s},
                                        QStringList{u"sync"_s, u"--mode=abc"_s, db, db}}) {
            const Run bad = pelldb(args);
            QVERIFY2(bad.status == 2 && bad.err.contains(u"\"abc\""_s) &&
                         bad.err.contains(u"usage: pelldb sync DB PARTNER"_s),
                     qPrintable(bad.err));
        }
        const Run unknown = pelldb({u"check"_s, db, u"--bogus"_s});
        QVERIFY2(unknown.status == 2 && unknown.err.contains(u"bogus"_s) &&
                     unknown.err.contains(u"usage: pelldb check PATH"_s),
                 qPrintable(unknown.err));
        const Run noValue = pelldb({u"compact"_s, db, u"--folder"_s});
        QVERIFY2(noValue.status == 2 && noValue.err.contains(u"folder"_s), qPrintable(noValue.err));
        // "--" lets a path begin with a dash.
        QVERIFY(QFile::copy(db, f.path(u"-dash.mdb"_s)));
        QCOMPARE(pelldb({u"check"_s, u"--"_s, u"-dash.mdb"_s},
                        [&](const QStringList& command) {
                            return QStringList{u"env"_s, u"-C"_s, f.dir.path()} + command;
                        })
                     .shown(),
                 u"0 ok\n|"_s);
    }

    void syncAllWalksTheListAsTheWindowDoes() {
        // The list holds a replica, a missing one, a blank row, the main database itself and another replica.
        Fixture f;
        const QString main = f.makeSharedDb();
        const QString list = f.makeReplicaDb();
        QCOMPARE(pelldb({u"make-master"_s, main, u"--no-list"_s}).status, 0);
        const QString r1 = f.path(u"r1.mdb"_s), r2 = f.path(u"r2.mdb"_s), missing = f.path(u"gone.mdb"_s);
        for (const QString& r : {r1, r2})
            QCOMPARE(pelldb({u"make-replica"_s, main, r, u"--no-list"_s}).status, 0);
        for (const QString& location : {r1, missing, QString(), main, r2})
            execRaw(list, u"INSERT INTO REPLICA VALUES ('%1')"_s.arg(location));
        writeFile(f.path(u"pell.ini"_s),
                  (u"[DATABASE]\r\nDATABASE="_s + main + u"\r\nREPLICADB="_s + list + u"\r\n"_s).toUtf8());
        execRaw(r1, u"INSERT INTO LU_Category (Category) VALUES ('FromFirst')"_s);
        const Run r = pelldb({u"sync-all"_s, f.dir.path()});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.out, u"synchronized "_s + r1 + u"\nfailed "_s + missing +
                            u"\nfailed (a blank row of the list)\nskipped "_s + main +
                            u" (the main database)\nsynchronized "_s + r2 +
                            u"\n2 synchronized, 1 skipped, 2 failed; 0 conflicts logged\n"_s);
        const QStringList errors = r.err.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(errors.size() == 2 && errors[0].startsWith(u"error 3024: "_s) &&
                     errors[0].contains(missing) && errors[1].startsWith(u"error "_s) &&
                     errors[1].endsWith(u"(a blank row of the list)"_s),
                 qPrintable(r.err));
        // The first replica's change went through the main database on to the second.
        QCOMPARE(num(r2, u"SELECT count(*) FROM LU_Category WHERE Category='FromFirst'"_s), 1);
        QVERIFY(!QFile::exists(missing));
        // Once every listed replica can be reached, the status says all went well.
        execRaw(list, u"DELETE FROM REPLICA WHERE Replica_Location IN ('', '%1')"_s.arg(missing));
        const Run clean = pelldb({u"sync-all"_s, f.dir.path()});
        QVERIFY2(clean.status == 0 && clean.err.isEmpty(), qPrintable(clean.err));
        // Both sides changed the same row: the conflict is counted, and the line says where to see it.
        execRaw(r1, u"UPDATE TOOL SET Tool_EXE='onReplica' WHERE Tool_Name='Calculator'"_s);
        execRaw(main, u"UPDATE TOOL SET Tool_EXE='onMain' WHERE Tool_Name='Calculator'"_s);
        const Run conflicting = pelldb({u"sync-all"_s, f.dir.path()});
        QVERIFY2(conflicting.status == 0 &&
                     conflicting.out.contains(u"synchronized "_s + r1 + u" (1 conflicts logged)\n"_s) &&
                     conflicting.out.endsWith(u"2 synchronized, 1 skipped, 0 failed; 1 conflicts logged (see "
                                              u"them with: pelldb conflicts "_s +
                                              main + u")\n"_s),
                 qPrintable(conflicting.out));
        // An empty list every night is a job that does nothing: a failure, with what to do about it.
        execRaw(list, u"DELETE FROM REPLICA"_s);
        QCOMPARE(pelldb({u"sync-all"_s, f.dir.path()}).shown(),
                 u"1 |error 3265: no replicas listed in "_s + list +
                     u" (add them with: pelldb replicas add PATH "_s + f.dir.path() + u")\n"_s);
        // Without pell.ini nothing is synchronized, and the line says which file is missing.
        const QString noIni = pelldb({u"sync-all"_s, f.path(u"nowhere"_s)}).shown();
        QVERIFY2(noIni.startsWith(u"1 |error 53: "_s) && noIni.contains(u"pell.ini"_s), qPrintable(noIni));
    }

    // The list from a shell, as the window keeps it: make-master and make-replica put their database on it,
    // replicas lists, adds and removes; relative paths are the program folder's wherever pelldb starts.
    void replicaListFromAShell() {
        Fixture f;
        const QString main = f.makeSharedDb();
        const QString list = f.makeReplicaDb();
        writeFile(f.path(u"pell.ini"_s), "[DATABASE]\r\nDATABASE=pell.mdb\r\nREPLICADB=replica.mdb\r\n");
        const QString folder = f.dir.path();
        const auto fromRoot = [](const QStringList& command) {
            return QStringList{u"env"_s, u"-C"_s, u"/"_s} + command;
        };
        const auto rows = [&] {
            QStringList all;
            for (const QString& line : pelldb({u"replicas"_s, u"list"_s, folder}, fromRoot).out.split(u'\n'))
                all << line;
            return all.join(u'|');
        };
        QCOMPARE(rows(), u"0 listed in replica.mdb|"_s); // an empty list is no error
        const Run master = pelldb({u"make-master"_s, main, u"--program-folder"_s, folder});
        QVERIFY2(master.status == 0 &&
                     master.out.startsWith(main + u" is now the master of replica set "_s) &&
                     master.out.endsWith(u"\nlisted pell.mdb in replica.mdb\n"_s),
                 qPrintable(master.shown()));
        QCOMPARE(rows(), u"pell.mdb (the main database)|1 listed in replica.mdb|"_s);
        const QString r1 = f.path(u"r1.mdb"_s);
        const Run made = pelldb({u"make-replica"_s, main, r1, u"site 1"_s, u"--program-folder"_s, folder});
        QVERIFY2(made.status == 0 && made.out.endsWith(u"listed "_s + r1 + u" in replica.mdb\n"_s),
                 qPrintable(made.shown()));
        // A relative row is the program folder's: a replica beside pell.ini, added from the root folder.
        QCOMPARE(pelldb({u"make-replica"_s, main, f.path(u"r2.mdb"_s), u"--no-list"_s}).status, 0);
        QCOMPARE(pelldb({u"replicas"_s, u"add"_s, u"r2.mdb"_s, folder}, fromRoot).shown(),
                 u"0 listed r2.mdb in replica.mdb\n|"_s);
        QCOMPARE(pelldb({u"replicas"_s, u"add"_s, u"r2.mdb"_s, folder}, fromRoot).shown(),
                 u"0 r2.mdb is listed already in replica.mdb\n|"_s);
        QCOMPARE(rows(), u"pell.mdb (the main database)|"_s + r1 + u"|r2.mdb|3 listed in replica.mdb|"_s);
        execRaw(f.path(u"r2.mdb"_s), u"INSERT INTO LU_Category (Category) VALUES ('FromSecond')"_s);
        QCOMPARE(pelldb({u"sync-all"_s, folder}, fromRoot).shown(),
                 u"0 skipped pell.mdb (the main database)\nsynchronized "_s + r1 +
                     u"\nsynchronized r2.mdb\n2 synchronized, 1 skipped, 0 failed; 0 conflicts logged\n|"_s);
        QCOMPARE(num(main, u"SELECT count(*) FROM LU_Category WHERE Category='FromSecond'"_s), 1);
        // Taken off the list; the database stays. A row that is not there is an error naming it.
        QCOMPARE(pelldb({u"replicas"_s, u"remove"_s, r1, folder}).shown(),
                 u"0 removed "_s + r1 + u" from replica.mdb\n|"_s);
        QVERIFY(QFile::exists(r1));
        const Run gone = pelldb({u"replicas"_s, u"remove"_s, r1, folder});
        QVERIFY2(gone.status == 1 && gone.err.startsWith(u"error 3265: "_s) && gone.err.contains(r1),
                 qPrintable(gone.err));
        QCOMPARE(rows(), u"pell.mdb (the main database)|r2.mdb|2 listed in replica.mdb|"_s);
        QCOMPARE(pelldb({u"replicas"_s, u"rename"_s, r1, folder}).status, 2);
        // A replica is a new file: a folder or an existing file as its destination says so, and nothing is
        // listed.
        const Run ontoFolder = pelldb({u"make-replica"_s, main, folder, u"--program-folder"_s, folder});
        QVERIFY2(ontoFolder.status == 1 && ontoFolder.err.contains(u"is a folder: name the replica's file"_s),
                 qPrintable(ontoFolder.err));
        const Run ontoFile = pelldb({u"make-replica"_s, main, list, u"--program-folder"_s, folder});
        QVERIFY2(ontoFile.status == 1 && ontoFile.err.contains(u"exists already"_s),
                 qPrintable(ontoFile.err));
        // Without the list nothing is made.
        const QString r3 = f.path(u"r3.mdb"_s);
        const Run noList = pelldb({u"make-replica"_s, main, r3, u"--program-folder"_s, f.path(u"nowhere"_s)});
        QVERIFY2(noList.status == 1 && noList.err.startsWith(u"error 53: "_s), qPrintable(noList.err));
        QVERIFY(!QFile::exists(r3));
        QCOMPARE(rows(), u"pell.mdb (the main database)|r2.mdb|2 listed in replica.mdb|"_s);
        // A mistyped command: one line with the nearest.
        QCOMPARE(pelldb({u"sycn-all"_s}).shown(),
                 u"2 |pelldb: unknown command sycn-all; did you mean sync-all? (pelldb --help lists the "
                 u"commands)\n"_s);
        QCOMPARE(pelldb({u"replica"_s}).shown(),
                 u"2 |pelldb: unknown command replica; did you mean replicas? (pelldb --help lists the "
                 u"commands)\n"_s);
    }

    // What an administrator without the right to write is told: the folder, not a temporary file nor "in
    // use"; a purge that could delete nothing does not begin with "deleted 0 tasks".
    void failuresOfAnotherUserSayWhatHappened() {
        if (!canSwitchUsers())
            QSKIP("needs root and setpriv to run pelldb as another user");
        Fixture f;
        const QString db = f.makeSharedDb();
        QVERIFY(::chmod(QFile::encodeName(f.dir.path()).constData(), 01777) == 0); // lock files may be made
        const QString closed = f.path(u"closed"_s);
        QVERIFY(QDir(f.dir.path()).mkdir(u"closed"_s));
        const OtherUser other{4713, 4713, {}};
        QString out, err;
        QCOMPARE(runPelldbAs(other, {u"backup"_s, db, closed + u"/copy.mdb"_s}, &out, &err), 1);
        QCOMPARE(err, u"error 70: You may not write in the folder "_s + closed +
                          u": choose another folder for the backup\n"_s);
        QVERIFY(QDir(closed).isEmpty());
        // The database is root's and not writable by the other user: its one old closed task stays.
        const qint64 tasks = num(db, u"SELECT count(*) FROM SCR"_s);
        QCOMPARE(runPelldbAs(other, {u"purge"_s, db}, &out, &err), 1);
        QVERIFY2(out.isEmpty() && err.startsWith(u"error "_s) && err.count(u'\n') == 1,
                 qPrintable(out + err));
        QCOMPARE(num(db, u"SELECT count(*) FROM SCR"_s), tasks);
    }

    void aTerminalSeesHowFarLongWorkHasCome() {
        Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, BigAttachment.arg(40000000));
        // script gives pelldb a terminal; its output is what the terminal showed.
        if (QStandardPaths::findExecutable(u"script"_s).isEmpty())
            QSKIP("needs script(1) for a terminal");
        const Run r = pelldb({u"backup"_s, db, f.path(u"copy.mdb"_s)}, [](const QStringList& command) {
            QStringList quoted; // script hands its command to a shell
            for (QString word : command)
                quoted << u'\'' + word.replace(u'\'', u"'\\''"_s) + u'\'';
            return QStringList{u"script"_s, u"-qec"_s, quoted.join(u' '), u"/dev/null"_s};
        });
        // The line is cleared before the result, which stands alone.
        static const QRegularExpression progress(
            u"Backing up to .* MB of .*%\\).*\r\x1b\\[KDatabase has been backed up"_s,
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(r.status == 0 && progress.match(r.out).hasMatch(), qPrintable(r.shown()));
        // Without a terminal (the cases above), standard error holds nothing but errors.
        const Run piped = pelldb({u"backup"_s, db, f.path(u"copy2.mdb"_s)});
        QVERIFY(piped.status == 0 && piped.err.isEmpty());
    }
};

QTEST_MAIN(TestFromAShell)
#include "tst_from_a_shell.moc"
