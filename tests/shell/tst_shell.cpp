// Start-up (the instance check first, then the launch token, then pell.ini), the main window's menus and
// commands, and the About box; READ_INI's every rule as a table, the file itself (missing, empty, a dangling
// link, a pipe), a randomized run that must never crash or hang, and CENTER_FORM's arithmetic. And every
// window as the administrator first sees it: its title, its size and the places of its controls in twips,
// its captions, and the help topic that F1 opens in it.
#include "app/center_form.h"
#include "app/help_launcher.h"
#include "app/inifile.h"
#include "app/program_folder.h"
#include "core/error.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "platform/runtime_folder.h"
#include "platform/twips.h"
#include "replication/REPLICA_FORM.h"
#include "shell/ABOUT_FORM.h"
#include "shell/Admin_FORM.h"
#include "shell/single_instance.h"
#include "shell/startup.h"
#include "support/drivers.h"
#include "system/F_SYSTEM.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTextStream>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pell;
using namespace Qt::StringLiterals;

namespace {

void writeIni(test::Fixture& f, const QByteArray& text) {
    QFile file(f.path(u"pell.ini"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// The command line as main reads it, from the arguments the launching program passed.
QString commandLineOf(const QStringList& arguments) {
    QList<QByteArray> bytes{"pelladmin"};
    for (const QString& a : arguments)
        bytes << a.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    return launchCommandLine(int(bytes.size()), argv.data());
}

// A control's caption: a button's text (its tool tip when it shows a picture), a label's or a frame's title.
struct Control {
    const char* name;
    const char* caption;
    int left, top, width, height; // a width of -1: the control may grow to fit its caption
};

struct Window {
    const char* title;
    std::function<std::unique_ptr<QWidget>(AppContext&)> make;
    int clientWidth, clientHeight; // of the widget named "client" where there is one, else of the window
    int helpContext;               // 0: F1 opens nothing
    const char* f1Target;          // the control that has the focus when F1 is pressed; empty: the window
    std::vector<Control> controls;
};

template <class W> std::function<std::unique_ptr<QWidget>(AppContext&)> made() {
    return
        [](AppContext& ctx) -> std::unique_ptr<QWidget> { return std::make_unique<Loaded<W>>(ctx, nullptr); };
}

QString captionOf(const QWidget* w) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text().isEmpty() ? button->toolTip() : button->text();
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (const auto* frame = qobject_cast<const QGroupBox*>(w))
        return frame->title();
    return {};
}

const std::vector<Window>& windows() {
    // clang-format off
    static const std::vector<Window> all = {
        {"Administrator",
         [](AppContext& ctx) -> std::unique_ptr<QWidget> { return std::make_unique<Admin_FORM>(ctx); },
         3870, 1785, 400, "", {
            {"Command3D2", "Users", 0, 0, 975, 975}, {"Command3D3", "Tools", 0, 960, 975, 855},
            {"Command3D1", "System", 960, 0, 1935, 375},
            {"Command3D8", "Backup Database", 960, 360, 1935, 375},
            {"Command3D7", "Repair Database", 960, 720, 1935, 375},
            {"Command3D6", "Compact Database", 960, 1080, 1935, 375},
            {"Command3D4", "Tables", 2880, 0, 975, 975}, {"Command3D5", "Exit", 2880, 960, 975, 855},
            {"SSCommand1", "Replication", 960, 1440, 1935, 375}}},
        {"About Pellwood", made<ABOUT_FORM>(), 5385, 2685, 0, "", {
            {"Label1", "Pellwood Version", 240, 240, 4815, 255}, {"Label4", "5.09d", 2280, 480, 855, 255},
            {"Command1", "OK", 2040, 2040, 1215, 495}}},
        {"Lookup Tables", made<F_LOOKUP>(), 5670, 3300, 2003, "List1", {
            {"Option1", "Category", 120, 0, 1935, 255}, {"Option2", "Priority", 120, 360, 1935, 255},
            {"List1", "", 0, 720, 5655, 1815}, {"Command1", "Add", 0, 2760, 975, 495},
            {"Command2", "Modify", 960, 2760, 975, 495}, {"Command3", "Delete", 1920, 2760, 975, 495},
            {"Command4", "Exit", 4560, 2760, 975, 495}}},
        {"Lookup Value", made<LOOKUP_FORM>(), 3930, 1305, 2003, "HOLD_KEY", {
            {"Label2", "Value:", 360, 120, 615, 255}, {"HOLD_KEY", "", 1080, 120, 2415, 285},
            {"Command1", "OK", 360, 600, 975, 495}, {"Command2", "Cancel", 2520, 600, 975, 495}}},
        {"Add-On Tool Administration", made<F_TOOL>(), 3840, 3255, 3, "List1", {
            {"List1", "", 0, 0, 3855, 2595}, {"Command1", "Add", 0, 2760, 975, 495},
            {"Command2", "Modify", 960, 2760, 975, 495}, {"Command3", "Delete", 1920, 2760, 975, 495},
            {"Command4", "Exit", 2880, 2760, 975, 495}}},
        {"TOOL", made<TOOL_FORM>(), 6045, 4245, 3, "", {
            {"Label2", "Tool Name", 360, 240, 975, 255}, {"HOLD_KEY", "", 1440, 240, 4455, 285},
            {"Label1", "Tool EXE", 360, 720, 855, 375}, {"Text1", "", 1440, 720, 4455, 285},
            {"Frame1", "Include On", 240, 1200, 5655, 975}, {"Check1", "Access Screen", 120, 360, 2895, 255},
            {"Check2", "Task Screen", 120, 600, 2895, 255},
            {"Frame2", "Passing Parameters", 240, 2280, 5655, 975},
            {"Check3", "User ID", 120, 360, 2895, 255}, {"Check4", "Task Number", 120, 600, 2895, 255},
            {"Command1", "OK", 240, 3600, 1095, 495}, {"Command2", "Cancel", 4800, 3600, 1095, 495}}},
        {"Team Builder / User Administrator", made<F_USER>(), 7605, 4590, 1, "", {
            {"Easytree1", "", 0, 0, 7575, 3855}, {"Command1", "Add", 120, 3960, 975, 495},
            {"Command2", "Modify", 1080, 3960, 975, 495}, {"Command3", "Delete", 2040, 3960, 975, 495},
            {"Command4", "Exit", 6480, 3960, 975, 495}}},
        {"User", made<USER_FORM>(), 6255, 4620, 1, "", {
            {"Label2", "User ID", 120, 120, 1215, 255}, {"HOLD_KEY", "", 1440, 120, 975, 360},
            {"Label1", "Name or Role", 120, 720, 1335, 255}, {"Text1", "", 1440, 720, 4455, 360},
            {"Label3", "Password", 120, 1320, 1215, 255}, {"Text3", "", 1440, 1320, 4455, 360},
            {"Check1", "Review Account", 120, 1920, 1935, 255},
            {"Check2", "Allow Freeform Routing", 120, 2280, 2415, 255},
            {"Check3", "Edit contact database", 3600, 1920, 2295, 255},
            {"Check4", "Delete contact database", 3600, 2280, 2655, 255},
            {"C_FULL_ACCESS", "Full access to Tasks", 120, 3000, 3615, 255},
            {"C_TEAMMATE_ACCESS", "Teammates and Team members", 120, 3360, 3615, 255},
            {"Option3", "Team member access only", 120, 3720, 3615, 255},
            {"Command1", "OK", 360, 4080, 1095, 495}, {"Command2", "Cancel", 4800, 4080, 1095, 495}}},
        {"System Options", made<F_SYSTEM>(), 5895, 5100, 2, "", {
            {"Label1", "Auto-Delete Closed Tasks more than ", 120, 240, 3492, 252},
            {"Text1", "", 3600, 240, 735, 288}, {"Label2", "days old.", 4440, 240, 855, 255},
            {"Label3", "Memory allocated to attachment copies", 120, 600, 3372, 252},
            {"Text2", "", 3600, 600, 735, 288}, {"Label4", "(2,000 - 20,000)", 4440, 600, 1575, 255},
            {"Check1", "Mandatory Target Date", 120, 1200, -1, 375},
            {"Check4", "Mandatory Category", 120, 1560, -1, 375},
            {"Check5", "Mandatory Contact", 120, 1920, -1, 375},
            {"Check7", "Mandatory Priority", 120, 2280, -1, 375},
            {"Check3", "Allow Non-Owner to Edit", 120, 3000, -1, 375},
            {"Check6", "Allow Attachments to be Edited/Deleted", 120, 3360, -1, 495},
            {"Command1", "OK", 720, 4440, 1215, 495}, {"Command2", "Cancel", 3600, 4440, 1215, 495}}},
        {"Replication Administrator", made<REPLICA_FORM>(), 4830, 3210, 34, "", {
            {"Command1", "Syncronize with Replicas", 0, 0, 1215, 615},
            {"Command2", "Create Replica", 1200, 0, 1215, 615},
            {"Command4", "Delete Replica Reference", 2400, 0, 1215, 615},
            {"Command3", "Make PELL database a Master", 3600, 0, 1215, 615},
            {"Label2", "", 120, 600, 4575, 255}, {"DBGrid1", "", 0, 840, 4815, 2415}}}
    };
    // clang-format on
    return all;
}

// The program's start and its Exit, as a process of its own (this test run again, as another user): the
// instance check, start-up and the Exit button, with the boxes scripted. "wait" keeps the copy running until
// standard input closes. Prints "started" or what refused it.
int instanceChild(const QString& folder, const QString& mode) {
    setPrivateRuntimeFolder();
    static int argc = 1;
    static char name[] = "pelladmin";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    ScriptedPlatform platform;
    AppState state;
    state.programFolder = folder;
    AppContext ctx{state, platform};
    SingleInstance instance(SingleInstance::defaultLockPath(QCoreApplication::applicationFilePath()));
    auto window = startAdmin(ctx, LaunchToken, instance);
    QTextStream out(stdout);
    if (!window) {
        out << "refused: " << platform.boxTexts().join(u'|') << "\n";
        return 3;
    }
    out << "started\n";
    out.flush();
    if (mode == "wait"_L1) {
        while (std::fgetc(stdin) != EOF) {
        }
    }
    window->findChild<QAbstractButton*>(u"Command3D5"_s)->click(); // Exit: ends the process at once
    return 4;
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

public:
    // Runs before the test's own application object: a child started by instanceLock... is the program.
    static void initMain() {
        if (qEnvironmentVariableIsSet("PELL_INSTANCE_CHILD"))
            std::exit(instanceChild(qEnvironmentVariable("PELL_INSTANCE_CHILD"),
                                    qEnvironmentVariable("PELL_INSTANCE_MODE")));
    }

private Q_SLOTS:
    void refusesAnythingButTheToken_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("empty") << QStringList();
        QTest::newRow("lower case") << QStringList{u"qxvr48153"_s};
        QTest::newRow("further text") << QStringList{u"QXVR48153"_s, u"extra"_s};
        QTest::newRow("trailing blank") << QStringList{u"QXVR48153 "_s};
        QTest::newRow("leading blank") << QStringList{u" QXVR48153"_s};
        QTest::newRow("other digits") << QStringList{u"QXVR48154"_s};
        // Options the toolkit would take for itself are further text like any other.
        QTest::newRow("style option") << QStringList{u"QXVR48153"_s, u"-style"_s, u"fusion"_s};
        QTest::newRow("platform option first") << QStringList{u"-platform"_s, u"offscreen"_s, u"QXVR48153"_s};
    }
    void refusesAnythingButTheToken() {
        QFETCH(QStringList, arguments);
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        SingleInstance instance(f.path(u"instance.lock"_s));
        QVERIFY(!startAdmin(f.ctx, commandLineOf(arguments), instance));
        QCOMPARE(f.platform.boxTexts(), QStringList{u"This program can only be executed by Pellwood"_s});
        const auto box = f.platform.boxes().first();
        QVERIFY(box.title == AppTitle && box.buttons == Buttons::OkOnly && box.icon == Icon::None);
        QVERIFY(f.state.DATABASE_PATH.isEmpty()); // ended before reading the configuration
    }

    void startsOnceWithTheTokenAndAReadableConfiguration() {
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE = /data/pell.mdb\r\nREPLICADB=/data/replica.mdb\r\n");
        f.platform.setScreenSizeTwips(QSize(28800, 21600));
        const QString lock = f.path(u"instance.lock"_s);
        SingleInstance instance(lock);
        auto window = startAdmin(f.ctx, commandLineOf({LaunchToken}), instance);
        QVERIFY(window);
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(f.state.DATABASE_PATH + u'|' + f.state.REPLICADB_PATH,
                 u"/data/pell.mdb|/data/replica.mdb"_s);
        QCOMPARE(f.state.helpFile, f.path(u"pell.hlp"_s)); // nothing opened the database: it need not exist
        // Centred across, a third of the free height down (within a pixel of rounding).
        QVERIFY(qAbs(window->x() - (twips::toPx(28800) - window->width()) / 2) <= 1);
        QVERIFY(qAbs(window->y() - (twips::toPx(21600) - window->height()) / 3) <= 1);
        // A second copy is refused first, and the running one keeps its claim.
        test::Fixture g;
        SingleInstance second(lock);
        QVERIFY(!startAdmin(g.ctx, LaunchToken, second));
        QCOMPARE(g.platform.boxTexts(), QStringList{u"This application is already running"_s});
        QVERIFY(!SingleInstance(lock).acquire());
        // A missing, empty, dangling or piped pell.ini ends start-up with the program-wide box
        // ("start*part"), the dangling link told as such; a pipe with nobody writing to it would block the
        // read forever.
        const std::pair<std::function<void(test::Fixture&)>, QString> badFiles[] = {
            {[](test::Fixture&) {}, u"Error 53:"_s},
            {[](test::Fixture& h) { writeIni(h, ""); }, u"Error 62:"_s},
            {[](test::Fixture& h) { QFile::link(h.path(u"gone.ini"_s), h.path(u"pell.ini"_s)); },
             u"Error 53:*gone.ini, which does not exist"_s},
            {[](test::Fixture& h) { ::mkfifo(QFile::encodeName(h.path(u"pell.ini"_s)).constData(), 0600); },
             u"Error 75:*not a regular file"_s}};
        for (const auto& [make, told] : badFiles) {
            test::Fixture h;
            make(h);
            SingleInstance own(h.path(u"instance.lock"_s));
            QVERIFY(!startAdmin(h.ctx, LaunchToken, own));
            QCOMPARE(h.platform.boxes().size(), 1);
            const QString text = h.platform.boxTexts().first();
            QVERIFY2(text.startsWith(told.section(u'*', 0, 0)) && text.contains(told.section(u'*', 1)),
                     qPrintable(text));
        }
    }

    // One administrator leaves through Exit (std::exit), another then starts: the claim is a kernel lock in
    // each user's own runtime folder, so no way of ending leaves anything behind and no user meets another's.
    void instanceLockIsPerUserAndEndsWithTheProcess() {
        if (!test::canSwitchUsers())
            QSKIP("needs root and setpriv to start the program as other users");
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        QVERIFY(::chmod(QFile::encodeName(f.dir.path()).constData(), 0755) == 0);
        QTemporaryDir tmp; // a shared temporary folder, as /tmp is
        QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 01777) == 0);
        const auto start = [&](const test::OtherUser& user, const char* mode) {
            auto p = std::make_unique<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(u"XDG_RUNTIME_DIR"_s);
            env.insert(u"TMPDIR"_s, tmp.path());
            env.insert(u"PELL_INSTANCE_CHILD"_s, f.dir.path());
            env.insert(u"PELL_INSTANCE_MODE"_s, QString::fromLatin1(mode));
            // The child ends through std::exit by design; what the font library of a user without a font
            // cache keeps then is no leak of ours. Address checks stay on.
            env.insert(u"ASAN_OPTIONS"_s, env.value(u"ASAN_OPTIONS"_s) + u":detect_leaks=0"_s);
            p->setProcessEnvironment(env);
            p->start(u"setpriv"_s, {u"--reuid=%1"_s.arg(user.uid), u"--regid=%1"_s.arg(user.gid),
                                    u"--clear-groups"_s, u"--"_s, QCoreApplication::applicationFilePath()});
            p->waitForStarted();
            return p;
        };
        // Starts, then leaves through Exit: "started" and status 0, or what refused it.
        const auto once = [&](const test::OtherUser& user) {
            auto p = start(user, "exit");
            p->closeWriteChannel();
            if (!p->waitForFinished(60000))
                return u"hung"_s;
            const QString said = QString::fromLocal8Bit(p->readAllStandardOutput()).trimmed();
            return p->exitCode() == 0 ? said : said + u" (status %1)"_s.arg(p->exitCode());
        };
        const test::OtherUser a{4711, 4711, {}}, b{4712, 4712, {}};
        QCOMPARE(once(a), u"started"_s);
        QCOMPARE(once(b), u"started"_s); // after the other's Exit
        QCOMPARE(once(a), u"started"_s);
        // While a copy runs, its user's second copy is refused; another user is not.
        auto running = start(a, "wait");
        QVERIFY(running->waitForReadyRead(60000));
        QCOMPARE(running->readLine().trimmed(), QByteArray("started"));
        QCOMPARE(once(a), u"refused: This application is already running (status 3)"_s);
        QCOMPARE(once(b), u"started"_s);
        // Killed, it leaves nothing behind either.
        running->kill();
        QVERIFY(running->waitForFinished(60000));
        QCOMPARE(once(a), u"started"_s);
        // Every user's claim lies in that user's own folder, none in the shared one.
        QVERIFY(QDir(tmp.path()).entryList({u"pelladmin-*"_s}, QDir::Files).isEmpty());
    }

