// The four replication commands run from the real window against real main, replica and list files.
#include "replica_fixture.h"

#include "core/command.h"

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
    void masterFromMenuWhileButtonDisabled();
    // Create replica
    void createCancelledThenBlankReferenced();
    void createOnNonReplicableThenOnMaster();
    // Synchronize
    void syncThreeReplicasSecondMissing();
    void syncSkipsNeitherACaseVariantNorTheMainDatabaseByAnotherPath();
    // Remove reference
    void removeWithNoThenYes();
};

void TestReplicaCommands::masterFirstAndSecondRun() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
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

void TestReplicaCommands::masterFromMenuWhileButtonDisabled() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    test::Holder otherWindow(list, true);
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
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

void TestReplicaCommands::createCancelledThenBlankReferenced() {
    test::Fixture f;
    f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    f.platform.queueInput({});
    form.Command2->click();
    QCOMPARE(f.platform.inputPrompts(),
             QStringList{QStringLiteral("Please specify the name and location of the replica")});
    QVERIFY(f.platform.boxes().isEmpty());
    QVERIFY(test::listedLocations(list).isEmpty());

    // A blank name answered No is referenced as it is.
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
    QCOMPARE(test::listedLocations(list), QStringList{QStringLiteral(" ")});
    QCOMPARE(test::gridColumn(*form.DBGrid1), QStringList{QStringLiteral(" ")});
}

void TestReplicaCommands::createOnNonReplicableThenOnMaster() {
    test::Fixture f;
    const QString main = f.makeSharedDb();
    const QString list = f.makeReplicaDb();
    const QString location = f.path(QStringLiteral("branch.mdb"));
    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    f.platform.queueInput(location);
    f.platform.queueAnswer(Answer::Yes);
    form.CREATE_Click();
    const QString expected =
        test::engineText([&] { db::Database::open(main)->makeReplica(location, QStringLiteral("x")); });
    QCOMPARE(f.platform.boxTexts(), (QStringList{f.platform.boxTexts().first(), expected}));
    QCOMPARE(f.platform.boxes().last().title, QStringLiteral("Pell Admin"));
    QVERIFY(test::listedLocations(list).isEmpty());
    QVERIFY(!QFile::exists(location));

    test::makeMasterDirectly(main);
    f.platform.clear();
    seen.clear();
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
    QCOMPARE(test::scalarRaw(location, QStringLiteral("SELECT count(*) FROM USER")),
             test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER")));
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

    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
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

void TestReplicaCommands::syncSkipsNeitherACaseVariantNorTheMainDatabaseByAnotherPath() {
    test::Fixture f;
    const QString main = f.makeSharedDb(QStringLiteral("pell.mdb"));
    const QString list = f.makeReplicaDb();
    test::makeMasterDirectly(main);
    const QString variant = f.path(QStringLiteral("PELL.MDB"));
    const QString alias = f.dir.path() + QStringLiteral("/./pell.mdb");
    const QString branch = f.path(QStringLiteral("branch.mdb"));
    test::makeReplicaDirectly(main, branch);
    for (const QString& location : {variant, alias, branch})
        test::listLocation(list, location);
    test::addCategory(branch, QStringLiteral("FromBranch"));
    const QVariant users = test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER"));

    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    QList<Seen> seen;
    recordBoxes(f, form, seen);
    form.SYNC_Click();
    const QString variantText = test::engineText([&] { db::Database::open(main)->synchronize(variant); });
    QVERIFY(variantText != QStringLiteral("<no error>"));
    QCOMPARE(f.platform.boxTexts(), (QStringList{variantText, Error::make(err::SyncWithSelf, alias).text(),
                                                 QStringLiteral("Databases have been syncronized")}));
    QCOMPARE(seen[0].status, QStringLiteral("Syncronizing ") + variant);
    QCOMPARE(seen[1].status, QStringLiteral("Syncronizing ") + alias);
    // The loop went on to the real replica; the main database is whole.
    QVERIFY(test::hasCategory(main, QStringLiteral("FromBranch")));
    QCOMPARE(test::scalarRaw(main, QStringLiteral("SELECT count(*) FROM USER")), users);
    QCOMPARE(test::scalarRaw(main, QStringLiteral("PRAGMA integrity_check")).toString(),
             QStringLiteral("ok"));
}

void TestReplicaCommands::removeWithNoThenYes() {
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

    Loaded<REPLICA_FORM> form(f.ctx, nullptr);
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(1, 0));
    f.platform.queueAnswer(Answer::No);
    form.DELETE->trigger();
    QCOMPARE(f.platform.boxTexts(),
             QStringList{QStringLiteral("Remove Replica Reference to ") + dropped + u'?'});
    QCOMPARE(test::listedLocations(list), (QStringList{kept, dropped, main}));
    f.platform.clear();
    f.platform.queueAnswer(Answer::Yes);
    form.Command4->click();
    QCOMPARE(f.platform.boxTexts(),
             (QStringList{QStringLiteral("Remove Replica Reference to ") + dropped + u'?',
                          QStringLiteral("Reference to replica has been removed")}));
    const auto& question = f.platform.boxes().first();
    QCOMPARE(question.title, QStringLiteral("Remove Replica Reference"));
    QCOMPARE(question.buttons, Buttons::YesNo);
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

QTEST_MAIN(TestReplicaCommands)
#include "tst_replica_commands.moc"
