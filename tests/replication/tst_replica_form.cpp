// The replication window: its layout, how it opens the list of replicas (and what it says when it cannot),
// and the grid over that list.
#include "replica_fixture.h"
#include "replication/replica_commands.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

using namespace pell;

class TestReplicaForm : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void menuEntriesAndTheirHandlers();
    void listShownInOrderAndHeldExclusively();
    void secondHolderGivesInUseAndSharedMode();
    void otherOpenFailuresShowNumberAndText();
    void openFailureTextKeepsTheSignPosition();
    void gridEditStoredOnRowChangeEnterAndClose();
    void gridNeitherAddsNorDeletes();
    void gridChoiceMakesTheRecordCurrent();
    void aRowAddedAfterARemovalCanBeChosenEditedAndRemoved();
    void tabLeavesTheGridForTheButtons();
};

void TestReplicaForm::menuEntriesAndTheirHandlers() {
    test::Fixture f;
    f.makeSharedDb();
    f.makeReplicaDb();
    auto* form = new Loaded<REPLICA_FORM>(f.ctx, nullptr);
    QPointer<REPLICA_FORM> guard(form);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();

    const QList<QAction*> menus = form->menuBar->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus[0]->text(), QStringLiteral("&Utilities"));
    QStringList entries;
    for (QAction* a : form->UTIL->actions())
        entries << (a->isSeparator() ? QString(u'-' + a->objectName())
                                     : QString(a->objectName() + u'=' + a->text()));
    QCOMPARE(entries,
             (QStringList{QStringLiteral("SYNC=&Syncronize with Replicas"),
                          QStringLiteral("CREATE=&Create Replica"), QStringLiteral("DELETE=&Delete Replica"),
                          QStringLiteral("MASTER=&Make PELL database a Master"), QStringLiteral("-FILL20"),
                          QStringLiteral("EXIT=E&xit")}));

    // Exit closes the window and with it the list, which another program can then open exclusively.
    form->EXIT->trigger();
    QTRY_VERIFY(guard.isNull());
    QVERIFY(db::Database::open(f.state.REPLICADB_PATH, {.exclusive = true}));
}

void TestReplicaForm::listShownInOrderAndHeldExclusively() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    {
        Loaded<REPLICA_FORM> form(f.ctx, nullptr);
        QCOMPARE(test::gridColumn(*form.DBGrid1),
                 (QStringList{QStringLiteral("/srv/b/replica.mdb"), QStringLiteral("/srv/a/replica.mdb"),
                              QStringLiteral("/srv/b/replica.mdb")}));
        QVERIFY(form.Data1->exclusive());
        QVERIFY(form.Command3->isEnabled());
        QVERIFY(f.platform.boxes().isEmpty());
        // No one else may open the list while the window is open, not even shared.
        try {
            db::Database::open(list);
            QFAIL("the list was opened beside the window");
        } catch (const Error& error) {
            QCOMPARE(error.number(), err::OpenedExclusively);
        }
        form.unload();
        QVERIFY(form.isUnloaded());
        QVERIFY(!form.Data1->isOpen());
    }
    QVERIFY(db::Database::open(list, {.exclusive = true}));
}

void TestReplicaForm::secondHolderGivesInUseAndSharedMode() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::Holder other(list, true);

    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Database is in use.  Unable to open exclusively")});
    const auto& box = f.platform.boxes().first();
    QCOMPARE(box.buttons, Buttons::OkOnly);
    QCOMPARE(box.icon, Icon::None);
    QCOMPARE(box.title, QStringLiteral("Pell Admin"));
    QVERIFY(!form.Data1->exclusive());
    QVERIFY(!form.Command3->isEnabled());
    QVERIFY(form.MASTER->isEnabled());
    QVERIFY(form.Command1->isEnabled() && form.Command2->isEnabled() && form.Command4->isEnabled());
    QVERIFY(!form.isUnloaded());
    // The other holder keeps the file to itself, so the shared list stays empty.
    QCOMPARE(form.DBGrid1->recordRows(), 0);
    f.platform.clear();
    form.SYNC->trigger();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("No replicas found")});

    // Once the other copy has let go, the shared list opens and the master button stays disabled.
    other.release();
    form.Data1->refresh();
    form.DBGrid1->reload();
    QCOMPARE(test::gridColumn(*form.DBGrid1), QStringList{QStringLiteral("/srv/a/replica.mdb")});
    QVERIFY(!form.Data1->database()->exclusive());
    QVERIFY(!form.Command3->isEnabled());
    QVERIFY(db::Database::open(list)); // shared users may work beside it
}

