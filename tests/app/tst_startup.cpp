// Start-up of the main window: instance check first, then the launch token, then pell.ini.
#include "platform/runtime_folder.h"
#include "shell/Admin_FORM.h"
#include "shell/single_instance.h"
#include "shell/startup.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace pell;

class TestStartup : public QObject {
    Q_OBJECT

    static void writeIni(test::Fixture& f, const QByteArray& text) {
        QFile file(f.path(QStringLiteral("pell.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

private Q_SLOTS:
    // The arguments as the launching program passed them, the program's name first.
    static QString commandLineOf(const QStringList& arguments) {
        QList<QByteArray> bytes{"pelladmin"};
        for (const QString& a : arguments)
            bytes << a.toLocal8Bit();
        std::vector<char*> argv;
        for (QByteArray& b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        return launchCommandLine(int(bytes.size()), argv.data());
    }

    void refusesAnythingButTheToken_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("empty") << QStringList();
        QTest::newRow("lower case") << QStringList{QStringLiteral("qxvr48153")};
        QTest::newRow("further text") << QStringList{QStringLiteral("QXVR48153"), QStringLiteral("extra")};
        QTest::newRow("trailing blank") << QStringList{QStringLiteral("QXVR48153 ")};
        QTest::newRow("leading blank") << QStringList{QStringLiteral(" QXVR48153")};
        QTest::newRow("other digits") << QStringList{QStringLiteral("QXVR48154")};
        // Options the toolkit would take for itself are further text like any other.
        QTest::newRow("style option")
            << QStringList{QStringLiteral("QXVR48153"), QStringLiteral("-style"), QStringLiteral("fusion")};
        QTest::newRow("platform option first") << QStringList{
            QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("QXVR48153")};
    }
    void refusesAnythingButTheToken() {
        QFETCH(QStringList, arguments);
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        SingleInstance instance(f.path(QStringLiteral("instance.lock")));
        QVERIFY(!startAdmin(f.ctx, commandLineOf(arguments), instance));
        QCOMPARE(f.platform.boxTexts(),
                 QStringList{QStringLiteral("This program can only be executed by Pellwood")});
        QCOMPARE(f.platform.boxes().first().title, QStringLiteral("Pell Admin"));
        QCOMPARE(f.platform.boxes().first().buttons, Buttons::OkOnly);
        QCOMPARE(f.platform.boxes().first().icon, Icon::None);
        QVERIFY(f.state.DATABASE_PATH.isEmpty()); // ended before reading the configuration
    }

    void secondInstanceIsRefusedFirst() {
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        const QString lock = f.path(QStringLiteral("instance.lock"));
        SingleInstance running(lock);
        QVERIFY(running.acquire());
        SingleInstance second(lock);
        QVERIFY(!startAdmin(f.ctx, LaunchToken, second));
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("This application is already running")});
        // The running one is unaffected and a copy started after it ends can run.
        SingleInstance third(lock);
        QVERIFY(!third.acquire());
    }

    void startsWithTheToken() {
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE = /data/pell.mdb\r\nREPLICADB=/data/replica.mdb\r\n");
        SingleInstance instance(f.path(QStringLiteral("instance.lock")));
        auto window = startAdmin(f.ctx, commandLineOf({LaunchToken}), instance);
        QVERIFY(window);
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(f.state.DATABASE_PATH, QStringLiteral("/data/pell.mdb"));
        QCOMPARE(f.state.REPLICADB_PATH, QStringLiteral("/data/replica.mdb"));
        QCOMPARE(f.state.helpFile, f.path(QStringLiteral("pell.hlp")));
        // Nothing opened the database: the path need not exist.
    }

    void configurationErrorsEndStartUp() {
        test::Fixture f;
        SingleInstance instance(f.path(QStringLiteral("instance.lock")));
        QVERIFY(!startAdmin(f.ctx, LaunchToken, instance));
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY2(f.platform.boxes().first().text.startsWith(QLatin1String("Error 53:")),
                 qPrintable(f.platform.boxes().first().text));

        test::Fixture g;
        writeIni(g, "");
        SingleInstance instance2(g.path(QStringLiteral("instance.lock")));
        QVERIFY(!startAdmin(g.ctx, LaunchToken, instance2));
        QVERIFY(g.platform.boxes().first().text.startsWith(QLatin1String("Error 62:")));
    }

    void placedCentredAThirdDown() {
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\n");
        f.platform.setScreenSizeTwips(QSize(28800, 21600));
        SingleInstance instance(f.path(QStringLiteral("instance.lock")));
        auto window = startAdmin(f.ctx, LaunchToken, instance);
        QVERIFY(window);
        const QPoint pos = window->pos();
        const int screenW = twipsPx(28800), screenH = twipsPx(21600);
        QVERIFY(qAbs(pos.x() - (screenW - window->width()) / 2) <= 1);
        QVERIFY(qAbs(pos.y() - (screenH - window->height()) / 3) <= 1);
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
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
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
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        run.setProcessEnvironment(env);
        run.start(QStringLiteral(PELL_SOURCE_DIR "/scripts/run"), {});
        QVERIFY(run.waitForFinished(600000));
        const QString out = QString::fromLocal8Bit(run.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(run.readAllStandardError());
        QCOMPARE(run.exitCode(), 1);
        QVERIFY2(err.contains(QStringLiteral("no display")), qPrintable(err));
        QVERIFY2(!out.contains(QStringLiteral("setup:")) && !err.contains(QStringLiteral("setup:")),
                 qPrintable(out));
    }

private:
    static int twipsPx(int t);
};

#include "platform/twips.h"
int TestStartup::twipsPx(int t) {
    return twips::toPx(t);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
