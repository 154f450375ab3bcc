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
// confirmation, the destination given on the command line to the save dialog. Every message is kept.
class ConsolePlatform : public Platform {
public:
    explicit ConsolePlatform(QString savePath) : m_savePath(std::move(savePath)) {}

    std::optional<QString> saveFileDialog(const SaveDialogSettings&) override { return m_savePath; }
    void beep() override {}
    void setPointer(Pointer pointer) override { m_pointer = pointer; }
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString&, const QStringList&, bool) override {}
    QSize screenSizeTwips() const override { return {}; }

    const QStringList& messages() const { return m_messages; }

protected:
    Answer showMessageBox(const QString& text, Buttons buttons, Icon, const QString&) override {
        if (buttons == Buttons::YesNo)
            return Answer::Yes;
        m_messages << text;
        return Answer::Ok;
    }
    QString showInputBox(const QString&, const QString&, const QString&) override { return {}; }

private:
    QString m_savePath;
    QStringList m_messages;
    Pointer m_pointer = Pointer::Default;
};

// One maintenance command on a database, as the main window runs it.
struct Run {
    AppState state;
    ConsolePlatform platform;
    AppContext ctx{state, platform};

    Run(const QString& database, const QString& savePath, const QString& folder) : platform(savePath) {
        state.DATABASE_PATH = database;
        state.programFolder = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    }
    // A command that did its work prints what it told the administrator; any other ends in its error, which
    // pelldb prints once, with its number, on standard error (the message for the window is not printed).
    int finish(const CommandResult& result, QTextStream& out) const {
        if (result.outcome != CommandResult::Outcome::Done) {
            out.flush();
            throw result.failure.value_or(Error::make(err::InvalidOperation, QStringLiteral("(cancelled)")));
        }
        for (const QString& message : platform.messages())
            out << message << "\n";
        return 0;
    }
};

} // namespace

void addMaintenanceCommands(Registry& registry) {
    registry.add({QStringLiteral("backup"), QStringLiteral("backup DB DEST"), {}, [](const Invocation& call) {
                      const QStringList& p = call.options.positional();
                      if (p.size() != 2)
                          throw UsageError{QStringLiteral("expects the database and the destination")};
                      // The save dialog never answers with an empty name; an empty argument is a mistake, not
                      // a Cancel.
                      if (p.at(1).trimmed().isEmpty())
                          throw Error::make(err::PathNotFound, QStringLiteral("(no destination given)"));
                      Run run(p.at(0), p.at(1), {});
                      return run.finish(BACKUP_CLICK(run.ctx, call.progress), call.out);
                  }});

    registry.add(
        {QStringLiteral("compact"),
         QStringLiteral("compact DB [--folder DIR]  (the copy _temp.mdb goes to DIR, default: pelldb's "
                        "folder)"),
         {{QStringLiteral("folder")}, {}},
         [](const Invocation& call) {
             Run run(call.options.onePath(), {}, call.options.value(QStringLiteral("folder")));
             return run.finish(COMPACT_CLICK(run.ctx, call.progress), call.out);
         }});

    registry.add({QStringLiteral("repair"), QStringLiteral("repair DB"), {}, [](const Invocation& call) {
                      Run run(call.options.onePath(), {}, {});
                      // A failing repair is not trapped by the command: pelldb reports it with its number.
                      return run.finish(REPAIR_CLICK(run.ctx, call.progress), call.out);
                  }});
}

} // namespace pell::cli