void TestReplicaForm::otherOpenFailuresShowNumberAndText() {
    {
        test::Fixture f;
        f.makeSharedDb();
        f.state.REPLICADB_PATH = f.path(QStringLiteral("missing.mdb"));
        Loaded<REPLICA_FORM> form(f.ctx, nullptr);
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral(" 3024:") +
                             Error::make(err::FileNotFoundDb, f.state.REPLICADB_PATH).text()});
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));
        QVERIFY(!form.isUnloaded());
        QVERIFY(form.Command3->isEnabled());
        QCOMPARE(form.DBGrid1->recordRows(), 0);
        QVERIFY(!QFile::exists(f.state.REPLICADB_PATH));
        // Every command still runs on the missing list.
        f.platform.clear();
        form.SYNC_Click();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("No replicas found")});
    }
    {
        // Used by another program that does not hold it exclusively: the exclusive open is refused with a
        // number other than 3356, so the window says so and stays exclusive-minded.
        test::Fixture f;
        const QString list = f.makeReplicaDb();
        test::Holder other(list, false);
        Loaded<REPLICA_FORM> form(f.ctx, nullptr);
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().first().startsWith(QStringLiteral(" 3045:")));
        QVERIFY(form.Command3->isEnabled());
        QVERIFY(!form.Data1->isOpen());
    }
}

void TestReplicaForm::openFailureTextKeepsTheSignPosition() {
    QCOMPARE(replica::openFailureText(3044, QStringLiteral("Bad path.")), QStringLiteral(" 3044:Bad path."));
    QCOMPARE(replica::openFailureText(0, QStringLiteral("x")), QStringLiteral(" 0:x"));
    QCOMPARE(replica::openFailureText(-7, QStringLiteral("x")), QStringLiteral("-7:x"));
}

// Opens the cell of a row for typing and types into it, as the user does.
static QLineEdit* typeInto(DataGrid* grid, int row, const QString& text) {
    const QModelIndex cell = grid->model()->index(row, 0);
    grid->setCurrentIndex(cell);
    grid->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(cell));
    if (editor)
        editor->setText(text);
    return editor;
}

void TestReplicaForm::gridEditStoredOnRowChangeEnterAndClose() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    {
        Loaded<REPLICA_FORM> form(f.ctx, nullptr);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        DataGrid* grid = form.DBGrid1;
        QVERIFY(typeInto(grid, 0, QStringLiteral("/srv/c/renamed.mdb")));
        // Nothing is written while the cell is being typed in; moving to another row stores it.
        QCOMPARE(test::listedLocations(list).first(), QStringLiteral("/srv/a/replica.mdb"));
        grid->setCurrentIndex(grid->model()->index(1, 0));
        QCOMPARE(test::listedLocations(list),
                 (QStringList{QStringLiteral("/srv/c/renamed.mdb"), QStringLiteral("/srv/b/replica.mdb")}));
        QCOMPARE(test::gridColumn(*grid), test::listedLocations(list));
        QCOMPARE(grid->currentRecordRow(), 1);

        QLineEdit* editor = typeInto(grid, 1, QStringLiteral("/srv/b/moved.mdb"));
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(test::listedLocations(list).last(), QStringLiteral("/srv/b/moved.mdb"));
        // A cell still open when the window closes is saved, as the data source saves a pending edit.
        QVERIFY(typeInto(grid, 1, QStringLiteral("/srv/b/closed.mdb")));
        form.EXIT_Click();
        QVERIFY(form.isUnloaded());
        QVERIFY(f.platform.boxes().isEmpty());
    }
    QCOMPARE(test::listedLocations(list),
             (QStringList{QStringLiteral("/srv/c/renamed.mdb"), QStringLiteral("/srv/b/closed.mdb")}));
}

