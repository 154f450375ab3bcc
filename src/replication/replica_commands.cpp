#include "replication/replica_commands.h"

#include "core/command.h"
#include "core/platform.h"
#include "db/database.h"
#include "db/recordset.h"
#include "db/replication/replication.h"
#include "db/schema.h"

#include <QDir>
#include <QFileInfo>

#include <memory>
#include <optional>

namespace pell::replica {

namespace {

void notice(AppContext& ctx, const QString& text) {
    ctx.platform.messageBox(text, Buttons::OkOnly, Icon::None, {});
}

bool atEnd(const db::Recordset* list) {
    return !list || list->eof();
}

// Adds a row naming a location, step by step; a row that could not be completed is not left pending in the
// record set, where the next move or refresh would meet it.
void addLocation(db::Recordset* list, const QString& location, SkipAndRemember& steps) {
    steps.step([&] { db::requireOpen(list).addNew(); });
    steps.step([&] { db::requireOpen(list).setField(db::schema::replica::Location, location); });
    steps.step([&] { db::requireOpen(list).update(); });
    if (list && list->editMode() != db::Recordset::EditMode::None)
        list->cancelUpdate();
}

// The conflicts a member holds, open and closed; none when it cannot tell (the exchange then says why).
qint64 conflictsHeld(db::Database& member) {
    try {
        return db::replication::conflicts(member, true, false).size();
    } catch (const Error&) {
        return 0;
    }
}

} // namespace

QString openFailureText(int number, const QString& text) {
    const QString digits = QString::number(number);
    return (number >= 0 ? QStringLiteral(" ") + digits : digits) + u':' + text;
}

CommandResult synchronizeAll(AppContext& ctx, db::Recordset* list, const Progress& progress,
                             const OutcomeListener& outcome) {
    SkipAndRemember steps;
    steps.step([&] { db::requireOpen(list).moveFirst(); });
    if (atEnd(list)) {
        notice(ctx, QStringLiteral("No replicas found"));
        return CommandResult::done();
    }
    qint64 listed = -1;
    steps.step([&] { listed = db::requireOpen(list).recordCount(); });
    report(progress, ProgressReport::Stage::Started);
    std::optional<Error> failure;
    qint64 done = 0;
    qint64 conflicts = 0;
    const auto tell = [&](const ReplicaOutcome& what) {
        if (outcome)
            outcome(what);
    };
    while (!atEnd(list)) {
        steps.clear();
        QString location;
        steps.step([&] { location = db::requireOpen(list).field(db::schema::replica::Location).toString(); });
        // The master's own row, exactly as configured; any other spelling is handed to the engine, which
        // refuses to exchange a database with itself.
        if (location != ctx.state.DATABASE_PATH) {
            report(progress, ProgressReport::Stage::Step, QStringLiteral("Syncronizing ") + location, done,
                   listed, QStringLiteral("replicas"));
            std::unique_ptr<db::Database> main;
            qint64 logged = 0;
            {
                PointerScope wait(ctx.platform);
                steps.step([&] { main = db::Database::open(ctx.state.DATABASE_PATH); });
                // Without the main database the exchange cannot run; the open's own error is the one shown.
                // The conflicts this exchange logged are those the main database holds afterwards that it did
                // not hold before: every conflict travels to every member, and each is counted once, as the
                // conflicts window and pelldb conflicts show it.
                if (main)
                    steps.step([&] {
                        const qint64 before = conflictsHeld(*main);
                        main->synchronize(location, db::SyncImpExp);
                        logged = conflictsHeld(*main) - before;
                    });
            }
            if (steps.failed()) {
                failure = steps.error();
                tell({location, ReplicaOutcome::Kind::Failed, steps.error()});
                notice(ctx, steps.text());
            } else {
                conflicts += logged;
                tell({location, ReplicaOutcome::Kind::Synchronized, {}, logged});
            }
            if (main)
                steps.step([&] { main->close(); });
        } else {
            tell({location, ReplicaOutcome::Kind::Skipped, {}});
        }
        ++done;
        const bool moved = steps.step([&] { db::requireOpen(list).moveNext(); });
        if (!moved && !atEnd(list))
            break; // a list that cannot move on would never end
    }
    // Conflicts met on the way are no failure, but the administrator decides them: say how many, and where.
    notice(ctx, conflicts == 0
                    ? QStringLiteral("Databases have been syncronized")
                    : QStringLiteral("Databases have been syncronized\n\n%1 conflict(s) logged: see "
                                     "Utilities > Conflicts... (or pelldb conflicts)")
                          .arg(conflicts));
    report(progress, ProgressReport::Stage::Finished, {}, done, listed);
    return failure ? CommandResult::failed(*failure) : CommandResult::done();
}

CommandResult createReplica(AppContext& ctx, db::Recordset* list) {
    const QString location =
        ctx.platform.inputBox(QStringLiteral("Please specify the name and location of the replica"),
                              QStringLiteral("New Replica"), {});
    if (location.isEmpty())
        return CommandResult::cancelled();
    const Answer generate = ctx.platform.messageBox(
        QStringLiteral(
            "Would you like to generate a new database? (Select No to reference an existing database)"),
        Buttons::YesNo, Icon::None, QStringLiteral("Generate New?"));
    SkipAndRemember steps;
    if (generate == Answer::Yes) {
        if (const auto refusal = newReplicaRefusal(location)) {
            notice(ctx, refusal->text());
            return CommandResult::failed(*refusal);
        }
        {
            PointerScope wait(ctx.platform);
            std::unique_ptr<db::Database> main;
            steps.step([&] { main = db::Database::open(ctx.state.DATABASE_PATH); });
            // When the main database did not open, its error is the one reported.
            if (main) {
                steps.step([&] { main->makeReplica(location, QStringLiteral("replica of ") + location); });
                steps.step([&] { main->close(); });
            }
        }
        if (steps.failed()) {
            notice(ctx, steps.text());
            return CommandResult::failed(*steps.error());
        }
        notice(ctx, QStringLiteral("Replica has been created"));
    }
    steps.clear();
    addLocation(list, location, steps);
    if (steps.failed()) {
        notice(ctx, steps.text());
        return CommandResult::failed(*steps.error());
    }
    return CommandResult::done();
}

std::optional<Error> newReplicaRefusal(const QString& location) {
    const QFileInfo file(location);
    if (file.isDir())
        return Error(err::DatabaseExists,
                     QStringLiteral("%1 is a folder: name the replica's file in it, for instance %2")
                         .arg(location, QDir(location).filePath(QStringLiteral("site2.mdb"))));
    if (file.exists() || file.isSymLink())
        return Error(err::DatabaseExists,
                     QStringLiteral("%1 exists already: a replica is always a new file").arg(location));
    return std::nullopt;
}

CommandResult addReference(AppContext& ctx, db::Recordset* list, const QString& location) {
    SkipAndRemember steps;
    addLocation(list, location, steps);
    if (steps.failed()) {
        notice(ctx, steps.text());
        return CommandResult::failed(*steps.error());
    }
    return CommandResult::done();
}

bool findReference(db::Recordset* list, const QString& location) {
    SkipAndRemember steps;
    steps.step([&] { db::requireOpen(list).moveFirst(); });
    while (!steps.failed() && !atEnd(list)) {
        if (list->field(db::schema::replica::Location).toString() == location)
            return true;
        steps.step([&] { list->moveNext(); });
    }
    return false;
}

CommandResult removeReference(AppContext& ctx, db::Recordset* list) {
    SkipAndRemember steps;
    QString location;
    steps.step([&] { location = db::requireOpen(list).field(db::schema::replica::Location).toString(); });
    const Answer answer =
        ctx.platform.messageBox(QStringLiteral("Remove Replica Reference to ") + location + u'?',
                                Buttons::YesNo, Icon::None, QStringLiteral("Remove Replica Reference"));
    if (answer != Answer::Yes)
        return CommandResult::cancelled();
    steps.step([&] { db::requireOpen(list).deleteCurrent(); });
    if (steps.failed())
        return CommandResult::failed(*steps.error());
    notice(ctx, QStringLiteral("Reference to replica has been removed"));
    return CommandResult::done();
}

CommandResult makeMaster(AppContext& ctx, db::Recordset* list) {
    // Opening and preparing the property are not guarded: their failure (typically someone else using the
    // main database) ends the command through the program-wide handling, with nothing changed.
    std::unique_ptr<db::Database> main;
    db::Property replicable;
    {
        PointerScope wait(ctx.platform);
        main = db::Database::open(ctx.state.DATABASE_PATH, {.exclusive = true});
        // A file that is no Pellwood database is never turned into a master.
        db::requirePellwoodDatabase(*main);
        replicable =
            main->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T"));
    }
    SkipAndRemember steps;
    {
        PointerScope wait(ctx.platform);
        steps.step([&] { main->appendProperty(replicable); });
    }
    if (steps.number() == err::AlreadyExists) {
        // Made a master by an earlier run: list it again, whatever the property holds.
        SkipAndRemember rowSteps;
        addLocation(list, ctx.state.DATABASE_PATH, rowSteps);
        notice(ctx, QStringLiteral("Database is already replicable"));
        return CommandResult::done();
    }
    {
        PointerScope wait(ctx.platform);
        steps.step([&] { main->setPropertyValue(QStringLiteral("Replicable"), QStringLiteral("T")); });
    }
    if (steps.failed()) {
        notice(ctx, steps.text());
        return CommandResult::failed(*steps.error());
    }
    notice(ctx, QStringLiteral("Database has been made a replicable master"));
    // A master row that cannot be added is not reported: the database is a master all the same.
    SkipAndRemember rowSteps;
    addLocation(list, ctx.state.DATABASE_PATH, rowSteps);
    return CommandResult::done();
}

} // namespace pell::replica
