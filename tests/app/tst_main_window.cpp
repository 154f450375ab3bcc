// The main window as the administrator sees it: captions, places, fonts, menus and what the commands open.
#include "platform/twips.h"
#include "replication/REPLICA_FORM.h"
#include "shell/Admin_FORM.h"
#include "support/test_support.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

using namespace pell;

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void buttonsInTabOrder() {
        test::Fixture f;
        Admin_FORM window(f.ctx);
        QCOMPARE(window.windowTitle(), QStringLiteral("Administrator"));
        QCOMPARE(window.centralWidget()->size(), QSize(twips::toPx(3870), twips::toPx(1785)));
        const struct {
            const char* name;
            const char* caption;
            int l, t, w, h;
        } expected[] = {
            {"Command3D2", "Users", 0, 0, 975, 975},
            {"Command3D3", "Tools", 0, 960, 975, 855},
            {"Command3D1", "System", 960, 0, 1935, 375},
            {"Command3D8", "Backup Database", 960, 360, 1935, 375},
            {"Command3D7", "Repair Database", 960, 720, 1935, 375},
            {"Command3D6", "Compact Database", 960, 1080, 1935, 375},
            {"Command3D4", "Tables", 2880, 0, 975, 975},
            {"Command3D5", "Exit", 2880, 960, 975, 855},
            {"SSCommand1", "Replication", 960, 1440, 1935, 375},
        };
        QWidget* previous = nullptr;
        for (const auto& e : expected) {
            auto* button = window.findChild<QPushButton*>(QString::fromLatin1(e.name));
            QVERIFY2(button, e.name);
            QCOMPARE(button->text(), QString::fromLatin1(e.caption));
            QCOMPARE(button->geometry(), twips::rect(e.l, e.t, e.w, e.h));
            QVERIFY(button->font().bold());
            QCOMPARE(button->font().pointSizeF(), 8.25);
            if (previous)
                QCOMPARE(previous->nextInFocusChain(), static_cast<QWidget*>(button));
            previous = button;
        }
    }

    void menusAndAccessKeys() {
        test::Fixture f;
        Admin_FORM window(f.ctx);
        const QList<QAction*> menus = window.menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QStringLiteral("&File"));
        QCOMPARE(menus[1]->text(), QStringLiteral("&Help"));
        QStringList file;
        for (QAction* a : menus[0]->menu()->actions())
            file << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
        QCOMPARE(file, (QStringList{QStringLiteral("SYSTEM=&System"), QStringLiteral("USERS=&Users"),
                                    QStringLiteral("TOOLS=&Tools"), QStringLiteral("LOOKUP=&Lookup Tables"),
                                    QStringLiteral("COMPACT=&Compact Database"),
                                    QStringLiteral("REPAIR=&Repair Database"),
                                    QStringLiteral("BACKUP=Backup Database"), QStringLiteral("-"),
                                    QStringLiteral("EXIT=&Exit")}));
        QStringList help;
        for (QAction* a : menus[1]->menu()->actions())
            help << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
        QCOMPARE(help, (QStringList{QStringLiteral("CONTENTS=&Contents"), QStringLiteral("-"),
                                    QStringLiteral("ABOUT=&About")}));
    }

    void exitEndsAtOnce() {
        test::Fixture f;
        Admin_FORM window(f.ctx);
        int ended = 0;
        window.endProgram = [&] { ++ended; };
        window.findChild<QPushButton*>(QStringLiteral("Command3D5"))->click();
        window.findChild<QAction*>(QStringLiteral("EXIT"))->trigger();
        QCOMPARE(ended, 2);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void replicationOpensOnceBesideTheMainWindow() {
        test::Fixture f;
        f.makeSharedDb();
        f.makeReplicaDb();
        Admin_FORM window(f.ctx);
        window.show();
        window.SSCommand1->click();
        REPLICA_FORM* first = window.replicaWindow();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QVERIFY(!first->isModal());
        window.SSCommand1->click();
        QCOMPARE(window.replicaWindow(), first);
        int visible = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            visible += qobject_cast<REPLICA_FORM*>(w) != nullptr && w->isVisible() ? 1 : 0;
        QCOMPARE(visible, 1);
        first->close();
        QTRY_VERIFY(!window.replicaWindow());
    }

    void contentsStartsTheViewer() {
        test::Fixture f;
        Admin_FORM window(f.ctx);
        window.findChild<QAction*>(QStringLiteral("CONTENTS"))->trigger();
        window.findChild<QAction*>(QStringLiteral("CONTENTS"))->trigger();
        QCOMPARE(f.platform.launches().size(), 2); // two clicks, two viewers
        f.platform.failNextLaunch();
        window.CONTENTS_Click();
        QCOMPARE(f.platform.boxes().size(), 1); // the program-wide handler reports it
        QVERIFY(f.platform.boxes().first().text.startsWith(QLatin1String("Error 53:")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