void TestReplicaForm::gridNeitherAddsNorDeletes() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    DataGrid* grid = form.DBGrid1;
    QCOMPARE(grid->model()->rowCount(), 2); // no row waiting for a new record
    QVERIFY(!grid->model()->insertRows(2, 1));
    QVERIFY(!grid->model()->removeRows(0, 1));
    grid->setFocus();
    grid->setCurrentIndex(grid->model()->index(1, 0));
    QTest::keyClick(grid, Qt::Key_Delete);
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Insert);
    QCOMPARE(test::listedLocations(list).size(), 2);
    QCOMPARE(grid->recordRows(), 2);
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestReplicaForm::gridChoiceMakesTheRecordCurrent() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/c/replica.mdb"));
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    DataGrid* grid = form.DBGrid1;
    grid->setCurrentIndex(grid->model()->index(2, 0));
    QCOMPARE(form.Data1->rs().field(QStringLiteral("Replica_Location")).toString(),
             QStringLiteral("/srv/c/replica.mdb"));
    // Another program removes a row; editing it tells why nothing was stored and the grid drops the row.
    test::execRaw(list, QStringLiteral("DELETE FROM REPLICA WHERE Replica_Location = '/srv/a/replica.mdb'"));
    QVERIFY(!grid->model()->setData(grid->model()->index(0, 0), QStringLiteral("/srv/a/renamed.mdb")));
    QCOMPARE(f.platform.boxTexts(), QStringList{Error::make(err::RecordDeleted).text()});
    QTRY_COMPARE(test::gridColumn(*grid),
                 (QStringList{QStringLiteral("/srv/b/replica.mdb"), QStringLiteral("/srv/c/replica.mdb")}));
    QCOMPARE(test::listedLocations(list),
             (QStringList{QStringLiteral("/srv/b/replica.mdb"), QStringLiteral("/srv/c/replica.mdb")}));
}

void TestReplicaForm::aRowAddedAfterARemovalCanBeChosenEditedAndRemoved() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    form.show();
    DataGrid* grid = form.DBGrid1;
    const auto choose = [&](int row) {
        grid->setCurrentIndex(grid->model()->index(row, 0));
        return form.Data1->rs().field(QStringLiteral("Replica_Location")).toString();
    };
    // The last row goes, and the engine gives its row number to the next one added.
    QCOMPARE(choose(1), QStringLiteral("/srv/b/replica.mdb"));
    form.DELETE->trigger();
    f.platform.queueInput(QStringLiteral("/srv/c/replica.mdb"));
    f.platform.queueAnswer(Answer::No); // record an existing database
    form.CREATE->trigger();
    QCOMPARE(test::gridColumn(*grid),
             (QStringList{QStringLiteral("/srv/a/replica.mdb"), QStringLiteral("/srv/c/replica.mdb")}));
    QCOMPARE(choose(0), QStringLiteral("/srv/a/replica.mdb"));
    QCOMPARE(choose(1), QStringLiteral("/srv/c/replica.mdb"));
    QVERIFY(grid->model()->setData(grid->model()->index(1, 0), QStringLiteral("/srv/d/replica.mdb")));
    QCOMPARE(test::listedLocations(list),
             (QStringList{QStringLiteral("/srv/a/replica.mdb"), QStringLiteral("/srv/d/replica.mdb")}));
    f.platform.clear();
    form.DELETE->trigger();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("Remove Replica Reference to /srv/d/replica.mdb?"),
                          QStringLiteral("Reference to replica has been removed")}));
    QCOMPARE(test::listedLocations(list), QStringList{QStringLiteral("/srv/a/replica.mdb")});
    QCOMPARE(test::gridColumn(*grid), test::listedLocations(list));
}

void TestReplicaForm::tabLeavesTheGridForTheButtons() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    test::listLocation(list, QStringLiteral("/srv/b/replica.mdb"));
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    DataGrid* grid = form.DBGrid1;
    grid->setFocus();
    grid->setCurrentIndex(grid->model()->index(0, 0));
    QStringList order;
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order,
             (QStringList{QStringLiteral("Command1"), QStringLiteral("Command2"), QStringLiteral("Command4"),
                          QStringLiteral("Command3"), QStringLiteral("DBGrid1")}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), form.Command3);
    // From a cell being typed in, Tab stores the text and goes on to the first button.
    grid->setFocus();
    const QModelIndex cell = grid->model()->index(1, 0);
    grid->setCurrentIndex(cell);
    grid->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(cell));
    QVERIFY(editor);
    editor->setText(QStringLiteral("/srv/b/typed.mdb"));
    QTest::keyClick(editor, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.Command1);
    QCOMPARE(test::listedLocations(list).last(), QStringLiteral("/srv/b/typed.mdb"));
    QCOMPARE(grid->currentRecordRow(), 1);
}

QTEST_MAIN(TestReplicaForm)
#include "tst_replica_form.moc"