    // The program's own files go where the program folder's "state" entry leads (the installed folder is
    // root's alone), else into the program folder, as in a build tree; the team tree's file follows.
    void stateFolderIsWhereTheStateEntryLeads() {
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        QCOMPARE(stateFolderOf(f.dir.path()), f.dir.path());
        QVERIFY(QFile::link(f.path(u"gone"_s), f.path(u"state"_s))); // dangling: not a folder
        QCOMPARE(stateFolderOf(f.dir.path()), f.dir.path());
        QVERIFY(QFile::remove(f.path(u"state"_s)));
        QTemporaryDir var;
        QVERIFY(QFile::link(var.path(), f.path(u"state"_s)));
        QCOMPARE(stateFolderOf(f.dir.path()), f.path(u"state"_s));
        SingleInstance instance(f.path(u"instance.lock"_s));
        QVERIFY(startAdmin(f.ctx, LaunchToken, instance));
        QCOMPARE(f.state.stateFolder, f.path(u"state"_s));
        f.makeSharedDb();
        {
            Loaded<F_USER> users(f.ctx, nullptr);
            users.show();
            QVERIFY(QTest::qWaitForWindowExposed(&users));
            users.Command4->click(); // Exit: the tree control writes its file back
        }
        QVERIFY(QFile::exists(var.filePath(u"status.tre"_s)));
        QCOMPARE(QDir(f.dir.path()).entryList({u"status.tre"_s}), QStringList());
    }

