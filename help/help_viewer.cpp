#include "help/help_viewer.h"

#include "platform/program_font.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QUrl>

namespace pell::help {

namespace {
constexpr int ContextRole = Qt::UserRole + 1;
const QString DefaultTitle = QStringLiteral("Pell Admin Help");
} // namespace

HelpViewer::HelpViewer(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pellhelp"));
    // The topics read in the face of the program they explain.
    setFont(programFont());
    setWindowTitle(DefaultTitle);

    navigation = new QTabWidget(this);
    navigation->setObjectName(QStringLiteral("navigation"));
    contentsList = new QListWidget(navigation);
    contentsList->setObjectName(QStringLiteral("contentsList"));
    indexList = new QListWidget(navigation);
    indexList->setObjectName(QStringLiteral("indexList"));
    // Entries are messages as long as a sentence: each is wrapped to the list's width and read whole, and
    // the rows' alternating shades tell a wrapped entry from two.
    for (QListWidget* list : {contentsList, indexList}) {
        list->setWordWrap(true);
        list->setAlternatingRowColors(true);
        list->setTextElideMode(Qt::ElideNone);
        list->setResizeMode(QListView::Adjust);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    navigation->addTab(contentsList, QStringLiteral("Contents"));
    navigation->addTab(indexList, QStringLiteral("Index"));

    topicView = new QTextBrowser(this);
    topicView->setObjectName(QStringLiteral("topicView"));
    topicView->setOpenLinks(false);
    connect(topicView, &QTextBrowser::anchorClicked, this, &HelpViewer::followLink);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(navigation);
    splitter->addWidget(topicView);
    splitter->setStretchFactor(1, 3);
    auto* box = new QHBoxLayout(this);
    box->setContentsMargins(4, 4, 4, 4);
    box->addWidget(splitter);
    resize(820, 560);

    const auto choose = [this](QListWidgetItem* item) {
        if (item)
            showTopic(item->data(ContextRole).toInt());
    };
    connect(contentsList, &QListWidget::itemActivated, this, choose);
    connect(contentsList, &QListWidget::itemClicked, this, choose);
    connect(indexList, &QListWidget::itemActivated, this, choose);
    connect(indexList, &QListWidget::itemClicked, this, choose);
}

bool HelpViewer::openFile(const QString& path) {
    m_path = path;
    m_error.clear();
    contentsList->clear();
    indexList->clear();
    if (path.isEmpty()) {
        showError(QStringLiteral("No help file was named on the command line."));
        return false;
    }
    QString error;
    if (!HelpDocument::load(path, m_document, &error)) {
        m_document = HelpDocument();
        showError(error);
        return false;
    }
    if (!m_document.title().isEmpty())
        setWindowTitle(m_document.title());
    for (const HelpTopic& topic : m_document.topics()) {
        auto* item = new QListWidgetItem(topic.title, contentsList);
        item->setData(ContextRole, topic.context);
    }
    for (const auto& [word, context] : m_document.index()) {
        auto* item = new QListWidgetItem(word, indexList);
        item->setData(ContextRole, context);
    }
    navigation->setEnabled(true);
    return true;
}

void HelpViewer::showError(const QString& text) {
    m_error = text;
    m_current = -1;
    navigation->setEnabled(false);
    setWindowTitle(DefaultTitle);
    topicView->setHtml(QStringLiteral("<h2>%1</h2><p>%2</p><p>%3</p>")
                           .arg(DefaultTitle.toHtmlEscaped(), text.toHtmlEscaped(),
                                QStringLiteral("The help file pell.hlp belongs in the program folder, beside "
                                               "pelladmin. Reinstall the program or copy the file back.")
                                    .toHtmlEscaped()));
}

void HelpViewer::showPage(int context, const QString& note) {
    QString html;
    if (!note.isEmpty())
        html += QStringLiteral("<p><i>%1</i></p>").arg(note.toHtmlEscaped());
    if (m_document.topic(context)) {
        html += m_document.topicHtml(context);
    } else {
        // A file without a contents page: the list of topics stands in for it.
        html += QStringLiteral("<h2>Contents</h2><ul>");
        for (const HelpTopic& topic : m_document.topics())
            html += QStringLiteral("<li><a href=\"topic:%1\">%2</a></li>")
                        .arg(topic.context)
                        .arg(topic.title.toHtmlEscaped());
        html += QStringLiteral("</ul>");
    }
    topicView->setHtml(html);
    m_current = context;
    for (int i = 0; i < contentsList->count(); ++i) {
        if (contentsList->item(i)->data(ContextRole).toInt() == context) {
            contentsList->setCurrentRow(i);
            break;
        }
    }
}

void HelpViewer::showContents() {
    if (!m_error.isEmpty())
        return;
    showPage(0, {});
}

bool HelpViewer::showTopic(int context) {
    if (!m_error.isEmpty())
        return false;
    if (!m_document.topic(context)) {
        showPage(0, QStringLiteral("There is no help topic with the context number %1.").arg(context));
        return false;
    }
    showPage(context, {});
    return true;
}

void HelpViewer::followLink(const QUrl& url) {
    if (url.scheme() == QLatin1String("topic"))
        showTopic(url.path().toInt());
}

} // namespace pell::help
