// The four replication commands run from the real window against real main, replica and list files.
#include "replica_fixture.h"

#include "app/error_handler.h"

#include <QAction>
#include <QFileInfo>
#include <QPushButton>

using namespace pell;

namespace {

// What the window showed while each box was up.
struct Seen {
    QString text;
    bool statusShown = false;
    QString status;
    int listedRows = -1;
};

void recordBoxes(test::Fixture& f, REPLICA_FORM& form, QList<Seen>& seen) {
    f.platform.onBox = [&f, &form, &seen](const ScriptedPlatform::Box& box) {
        seen << Seen{box.text, !form.Label2->isHidden(), form.Label2->text(),
                     int(test::listedLocations(f.state.REPLICADB_PATH).size())};
    };
}

bool everyBoxWithDefaultPointer(const test::Fixture& f) {
    for (const auto& box : f.platform.boxes()) {
        if (box.pointer != Pointer::Default)
            return false;
    }
    return true;
}

} // namespace

class TestReplicaCommands : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Make master
    void masterFirstAndSecondRun();
    void masterWithPropertyOfAnotherValue();
    void masterWhileMainDatabaseInUse();
    void masterFromMenuWhileButtonDisabled();
    // Create replica
    void createCancelled();
    void createOneBlankReferenced();
    void createSamePathTwice();
    void createOnNonReplicableDatabase();
    void createOnMaster();
    void createOverAnExistingFile();
    void createWhenMainDatabaseMissing();
    void createWhenListNotOpen();
    // Synchronize
    void syncEmptyList();
    void syncOnlyMasterRows();
    void syncThreeReplicasSecondMissing();
    void syncLocationDifferingOnlyInCase();
    void syncRefusesMainDatabaseByAnotherPath();
    // Remove reference
    void removeWithYes();
    void removeWithNo();
    void removeOnEmptyList();
};

void TestReplicaCommands::masterFirstAndSecondRun() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);

    form.Command3->click();
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Database has been made a replicable master")});
    QCOMPARE(seen.first().listedRows, 0); // the row follows the message
    QCOMPARE(test::listedLocations(list), QStringList{main});
    QCOMPARE(test::gridColumn(*form.DBGrid1), QStringList{main});
    {
        auto db = db::Database::open(main);
        QVERIFY(db->isReplicable());
        QCOMPARE(db->propertyValue(QStringLiteral("Replicable")).toString(), QStringLiteral("T"));
    }

    f.platform.clear();
    seen.clear();
    form.MASTER->trigger();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database is already replicable")});
    QCOMPARE(seen.first().listedRows, 2); // here the row comes first
    QCOMPARE(test::listedLocations(list), (QStringList{main, main}));
    QCOMPARE(form.DBGrid1->recordRows(), 2);
    QVERIFY(everyBoxWithDefaultPointer(f));
    // The main database is let go: everyone can use it again.
    QVERIFY(db::Database::open(main, {.exclusive = true}));
}

void TestReplicaCommands::masterWithPropertyOfAnotherValue() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    {
        auto db = db::Database::open(main, {.exclusive = true});
        db->appendProperty(
            db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("F")));
    }
    REPLICA_FORM form(f.ctx, nullptr);
    form.MASTER_Click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Database is already replicable")});
    QCOMPARE(test::listedLocations(list), QStringList{main});
    auto db = db::Database::open(main);
    QCOMPARE(db->propertyValue(QStringLiteral("Replicable")).toString(), QStringLiteral("F"));
    QVERIFY(!db->isReplicable());
}

void TestReplicaCommands::masterWhileMainDatabaseInUse() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    {
        test::Holder user(main, false);
        form.MASTER_Click();
    }
    QCOMPARE(f.platform.boxes().size(), 1);
    QVERIFY2(f.platform.boxTexts().first().startsWith(QStringLiteral("Error 3045: ")),
             qPrintable(f.platform.boxTexts().first()));
    QVERIFY(everyBoxWithDefaultPointer(f));
    QVERIFY(test::listedLocations(list).isEmpty());
    auto db = db::Database::open(main);
    QVERIFY(!db->hasProperty(QStringLiteral("Replicable")));
    QVERIFY(!db->isReplicable());
}

void TestReplicaCommands::masterFromMenuWhileButtonDisabled() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::Holder otherWindow(list, true);
    REPLICA_FORM form(f.ctx, nullptr);
    QVERIFY(!form.Command3->isEnabled());
    f.platform.clear();
    form.MASTER->trigger();
    // The main database becomes the master; the list cannot take its row, which goes unreported.
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Database has been made a replicable master")});
    QVERIFY(db::Database::open(main)->isReplicable());
    otherWindow.release();
    QVERIFY(test::listedLocations(list).isEmpty());
}

