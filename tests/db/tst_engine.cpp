// The engine over real SQLite files: the error numbers the windows test, produced by real situations.
#include "db/database.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/recordset.h"
#include "support/test_support.h"

#include <QFile>
#include <QtTest>

using namespace pell;
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
        db::WriteTransaction hold(*other); // another user in the middle of a write
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

    void compactRefusesExistingDestinationAndUsers() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        const QString dest = f.path(QStringLiteral("c.mdb"));
        QFile(dest).open(QIODevice::WriteOnly);
        QCOMPARE(errorOf([&] { db::engine::compactDatabase(path, dest); }), err::DatabaseExists);
        QFile::remove(dest);
        {
            auto user = Database::open(path);
            QCOMPARE(errorOf([&] { db::engine::compactDatabase(path, dest); }), err::FileInUse);
        }
        db::engine::compactDatabase(path, dest);
        QVERIFY(db::engine::checkDatabase(dest).isEmpty());
        QCOMPARE(test::scalarRaw(dest, QStringLiteral("SELECT count(*) FROM \"USER\"")).toInt(), 9);
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
