// Help: the command lines that Contents and F1 start, the help file we ship, the viewer window and the
// pellhelp program itself.
#include "app/ABOUT_FORM.h"
#include "app/Admin_FORM.h"
#include "app/help_launcher.h"
#include "help/help_document.h"
#include "help/help_viewer.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "replication/REPLICA_FORM.h"
#include "support/test_support.h"
#include "system/F_SYSTEM.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTabWidget>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

using namespace pell;
using pell::help::HelpDocument;
using pell::help::HelpViewer;

namespace {

const QList<int> WindowContexts{400, 1, 2, 3, 2003, 34};

QString shippedHelpFile() {
    return QStringLiteral(PELL_BIN_DIR "/pell.hlp");
}

QString pellhelpPath() {
    return QStringLiteral(PELL_BIN_DIR "/pellhelp");
}

// F1 in a window; the one launch it made, or an empty launch when it made none.
ScriptedPlatform::Launch pressF1(test::Fixture& f, QWidget* target) {
    f.platform.clear();
    QTest::keyClick(target, Qt::Key_F1);
    if (f.platform.launches().size() != 1)
        return {};
    return f.platform.launches().first();
}

QStringList topicArguments(const test::Fixture& f, int context) {
    return {QStringLiteral("-context"), QString::number(context), f.state.helpFile};
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void contentsStartsMaximizedViewerEachTime();
    void contentsFailureReachesProgramWideHandler();
    void f1InEveryWindowOpensItsTopic();
    void shippedFileHasEveryTopicAndIndex();
    void parserReadsTheFormat();
    void viewerOpensEachContextAtItsTopic();
    void viewerFollowsLinksAndIndex();
    void viewerReportsMissingOrBrokenFile();
    void programPrintsTopicsByContext();
    void programSurvivesMissingFile();
};

void TestHelp::contentsStartsMaximizedViewerEachTime() {
    test::Fixture f;
    Admin_FORM main(f.ctx);
    auto* contents = main.findChild<QAction*>(QStringLiteral("CONTENTS"));
    QVERIFY(contents);
    contents->trigger();
    contents->trigger();
    QCOMPARE(f.platform.launches().size(), 2);
    for (const auto& launch : f.platform.launches()) {
        QCOMPARE(launch.program, f.state.programFolder + QStringLiteral("/pellhelp"));
        QCOMPARE(launch.arguments, (QStringList{QStringLiteral("-maximized"),
                                                f.state.programFolder + QStringLiteral("/pell.hlp")}));
        QVERIFY(launch.maximized);
    }
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestHelp::contentsFailureReachesProgramWideHandler() {
    test::Fixture f;
    Admin_FORM main(f.ctx);
    f.platform.failNextLaunch();
    main.CONTENTS_Click();
    QCOMPARE(f.platform.boxes().size(), 1);
    QVERIFY(f.platform.boxes().first().text.startsWith(QStringLiteral("Error 53: ")));
    QVERIFY(f.platform.launches().isEmpty());
    // The program goes on: the next Contents starts the viewer.
    main.CONTENTS_Click();
    QCOMPARE(f.platform.launches().size(), 1);
}

void TestHelp::f1InEveryWindowOpensItsTopic() {
    test::Fixture f;
    f.makeSharedDb();
    f.makeReplicaDb();

    Admin_FORM main(f.ctx);
    auto launch = pressF1(f, &main);
    QCOMPARE(launch.program, helpViewerPath(f.state));
    QCOMPARE(launch.arguments, topicArguments(f, 400));

    {
        F_LOOKUP window(f.ctx, nullptr);
        window.show();
        // From the list, which has the focus: the key reaches the window.
        QCOMPARE(pressF1(f, window.List1).arguments, topicArguments(f, 2003));
        LOOKUP_FORM editor(f.ctx, nullptr);
        QCOMPARE(pressF1(f, editor.HOLD_KEY).arguments, topicArguments(f, 2003));
    }
    {
        F_TOOL window(f.ctx, nullptr);
        window.show();
        QCOMPARE(pressF1(f, window.List1).arguments, topicArguments(f, 3));
        f.state.HOLD_ACTION = QStringLiteral("NEW");
        TOOL_FORM editor(f.ctx, nullptr);
        QCOMPARE(pressF1(f, &editor).arguments, topicArguments(f, 3));
    }
    {
        F_USER window(f.ctx, nullptr);
        QCOMPARE(pressF1(f, &window).arguments, topicArguments(f, 1));
        f.state.HOLD_FIELD = QStringLiteral("User_ID");
        f.state.HOLD_ACTION = QStringLiteral("NEW");
        f.state.HOLD_VALUE = QStringLiteral("admin");
        USER_FORM editor(f.ctx, nullptr);
        QCOMPARE(pressF1(f, &editor).arguments, topicArguments(f, 1));
    }
    {
        F_SYSTEM window(f.ctx, nullptr);
        QCOMPARE(pressF1(f, &window).arguments, topicArguments(f, 2));
    }
    {
        REPLICA_FORM window(f.ctx, nullptr);
        QCOMPARE(pressF1(f, &window).arguments, topicArguments(f, 34));
    }
    {
        ABOUT_FORM about(f.ctx, nullptr);
        f.platform.clear();
        QTest::keyClick(&about, Qt::Key_F1);
        QVERIFY(f.platform.launches().isEmpty());
    }
}

void TestHelp::shippedFileHasEveryTopicAndIndex() {
    HelpDocument doc;
    QString error;
    QVERIFY2(HelpDocument::load(shippedHelpFile(), doc, &error), qPrintable(error));
    QVERIFY(!doc.title().isEmpty());
    QVERIFY(doc.topic(0));
    for (int context : WindowContexts) {
        const help::HelpTopic* topic = doc.topic(context);
        QVERIFY2(topic, qPrintable(QString::number(context)));
        QVERIFY(!topic->title.isEmpty());
        QVERIFY2(topic->keywords.size() >= 3, qPrintable(topic->title));
        QVERIFY2(topic->lines.join(u' ').size() > 600, qPrintable(topic->title));
    }
    // Every link leads somewhere, and every topic is reachable from the contents page.
    static const QRegularExpression link(QStringLiteral(R"(\[\[(\d+)(?:\|[^\]]*)?\]\])"));
    for (const help::HelpTopic& topic : doc.topics()) {
        auto it = link.globalMatch(topic.lines.join(u'\n'));
        while (it.hasNext()) {
            const int target = it.next().captured(1).toInt();
            QVERIFY2(doc.topic(target),
                     qPrintable(QStringLiteral("%1 -> %2").arg(topic.context).arg(target)));
        }
    }
    const QString contents = doc.topicHtml(0);
    for (int context : WindowContexts)
        QVERIFY(contents.contains(QStringLiteral("href=\"topic:%1\"").arg(context)));
    // The messages an administrator meets are explained where they appear.
    QVERIFY(doc.topicText(2003).contains(QStringLiteral("Value already exists, Please specify another ID.")));
    QVERIFY(doc.topicText(2003).contains(QStringLiteral("Unable to delete.")));
    QVERIFY(
        doc.topicText(3).contains(QStringLiteral("Tool Name already exists, Please specify another Name.")));
    QVERIFY(doc.topicText(400).contains(QStringLiteral("Database has been compacted")));

    const auto index = doc.index();
    QVERIFY(index.size() > 30);
    for (qsizetype i = 1; i < index.size(); ++i)
        QVERIFY(index[i - 1].first.compare(index[i].first, Qt::CaseInsensitive) <= 0);
}

void TestHelp::parserReadsTheFormat() {
    const HelpDocument doc = HelpDocument::parse(QStringLiteral(
        "# a comment\r\n@title Sample help\r\n@topic 0 Contents\r\nWelcome.\r\n"
        "@topic 7 Seven & more\r\n@keywords one; two ;; \r\n\r\nFirst <line>\r\ncontinued.\r\n\r\n"
        "== Part\r\n- item [[0]]\r\n  goes on\r\n- see [[7|this]] and [[99]]\r\n\r\n\r\n"
        "@topic x broken\r\nlost text\r\n"));
    QCOMPARE(doc.title(), QStringLiteral("Sample help"));
    QCOMPARE(doc.topics().size(), 2);
    const help::HelpTopic* seven = doc.topic(7);
    QVERIFY(seven);
    QCOMPARE(seven->title, QStringLiteral("Seven & more"));
    QCOMPARE(seven->keywords, (QStringList{QStringLiteral("one"), QStringLiteral("two")}));
    QCOMPARE(seven->lines.first(), QStringLiteral("First <line>"));
    QVERIFY(seven->lines.last().startsWith(QStringLiteral("- see")));
    const QString html = doc.topicHtml(7);
    QVERIFY(html.contains(QStringLiteral("<h2>Seven &amp; more</h2>")));
    QVERIFY(html.contains(QStringLiteral("<p>First &lt;line&gt; continued.</p>")));
    QVERIFY(html.contains(QStringLiteral("<h3>Part</h3>")));
    QVERIFY(html.contains(QStringLiteral("<li>item <a href=\"topic:0\">Contents</a> goes on</li>")));
    QVERIFY(html.contains(QStringLiteral("<a href=\"topic:7\">this</a>")));
    QVERIFY(html.contains(QStringLiteral("<a href=\"topic:99\">99</a>")));
    QVERIFY(!html.contains(QStringLiteral("lost text")));
    QVERIFY(doc.topicText(7).startsWith(QStringLiteral("Seven & more\n")));
    QVERIFY(doc.topicText(7).contains(QStringLiteral("- see this and 99")));
    QVERIFY(doc.topicHtml(0).contains(QStringLiteral("<a href=\"topic:7\">Seven &amp; more</a>")));
    QVERIFY(doc.topicHtml(5).isEmpty());
    const auto index = doc.index();
    QCOMPARE(index.size(), 3);
    QCOMPARE(index.first().first, QStringLiteral("one"));
    QCOMPARE(index.last().first, QStringLiteral("two"));
}

void TestHelp::viewerOpensEachContextAtItsTopic() {
    HelpViewer viewer;
    QVERIFY(viewer.openFile(shippedHelpFile()));
    QVERIFY(viewer.errorText().isEmpty());
    for (int context : WindowContexts) {
        QVERIFY(viewer.showTopic(context));
        QCOMPARE(viewer.currentContext(), context);
        const QString title = viewer.document().topic(context)->title;
        QVERIFY(viewer.topicView->toPlainText().startsWith(title));
        QCOMPARE(viewer.contentsList->currentItem()->text(), title);
    }
    viewer.showContents();
    QCOMPARE(viewer.currentContext(), 0);

    QVERIFY(!viewer.showTopic(4242));
    QCOMPARE(viewer.currentContext(), 0);
    QVERIFY(viewer.topicView->toPlainText().contains(QStringLiteral("context number 4242")));
}

void TestHelp::viewerFollowsLinksAndIndex() {
    HelpViewer viewer;
    QVERIFY(viewer.openFile(shippedHelpFile()));
    viewer.showContents();
    Q_EMIT viewer.topicView->anchorClicked(QUrl(QStringLiteral("topic:2003")));
    QCOMPARE(viewer.currentContext(), 2003);

    QVERIFY(viewer.indexList->count() > 30);
    QListWidgetItem* entry = nullptr;
    for (int i = 0; i < viewer.indexList->count(); ++i) {
        if (viewer.indexList->item(i)->text() == QStringLiteral("Replication Administrator"))
            entry = viewer.indexList->item(i);
    }
    QVERIFY(entry);
    Q_EMIT viewer.indexList->itemClicked(entry);
    QCOMPARE(viewer.currentContext(), 34);
}

void TestHelp::viewerReportsMissingOrBrokenFile() {
    QTemporaryDir dir;
    HelpViewer viewer;
    const QString missing = dir.filePath(QStringLiteral("pell.hlp"));
    QVERIFY(!viewer.openFile(missing));
    QVERIFY(viewer.errorText().contains(missing));
    QVERIFY(viewer.topicView->toPlainText().contains(QStringLiteral("was not found")));
    QVERIFY(!viewer.navigation->isEnabled());
    QVERIFY(!viewer.showTopic(400));
    QCOMPARE(viewer.currentContext(), -1);

    QFile empty(missing);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.write("just words, no topics\n");
    empty.close();
    QVERIFY(!viewer.openFile(missing));
    QVERIFY(viewer.errorText().contains(QStringLiteral("holds no topics")));

    QVERIFY(!viewer.openFile(QString()));
    QVERIFY(!viewer.errorText().isEmpty());

    // A good file afterwards works again.
    QVERIFY(viewer.openFile(shippedHelpFile()));
    QVERIFY(viewer.navigation->isEnabled());
    QVERIFY(viewer.showTopic(1));
}

void TestHelp::programPrintsTopicsByContext() {
    HelpDocument doc;
    QVERIFY(HelpDocument::load(shippedHelpFile(), doc, nullptr));
    for (int context : WindowContexts) {
        QProcess p;
        p.start(pellhelpPath(), {QStringLiteral("-print"), QStringLiteral("-context"),
                                 QString::number(context), shippedHelpFile()});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.startsWith(doc.topic(context)->title + u'\n'), qPrintable(out.left(80)));
    }
    QProcess unknown;
    unknown.start(pellhelpPath(), {QStringLiteral("-print"), QStringLiteral("-context"), QStringLiteral("77"),
                                   shippedHelpFile()});
    QVERIFY(unknown.waitForFinished(30000));
    QCOMPARE(unknown.exitCode(), 2);
}

void TestHelp::programSurvivesMissingFile() {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("pell.hlp"));
    QProcess print;
    print.start(pellhelpPath(), {QStringLiteral("-print"), missing});
    QVERIFY(print.waitForFinished(30000));
    QCOMPARE(print.exitStatus(), QProcess::NormalExit);
    QCOMPARE(print.exitCode(), 1);
    QVERIFY(QString::fromUtf8(print.readAllStandardError()).contains(QStringLiteral("was not found")));

    // The window itself reports it and stays up until it is closed.
    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.setProcessEnvironment(env);
    window.start(pellhelpPath(),
                 {QStringLiteral("-maximized"), QStringLiteral("-context"), QStringLiteral("2003"), missing});
    QVERIFY(window.waitForStarted(30000));
    QVERIFY(!window.waitForFinished(1500));
    QCOMPARE(window.state(), QProcess::Running);
    window.kill();
    QVERIFY(window.waitForFinished(10000));
}

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
