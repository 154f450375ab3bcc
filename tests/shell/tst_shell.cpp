// Start-up (the instance check first, then the launch token, then pell.ini), the main window's menus and
// commands, and the About box.
#include "platform/runtime_folder.h"
#include "platform/twips.h"
#include "replication/REPLICA_FORM.h"
#include "shell/ABOUT_FORM.h"
#include "shell/Admin_FORM.h"
#include "shell/single_instance.h"
#include "shell/startup.h"
#include "support/test_support.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

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

QStringList entries(QMenu* menu) {
    QStringList list;
    for (QAction* a : menu->actions())
        list << (a->isSeparator() ? u"-"_s : a->objectName() + u'=' + a->text());
    return list;
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

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
        // A missing or empty pell.ini ends start-up with the program-wide box.
        for (const QByteArray& ini : {QByteArray(), QByteArray("")}) {
            test::Fixture h;
            if (!ini.isNull())
                writeIni(h, ini);
            SingleInstance own(h.path(u"instance.lock"_s));
            QVERIFY(!startAdmin(h.ctx, LaunchToken, own));
            QCOMPARE(h.platform.boxes().size(), 1);
            QVERIFY2(h.platform.boxTexts().first().startsWith(ini.isNull() ? u"Error 53:"_s : u"Error 62:"_s),
                     qPrintable(h.platform.boxTexts().first()));
        }
    }

    void privateRuntimeFolderWhenNoneIsSet() {
        QTemporaryDir temp;
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray savedTemp = qgetenv("TMPDIR");
        const auto restore = qScopeGuard([&] {
            qputenv("TMPDIR", savedTemp);
            if (saved.isNull())
                qunsetenv("XDG_RUNTIME_DIR");
            else
                qputenv("XDG_RUNTIME_DIR", saved);
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
    }

    void menusExitAndTheReplicationWindowBesideIt() {
        test::Fixture f;
        f.makeSharedDb();
        f.makeReplicaDb();
        Admin_FORM window(f.ctx);
        const QList<QAction*> menus = window.menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text() + u'|' + menus[1]->text(), u"&File|&Help"_s);
        QCOMPARE(entries(menus[0]->menu()),
                 (QStringList{u"SYSTEM=&System"_s, u"USERS=&Users"_s, u"TOOLS=&Tools"_s,
                              u"LOOKUP=&Lookup Tables"_s, u"COMPACT=&Compact Database"_s,
                              u"REPAIR=&Repair Database"_s, u"BACKUP=Backup Database"_s, u"-"_s,
                              u"EXIT=&Exit"_s}));
        QCOMPARE(entries(menus[1]->menu()),
                 (QStringList{u"CONTENTS=&Contents"_s, u"-"_s, u"ABOUT=&About"_s}));
        int ended = 0;
        window.endProgram = [&] { ++ended; };
        window.Command3D5->click();
        window.findChild<QAction*>(u"EXIT"_s)->trigger();
        QCOMPARE(ended, 2);
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

    void aboutLoadsAfreshAtEveryShowing() {
        test::Fixture f;
        {
            Loaded<ABOUT_FORM> about(f.ctx, nullptr);
            about.show();
            about.Label4->setText(u"changed"_s);
            about.Command1->click();
            QVERIFY(about.isUnloaded() && !about.isVisible());
        }
        Loaded<ABOUT_FORM> again(f.ctx, nullptr);
        QCOMPARE(again.Label4->text(), u"5.09d"_s);
        QVERIFY(!again.isUnloaded());
        QVERIFY(f.platform.boxes().isEmpty());
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