void TestReplicaCommands::createCancelled() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueInput({});
    form.Command2->click();
    QCOMPARE(f.platform.inputPrompts(),
             QStringList{QStringLiteral("Please specify the name and location of the replica")});
    QVERIFY(f.platform.boxes().isEmpty());
    QVERIFY(test::listedLocations(list).isEmpty());
}

void TestReplicaCommands::createOneBlankReferenced() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueInput(QStringLiteral(" "));
    f.platform.queueAnswer(Answer::No);
    form.CREATE->trigger();
    QCOMPARE(f.platform.boxes().size(), 1);
    const auto& question = f.platform.boxes().first();
    QCOMPARE(question.text,
             QStringLiteral(
                 "Would you like to generate a new database? (Select No to reference an existing database)"));
    QCOMPARE(question.title, QStringLiteral("Generate New?"));
    QCOMPARE(question.buttons, Buttons::YesNo);
    QCOMPARE(question.icon, Icon::None);
    QCOMPARE(test::listedLocations(list), QStringList{QStringLiteral(" ")});
    QCOMPARE(test::gridColumn(*form.DBGrid1), QStringList{QStringLiteral(" ")});
}

void TestReplicaCommands::createSamePathTwice() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    const QString nowhere = f.path(QStringLiteral("not-there.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    for (int i = 0; i < 2; ++i) {
        f.platform.queueInput(nowhere);
        f.platform.queueAnswer(Answer::No);
        form.CREATE_Click();
    }
    QCOMPARE(f.platform.boxes().size(), 2); // the two questions, nothing else
    QCOMPARE(test::listedLocations(list), (QStringList{nowhere, nowhere}));
    QVERIFY(!QFile::exists(nowhere));
}

