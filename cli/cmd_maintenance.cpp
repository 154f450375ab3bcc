// pelldb backup, compact, repair: the main window's maintenance commands, run from a shell.
#include "cli/command.h"

#include "core/app_state.h"
#include "core/error.h"
#include "core/platform.h"
#include "maintenance/maintenance_commands.h"

#include <QCoreApplication>

namespace pell::cli {
namespace {

// Answers the commands' questions as the administrator who asked for the command would: Yes to the
// confirmation, the destination given on the command line to the save dialog. Every message is printed.
class ConsolePlatform : public Platform {
public:
    explicit ConsolePlatform(QString savePath) : m_savePath(std::move(savePath)) {}

    // A failure's message is not printed here: pelldb prints the error behind it, with its number, on
    // standard error.
    Answer showMessageBox(const QString& text, Buttons buttons, Icon, const QString&) override {
        if (buttons == Buttons::YesNo)
            return Answer::Yes;
        m_messages << text;
        return Answer::Ok;
    }
    QString showInputBox(const QString&, const QString&, const QString&) override { return {}; }
    std::optional<QString> saveFileDialog(const SaveDialogSettings&) override { return m_savePath; }
    void beep() override {}
    void setPointer(Pointer pointer) override { m_pointer = pointer; }
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString&, const QStringList&, bool) override {}
    QSize screenSizeTwips() const override { return {}; }

    const QStringList& messages() const { return m_messages; }

private:
    QString m_savePath;
    QStringList m_messages;
    Pointer m_pointer = Pointer::Default;
};

struct Run {
    AppState state;
    ConsolePlatform platform;
    AppContext ctx{state, platform};
    CommandOutcome outcome;

    Run(const QString& database, const QString& savePath, const QString& folder) : platform(savePath) {
        state.DATABASE_PATH = database;
        state.programFolder = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    }
    // Prints the messages; a failure is thrown for pelldb to print as "error NNNN: text" on standard
    // error, once.
    int finish(QTextStream& out, const QString& success) {
        if (outcome.failure) {
            out.flush();
            throw *outcome.failure;
        }
        for (const QString& message : platform.messages())
            out << message << "\n";
        if (platform.messages().contains(success))
            return 0;
        // A message that is no success and came without an error of the engine (the destination is the
        // database itself) is a failure all the same.
        out.flush();
        throw Error(err::InvalidOperation, platform.messages().join(u' '));
    }
};

const Register backup("backup", "backup DB DEST", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 2)
        throw UsageError{QStringLiteral("expects the database and the destination")};
    // The save dialog never answers with an empty name; an empty argument is a mistake, not a Cancel.
    if (options.positional().at(1).trimmed().isEmpty())
        throw Error::make(err::PathNotFound, QStringLiteral("(no destination given)"));
    Run run(options.positional().at(0), options.positional().at(1), {});
    BACKUP_CLICK(run.ctx, &run.outcome);
    return run.finish(out, maintenance::BackedUp);
});

const Register
    compact("compact",
            "compact DB [--folder DIR]  (the copy _temp.mdb goes to DIR, default: pelldb's folder)",
            [](const QStringList& args, QTextStream& out) {
                const Options options(args, {QStringLiteral("folder")}, {});
                if (options.positional().size() != 1)
                    throw UsageError{QStringLiteral("expects one database path")};
                Run run(options.positional().at(0), {}, options.value(QStringLiteral("folder")));
                COMPACT_CLICK(run.ctx, &run.outcome);
                return run.finish(out, maintenance::Compacted);
            });

const Register repair("repair", "repair DB", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    Run run(options.positional().at(0), {}, {});
    REPAIR_CLICK(run.ctx); // a failure is reported by pelldb with its number and text
    return run.finish(out, maintenance::Repaired);
});

} // namespace
} // namespace pell::cli
