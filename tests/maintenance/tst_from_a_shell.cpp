// pelldb's maintenance commands as a shell or a scheduled job sees them: exit status, standard output and the
// one "error NNNN: text" line; and the two ways a backup is copied besides the kernel's own copy between
// descriptors on one file system: onto another file system, and through the engine's pages.
#include "db/files/operations.h"
#include "support/db_dump.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

struct Run {
    int status = -1;
    QString out, err;
};

Run pelldb(const QStringList& args) {
    Run r;
    r.status = runPelldb(args, &r.out, &r.err);
    return r;
}

// pelldb run where its table of open descriptors reads empty, as on a system without /proc: it cannot copy
// from the engine's descriptor and copies the pages the engine reads.
Run pelldbWithoutDescriptorTable(const QStringList& args, const QString& emptyFolder) {
    QProcess p;
    p.start(u"unshare"_s,
            QStringList{u"-m"_s, u"sh"_s, u"-c"_s, u"mount --bind \"$0\" /proc/$$/fd && exec \"$@\""_s,
                        emptyFolder, pelldbPath()} +
                args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.status = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

bool sameFileSystem(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

} // namespace

class TestFromAShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusOutputAndErrorOfEachCommand() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString copy = f.path(u"copy.mdb"_s);
        struct Case {
            QStringList args;
            int status;
            QString out, errStart;
        };
        const Case cases[] = {
            {{u"check"_s, db}, 0, u"ok\n"_s, {}},
            {{u"backup"_s, db, copy}, 0, u"Database has been backed up\n"_s, {}},
            {{u"backup"_s, db, db.toUpper()},
             1,
             {},
             u"error 3219: Destination must be different than active database\n"_s},
            {{u"backup"_s, db}, 2, {}, u"pelldb backup: expects the database and the destination\n"_s},
            {{u"compact"_s, db, u"--folder"_s, f.dir.path()}, 0, u"Database has been compacted\n"_s, {}},
            {{u"repair"_s, db}, 0, u"Database has been repaired\n"_s, {}},
            // The sample holds one closed task older than the day limit.
            {{u"purge"_s, db}, 0, u"deleted 1 tasks\n"_s, {}},
            {{u"compact"_s, f.path(u"none.mdb"_s)}, 1, {}, u"error 3024: "_s},
            {{u"repair"_s, f.path(u"none.mdb"_s)}, 1, {}, u"error 3024: "_s},
            {{u"purge"_s, f.path(u"none.mdb"_s)}, 1, {}, u"error 3024: "_s},
            {{u"bogus"_s}, 2, {}, u"pelldb: unknown command bogus\n"_s},
            {{}, 2, {}, u"usage: pelldb COMMAND"_s},
        };
        for (const Case& c : cases) {
            const Run r = pelldb(c.args);
            const QString what = c.args.join(u' ') + u": "_s + r.out + r.err;
            QVERIFY2(r.status == c.status && r.out == c.out, qPrintable(what));
            QVERIFY2(c.errStart.isEmpty() ? r.err.isEmpty() : r.err.startsWith(c.errStart), qPrintable(what));
        }
        QCOMPARE(db::files::checkDatabase(copy), QStringList());
        // Held exclusively by another user: backup, compaction and repair are refused, and say why once.
        Holder holder(db, true);
        for (const QStringList& args : {QStringList{u"backup"_s, db, copy}, QStringList{u"compact"_s, db},
                                        QStringList{u"repair"_s, db}}) {
            const Run r = pelldb(args);
            QVERIFY2(r.status == 1 && r.out.isEmpty() && r.err.startsWith(u"error "_s) &&
                         r.err.count(u'\n') == 1,
                     qPrintable(args.join(u' ') + u": "_s + r.err));
        }
        holder.release();
        // A damaged file: check lists what it found, and says so in its status.
        QByteArray bytes = fileBytes(db);
        bytes.replace(4096, 64, QByteArray(64, '\xA5')); // the second page's header
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const Run damaged = pelldb({u"check"_s, db});
        QCOMPARE(damaged.status, 1);
        QVERIFY2(damaged.out.endsWith(u"\ndamaged\n"_s), qPrintable(damaged.out));
    }

    void aBackupOntoAnotherFileSystem() {
        Fixture f;
        const QString db = f.makeSharedDb();
        QTemporaryDir other(u"/dev/shm/pell-backup-XXXXXX"_s);
        if (!other.isValid() || sameFileSystem(db, other.path()))
            QSKIP("needs a second file system (/dev/shm) to copy onto");
        execRaw(
            db,
            u"INSERT INTO ATTACH (SCR_Number, File_Name, Contents) SELECT 1, 'big', randomblob(3000000)"_s);
        const QString dest = other.filePath(u"pellbkup.mdb"_s);
        const Run r = pelldb({u"backup"_s, db, dest});
        QCOMPARE(r.status, 0);
        QCOMPARE(fileBytes(dest), fileBytes(db));
        QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"pellbkup.mdb"_s});
    }

    void aBackupThroughTheEnginesPages() {
        Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(
            db,
            u"INSERT INTO ATTACH (SCR_Number, File_Name, Contents) SELECT 1, 'big', randomblob(3000000)"_s);
        const QString dest = f.path(u"pellbkup.mdb"_s);
        QTemporaryDir empty;
        const Run r = pelldbWithoutDescriptorTable({u"backup"_s, db, dest}, empty.path());
        if (r.status != 0 && r.err.contains(u"unshare"_s))
            QSKIP("needs to mount in a namespace of its own (root)");
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(r.out, u"Database has been backed up\n"_s);
        QCOMPARE(fileBytes(dest), fileBytes(db));
    }
};

QTEST_MAIN(TestFromAShell)
#include "tst_from_a_shell.moc"
