// The engine over real SQLite files: the error numbers the windows test, produced by real situations; and
// criteria texts: both forms, the apostrophe case, and random texts that must never crash.
#include "core/error.h"
#include "db/criteria.h"
#include "db/database.h"
#include "db/filelock.h"
#include "db/files/operations.h"
#include "db/recordset.h"
#include "db/schema.h"
#include "support/db_dump.h"
#include "support/sample_data.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>

using namespace pell;
using namespace Qt::StringLiterals;
using db::Criteria;
using db::Database;

using test::errorOf;

class TestEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void openAndRecordsetErrors() {
        test::Fixture f;
        QCOMPARE(errorOf([&] { Database::open(f.path(u"none.mdb"_s)); }), err::FileNotFoundDb);
        for (const QString& path : {f.path(u"no/such/folder/x.mdb"_s), QString(), f.dir.path()})
            QVERIFY2(errorOf([&] { Database::open(path); }) == err::InvalidPath, qPrintable(path));
        test::writeFile(f.path(u"text.mdb"_s), QByteArray(4096, 'x'));
        QCOMPARE(errorOf([&] { Database::open(f.path(u"text.mdb"_s)); }), err::NotADatabase);
        auto db = Database::open(f.makeSharedDb());
        QCOMPARE(errorOf([&] { db->openRecordset(u"NOPE"_s); }), err::TableNotFound);
        auto rs = db->openRecordset(u"user"_s); // table names ignore case
        QCOMPARE(errorOf([&] { rs->field(u"Nope"_s); }), err::ItemNotFound);
        QCOMPARE(errorOf([&] { rs->update(); }), err::UpdateWithoutEdit);
        QCOMPARE(
            errorOf([&] {
                Database::open(f.state.DATABASE_PATH, {.readOnly = true})->execute(u"DELETE FROM TOOL"_s);
            }),
            err::ReadOnly);
    }

    void aTaskNeedsItsCategory() {
        // Duplicate keys, whatever their case, are refused by the engine after a repair and through the list
        // windows and the user editor (a corrected key saving while the row is pending); refused deletions
        // and key changes of users through the user window; a cancelled new row leaves none in the options
        // window.
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto tasks = db->openRecordset(u"SCR"_s);
        tasks->addNew();
        tasks->setField(u"SCR_Number"_s, 999);
        tasks->setField(u"SCR_Category"_s, u"Nope"_s);
        QCOMPARE(errorOf([&] { tasks->update(); }), err::RelatedRecordRequired);
        // The engine's own words reach the windows, never SQLite's.
        const QString text = test::errorText([&] { tasks->update(); });
        QVERIFY2(!text.contains(u"SQLITE"_s, Qt::CaseInsensitive) &&
                     !text.contains(u"constraint"_s, Qt::CaseInsensitive),
                 qPrintable(text));
        QCOMPARE(test::num(f.state.DATABASE_PATH, u"SELECT count(*) FROM SCR WHERE SCR_Number = 999"_s), 0);
    }

    void optimisticLockingAcrossConnections() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        auto a = Database::open(path);
        auto b = Database::open(path);
        auto ra = a->openRecordset(u"USER"_s);
        auto rb = b->openRecordset(u"USER"_s);
        const auto admin = Criteria::equals(u"User_ID"_s, u"admin"_s);
        ra->findFirst(admin);
        rb->findFirst(admin);
        ra->setLockEdits(false);
        ra->edit();
        rb->edit();
        rb->setField(u"User_Name"_s, u"Changed by B"_s);
        rb->update();
        ra->setField(u"User_Password"_s, u"secret"_s);
        QCOMPARE(errorOf([&] { ra->update(); }), err::ChangedByOther);
        // Told once, the administrator may save again over the other change.
        ra->update();
        QCOMPARE(test::str(path, u"SELECT User_Name||User_Password FROM \"USER\" WHERE User_ID='admin'"_s),
                 u"Changed by Bsecret"_s);
        // An edit of a row another program deleted meanwhile is refused in the replication window's grid.
    }

    void exclusiveAcrossProcesses() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        // That another process's shared open keeps an exclusive one out, and that shared users coexist, is
        // proved through the replication window and by pelldb as another member of the group.
        {
            test::Holder exclusive(path, true);
            QCOMPARE(errorOf([&] { Database::open(path); }), err::OpenedExclusively);
            QCOMPARE(errorOf([&] { Database::open(path, {.exclusive = true}); }), err::OpenedExclusively);
            QString out, err;
            QCOMPARE(test::runPelldb({u"hold"_s, path}, &out, &err), 1);
            QVERIFY2(err.startsWith(QLatin1String("error 3356: ")), qPrintable(err));
        }
        // Released: an exclusive open succeeds and keeps others out, within one process too and through a
        // link to the same file.
        auto only = Database::open(path, {.exclusive = true});
        QCOMPARE(errorOf([&] { Database::open(path); }), err::OpenedExclusively);
        QVERIFY(QFile::link(path, f.path(u"other-name.mdb"_s)));
        QCOMPARE(errorOf([&] { Database::open(f.path(u"other-name.mdb"_s)); }), err::OpenedExclusively);
        only.reset();
        QVERIFY(Database::open(path)->isOpen());
    }

    void recordsetWalkFindAndBookmarks() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto empty = db->openRecordset(u"SELECT * FROM TOOL WHERE Tool_Name = 'none'"_s);
        QVERIFY(empty->eof());
        QCOMPARE(errorOf([&] { empty->moveFirst(); }), err::NoCurrentRecord);

        auto rs = db->openRecordset(u"USER"_s);
        int n = 0;
        for (rs->moveFirst(); !rs->eof(); rs->moveNext())
            ++n;
        QCOMPARE(n, 9);
        QCOMPARE(errorOf([&] { rs->moveNext(); }), err::NoCurrentRecord);
        const Criteria noSupervisor = Criteria::isNull(u"Supervisor_User_ID"_s);
        rs->findFirst(noSupervisor);
        const auto mark = rs->bookmark();
        rs->findNext(noSupervisor);
        QVERIFY(!rs->noMatch() && rs->bookmark() != mark);
        rs->findNext(noSupervisor);
        QVERIFY(rs->noMatch());
        rs->setBookmark(mark);
        QCOMPARE(rs->field(u"User_ID"_s).toString(), u"admin"_s);
        // A SELECT over one table is updatable.
        auto closed = db->openRecordset(u"SELECT * FROM SCR WHERE SCR_STATUS <> 'A'"_s);
        QVERIFY(closed->updatable());
        QCOMPARE(closed->recordCount(), 2);
        // Keys with apostrophes written by another program are opened, saved and deleted alone through the
        // list windows.
    }

    void properties() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb(), {.exclusive = true});
        QCOMPARE(errorOf([&] { db->propertyValue(u"Owner"_s); }), err::PropertyNotFound);
        db->appendProperty(db->createProperty(u"Owner"_s, db::PropertyTypeText, u"me"_s));
        db.reset();
        auto again = Database::open(f.state.DATABASE_PATH);
        QCOMPARE(again->propertyValue(u"OWNER"_s).toString(), u"me"_s);
        QVERIFY(!again->tableNames().contains(u"_pell_properties"_s));
    }

    void sharesWhoseLocksStayOnThisComputerAreKnown() {
        const long fuse = 0x65735546, nfs = 0x6969, cifs = 0xFF534D42, ext4 = 0xEF53;
        const struct {
            long magic;
            const char *type, *options;
            bool safe;
        } shares[] = {
            {ext4, "ext4", "rw,relatime", true},     {fuse, "fuse.sshfs", "rw,user_id=0", false},
            {fuse, "fuse.bindfs", "rw", false},      {fuse, "fuseblk", "rw", true},
            {fuse, "fuse.glusterfs", "rw", true},    {nfs, "nfs", "rw,vers=3,local_lock=none", true},
            {nfs, "nfs", "rw,vers=3,nolock", false}, {nfs, "nfs4", "rw,local_lock=all", false},
            {cifs, "cifs", "rw,vers=3.0", true},     {cifs, "cifs", "rw,nobrl", false}};
        for (const auto& s : shares)
            QVERIFY2(
                db::unsafeShareReason(s.magic, QString::fromLatin1(s.type), QString::fromLatin1(s.options))
                        .isEmpty() == s.safe,
                s.options);
    }

    void aShareWhoseLocksStayHereIsRefusedUnlessOneUserSaysSo() {
        // A real FUSE mount of a folder: its locks never leave this computer.
        if (::geteuid() != 0 || QStandardPaths::findExecutable(u"bindfs"_s).isEmpty())
            QSKIP("needs root and bindfs for a FUSE mount");
        test::Fixture f;
        const QString inner = f.path(u"inner"_s);
        const QString share = f.path(u"share"_s);
        QVERIFY(QDir().mkpath(inner) && QDir().mkpath(share));
        {
            auto db = Database::create(inner + u"/pell.mdb"_s);
            db::createSharedSchema(*db);
            sample::fillSharedDatabase(*db, {});
        }
        if (QProcess::execute(u"bindfs"_s, {inner, share}) != 0)
            QSKIP("FUSE mounts are not possible here");
        const QString db = share + u"/pell.mdb"_s;
        QString out, err;
        const int refused = test::runPelldb({u"check"_s, db}, &out, &err);
        const int allowed = test::runPelldb({u"check"_s, db, u"--single-user"_s}, &out, &err);
        ::umount2(QFile::encodeName(share).constData(), MNT_DETACH);
        QCOMPARE(refused, 1);
        QCOMPARE(allowed, 0);
        QCOMPARE(out, u"ok\n"_s);
    }

    void errorsSayWhichFileAndWhatHappened() {
        test::Fixture f;
        // A full disk names the file that could not be written.
        const QString small = f.path(u"small"_s);
        QVERIFY(QDir().mkpath(small));
        if (::geteuid() == 0 &&
            ::mount("none", QFile::encodeName(small).constData(), "tmpfs", 0, "size=256k") == 0) {
            const QString path = small + u"/pell.mdb"_s;
            {
                auto created = Database::create(path);
                db::createSharedSchema(*created);
            }
            int number = 0;
            QString text;
            try {
                Database::open(path)->execute(QStringLiteral(
                    "INSERT INTO ATTACH (SCR_Number, Contents) VALUES (1, randomblob(400000))"));
            } catch (const Error& e) {
                number = e.number();
                text = e.text();
            }
            ::umount2(QFile::encodeName(small).constData(), MNT_DETACH);
            QCOMPARE(number, err::EngineDiskFull);
            QVERIFY2(text.endsWith(path), qPrintable(text));
        }
        // A writable database in a folder another user may not write is not "not found".
        if (!test::canSwitchUsers())
            QSKIP("needs root and setpriv to run pelldb as another user");
        const QString path = f.makeSharedDb();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0666), 0);
        QCOMPARE(::chmod(QFile::encodeName(f.dir.path()).constData(), 0755), 0);
        // Once with the lock file there (the engine finds it cannot write its journal), once without (the
        // lock file cannot be made).
        for (bool lockFile : {true, false}) {
            if (!lockFile)
                QVERIFY(QFile::remove(db::FileLock::lockPathFor(path)));
            QString out, err;
            QCOMPARE(test::runPelldbAs({46103, 46103, {}}, {u"purge"_s, path}, &out, &err), 1);
            QVERIFY2(err.startsWith(u"error %1: "_s.arg(err::FolderReadOnly)) && err.contains(path),
                     qPrintable(err));
        }
    }

    void compactRefusesAnExistingDestination() {
        // A user of the database is refused, and compaction itself proved, through the window and pelldb.
        test::Fixture f;
        const QString path = f.makeSharedDb();
        const QString dest = f.path(u"c.mdb"_s);
        test::writeFile(dest, "someone's file");
        QCOMPARE(errorOf([&] { db::files::compactDatabase(path, dest); }), err::DatabaseExists);
        QCOMPARE(test::fileBytes(dest), QByteArray("someone's file")); // and left as it was
    }

    void criteriaParseBothFormsRejectOtherTextsAndMatchLikeKeys() {
        const Criteria eq = Criteria::parse(u"User_ID = 'admin'"_s);
        QVERIFY(eq.kind() == Criteria::Kind::Equals && eq.column() == u"User_ID"_s &&
                eq.value() == u"admin"_s);
        QCOMPARE(eq.toText(), u"User_ID = 'admin'"_s);
        const Criteria nul = Criteria::parse(u"IsNull(Supervisor_User_ID)"_s);
        QVERIFY(nul.kind() == Criteria::Kind::IsNull && nul.column() == u"Supervisor_User_ID"_s);
        QCOMPARE(Criteria::parse(u"Category = ' '"_s).value(), u" "_s);
        // The text form reads the value between the outer apostrophes.
        QCOMPARE(Criteria::parse(u"Category = 'O'Neil'"_s).value(), u"O'Neil"_s);
        QCOMPARE(Criteria::parse(u"[Tool Name] = 'x'"_s).column(), u"Tool Name"_s);
        for (const char* text : {"", "User_ID", "User_ID = admin", "= 'x'", "User_ID = 'x", "a b = 'x'",
                                 "IsNull()", "User_ID = 'x' OR 1=1"}) // no trailing expression either
            QVERIFY2(errorOf([&] { Criteria::parse(QString::fromLatin1(text)); }) == err::CriteriaSyntax,
                     text);
        const Criteria c = Criteria::equals(u"Category"_s, u"Urgent"_s);
        QVERIFY(c.matches(u"URGENT"_s) && c.matches(u"urgent"_s));
        QVERIFY(!c.matches(u"Urgent "_s) && !c.matches(QVariant()));
        QVERIFY(Criteria::equals(u"n"_s, u"42"_s).matches(QVariant(qlonglong(42))));
        QVERIFY(!Criteria::equals(u"n"_s, u"4x"_s).matches(QVariant(qlonglong(4))));
        QVERIFY(Criteria::isNull(u"n"_s).matches(QVariant()) && !Criteria::isNull(u"n"_s).matches(u""_s));
    }

    void randomTextsNeverCrash() {
        QRandomGenerator random(1206);
        const QString alphabet = u"ab_ =''()IsNull[]\"x1 "_s;
        int parsed = 0;
        for (int i = 0; i < 5000; ++i) {
            QString text;
            const int n = int(random.bounded(30));
            for (int k = 0; k < n; ++k)
                text += alphabet.at(int(random.bounded(alphabet.size())));
            try {
                const Criteria c = Criteria::parse(text);
                ++parsed;
                // What parses round-trips to an equivalent criterion.
                const Criteria again = Criteria::parse(c.toText());
                QCOMPARE(again.column(), c.column());
                QCOMPARE(again.value(), c.value());
            } catch (const Error& e) {
                QCOMPARE(e.number(), err::CriteriaSyntax);
            }
        }
        QVERIFY(parsed > 0);
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
