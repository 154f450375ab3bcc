// pelldb backup, compact, repair: the main window's maintenance commands, run from a shell.
#include "cli/command.h"

#include "app/app_state.h"
#include "maintenance/maintenance_commands.h"
#include "platform/platform.h"

#include <QCoreApplication>

namespace pell::cli {
namespace {

// Answers the commands' questions as the administrator who asked for the command would: Yes to the
// confirmation, the destination given on the command line to the save dialog. Every message is printed.
class ConsolePlatform : public Platform {
public:
    ConsolePlatform(QTextStream& out, QString savePath) : m_out(out), m_savePath(std::move(savePath)) {}

    Answer messageBox(const QString& text, Buttons buttons, Icon, const QString&) override {
        if (buttons == Buttons::YesNo)
            return Answer::Yes;
        m_out << text << "\n";
        m_last = text;
        return Answer::Ok;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    std::optional<QString> saveFileDialog(const SaveDialogSettings&) override { return m_savePath; }
    void beep() override {}
    void setPointer(Pointer pointer) override { m_pointer = pointer; }
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString&, const QStringList&, bool) override {}
    QSize screenSizeTwips() const override { return {}; }

    const QString& lastMessage() const { return m_last; }

private:
    QTextStream& m_out;
    QString m_savePath;
    QString m_last;
    Pointer m_pointer = Pointer::Default;
};

struct Run {
    AppState state;
    ConsolePlatform platform;
    AppContext ctx{state, platform};

    Run(QTextStream& out, const QString& database, const QString& savePath, const QString& folder)
        : platform(out, savePath) {
        state.DATABASE_PATH = database;
        state.programFolder = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    }
    int exitCode(const QString& success) const { return platform.lastMessage() == success ? 0 : 1; }
};

const Register backup("backup", "backup DB DEST", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 2)
        throw UsageError{QStringLiteral("expects the database and the destination")};
    Run run(out, options.positional().at(0), options.positional().at(1), {});
    BACKUP_CLICK(run.ctx);
    return run.exitCode(maintenance::BackedUp);
});

const Register
    compact("compact",
            "compact DB [--folder DIR]  (the copy _temp.mdb goes to DIR, default: pelldb's folder)",
            [](const QStringList& args, QTextStream& out) {
                const Options options(args, {QStringLiteral("folder")}, {});
                if (options.positional().size() != 1)
                    throw UsageError{QStringLiteral("expects one database path")};
                Run run(out, options.positional().at(0), {}, options.value(QStringLiteral("folder")));
                COMPACT_CLICK(run.ctx);
                return run.exitCode(maintenance::Compacted);
            });

const Register repair("repair", "repair DB", [](const QStringList& args, QTextStream& out) {
    const Options options(args, {}, {});
    if (options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    Run run(out, options.positional().at(0), {}, {});
    REPAIR_CLICK(run.ctx); // a failure is reported by pelldb with its number and text
    return run.exitCode(maintenance::Repaired);
});

} // namespace
} // namespace pell::cli
