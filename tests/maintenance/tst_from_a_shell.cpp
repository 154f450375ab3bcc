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
        // A damaged file: check lists what it found, and says so in its status.
        writeFile(db, fileBytes(db).replace(4096, 64, QByteArray(64, '\xA5'))); // the second page's header
        const Run damaged = pelldb({u"check"_s, db});
        QVERIFY2(damaged.status == 1 && damaged.out.endsWith(u"\ndamaged\n"_s), qPrintable(damaged.out));
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
        const QString badMode = u"error 3546: "_s +
                                errorText([] { throw Error::make(err::InvalidExchangeMode, u"abc"_s); }) +
                                u'\n';
        for (const QStringList& args : {QStringList{u"sync"_s, db, db, u"--mode"_s, u"abc"_s},
                                        QStringList{u"sync"_s, u"--mode=abc"_s, db, db}})
            QCOMPARE(pelldb(args).shown(), u"1 |"_s + badMode);
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