    void privateRuntimeFolderWhenNoneIsSet() {
        QTemporaryDir temp;
        const auto restore = qScopeGuard([saved = qgetenv("XDG_RUNTIME_DIR"), tmp = qgetenv("TMPDIR")] {
            qputenv("TMPDIR", tmp);
            saved.isNull() ? void(qunsetenv("XDG_RUNTIME_DIR")) : void(qputenv("XDG_RUNTIME_DIR", saved));
        });
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        // A start without the variable: the folder it names, if it is a folder of ours that only we may use.
        const auto start = [] {
            qunsetenv("XDG_RUNTIME_DIR");
            setPrivateRuntimeFolder();
            const QByteArray path = qgetenv("XDG_RUNTIME_DIR");
            struct stat st {};
            const bool ours = ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                              st.st_uid == ::getuid() && (st.st_mode & 07777) == 0700;
            return ours ? QFile::decodeName(path) : QString();
        };
        const QString first = start();
        QVERIFY(first.startsWith(temp.path()));
        QTest::failOnWarning(QRegularExpression(u"."_s));
        QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation), first);
        // The next start uses it again, its rights put right; a link standing in its place is not followed.
        QVERIFY(::chmod(QFile::encodeName(first).constData(), 0755) == 0);
        QCOMPARE(start(), first);
        QVERIFY(QDir(first).removeRecursively() && QFile::link(temp.path(), first));
        const QString other = start();
        QVERIFY(!other.isEmpty() && other != first);
        // A variable that is set is left alone.
        qputenv("XDG_RUNTIME_DIR", "/run/user/4242");
        setPrivateRuntimeFolder();
        QCOMPARE(qgetenv("XDG_RUNTIME_DIR"), QByteArray("/run/user/4242"));
    }

    void runScriptWantsADisplayBeforeBuilding() {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(u"DISPLAY"_s);
        env.remove(u"WAYLAND_DISPLAY"_s);
        run.setProcessEnvironment(env);
        run.start(QStringLiteral(PELL_SOURCE_DIR "/scripts/run"), {});
        QVERIFY(run.waitForFinished(600000));
        const QString out = QString::fromLocal8Bit(run.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(run.readAllStandardError());
        QCOMPARE(run.exitCode(), 1);
        QVERIFY2(err.contains(u"no display"_s), qPrintable(err));
        QVERIFY2(!out.contains(u"setup:"_s) && !err.contains(u"setup:"_s), qPrintable(out));
        // The program itself, started without a display (from cron, on a server): one line and status 1, not
        // the toolkit's abort.
        env.remove(u"QT_QPA_PLATFORM"_s);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(PELL_BIN_DIR "/pelladmin"), {LaunchToken});
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(
            QString::fromLocal8Bit(program.readAllStandardError()),
            u"pelladmin: no display to show the program on (set DISPLAY, or start it with xvfb-run)\n"_s);
    }

    void menusExitAndTheReplicationWindowBesideIt() {
        test::Fixture f;
        f.makeSharedDb();
        f.makeReplicaDb();
        Admin_FORM window(f.ctx);
        const QList<QAction*> menus = window.menuBar()->actions();
        QCOMPARE(test::menuEntries(window.menuBar(), false), (QStringList{u"&File"_s, u"&Help"_s}));
        QCOMPARE(test::menuEntries(menus[0]->menu()),
                 (QStringList{u"SYSTEM=&System"_s, u"USERS=&Users"_s, u"TOOLS=&Tools"_s,
                              u"LOOKUP=&Lookup Tables"_s, u"COMPACT=&Compact Database"_s,
                              u"REPAIR=&Repair Database"_s, u"BACKUP=Backup Database"_s, u"-FILL"_s,
                              u"EXIT=&Exit"_s}));
        QCOMPARE(test::menuEntries(menus[1]->menu()),
                 (QStringList{u"CONTENTS=&Contents"_s, u"-FILL01"_s, u"ABOUT=&About"_s}));
        int ended = 0;
        window.endProgram = [&] { ++ended; };
        window.findChild<QAction*>(u"EXIT"_s)->trigger(); // the Exit button is pressed in the keyboard test
        QCOMPARE(ended, 1);
        QVERIFY(f.platform.boxes().isEmpty());
        // Replication opens modeless, and only once.
        window.show();
        window.SSCommand1->click();
        REPLICA_FORM* first = window.replicaWindow();
        QVERIFY(first && first->isVisible() && !first->isModal());
        window.SSCommand1->click();
        QCOMPARE(window.replicaWindow(), first);
        int visible = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            visible += qobject_cast<REPLICA_FORM*>(w) != nullptr && w->isVisible() ? 1 : 0;
        QCOMPARE(visible, 1);
        first->close();
        QTRY_VERIFY(!window.replicaWindow());
    }

    void iniRules_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("paths"); // DATABASE|REPLICADB as read
        const auto row = [](const char* name, const char* text, const QString& paths) {
            QTest::newRow(name) << QByteArray(text) << paths;
        };
        row("typical", "[DATABASE]\r\nDATABASE=c:/p/pell.mdb\r\nREPLICADB=c:/p/rep.mdb\r\n",
            u"c:/p/pell.mdb|c:/p/rep.mdb"_s);
        // Keys in any case; only blanks around the value are trimmed, tabs and quotation marks stay.
        row("case and blanks",
            "[database]\r\n  dataBase  =   /a b/x.mdb   \r\nRepLicaDb= \t/r.mdb\"  \r\nend\r\n",
            u"/a b/x.mdb|\t/r.mdb\""_s);
        row("comment in first column only",
            "[DATABASE]\r\n;DATABASE=/commented\r\n ;REPLICADB=/not-comment\r\nx\r\n", u"|/not-comment"_s);
        row("a bracket ends the section and sets nothing",
            "[DATABASE]\r\nDATABASE=/a\r\nREPLICADB=/b[1]\r\nDATABASE=/c\r\n", u"/a|"_s);
        // "REPLICADB" contains "DATABASE" nowhere, but the path does: the line sets both.
        row("a line with both words sets both", "[DATABASE]\r\nREPLICADB=/database/rep.mdb\r\nx\r\n",
            u"/database/rep.mdb|/database/rep.mdb"_s);
        row("a later line wins", "[DATABASE]\r\nREPLICADB=/Database/rep.mdb\r\nDATABASE=/main.mdb\r\n",
            u"/main.mdb|/Database/rep.mdb"_s);
        row("no equals sign: the whole line", "[DATABASE]\r\n  database path  \r\nx\r\n",
            u"database path|"_s);
        row("keys outside the section",
            "DATABASE=/before\r\n[OTHER]\r\nDATABASE=/other\r\n[DATABASE]\r\nREPLICADB=/r\r\n[DATABASE]\r\n"
            "DATABASE=/second\r\n",
            u"|/r"_s);
        row("header anywhere in its line", "xx [Database] yy\r\nDATABASE=/a\r\n", u"/a|"_s);
        // Inside the section a line is examined before the end is tested: the last line counts.
        row("last line without line end", "[DATABASE]\r\nDATABASE=/last", u"/last|"_s);
        row("header on the last line", "foo\r\n[DATABASE]", u"|"_s);
        row("header alone", "[DATABASE]\r\n", u"|"_s);
        row("line feeds alone: one line", "[DATABASE]\nDATABASE=/a\nREPLICADB=/b\n", u"|"_s);
        row("carriage returns alone", "[DATABASE]\rDATABASE=/a\rREPLICADB=/b\r", u"/a|/b"_s);
        row("no section", "[OTHER]\r\nDATABASE=/a\r\n", u"|"_s);
    }
    void iniRules() {
        QFETCH(QByteArray, text);
        QFETCH(QString, paths);
        AppState state;
        readIniText(state, text);
        QCOMPARE(state.DATABASE_PATH + u'|' + state.REPLICADB_PATH, paths);
    }

    void randomInputNeverCrashes() {
        QRandomGenerator random(20261206);
        const QByteArray alphabet("[]=;\r\n DATABASEREPLICADBdatabase/\t\"x");
        for (int round = 0; round < 3000; ++round) {
            QByteArray text;
            const int n = int(random.bounded(80));
            for (int i = 0; i < n; ++i)
                text += alphabet.at(int(random.bounded(alphabet.size())));
            AppState s;
            const int error = test::errorOf([&] { readIniText(s, text); });
            QVERIFY(error == 0 || (error == err::InputPastEnd && text.isEmpty()));
            QVERIFY(!s.DATABASE_PATH.contains(u'\r'));
        }
    }

    void centerPosition() {
        QCOMPARE(centerPositionTwips(QSizeF(15360, 11520), QSizeF(3870, 2400)), QPointF(5745, 3040));
        // A window larger than the screen lands at a negative position.
        QCOMPARE(centerPositionTwips(QSizeF(3000, 3000), QSizeF(6000, 9000)), QPointF(-1500, -2000));
    }

    void titleSizePlacesCaptionsAndHelp() {
        test::Fixture f;
        f.makeSharedDb();
        f.makeReplicaDb();
        f.state.HOLD_ACTION = u"NEW"_s;
        f.state.LOOKUP_TABLE = u"LU_Category"_s;
        f.state.LOOKUP_FIELD = u"Category"_s;
        for (const Window& w : windows()) {
            const QString title = QString::fromLatin1(w.title);
            std::unique_ptr<QWidget> window = w.make(f.ctx);
            window->show();
            QVERIFY2(QTest::qWaitForWindowExposed(window.get()), w.title);
            QCOMPARE(window->windowTitle(), title);
            const auto* client = window->findChild<QWidget*>(u"client"_s);
            // The client area of the twips, grown by the pixels of any control they put past it.
            QRect area(0, 0, twips::toPx(w.clientWidth), twips::toPx(w.clientHeight));
            for (const Control& c : w.controls)
                area |= twips::rect(c.left, c.top, qMax(c.width, 0), c.height);
            QCOMPARE((client ? client : window.get())->size(), area.size());
            for (const Control& c : w.controls) {
                const QString where = title + u' ' + QString::fromLatin1(c.name);
                const auto* control = window->findChild<QWidget*>(QString::fromLatin1(c.name));
                QVERIFY2(control, qPrintable(where));
                QCOMPARE(captionOf(control), QString::fromLatin1(c.caption));
                const QRect expected = twips::rect(c.left, c.top, c.width < 0 ? 0 : c.width, c.height);
                QVERIFY2(control->pos() == expected.topLeft() && control->height() == expected.height(),
                         qPrintable(where));
                QVERIFY2(c.width < 0 ? control->width() >= twips::toPx(2415)
                                     : control->width() == expected.width(),
                         qPrintable(where));
            }
            // The main window's buttons take the focus in the order they stand.
            for (size_t i = 1; &w == &windows().front() && i < w.controls.size(); ++i)
                QCOMPARE(window->findChild<QWidget*>(QString::fromLatin1(w.controls[i - 1].name))
                             ->nextInFocusChain()
                             ->objectName(),
                         QString::fromLatin1(w.controls[i].name));
            // F1 opens the window's topic in the help viewer; the About box has none.
            f.platform.clear();
            QWidget* target =
                *w.f1Target ? window->findChild<QWidget*>(QString::fromLatin1(w.f1Target)) : window.get();
            QTest::keyClick(target, Qt::Key_F1);
            QStringList launched, expected;
            for (const auto& launch : f.platform.launches())
                launched << launch.program + u'|' + launch.arguments.join(u'|');
            if (w.helpContext != 0)
                expected << helpViewerPath(f.state) + u"|-context|"_s + QString::number(w.helpContext) +
                                u'|' + f.state.helpFile;
            QCOMPARE(launched, expected);
        }
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
