// Help: the command lines that Contents and F1 start, the help file we ship, the viewer window and the
// pellhelp program itself.
#include "help/help_document.h"
#include "help/help_viewer.h"
#include "platform/program_font.h"
#include "shell/Admin_FORM.h"
#include "support/db_dump.h"

#include <QAction>
#include <QFontInfo>
#include <QListWidget>
#include <QProcess>
#include <QTextBrowser>
#include <QtTest>

using namespace pell;
using namespace Qt::StringLiterals;
using pell::help::HelpDocument;
using pell::help::HelpViewer;

namespace {

const QString ShippedFile = QStringLiteral(PELL_BIN_DIR "/pell.hlp");

// Runs pellhelp to its end; its exit code and what it printed (standard output, then standard error).
std::pair<int, QString> runPellhelp(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(PELL_BIN_DIR "/pellhelp"), arguments);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return {-1, {}};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError())};
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void contentsStartsMaximizedViewerEachTime() {
        test::Fixture f;
        Admin_FORM main(f.ctx);
        auto* contents = main.findChild<QAction*>(u"CONTENTS"_s);
        QVERIFY(contents);
        // A viewer that cannot start is reported, and the program goes on: each Contents starts one.
        f.platform.failNextLaunch();
        for (int i = 0; i < 3; ++i)
            contents->trigger();
        QVERIFY(f.platform.boxTexts().size() == 1 && f.platform.boxTexts()[0].startsWith(u"Error 53: "_s));
        QCOMPARE(f.platform.launches().size(), 2);
        for (const auto& launch : f.platform.launches())
            QVERIFY(launch.program == f.state.programFolder + u"/pellhelp"_s && launch.maximized &&
                    launch.arguments ==
                        QStringList({u"-maximized"_s, f.state.programFolder + u"/pell.hlp"_s}));
    }

    void theShippedFileInTheViewer() {
        HelpViewer viewer;
        const HelpDocument& doc = viewer.document();
        // The topics read in the program's face.
        QCOMPARE(QFontInfo(viewer.topicView->font()).family(), QFontInfo(pell::programFont()).family());
        QVERIFY2(viewer.openFile(ShippedFile) && viewer.errorText().isEmpty() && !doc.title().isEmpty(),
                 qPrintable(viewer.errorText()));
        // Each window's topic, reached from Contents, with words enough and index entries, as the viewer
        // shows it.
        const QString contents = doc.topicHtml(0);
        for (int context : {400, 1, 2, 3, 2003, 34}) { // the windows' help contexts
            const help::HelpTopic* topic = doc.topic(context);
            QVERIFY2(topic && topic->keywords.size() >= 3 && topic->lines.join(u' ').size() > 600 &&
                         contents.contains(u"href=\"topic:%1\""_s.arg(context)) &&
                         viewer.showTopic(context) && viewer.currentContext() == context &&
                         viewer.topicView->toPlainText().startsWith(topic->title) &&
                         viewer.contentsList->currentItem()->text() == topic->title &&
                         !topic->title.isEmpty(),
                     qPrintable(QString::number(context)));
        }
        // Every link leads somewhere.
        static const QRegularExpression link(uR"(\[\[(\d+)(?:\|[^\]]*)?\]\])"_s);
        for (const help::HelpTopic& topic : doc.topics())
            for (auto it = link.globalMatch(topic.lines.join(u'\n')); it.hasNext();) {
                const int target = it.next().captured(1).toInt();
                QVERIFY2(doc.topic(target), qPrintable(u"%1 -> %2"_s.arg(topic.context).arg(target)));
            }
        // The messages an administrator meets are explained where they appear; a failed backup leaves nothing
        // half written, and the help says so.
        const std::pair<int, QString> explained[] = {
            {2003, u"Value already exists, Please specify another ID."_s},
            {2003, u"Unable to delete."_s},
            {3, u"Tool Name already exists, Please specify another Name."_s},
            {400, u"Database has been compacted"_s},
            {400, u"No partly written copy is left"_s}};
        for (const auto& [context, message] : explained)
            QVERIFY2(doc.topicText(context).contains(message), qPrintable(message));
        QVERIFY(!doc.topicText(400).contains(u"partly written copy may remain"_s));
        const auto index = doc.index();
        QVERIFY(index.size() > 30);
        for (qsizetype i = 1; i < index.size(); ++i)
            QVERIFY(index[i - 1].first.compare(index[i].first, Qt::CaseInsensitive) <= 0);

        // Contents, then a topic the file lacks: said, and Contents stays.
        viewer.showContents();
        QVERIFY(!viewer.showTopic(4242) && viewer.currentContext() == 0 &&
                viewer.topicView->toPlainText().contains(u"context number 4242"_s));

        // pellhelp prints one window's topic as the viewer reads it.
        const auto [printed, text] = runPellhelp({u"-print"_s, u"-context"_s, u"2003"_s, ShippedFile});
        QVERIFY2(printed == 0 && text.startsWith(doc.topic(2003)->title + u'\n'), qPrintable(text.left(80)));
        Q_EMIT viewer.topicView->anchorClicked(QUrl(u"topic:2003"_s));
        QCOMPARE(viewer.currentContext(), 2003);
        const auto entries = viewer.indexList->findItems(u"Replication Administrator"_s, Qt::MatchExactly);
        QVERIFY(!entries.isEmpty());
        Q_EMIT viewer.indexList->itemClicked(entries.last());
        QCOMPARE(viewer.currentContext(), 34);
        // Entries that differ only in case are one; every entry can be read whole in the list as shown.
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        viewer.navigation->setCurrentWidget(viewer.indexList);
        QVERIFY(QTest::qWaitFor([&] { return viewer.indexList->isVisible(); }));
        viewer.indexList->doItemsLayout();
        QSet<QString> seen;
        for (int i = 0; i < viewer.indexList->count(); ++i) {
            const QListWidgetItem* item = viewer.indexList->item(i);
            seen.insert(item->text().toLower());
            const QRect shown = viewer.indexList->visualItemRect(item);
            const QRect needed = viewer.indexList->fontMetrics().boundingRect(
                QRect(0, 0, shown.width() - 4, 10000), Qt::TextWordWrap, item->text());
            QVERIFY2(shown.width() <= viewer.indexList->viewport()->width() &&
                         needed.width() <= shown.width() && needed.height() <= shown.height(),
                     qPrintable(item->text()));
        }
        QVERIFY(seen.size() == viewer.indexList->count() && seen.size() > 30);

        // A missing file, one without topics and no name at all are reported; a good file then works again.
        QTemporaryDir dir;
        const QString missing = dir.filePath(u"pell.hlp"_s);
        QVERIFY(!viewer.openFile(missing) && viewer.errorText().contains(missing));
        QVERIFY(viewer.topicView->toPlainText().contains(u"was not found"_s) &&
                !viewer.navigation->isEnabled());
        QVERIFY(!viewer.showTopic(400));
        test::writeFile(missing, "just words, no topics\n");
        QVERIFY(!viewer.openFile(missing) && viewer.errorText().contains(u"holds no topics"_s));
        QVERIFY(!viewer.openFile(QString()) && !viewer.errorText().isEmpty());
        QVERIFY(viewer.openFile(ShippedFile) && viewer.navigation->isEnabled() && viewer.showTopic(1));
    }

    void parserReadsTheFormat() {
        const HelpDocument doc = HelpDocument::parse(
            u"# a comment\r\n@title Sample help\r\n@topic 0 Contents\r\nWelcome.\r\n"
            "@topic 7 Seven & more\r\n@keywords one; two ;; \r\n\r\nFirst <line>\r\ncontinued.\r\n\r\n"
            "== Part\r\n- item [[0]]\r\n  goes on\r\n- see [[7|this]] and [[99]]\r\n\r\n\r\n"
            "@topic x broken\r\nlost text\r\n"_s);
        QCOMPARE(doc.title(), u"Sample help"_s);
        QCOMPARE(doc.topics().size(), 2); // the topic with a broken number is dropped with its text
        QVERIFY(doc.topic(7));
        QCOMPARE(doc.topic(7)->title + u'|' + doc.topic(7)->keywords.join(u','), u"Seven & more|one,two"_s);
        const QString html = doc.topicHtml(7);
        for (const QString& part :
             {u"<h2>Seven &amp; more</h2>"_s, u"<p>First &lt;line&gt; continued.</p>"_s, u"<h3>Part</h3>"_s,
              u"<li>item <a href=\"topic:0\">Contents</a> goes on</li>"_s, u"<a href=\"topic:7\">this</a>"_s,
              u"<a href=\"topic:99\">99</a>"_s})
            QVERIFY2(html.contains(part), qPrintable(part));
        QVERIFY(!html.contains(u"lost text"_s));
        QVERIFY(doc.topicText(7).contains(u"- see this and 99"_s));
        QVERIFY(doc.topicHtml(0).contains(u"<a href=\"topic:7\">Seven &amp; more</a>"_s));
        QVERIFY(doc.topicHtml(5).isEmpty());
        QCOMPARE(doc.index().size(), 3);
        // An entry given again in other letters is listed once, as first written.
        const HelpDocument twice = HelpDocument::parse(u"@topic 7 Seven\n@keywords seven; One; ONE; one\n"
                                                       "@topic 8 Eight\n@keywords one\n"_s);
        QList<QPair<QString, int>> expected{{u"Eight"_s, 8}, {u"One"_s, 7}, {u"one"_s, 8}, {u"Seven"_s, 7}};
        QCOMPARE(twice.index(), expected);
    }

    void programPrintsTopicsAndSurvivesMissingFile() {
        QCOMPARE(runPellhelp({u"-print"_s, u"-context"_s, u"77"_s, ShippedFile}).first, 2);
        QTemporaryDir dir;
        const QString missing = dir.filePath(u"pell.hlp"_s);
        const auto [code, out] = runPellhelp({u"-print"_s, missing});
        QVERIFY(code == 1 && out.contains(u"was not found"_s));
        // The window itself reports it and stays up until it is closed (on the platform this test runs on).
        QProcess window;
        window.start(QStringLiteral(PELL_BIN_DIR "/pellhelp"),
                     {u"-maximized"_s, u"-context"_s, u"2003"_s, missing});
        QVERIFY(window.waitForStarted(30000) && !window.waitForFinished(1500));
        window.kill();
        window.waitForFinished();
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