void TestReplicaCommands::createOnNonReplicableDatabase() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    const QString location = f.path(QStringLiteral("copy.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueInput(location);
    f.platform.queueAnswer(Answer::Yes);
    form.CREATE_Click();
    const QString expected =
        test::engineText([&] { db::Database::open(main)->makeReplica(location, QStringLiteral("x")); });
    QCOMPARE(f.platform.boxes().size(), 2);
    QCOMPARE(f.platform.boxTexts().last(), expected);
    QCOMPARE(f.platform.boxes().last().title, QStringLiteral("Pell Admin"));
    QVERIFY(everyBoxWithDefaultPointer(f));
    QVERIFY(test::listedLocations(list).isEmpty());
    QVERIFY(!QFile::exists(location));
}

void TestReplicaCommands::createOnMaster() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString location = f.path(QStringLiteral("branch.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    f.platform.queueInput(location);
    f.platform.queueAnswer(Answer::Yes);
    form.Command2->click();
    QCOMPARE(f.platform.boxTexts().size(), 2);
    QCOMPARE(f.platform.boxTexts().last(), QStringLiteral("Replica has been created"));
    QCOMPARE(seen.last().listedRows, 0); // the row is added after the message
    QCOMPARE(test::listedLocations(list), QStringList{location});
    QCOMPARE(test::gridColumn(*form.DBGrid1), QStringList{location});
    QVERIFY(everyBoxWithDefaultPointer(f));
    QVERIFY(f.platform.pointerHistory().contains(Pointer::Hourglass));

    auto replica = db::Database::open(location);
    QVERIFY(replica->isReplicable());
    QCOMPARE(db::replication::identity(*replica).description, QStringLiteral("replica of ") + location);
    QVERIFY(test::hasCategory(location, QStringLiteral("Bug")) ==
            test::hasCategory(main, QStringLiteral("Bug"))); // a full copy of the data
    QCOMPARE(test::scalarRaw(location, QStringLiteral("SELECT count(*) FROM USER")),
             test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER")));
}

void TestReplicaCommands::createOverAnExistingFile() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString taken = f.path(QStringLiteral("taken.mdb"));
    test::makeReplicaDirectly(main, taken);
    test::addCategory(taken, QStringLiteral("OnlyInTaken"));
    REPLICA_FORM form(f.ctx, nullptr);
    // Neither an existing replica nor the main database itself is overwritten by a new replica.
    for (const QString& location : {taken, main}) {
        f.platform.clear();
        f.platform.queueInput(location);
        f.platform.queueAnswer(Answer::Yes);
        form.CREATE_Click();
        QCOMPARE(f.platform.boxTexts().last(), Error::make(err::DatabaseExists, location).text());
    }
    QVERIFY(test::hasCategory(taken, QStringLiteral("OnlyInTaken")));
    QVERIFY(!test::hasCategory(main, QStringLiteral("OnlyInTaken")));
    QVERIFY(db::Database::open(main)->isReplicable());
    QVERIFY(test::listedLocations(list).isEmpty());
}

void TestReplicaCommands::createWhenMainDatabaseMissing() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    f.state.DATABASE_PATH = f.path(QStringLiteral("gone.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueInput(f.path(QStringLiteral("copy.mdb")));
    f.platform.queueAnswer(Answer::Yes);
    form.CREATE_Click();
    // The open's own error is the one shown; the steps that need the database do not run.
    QCOMPARE(f.platform.boxTexts().last(), Error::make(err::FileNotFoundDb, f.state.DATABASE_PATH).text());
    QVERIFY(test::listedLocations(list).isEmpty());
}

void TestReplicaCommands::createWhenListNotOpen() {
    test::Fixture f;
    f.makeSharedDb();
    f.state.REPLICADB_PATH = f.path(QStringLiteral("missing-list.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.clear();
    f.platform.queueInput(QStringLiteral("/srv/a/replica.mdb"));
    f.platform.queueAnswer(Answer::No);
    form.CREATE_Click();
    QCOMPARE(f.platform.boxes().size(), 2);
    QVERIFY(!f.platform.boxTexts().last().isEmpty());
    QVERIFY(f.platform.boxTexts().last() != QStringLiteral("Replica has been created"));
    QVERIFY(!QFile::exists(f.state.REPLICADB_PATH));
}

void TestReplicaCommands::syncEmptyList() {
    test::Fixture f;
    f.makeSharedDb();
    f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.Command1->click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("No replicas found")});
    QVERIFY(!seen.first().statusShown);
    QVERIFY(form.Label2->isHidden());
}

void TestReplicaCommands::syncOnlyMasterRows() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::listLocation(list, main);
    test::listLocation(list, main);
    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.SYNC_Click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Databases have been syncronized")});
    QVERIFY(seen.first().statusShown);
    QVERIFY(seen.first().status.isEmpty()); // no row was exchanged
    QVERIFY(form.Label2->isHidden());
    QVERIFY(!f.platform.pointerHistory().contains(Pointer::Hourglass));
}

void TestReplicaCommands::syncThreeReplicasSecondMissing() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString first = f.path(QStringLiteral("first.mdb"));
    const QString missing = f.path(QStringLiteral("missing.mdb"));
    const QString third = f.path(QStringLiteral("third.mdb"));
    test::makeReplicaDirectly(main, first);
    test::makeReplicaDirectly(main, third);
    test::listLocation(list, first);
    test::listLocation(list, missing);
    test::listLocation(list, main);
    test::listLocation(list, third);
    test::addCategory(main, QStringLiteral("FromMain"));
    test::addCategory(first, QStringLiteral("FromFirst"));
    test::addCategory(third, QStringLiteral("FromThird"));

    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.SYNC->trigger();

    const QString missingText = test::engineText([&] { db::Database::open(main)->synchronize(missing); });
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{missingText, QStringLiteral("Databases have been syncronized")}));
    QVERIFY(seen[0].statusShown);
    QCOMPARE(seen[0].status, QStringLiteral("Syncronizing ") + missing);
    QVERIFY(seen[1].statusShown);
    QCOMPARE(seen[1].status, QStringLiteral("Syncronizing ") + third);
    QVERIFY(form.Label2->isHidden());
    QVERIFY(everyBoxWithDefaultPointer(f));

    // First and third exchanged in that order, both ways; the missing one did not stop the loop.
    QVERIFY(test::hasCategory(main, QStringLiteral("FromFirst")));
    QVERIFY(test::hasCategory(main, QStringLiteral("FromThird")));
    QVERIFY(test::hasCategory(first, QStringLiteral("FromMain")));
    QVERIFY(!test::hasCategory(first, QStringLiteral("FromThird")));
    QVERIFY(test::hasCategory(third, QStringLiteral("FromMain")));
    QVERIFY(test::hasCategory(third, QStringLiteral("FromFirst")));
    QVERIFY(!QFile::exists(missing));
    QCOMPARE(test::listedLocations(list).size(), 4);

    // A second run brings the third's change to the first as well.
    f.platform.clear();
    form.SYNC_Click();
    QVERIFY(test::hasCategory(first, QStringLiteral("FromThird")));
}

