// The replication window against real main, replica and list files: how it opens the list of replicas (and
// what it says when it cannot), the grid over that list, and its four commands.
#include "db/database.h"
#include "db/replication/replication.h"
#include "db/replication_fixture.h"
#include "platform/program_font.h"
#include "replication/CONFLICTS_FORM.h"
#include "replication/REPLICA_FORM.h"
#include "replication/conflict_text.h"
#include "replication/replica_commands.h"
#include "support/db_dump.h"
#include "support/drivers.h"
#include "support/test_support.h"
#include "widgets/data_control.h"
#include "widgets/data_grid.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableWidget>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace pell;
using namespace pell::test;
using namespace Qt::StringLiterals;

namespace {

// The rows of REPLICA in the order they were written.
QStringList listed(const QString& list) {
    const QVariant joined = scalarRaw(
        list,
        u"SELECT group_concat(Replica_Location, char(10)) FROM (SELECT Replica_Location FROM REPLICA ORDER BY rowid)"_s);
    return joined.isNull() ? QStringList{} : joined.toString().split(u'\n');
}

QStringList gridColumn(const DataGrid& grid) {
    QStringList cells;
    for (int row = 0; row < grid.recordRows(); ++row)
        cells << grid.cellText(row, 0);
    return cells;
}

bool hasCategory(const QString& db, const QString& category) {
    return num(db, u"SELECT count(*) FROM LU_Category WHERE Category = '%1'"_s.arg(category)) == 1;
}
void addCategory(const QString& db, const QString& category) {
    db::Database::open(db)->execute(u"INSERT INTO LU_Category (Category) VALUES (?1)"_s, {category});
}

// A program folder with the main database and the list (holding the given locations), and the window open
// on them; what the window showed while each box was up is kept.
struct Replication {
    struct Seen {
        bool statusShown = false;
        QString status;
        int listedRows = -1;
    };
    Fixture f;
    QString main = f.makeSharedDb();
    QString list = f.makeReplicaDb();
    std::unique_ptr<Loaded<REPLICA_FORM>> form;
    QList<Seen> seen;

    explicit Replication(const QStringList& locations = {}, bool open = true) {
        add(locations);
        if (open)
            this->open();
    }
    void add(const QStringList& locations) const {
        for (const QString& location : locations)
            execRaw(list, u"INSERT INTO REPLICA VALUES ('%1')"_s.arg(location));
    }
    void open() {
        form = std::make_unique<Loaded<REPLICA_FORM>>(f.ctx, nullptr);
        form->show();
        f.platform.onBox = [this](const ScriptedPlatform::Box&) {
            seen << Seen{!form->Label2->isHidden(), form->Label2->text(), int(listed(list).size())};
        };
    }
    QString path(const QString& name) const { return f.path(name); }
    QStringList boxes() const { return f.platform.boxTexts(); }
    QString choose(int row) const {
        form->DBGrid1->setCurrentIndex(form->DBGrid1->model()->index(row, 0));
        return form->Data1->rs().field(u"Replica_Location"_s).toString();
    }
    bool everyBoxWithDefaultPointer() const {
        return std::ranges::all_of(f.platform.boxes(),
                                   [](const auto& b) { return b.pointer == Pointer::Default; });
    }
};

const QStringList ab{u"/srv/a/replica.mdb"_s, u"/srv/b/replica.mdb"_s};

} // namespace

class TestReplicationWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listShownInOrderAndHeldExclusively() {
        Replication r({u"/srv/b/replica.mdb"_s, u"/srv/a/replica.mdb"_s, u"/srv/b/replica.mdb"_s});
        QCOMPARE(gridColumn(*r.form->DBGrid1), listed(r.list));
        QVERIFY(r.form->Data1->exclusive() && r.form->Command3->isEnabled());
        QVERIFY(r.f.platform.boxes().isEmpty());
        QCOMPARE(r.form->menuBar->actions().size(), 1);
        QCOMPARE(menuEntries(r.form->UTIL),
                 (QStringList{u"SYNC=&Syncronize with Replicas"_s, u"CREATE=&Create Replica"_s,
                              u"DELETE=&Delete Replica"_s, u"MASTER=&Make PELL database a Master"_s,
                              u"CONFLICTS=Co&nflicts..."_s, u"-FILL20"_s, u"EXIT=E&xit"_s}));
        // No one else may open the list while the window is open, not even shared; Exit lets it go.
        QCOMPARE(errorOf([&] { db::Database::open(r.list); }), err::OpenedExclusively);
        r.form->EXIT->trigger();
        QVERIFY(r.form->isUnloaded() && !r.form->Data1->isOpen());
        QVERIFY(db::Database::open(r.list, {.exclusive = true}));
    }

    void aListHeldElsewhereOpensSharedWithoutTheMasterButton() {
        Replication r({ab.first()}, false);
        Holder other(r.list, true);
        r.open();
        QCOMPARE(r.boxes(), QStringList{u"Database is in use.  Unable to open exclusively"_s});
        const auto& box = r.f.platform.boxes().first();
        QVERIFY(box.buttons == Buttons::OkOnly && box.icon == Icon::None && box.title == AppTitle);
        QVERIFY(!r.form->Data1->exclusive() && !r.form->Command3->isEnabled() && r.form->MASTER->isEnabled());
        QVERIFY(r.form->Command1->isEnabled() && r.form->Command2->isEnabled() &&
                r.form->Command4->isEnabled());
        // The other holder keeps the file to itself, so the shared list stays empty.
        QCOMPARE(r.form->DBGrid1->recordRows(), 0);
        r.f.platform.clear();
        r.form->Command1->click(); // the picture button synchronizes as the menu does
        QCOMPARE(r.boxes(), QStringList{u"No replicas found"_s});
        // Make master from the menu: the list cannot take its row, which goes unreported.
        r.f.platform.clear();
        r.form->MASTER->trigger();
        QCOMPARE(r.boxes(), QStringList{u"Database has been made a replicable master"_s});
        QVERIFY(db::Database::open(r.main)->isReplicable());
        // Once the other copy has let go, the shared list opens and the master button stays disabled.
        other.release();
        r.form->Data1->refresh();
        r.form->DBGrid1->reload();
        QCOMPARE(gridColumn(*r.form->DBGrid1), QStringList{ab.first()});
        QVERIFY(!r.form->Data1->database()->exclusive() && !r.form->Command3->isEnabled());
        QVERIFY(db::Database::open(r.list)); // shared users may work beside it
    }

    void otherOpenFailuresShowNumberAndText() {
        {
            Replication r({}, false);
            r.f.state.REPLICADB_PATH = r.path(u"missing.mdb"_s);
            r.open();
            QCOMPARE(
                r.boxes(),
                QStringList{u" 3024:"_s + Error::make(err::FileNotFoundDb, r.f.state.REPLICADB_PATH).text()});
            QVERIFY(!r.form->isUnloaded() && r.form->Command3->isEnabled());
            QCOMPARE(r.form->DBGrid1->recordRows(), 0);
            QVERIFY(!QFile::exists(r.f.state.REPLICADB_PATH));
            r.f.platform.clear(); // every command still runs on the missing list
            r.form->SYNC_Click();
            QCOMPARE(r.boxes(), QStringList{u"No replicas found"_s});
        }
        // Used by another program that does not hold it exclusively: refused with a number other than 3356.
        Replication r({}, false);
        Holder other(r.list, false);
        r.open();
        QVERIFY(r.boxes().size() == 1 && r.boxes().first().startsWith(u" 3045:"_s));
        QVERIFY(r.form->Command3->isEnabled() && !r.form->Data1->isOpen());
    }

    void gridEditsStoredOnRowChangeEnterTabAndClose() {
        Replication r(ab);
        DataGrid* grid = r.form->DBGrid1;
        QVERIFY(QTest::qWaitForWindowActive(r.form.get()));
        QVERIFY(typeInto(grid, 0, u"/srv/c/renamed.mdb"_s));
        // Nothing is written while the cell is being typed in; moving to another row stores it.
        QCOMPARE(listed(r.list).first(), ab.first());
        grid->setCurrentIndex(grid->model()->index(1, 0));
        QCOMPARE(listed(r.list), (QStringList{u"/srv/c/renamed.mdb"_s, ab.last()}));
        QCOMPARE(gridColumn(*grid), listed(r.list));
        QCOMPARE(grid->currentRecordRow(), 1);
        QLineEdit* editor = typeInto(grid, 1, u"/srv/b/moved.mdb"_s);
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(listed(r.list).last(), u"/srv/b/moved.mdb"_s);
        // Tab leaves the grid for the buttons; from a cell being typed in it stores the text first.
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(0, 0));
        QStringList order;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order,
                 (QStringList{u"Command1"_s, u"Command2"_s, u"Command4"_s, u"Command3"_s, u"DBGrid1"_s}));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), r.form->Command3);
        grid->setFocus();
        editor = typeInto(grid, 1, u"/srv/b/typed.mdb"_s);
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), r.form->Command1);
        QCOMPARE(listed(r.list).last(), u"/srv/b/typed.mdb"_s);
        // A cell still open when the window closes is saved, as the data source saves a pending edit.
        QVERIFY(typeInto(grid, 1, u"/srv/b/closed.mdb"_s));
        r.form->EXIT_Click();
        QVERIFY(r.form->isUnloaded() && r.f.platform.boxes().isEmpty());
        QCOMPARE(listed(r.list), (QStringList{u"/srv/c/renamed.mdb"_s, u"/srv/b/closed.mdb"_s}));
    }

    void gridNeitherAddsNorDeletesAndDropsAVanishedRow() {
        Replication r(ab + QStringList{u"/srv/c/replica.mdb"_s});
        DataGrid* grid = r.form->DBGrid1;
        QCOMPARE(grid->model()->rowCount(), 3); // no row waiting for a new record
        QVERIFY(!grid->model()->insertRows(3, 1) && !grid->model()->removeRows(0, 1));
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(1, 0));
        for (const Qt::Key key : {Qt::Key_Delete, Qt::Key_Down, Qt::Key_Insert})
            QTest::keyClick(grid, key);
        QCOMPARE(listed(r.list).size(), 3); // and no box, as the only one below shows
        QCOMPARE(r.choose(2), u"/srv/c/replica.mdb"_s);
        // Another program removes a row; editing it tells why nothing was stored and the grid drops the row.
        execRaw(r.list, u"DELETE FROM REPLICA WHERE Replica_Location = '/srv/a/replica.mdb'"_s);
        QVERIFY(!grid->model()->setData(grid->model()->index(0, 0), u"/srv/a/renamed.mdb"_s));
        QCOMPARE(r.boxes(), QStringList{Error::make(err::RecordDeleted).text()});
        QTRY_COMPARE(gridColumn(*grid), listed(r.list));
        QCOMPARE(listed(r.list), (QStringList{ab.last(), u"/srv/c/replica.mdb"_s}));
    }

    void makeMasterFirstAndSecondRun() {
        Replication r;
        r.form->Command3->click();
        QCOMPARE(r.boxes(), QStringList{u"Database has been made a replicable master"_s});
        QCOMPARE(r.seen.first().listedRows, 0); // the row follows the message
        QCOMPARE(listed(r.list), QStringList{r.main});
        QCOMPARE(gridColumn(*r.form->DBGrid1), listed(r.list));
        QVERIFY(db::Database::open(r.main)->isReplicable());
        r.f.platform.clear();
        r.seen.clear();
        r.form->MASTER->trigger();
        QCOMPARE(r.boxes(), QStringList{u"Database is already replicable"_s});
        QCOMPARE(r.seen.first().listedRows, 2); // here the row comes first
        QCOMPARE(listed(r.list), (QStringList{r.main, r.main}));
        QVERIFY(r.everyBoxWithDefaultPointer());
        QVERIFY(db::Database::open(r.main, {.exclusive = true})); // the main database is let go
    }

    void createCancelledBlankReferencedRefusedThenMade() {
        Replication r;
        r.f.platform.queueInput({});
        r.form->Command2->click();
        QCOMPARE(r.f.platform.inputPrompts(),
                 QStringList{u"Please specify the name and location of the replica"_s});
        QVERIFY(r.f.platform.boxes().isEmpty() && listed(r.list).isEmpty());
        // A blank name answered No is referenced as it is.
        r.f.platform.queueInput(u" "_s);
        r.f.platform.queueAnswer(Answer::No);
        r.form->CREATE->trigger();
        const auto& question = r.f.platform.boxes().first();
        QCOMPARE(
            question.text,
            u"Would you like to generate a new database? (Select No to reference an existing database)"_s);
        QVERIFY(question.title == u"Generate New?"_s && question.buttons == Buttons::YesNo);
        QCOMPARE(listed(r.list), QStringList{u" "_s});
        QCOMPARE(gridColumn(*r.form->DBGrid1), QStringList{u" "_s});
        // Generated from a database that is no master yet: the engine's refusal, no row, no file.
        const QString location = r.path(u"branch.mdb"_s);
        const QString refusal = errorText([&] { db::Database::open(r.main)->makeReplica(location, u"x"_s); });
        r.f.platform.clear();
        r.f.platform.queueInput(location);
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->CREATE_Click();
        QCOMPARE(r.boxes().mid(1), QStringList{refusal});
        QVERIFY(!QFile::exists(location)); // nor a row, as the list at the end shows
        makeMaster(r.main);
        // Onto an existing folder: said as such, not as a path whose folder does not exist.
        r.f.platform.clear();
        r.f.platform.queueInput(r.f.dir.path());
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->CREATE_Click();
        QCOMPARE(r.boxes().mid(1), QStringList{r.f.dir.path() +
                                               u" is a folder: name the replica's file in it, "
                                               u"for instance "_s +
                                               r.f.dir.path() + u"/site2.mdb"_s});
        r.f.platform.clear();
        r.seen.clear();
        r.f.platform.queueInput(location);
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->Command2->click();
        QCOMPARE(r.boxes().last(), u"Replica has been created"_s);
        QCOMPARE(r.seen.last().listedRows, 1); // the row is added after the message
        QCOMPARE(listed(r.list), (QStringList{u" "_s, location}));
        QVERIFY(r.everyBoxWithDefaultPointer() && r.f.platform.pointerHistory().contains(Pointer::Hourglass));
        QCOMPARE(db::replication::identity(*db::Database::open(location)).description,
                 u"replica of "_s + location);
        QCOMPARE(scalarRaw(location, u"SELECT count(*) FROM USER"_s),
                 scalarRaw(r.main, u"SELECT count(*) FROM USER"_s));
    }

    void syncWalksTheListPastFailuresAndTheMainDatabase() {
        // A missing replica, a case variant of the main database's name, and the main database itself by
        // its own path and by another: each failure is told, the master's own row is passed over quietly,
        // and the loop goes on to the real replicas.
        Replication r({}, false);
        makeMaster(r.main);
        const QString first = r.path(u"first.mdb"_s), missing = r.path(u"missing.mdb"_s),
                      third = r.path(u"third.mdb"_s), variant = r.path(u"PELL.MDB"_s),
                      alias = r.f.dir.path() + u"/./pell.mdb"_s;
        makeReplica(r.main, first);
        makeReplica(r.main, third);
        r.add({first, missing, variant, alias, r.main, third});
        addCategory(r.main, u"FromMain"_s);
        addCategory(first, u"FromFirst"_s);
        addCategory(third, u"FromThird"_s);
        const QVariant users = scalarRaw(r.main, u"SELECT count(*) FROM USER"_s);
        r.open();
        r.form->SYNC->trigger();
        const auto failure = [&](const QString& other) {
            return errorText([&] { db::Database::open(r.main)->synchronize(other); });
        };
        QCOMPARE(r.boxes(), (QStringList{failure(missing), failure(variant),
                                         Error::make(err::SyncWithSelf, alias).text(),
                                         u"Databases have been syncronized"_s}));
        QVERIFY(failure(variant) != u"<no error>"_s);
        QStringList status;
        for (const auto& seen : r.seen)
            status << (seen.statusShown ? seen.status : u"hidden"_s);
        QCOMPARE(status, (QStringList{u"Syncronizing "_s + missing, u"Syncronizing "_s + variant,
                                      u"Syncronizing "_s + alias, u"Syncronizing "_s + third}));
        QVERIFY(r.form->Label2->isHidden() && r.everyBoxWithDefaultPointer());
        // First and third exchanged in that order, both ways; the main database is whole.
        QVERIFY(hasCategory(r.main, u"FromFirst"_s) && hasCategory(r.main, u"FromThird"_s));
        QVERIFY(hasCategory(first, u"FromMain"_s) && !hasCategory(first, u"FromThird"_s));
        QVERIFY(hasCategory(third, u"FromMain"_s) && hasCategory(third, u"FromFirst"_s));
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(scalarRaw(r.main, u"SELECT count(*) FROM USER"_s), users);
        QCOMPARE(str(r.main, u"PRAGMA integrity_check"_s), u"ok"_s);
        QCOMPARE(listed(r.list).size(), 6);
        r.form->SYNC_Click(); // a second run brings the third's change to the first as well
        QVERIFY(hasCategory(first, u"FromThird"_s));
        // Both sides changed one row: the closing box counts the conflict and says where to see it.
        execRaw(first, u"UPDATE TOOL SET Tool_EXE='onFirst' WHERE Tool_Name='Calculator'"_s);
        execRaw(r.main, u"UPDATE TOOL SET Tool_EXE='onMain' WHERE Tool_Name='Calculator'"_s);
        r.f.platform.clear();
        r.form->SYNC_Click();
        QCOMPARE(r.boxes().last(),
                 u"Databases have been syncronized\n\n1 conflict(s) logged: see Utilities > "
                 u"Conflicts... (or pelldb conflicts)"_s);
    }

    void aReplicaBehindSshIsCreatedListedSynchronizedAndItsFailuresTold() {
        // The far side runs here: a stand-in for ssh drops its words and runs the remote command, so the
        // window drives the real pelldb serve through the real pipe.
        Replication r({}, false);
        makeMaster(r.main);
        const LocalTunnel tunnel(r.f.dir.path());
        r.open();
        const QString far = r.path(u"far.mdb"_s);
        const QString location = u"ssh://branch.example.org:2222"_s + far;
        r.f.platform.queueInput(location);
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->CREATE_Click();
        QCOMPARE(r.boxes().last(), u"Replica has been created"_s);
        QCOMPARE(listed(r.list), QStringList{location});
        QCOMPARE(db::replication::identity(*db::Database::open(far)).description,
                 u"replica of "_s + location);
        // Made again onto the same place: refused there, said here with the location.
        r.f.platform.clear();
        r.f.platform.queueInput(location);
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->CREATE_Click();
        QVERIFY2(r.boxes().last().contains(u"already exists"_s) && r.boxes().last().contains(location),
                 qPrintable(r.boxes().last()));
        addCategory(far, u"FromFar"_s);
        addCategory(r.main, u"FromMain"_s);
        r.f.platform.clear();
        r.form->SYNC_Click();
        QCOMPARE(r.boxes(), QStringList{u"Databases have been syncronized"_s});
        QVERIFY(hasCategory(r.main, u"FromFar"_s) && hasCategory(far, u"FromMain"_s));
        // No pelldb on the far side: the reason, naming the location, and never "synchronized" alone.
        qputenv("PELL_REMOTE_PELLDB", "/nonexistent/pelldb");
        addCategory(r.main, u"Unsent"_s);
        r.f.platform.clear();
        r.form->SYNC_Click();
        QCOMPARE(r.boxes().size(), 2);
        QVERIFY2(r.boxes().first().startsWith(Error::make(err::RemoteProgram, location).text()) &&
                     r.boxes().first().endsWith(u"/nonexistent/pelldb: not found"_s),
                 qPrintable(r.boxes().first()));
        QVERIFY(!hasCategory(far, u"Unsent"_s));
    }

    void removeWithNoThenYesTouchesOnlyTheListAndARowAddedAfterItWorks() {
        Replication r({}, false);
        const QString kept = r.path(u"kept.mdb"_s), dropped = r.path(u"dropped.mdb"_s);
        r.add({kept, dropped, r.main});
        writeFile(dropped, "replica file");
        r.open();
        r.choose(1);
        r.f.platform.queueAnswer(Answer::No);
        r.form->DELETE->trigger();
        const QString question = u"Remove Replica Reference to "_s + dropped + u'?';
        QCOMPARE(r.boxes(), QStringList{question});
        QCOMPARE(listed(r.list), (QStringList{kept, dropped, r.main}));
        r.f.platform.clear();
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->Command4->click();
        QCOMPARE(r.boxes(), (QStringList{question, u"Reference to replica has been removed"_s}));
        QVERIFY(r.f.platform.boxes().first().title == u"Remove Replica Reference"_s &&
                r.f.platform.boxes().first().buttons == Buttons::YesNo);
        QCOMPARE(listed(r.list), (QStringList{kept, r.main}));
        QCOMPARE(gridColumn(*r.form->DBGrid1), listed(r.list));
        QVERIFY(QFile::exists(dropped)); // only the reference goes
        // The master's own row, the last, may go like any other.
        r.choose(1);
        r.f.platform.queueAnswer(Answer::Yes);
        r.form->DELETE_Click();
        QCOMPARE(listed(r.list), QStringList{kept});
        // The engine gives a removed row's number to the next one added: it can be chosen, edited, removed.
        const QString added = r.path(u"added.mdb"_s), edited = r.path(u"edited.mdb"_s);
        r.f.platform.queueInput(added);
        r.f.platform.queueAnswer(Answer::No); // record an existing database
        r.form->CREATE->trigger();
        QCOMPARE(gridColumn(*r.form->DBGrid1), (QStringList{kept, added}));
        QCOMPARE(r.choose(0) + u'|' + r.choose(1), kept + u'|' + added);
        QVERIFY(r.form->DBGrid1->model()->setData(r.form->DBGrid1->model()->index(1, 0), edited));
        QCOMPARE(listed(r.list), (QStringList{kept, edited}));
        r.f.platform.clear();
        r.form->DELETE->trigger(); // the question's first button, Yes, answers
        QCOMPARE(r.boxes(), (QStringList{u"Remove Replica Reference to "_s + edited + u'?',
                                         u"Reference to replica has been removed"_s}));
        QCOMPARE(listed(r.list), QStringList{kept});
        QCOMPARE(gridColumn(*r.form->DBGrid1), listed(r.list));
    }

    void aConflictIsSeenAndItsLostVersionRestoredEverywhere() {
        // Two replicas change the same user, the window synchronizes, Alt+U N opens the conflicts, both
        // versions stand side by side, the lost one is restored and synchronized again: every member holds
        // it.
        Replication r({}, false);
        makeMaster(r.main);
        const QString r1 = r.path(u"r1.mdb"_s), r2 = r.path(u"r2.mdb"_s);
        makeReplica(r.main, r1);
        makeReplica(r.main, r2);
        r.add({r1, r2});
        const QString rename =
            u"UPDATE \"USER\" SET User_Name='%1', User_Password='%1pw' WHERE User_ID='guest'"_s;
        execRaw(r1, rename.arg(u"first"_s));
        QTest::qWait(5);
        execRaw(r2, rename.arg(u"second"_s));
        r.open();
        r.form->SYNC->trigger();

        bool seen = false;
        whenModal<CONFLICTS_FORM>([&](CONFLICTS_FORM* conflicts) {
            // However the checks end, the window closes, so a failure cannot hang the test.
            const auto close = qScopeGuard([conflicts] { conflicts->Command3->click(); });
            QCOMPARE(conflicts->List1->model()->rowCount(), 1);
            QCOMPARE(conflicts->List1->model()->index(0, 1).data().toString(), u"USER"_s);
            QCOMPARE(conflicts->List1->model()->index(0, 3).data().toString(), u"changed in two replicas"_s);
            QStringList rows;
            for (int row = 0; row < conflicts->Grid1->rowCount(); ++row)
                rows << conflicts->Grid1->item(row, 0)->text() + u'=' +
                            conflicts->Grid1->item(row, 1)->text() + u'/' +
                            conflicts->Grid1->item(row, 2)->text();
            // The differing columns first and marked, the passwords masked; values as the user editor shows
            // them: text as it is, yes/no columns as Yes or No.
            QCOMPARE(rows.mid(0, 3),
                     (QStringList{u"\u2260 User_Name=second/first"_s,
                                  u"\u2260 User_Password=********/*******"_s, u"User_ID=guest/guest"_s}));
            QVERIFY2(rows.contains(u"Full_Access=No/No"_s), qPrintable(rows.join(u'|')));
            r.f.platform.clear();
            r.f.platform.queueAnswer(Answer::Yes);
            conflicts->Command2->click();
            QCOMPARE(r.f.platform.boxes().first().title, u"Restore the Lost Version"_s);
            QCOMPARE(r.f.platform.boxes().last().text,
                     u"The lost version of USER guest has been restored; the other members receive it "
                     u"with the next synchronization"_s);
            QCOMPARE(conflicts->List1->model()->rowCount(), 0);
            QVERIFY(!conflicts->Command2->isEnabled());
            // With nothing open left to choose, Keep and Restore only beep.
            conflicts->KEEP_Click();
            conflicts->RESTORE_Click();
            QCOMPARE(r.f.platform.beeps(), 2);
            seen = true;
        });
        // pelldb lists it as the window shows it: the differing columns marked, the passwords masked.
        QString out;
        QCOMPARE(runPelldb({u"conflicts"_s, r.main}, &out), 0);
        QVERIFY2(out.contains(u"\n  * User_Name: kept second | lost first\n"
                              u"  * User_Password: kept ******** | lost *******\n"
                              u"    User_ID: guest\n"_s) &&
                     out.contains(u"\n    Full_Access: No\n"_s) && !out.contains(u"pw"_s),
                 qPrintable(out));
        QVERIFY(runPelldb({u"conflicts"_s, r.main, u"--json"_s}, &out) == 0 && out.contains(u"secondpw"_s));
        r.form->activateWindow();
        QTest::keyClick(r.form.get(), Qt::Key_U, Qt::AltModifier);
        QTest::keyClick(r.form->UTIL, Qt::Key_N);
        QTRY_VERIFY(seen);
        r.form->SYNC->trigger();
        r.form->SYNC->trigger();
        for (const QString& file : {r.main, r1, r2})
            QCOMPARE(
                str(file, u"SELECT User_Name || '/' || User_Password FROM \"USER\" WHERE User_ID='guest'"_s),
                u"first/firstpw"_s);
    }

    void enterInTheGridNeverSynchronizes() {
        // The focus has been on every picture button, then a location is typed with F2 and ended with Enter,
        // and Enter is pressed again: the text is stored and no command runs.
        Replication r(ab);
        r.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(r.form.get()));
        DataGrid* grid = r.form->DBGrid1;
        for (QPushButton* button : {r.form->Command1, r.form->Command2, r.form->Command4, r.form->Command3})
            button->setFocus(Qt::TabFocusReason);
        grid->setFocus(Qt::TabFocusReason);
        grid->setCurrentIndex(grid->model()->index(0, 0));
        QTest::keyClick(grid, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, u"/srv/typed.mdb"_s);
        for (int twice = 0; twice < 2; ++twice) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QTest::qWait(20); // keystrokes apart, as typed
        }
        QCOMPARE(QApplication::focusWidget(), grid);
        QTRY_COMPARE(listed(r.list).first(), u"/srv/typed.mdb"_s);
        QVERIFY2(r.boxes().isEmpty() && r.f.platform.inputPrompts().isEmpty(),
                 qPrintable(r.boxes().join(u'/')));
        for (QPushButton* button : r.form->findChildren<QPushButton*>())
            QVERIFY(!button->isDefault());
    }

    void fiveHundredConflictsSettledByKeyboardInOrder() {
        Fixture f;
        const QString main = f.makeSharedDb(), other = f.path(u"other.mdb"_s);
        makeMaster(main);
        execRaw(main, fillSql(u"\"USER\""_s, 500,
                              u"printf('u%03d', i), 'name ' || i, NULL, 0, 0, 0, 0, 0, 0, 'admin'"_s));
        makeReplica(main, other);
        execRaw(main, u"UPDATE \"USER\" SET User_Name = User_Name || ' here' WHERE User_ID LIKE 'u%'"_s);
        QTest::qWait(5);
        execRaw(other, u"UPDATE \"USER\" SET User_Name = User_Name || ' there' WHERE User_ID LIKE 'u%'"_s);
        sync(main, other);
        QCOMPARE(num(main, u"SELECT count(*) FROM _pell_conflicts WHERE state = 'open'"_s), 500);

        Loaded<CONFLICTS_FORM> window(f.ctx, nullptr);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(window.Label2->text(), u"500 open conflicts"_s);
        const auto* model = window.List1->model();
        QStringList order; // the keys as listed
        for (int row = 0; row < model->rowCount(); ++row)
            order << model->index(row, 2).data().toString();
        QCOMPARE(order.size(), 500);
        QVERIFY(order.first().startsWith(u'u')); // the key as text, not ["u001"]
        const auto chosen = [&] { return window.List1->currentIndex().siblingAtColumn(2).data().toString(); };
        QCOMPARE(chosen(), order.first());
        // Tab from the check box through every control and back.
        window.Check1->setFocus(Qt::TabFocusReason);
        QStringList tabs;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            tabs << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(tabs, (QStringList{u"List1"_s, u"Grid1"_s, u"Text1"_s, u"Command1"_s, u"Command2"_s,
                                    u"Command3"_s, u"Check1"_s}));
        // Keep asks first, and No leaves the conflict open and chosen; so does Restore.
        f.platform.queueAnswer(Answer::No);
        QTest::keyClick(&window, Qt::Key_K, Qt::AltModifier);
        QTRY_COMPARE(f.platform.boxes().size(), 1);
        const ScriptedPlatform::Box keep = f.platform.boxes().first();
        QVERIFY2(keep.buttons == Buttons::YesNo && keep.text.contains(u"USER "_s + order.first()) &&
                     keep.text.contains(u"cannot be undone"_s),
                 qPrintable(keep.text));
        f.platform.clear();
        f.platform.queueAnswer(Answer::No);
        QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(f.platform.boxes().first().buttons, Buttons::YesNo);
        QCOMPARE(chosen(), order.first());
        QCOMPARE(num(main, u"SELECT count(*) FROM _pell_conflicts WHERE state = 'open'"_s), 500);
        // Keep and Restore in turn, each pressed with Enter and answered Yes: the next conflict in the list
        // is chosen every time, and the focus stays on the buttons.
        window.Command1->setFocus(Qt::TabFocusReason);
        QStringList wrong;
        for (int i = 0; i < 500; ++i) {
            if (chosen() != order[i])
                wrong << u"%1: %2 chosen instead of %3"_s.arg(i).arg(chosen(), order[i]);
            f.platform.clear();
            f.platform.queueAnswer(Answer::Yes);
            if (i % 2)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* pressed = QApplication::focusWidget();
            if (pressed != (i % 2 ? window.Command2 : window.Command1))
                wrong << u"%1: focus on %2"_s.arg(i).arg(pressed->objectName());
            QTest::keyClick(pressed, Qt::Key_Return);
            if (window.Label2->text() != conflict_text::openCount(499 - i))
                wrong << u"%1: %2"_s.arg(i).arg(window.Label2->text());
            if (i % 2 && i < 499)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
            if (wrong.size() > 5)
                break;
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
        QCOMPARE(window.Label2->text(), u"No open conflicts"_s);
        QVERIFY(!window.Command1->isEnabled() && !window.Command2->isEnabled());
        QCOMPARE(
            str(main,
                u"SELECT group_concat(n) FROM (SELECT state || ' ' || count(*) AS n FROM _pell_conflicts "
                "GROUP BY state ORDER BY state)"_s),
            u"kept 250,restored 250"_s);
        // The closed ones come back with the check box, each with its decision.
        QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(model->rowCount(), 500);
        QCOMPARE(model->index(0, 5).data().toString() + model->index(1, 5).data().toString(),
                 u"KeptRestored"_s);
    }

    void aLongValueIsReadWholeAndCopied() {
        Fixture f;
        const QString main = f.makeSharedDb(), other = f.path(u"other.mdb"_s);
        makeMaster(main);
        makeReplica(main, other);
        QString here, there;
        for (int i = 0; here.size() < 3000; ++i) {
            here += u"/opt/here/%1"_s.arg(i, 4, 10, QChar(u'0'));
            there += u"/opt/away/%1"_s.arg(i, 4, 10, QChar(u'0'));
        }
        here.truncate(3000);
        there.truncate(3000);
        execRaw(main,
                u"UPDATE TOOL SET Tool_EXE = '%1', Tool_Param_User_ID = NULL WHERE Tool_Name = 'Calculator'"_s
                    .arg(here));
        QTest::qWait(5);
        execRaw(other, u"UPDATE TOOL SET Tool_EXE = '%1' WHERE Tool_Name = 'Calculator'"_s.arg(there));
        sync(main, other);
        const QString lost =
            str(main, u"SELECT Tool_EXE FROM TOOL WHERE Tool_Name = 'Calculator'"_s) == here ? there : here;
        const QString kept = lost == here ? there : here;

        Loaded<CONFLICTS_FORM> window(f.ctx, nullptr);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        // A window of the program's scale, size and face.
        QVERIFY(window.minimumSize() == window.maximumSize());
        QVERIFY(window.frameGeometry().width() <= 800 && window.frameGeometry().height() <= 600);
        QCOMPARE(QFontInfo(window.Grid1->font()).family(), QFontInfo(programFont()).family());
        QCOMPARE(window.Grid1->font().pointSizeF(), programFont().pointSizeF());
        QCOMPARE(window.Label2->text(), u"1 open conflict"_s);
        QCOMPARE(window.List1->model()->index(0, 2).data().toString(), u"Calculator"_s);
        QTableWidget* grid = window.Grid1;
        QStringList rows;
        for (int row = 0; row < grid->rowCount(); ++row)
            rows << grid->item(row, 0)->text() + u'=' + grid->item(row, 1)->text().left(12) + u'/' +
                        grid->item(row, 2)->text().left(12);
        // Null reads as nothing, a yes/no column as Yes or No.
        QCOMPARE(rows.value(0), u"\u2260 Tool_EXE="_s + kept.left(12) + u'/' + lost.left(12));
        QVERIFY2(rows.value(1) == u"\u2260 Tool_Param_User_ID=No/"_s ||
                     rows.value(1) == u"\u2260 Tool_Param_User_ID=/No"_s,
                 qPrintable(rows.join(u'|')));
        QVERIFY2(rows.contains(u"Tool_Access_Screen=Yes/Yes"_s), qPrintable(rows.join(u'|')));
        // By keyboard: Tab to the grid, where the lost version of the first differing column is chosen and
        // stands whole below; the arrows choose the kept one; Ctrl+C copies the chosen value whole.
        window.Check1->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), grid);
        QCOMPARE(window.Text1->toPlainText(), lost);
        QTest::keyClick(grid, Qt::Key_Left);
        QCOMPARE(window.Text1->toPlainText(), kept);
        QVERIFY(grid->currentItem()->toolTip().contains(kept));
        QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), kept);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(grid, Qt::Key_Left); // the column's name: both of its values
        QCOMPARE(window.Text1->toPlainText(), u"Version kept: "_s + kept + u"\nVersion lost: "_s + lost);
        QTest::keyClick(grid, Qt::Key_Right);
        QTest::keyClick(grid, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Text1);
        QTest::keyClick(window.Text1, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window.Text1, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), kept);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void aDatabaseNeverMadeAMasterShowsWhyItsListIsEmpty() {
        Fixture f;
        f.makeSharedDb();
        Loaded<CONFLICTS_FORM> window(f.ctx, nullptr);
        QVERIFY(!window.loadFailed());
        window.show();
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(window.List1->model()->rowCount(), 0);
        QCOMPARE(window.Label2->text(), u"No open conflicts"_s);
        QVERIFY2(window.Label1->text().contains(u"never been made a replicable master"_s),
                 qPrintable(window.Label1->text()));
        QVERIFY(!window.Command1->isEnabled() && !window.Command2->isEnabled());
        window.Check1->click(); // the closed ones: none either, and still no error
        QVERIFY(f.platform.boxes().isEmpty() && window.Label1->text().contains(u"never"_s));
        // F1 opens the window's topic, as in every window.
        QTest::keyClick(&window, Qt::Key_F1);
        QCOMPARE(f.platform.launches().size(), 1);
        QVERIFY(f.platform.launches().first().arguments.contains(u"35"_s));
    }
};

QTEST_MAIN(TestReplicationWindow)
#include "tst_replication_window.moc"
