// Start-up of the main window: instance check first, then the launch token, then pell.ini.
#include "app/Admin_FORM.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "support/test_support.h"

#include <QFile>
#include <QtTest>

using namespace pell;

class TestStartup : public QObject {
    Q_OBJECT

    static void writeIni(test::Fixture& f, const QByteArray& text) {
        QFile file(f.path(QStringLiteral("pell.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

private Q_SLOTS:
    void refusesAnythingButTheToken_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::newRow("empty") << QString();
        QTest::newRow("lower case") << QStringLiteral("qxvr48153");
        QTest::newRow("further text") << QStringLiteral("QXVR48153 extra");
        QTest::newRow("trailing blank") << QStringLiteral("QXVR48153 ");
        QTest::newRow("leading blank") << QStringLiteral(" QXVR48153");
        QTest::newRow("other digits") << QStringLiteral("QXVR48154");
    }
    void refusesAnythingButTheToken() {
        QFETCH(QString, commandLine);
        test::Fixture f;
        writeIni(f, "[DATABASE]\r\nDATABASE=/x\r\n");
        SingleInstance instance(f.path(QStringLiteral("instance.lock")));
        QVERIFY(!startAdmin(f.ctx, commandLine, instance));
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
        auto window = startAdmin(f.ctx, LaunchToken, instance);
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

private:
    static int twipsPx(int t);
};

#include "widgets/twips.h"
int TestStartup::twipsPx(int t) {
    return twips::toPx(t);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