void TestReplicaCommands::syncLocationDifferingOnlyInCase() {
    test::Fixture f;
    const QString main = f.makeSharedDb(QStringLiteral("pell.mdb"));
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString variant = f.path(QStringLiteral("PELL.MDB"));
    test::listLocation(list, main);
    test::listLocation(list, variant);
    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.SYNC_Click();
    const QString expected = test::engineText([&] { db::Database::open(main)->synchronize(variant); });
    QVERIFY(expected != QStringLiteral("<no error>"));
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{expected, QStringLiteral("Databases have been syncronized")}));
    QCOMPARE(seen[0].status, QStringLiteral("Syncronizing ") + variant);
}

void TestReplicaCommands::syncRefusesMainDatabaseByAnotherPath() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString alias = f.dir.path() + QStringLiteral("/./pell.mdb");
    const QString branch = f.path(QStringLiteral("branch.mdb"));
    test::makeReplicaDirectly(main, branch);
    test::listLocation(list, alias);
    test::listLocation(list, branch);
    test::addCategory(branch, QStringLiteral("FromBranch"));
    const qlonglong users = test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER")).toLongLong();

    REPLICA_FORM form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.SYNC_Click();
    QCOMPARE(f.platform.boxTexts(), (QStringList{Error::make(err::SyncWithSelf, alias).text(),
                                                 QStringLiteral("Databases have been syncronized")}));
    QCOMPARE(seen[0].status, QStringLiteral("Syncronizing ") + alias);
    // The loop went on to the real replica; the main database is whole.
    QVERIFY(test::hasCategory(main, QStringLiteral("FromBranch")));
    QCOMPARE(test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER")).toLongLong(), users);
    QCOMPARE(test::scalarRaw(main, QStringLiteral("PRAGMA integrity_check")).toString(),
             QStringLiteral("ok"));
}

void TestReplicaCommands::removeWithYes() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    const QString kept = f.path(QStringLiteral("kept.mdb"));
    const QString dropped = f.path(QStringLiteral("dropped.mdb"));
    test::listLocation(list, kept);
    test::listLocation(list, dropped);
    test::listLocation(list, main);
    QFile file(dropped);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("replica file");
    file.close();

    REPLICA_FORM form(f.ctx, nullptr);
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(1, 0));
    f.platform.queueAnswer(Answer::Yes);
    form.Command4->click();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("Remove Replica Reference to ") + dropped + u'?',
                          QStringLiteral("Reference to replica has been removed")}));
    const auto& question = f.platform.boxes().first();
    QCOMPARE(question.title, QStringLiteral("Remove Replica Reference"));
    QCOMPARE(question.buttons, Buttons::YesNo);
    QCOMPARE(question.icon, Icon::None);
    QCOMPARE(test::listedLocations(list), (QStringList{kept, main}));
    QCOMPARE(test::gridColumn(*form.DBGrid1), (QStringList{kept, main}));
    QVERIFY(QFile::exists(dropped)); // only the reference goes

    // The master's own row may go like any other.
    f.platform.clear();
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(1, 0));
    f.platform.queueAnswer(Answer::Yes);
    form.DELETE_Click();
    QCOMPARE(f.platform.boxTexts().last(), QStringLiteral("Reference to replica has been removed"));
    QCOMPARE(test::listedLocations(list), QStringList{kept});
}

void TestReplicaCommands::removeWithNo() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    test::listLocation(list, QStringLiteral("/srv/a/replica.mdb"));
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueAnswer(Answer::No);
    form.DELETE->trigger();
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Remove Replica Reference to /srv/a/replica.mdb?")});
    QCOMPARE(test::listedLocations(list), QStringList{QStringLiteral("/srv/a/replica.mdb")});
}

void TestReplicaCommands::removeOnEmptyList() {
    test::Fixture f;
    const QString list = f.makeReplicaDb();
    REPLICA_FORM form(f.ctx, nullptr);
    f.platform.queueAnswer(Answer::Yes);
    form.DELETE_Click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Remove Replica Reference to ?")});
    QVERIFY(test::listedLocations(list).isEmpty());

    // After a synchronization the list stands past its last row: nothing is current, nothing is removed.
    test::listLocation(list, f.path(QStringLiteral("a.mdb")));
    form.Data1->refresh();
    form.DBGrid1->reload();
    form.SYNC_Click();
    f.platform.clear();
    f.platform.queueAnswer(Answer::Yes);
    form.DELETE_Click();
    QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Remove Replica Reference to ?")});
    QCOMPARE(test::listedLocations(list).size(), 1);
}

QTEST_MAIN(TestReplicaCommands)
#include "tst_replica_commands.moc"
