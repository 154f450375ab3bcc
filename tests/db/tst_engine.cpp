// The engine over real SQLite files: the error numbers the windows test, produced by real situations.
#include "core/error.h"
#include "db/database.h"
#include "db/files/operations.h"
#include "db/recordset.h"
#include "support/test_support.h"

#include "db/filelock.h"
#include "db/schema.h"
#include "support/sample_data.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>

using namespace pell;
using namespace Qt::StringLiterals;
using db::Criteria;
using db::Database;

namespace {
template <class F> int errorOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}
} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void openErrors() {
        test::Fixture f;
        QCOMPARE(errorOf([&] { Database::open(f.path(QStringLiteral("none.mdb"))); }), err::FileNotFoundDb);
        QCOMPARE(errorOf([&] { Database::open(f.path(QStringLiteral("no/such/folder/x.mdb"))); }),
                 err::InvalidPath);
        QCOMPARE(errorOf([&] { Database::open(QString()); }), err::InvalidPath);
        QFile text(f.path(QStringLiteral("text.mdb")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(QByteArray(4096, 'x'));
        text.close();
        QCOMPARE(errorOf([&] { Database::open(text.fileName()); }), err::NotADatabase);
        QCOMPARE(errorOf([&] { Database::open(f.dir.path()); }), err::InvalidPath);
    }

    void errorTextsAreOurs() {
        // No raw SQLite wording reaches the windows.
        for (int n : {err::DuplicateKey, err::RelatedRecords, err::ChangedByOther, err::OpenedExclusively,
                      err::NotADatabase, err::Locked}) {
            const QString text = standardText(n);
            QVERIFY(!text.isEmpty());
            QVERIFY(!text.contains(QLatin1String("SQLITE"), Qt::CaseInsensitive));
            QVERIFY(!text.contains(QLatin1String("constraint"), Qt::CaseInsensitive));
        }
    }

    void duplicateKeyIsCaseInsensitive() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto rs = db->openRecordset(QStringLiteral("LU_Category"));
        rs->addNew();
        rs->setField(QStringLiteral("Category"), QStringLiteral("urgent"));
        QCOMPARE(errorOf([&] { rs->update(); }), err::DuplicateKey);
        // Still adding: a corrected value saves.
        QCOMPARE(rs->editMode(), db::Recordset::EditMode::AddNew);
        rs->setField(QStringLiteral("Category"), QStringLiteral("Later"));
        rs->update();
        QCOMPARE(
            db->scalar(QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category = 'LATER'")).toInt(),
            1);
    }

    void relatedRecordsRefuseDeleteAndKeyChange() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto users = db->openRecordset(QStringLiteral("USER"));
        users->findFirst(Criteria::equals(QStringLiteral("User_ID"), QStringLiteral("clerk1")));
        QVERIFY(!users->noMatch());
        QCOMPARE(errorOf([&] { users->deleteCurrent(); }), err::RelatedRecords);
        QCOMPARE(db->scalar(QStringLiteral("SELECT count(*) FROM \"USER\" WHERE User_ID='clerk1'")).toInt(),
                 1);
        users->requery();
        users->findFirst(Criteria::equals(QStringLiteral("User_ID"), QStringLiteral("clerk1")));
        users->edit();
        users->setField(QStringLiteral("User_ID"), QStringLiteral("clerk9"));
        QCOMPARE(errorOf([&] { users->update(); }), err::RelatedRecords);
        // A task pointing at a missing category: the record it needs does not exist.
        auto tasks = db->openRecordset(QStringLiteral("SCR"));
        tasks->addNew();
        tasks->setField(QStringLiteral("SCR_Number"), 999);
        tasks->setField(QStringLiteral("SCR_Category"), QStringLiteral("Nope"));
        QCOMPARE(errorOf([&] { tasks->update(); }), err::RelatedRecordRequired);
        // A user without tasks goes.
        users->requery();
        users->findFirst(Criteria::equals(QStringLiteral("User_ID"), QStringLiteral("GUEST")));
        QVERIFY(!users->noMatch());
        users->deleteCurrent();
        QCOMPARE(db->scalar(QStringLiteral("SELECT count(*) FROM \"USER\" WHERE User_ID='guest'")).toInt(),
                 0);
    }

    void optimisticLockingAcrossConnections() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        auto a = Database::open(path);
        auto b = Database::open(path);
        auto ra = a->openRecordset(QStringLiteral("USER"));
        auto rb = b->openRecordset(QStringLiteral("USER"));
        const auto admin = Criteria::equals(QStringLiteral("User_ID"), QStringLiteral("admin"));
        ra->findFirst(admin);
        rb->findFirst(admin);
        ra->setLockEdits(false);
        ra->edit();
        rb->edit();
        rb->setField(QStringLiteral("User_Name"), QStringLiteral("Changed by B"));
        rb->update();
        ra->setField(QStringLiteral("User_Password"), QStringLiteral("secret"));
        QCOMPARE(errorOf([&] { ra->update(); }), err::ChangedByOther);
        QCOMPARE(b->scalar(QStringLiteral("SELECT User_Name FROM \"USER\" WHERE User_ID='admin'")).toString(),
                 QStringLiteral("Changed by B"));
        // Told once, the administrator may save again over the other change.
        ra->update();
        QCOMPARE(
            b->scalar(QStringLiteral("SELECT User_Password FROM \"USER\" WHERE User_ID='admin'")).toString(),
            QStringLiteral("secret"));
        // An edit of a row another user deleted meanwhile.
        auto rg = a->openRecordset(QStringLiteral("USER"));
        rg->findFirst(Criteria::equals(QStringLiteral("User_ID"), QStringLiteral("guest")));
        b->execute(QStringLiteral("DELETE FROM \"USER\" WHERE User_ID='guest'"));
        QCOMPARE(errorOf([&] { rg->edit(); }), err::RecordDeleted);
    }

    void lockedRowFailsWithLockedNumber() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        auto a = Database::open(path);
        auto other = Database::open(path);
        db::Transaction hold(*other); // another user in the middle of a write
        other->execute(QStringLiteral("UPDATE \"USER\" SET User_Name='x' WHERE User_ID='guest'"));
        sqlite3* raw = a->rawHandle();
        Q_UNUSED(raw);
        a->execute(QStringLiteral("PRAGMA busy_timeout=50"));
        QCOMPARE(errorOf([&] { a->execute(QStringLiteral("DELETE FROM LU_Priority WHERE Priority='Low'")); }),
                 err::Locked);
    }

    void exclusiveAcrossProcesses() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        {
            test::Holder shared(path, false);
            QCOMPARE(errorOf([&] { Database::open(path, {.exclusive = true}); }), err::FileInUse);
            auto second = Database::open(path); // shared users coexist
            QVERIFY(second->isOpen());
        }
        {
            test::Holder exclusive(path, true);
            QCOMPARE(errorOf([&] { Database::open(path); }), err::OpenedExclusively);
            QCOMPARE(errorOf([&] { Database::open(path, {.exclusive = true}); }), err::OpenedExclusively);
            QString out, err;
            QCOMPARE(test::runPelldb({QStringLiteral("hold"), path}, &out, &err), 1);
            QVERIFY2(err.startsWith(QLatin1String("error 3356: ")), qPrintable(err));
        }
        // Released: an exclusive open succeeds and keeps others out, within one process too.
        auto only = Database::open(path, {.exclusive = true});
        QCOMPARE(errorOf([&] { Database::open(path); }), err::OpenedExclusively);
        only.reset();
        QVERIFY(Database::open(path)->isOpen());
    }

    void sameFileThroughLinkSharesTheLock() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        const QString link = f.path(QStringLiteral("other-name.mdb"));
        QVERIFY(QFile::link(path, link));
        auto held = Database::open(path, {.exclusive = true});
        QCOMPARE(errorOf([&] { Database::open(link); }), err::OpenedExclusively);
    }

    void readOnlyOpenRefusesWrites() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb(), {.readOnly = true});
        QCOMPARE(errorOf([&] { db->execute(QStringLiteral("DELETE FROM TOOL")); }), err::ReadOnly);
    }

    void missingTableAndField() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        QCOMPARE(errorOf([&] { db->openRecordset(QStringLiteral("NOPE")); }), err::TableNotFound);
        auto rs = db->openRecordset(QStringLiteral("user")); // table names ignore case
        QCOMPARE(errorOf([&] { rs->field(QStringLiteral("Nope")); }), err::ItemNotFound);
        QCOMPARE(errorOf([&] { rs->update(); }), err::UpdateWithoutEdit);
    }

    void recordsetWalkFindAndBookmarks() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto empty = db->openRecordset(QStringLiteral("SELECT * FROM TOOL WHERE Tool_Name = 'none'"));
        QVERIFY(empty->eof());
        QCOMPARE(errorOf([&] { empty->moveFirst(); }), err::NoCurrentRecord);

        auto rs = db->openRecordset(QStringLiteral("USER"));
        int n = 0;
        rs->moveFirst();
        while (!rs->eof()) {
            ++n;
            rs->moveNext();
        }
        QCOMPARE(n, 9);
        QCOMPARE(errorOf([&] { rs->moveNext(); }), err::NoCurrentRecord);
        rs->findFirst(Criteria::isNull(QStringLiteral("Supervisor_User_ID")));
        QVERIFY(!rs->noMatch());
        const auto mark = rs->bookmark();
        rs->findNext(Criteria::isNull(QStringLiteral("Supervisor_User_ID")));
        QVERIFY(!rs->noMatch());
        QVERIFY(rs->bookmark() != mark);
        rs->findNext(Criteria::isNull(QStringLiteral("Supervisor_User_ID")));
        QVERIFY(rs->noMatch());
        rs->setBookmark(mark);
        QCOMPARE(rs->field(QStringLiteral("User_ID")).toString(), QStringLiteral("admin"));
        // A SELECT over one table is updatable; delete through it.
        auto closed = db->openRecordset(QStringLiteral("SELECT * FROM SCR WHERE SCR_STATUS <> 'A'"));
        QVERIFY(closed->updatable());
        QCOMPARE(closed->recordCount(), 2);
    }

    void cancelledAddNewLeavesNoRow() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb());
        auto rs = db->openRecordset(QStringLiteral("LU_Priority"));
        rs->addNew();
        rs->setField(QStringLiteral("Priority"), QStringLiteral("Someday"));
        rs->cancelUpdate();
        QCOMPARE(db->scalar(QStringLiteral("SELECT count(*) FROM LU_Priority")).toInt(), 3);
        QCOMPARE(rs->editMode(), db::Recordset::EditMode::None);
    }

    void properties() {
        test::Fixture f;
        auto db = Database::open(f.makeSharedDb(), {.exclusive = true});
        QCOMPARE(errorOf([&] { db->propertyValue(QStringLiteral("Owner")); }), err::PropertyNotFound);
        db->appendProperty(
            db->createProperty(QStringLiteral("Owner"), db::PropertyTypeText, QStringLiteral("me")));
        QCOMPARE(errorOf([&] {
                     db->appendProperty(db->createProperty(QStringLiteral("owner"), db::PropertyTypeText, 1));
                 }),
                 err::AlreadyExists);
        db.reset();
        auto again = Database::open(f.state.DATABASE_PATH);
        QCOMPARE(again->propertyValue(QStringLiteral("OWNER")).toString(), QStringLiteral("me"));
        QVERIFY(!again->tableNames().contains(QStringLiteral("_pell_properties")));
    }

    void sharesWhoseLocksStayOnThisComputerAreKnown_data() {
        QTest::addColumn<long>("magic");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("safe");
        const long fuse = 0x65735546, nfs = 0x6969, cifs = 0xFF534D42, ext4 = 0xEF53;
        QTest::newRow("local disk") << ext4 << u"ext4"_qs << u"rw,relatime"_qs << true;
        QTest::newRow("sshfs") << fuse << u"fuse.sshfs"_qs << u"rw,user_id=0"_qs << false;
        QTest::newRow("other FUSE") << fuse << u"fuse.bindfs"_qs << u"rw"_qs << false;
        QTest::newRow("FUSE disk") << fuse << u"fuseblk"_qs << u"rw"_qs << true;
        QTest::newRow("glusterfs") << fuse << u"fuse.glusterfs"_qs << u"rw"_qs << true;
        QTest::newRow("NFS") << nfs << u"nfs"_qs << u"rw,vers=3,local_lock=none"_qs << true;
        QTest::newRow("NFS nolock") << nfs << u"nfs"_qs << u"rw,vers=3,nolock"_qs << false;
        QTest::newRow("NFS local locks") << nfs << u"nfs4"_qs << u"rw,local_lock=all"_qs << false;
        QTest::newRow("SMB") << cifs << u"cifs"_qs << u"rw,vers=3.0"_qs << true;
        QTest::newRow("SMB nobrl") << cifs << u"cifs"_qs << u"rw,nobrl"_qs << false;
    }
    void sharesWhoseLocksStayOnThisComputerAreKnown() {
        QFETCH(long, magic);
        QFETCH(QString, type);
        QFETCH(QString, options);
        QFETCH(bool, safe);
        QCOMPARE(db::unsafeShareReason(magic, type, options).isEmpty(), safe);
    }

    void aShareWhoseLocksStayHereIsRefusedUnlessOneUserSaysSo() {
        // A real FUSE mount of a folder: its locks never leave this computer.
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("bindfs")).isEmpty())
            QSKIP("needs root and bindfs for a FUSE mount");
        test::Fixture f;
        const QString inner = f.path(QStringLiteral("inner"));
        const QString share = f.path(QStringLiteral("share"));
        QVERIFY(QDir().mkpath(inner) && QDir().mkpath(share));
        {
            auto db = Database::create(inner + QStringLiteral("/pell.mdb"));
            db::createSharedSchema(*db);
            sample::fillSharedDatabase(*db, {});
        }
        if (QProcess::execute(QStringLiteral("bindfs"), {inner, share}) != 0)
            QSKIP("FUSE mounts are not possible here");
        const QString db = share + QStringLiteral("/pell.mdb");
        QString out, err;
        const int refused = test::runPelldb({QStringLiteral("check"), db}, &out, &err);
        const int allowed =
            test::runPelldb({QStringLiteral("check"), db, QStringLiteral("--single-user")}, &out, &err);
        ::umount2(QFile::encodeName(share).constData(), MNT_DETACH);
        QCOMPARE(refused, 1);
        QCOMPARE(allowed, 0);
        QCOMPARE(out, QStringLiteral("ok\n"));
    }

    void errorsSayWhichFileAndWhatHappened() {
        test::Fixture f;
        // A full disk names the file that could not be written.
        const QString small = f.path(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(small));
        if (::geteuid() == 0 &&
            ::mount("none", QFile::encodeName(small).constData(), "tmpfs", 0, "size=256k") == 0) {
            const QString path = small + QStringLiteral("/pell.mdb");
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
            QCOMPARE(test::runPelldbAs({46103, 46103, {}}, {QStringLiteral("purge"), path}, &out, &err), 1);
            QVERIFY2(err.startsWith(QStringLiteral("error %1: ").arg(err::FolderReadOnly)) &&
                         err.contains(path),
                     qPrintable(err));
        }
    }

    void compactRefusesExistingDestinationAndUsers() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        const QString dest = f.path(QStringLiteral("c.mdb"));
        QFile(dest).open(QIODevice::WriteOnly);
        QCOMPARE(errorOf([&] { db::files::compactDatabase(path, dest); }), err::DatabaseExists);
        QFile::remove(dest);
        {
            auto user = Database::open(path);
            QCOMPARE(errorOf([&] { db::files::compactDatabase(path, dest); }), err::FileInUse);
        }
        db::files::compactDatabase(path, dest);
        QVERIFY(db::files::checkDatabase(dest).isEmpty());
        QCOMPARE(test::scalarRaw(dest, QStringLiteral("SELECT count(*) FROM \"USER\"")).toInt(), 9);
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
