#pragma once

#include "help/help_document.h"

#include <QWidget>

class QListWidget;
class QTabWidget;
class QTextBrowser;
class QUrl;

namespace pell::help {

// The help viewer's window: the list of topics and the index beside the topic on show.
class HelpViewer : public QWidget {
    Q_OBJECT
public:
    explicit HelpViewer(QWidget* parent = nullptr);

    // Reads the help file; a file that cannot be read is reported in the window itself.
    bool openFile(const QString& path);
    // The contents page (context 0, or the list of topics when the file has none).
    void showContents();
    // The topic with that context number; an unknown number shows the contents with a note.
    bool showTopic(int context);

    int currentContext() const { return m_current; } // -1: nothing shown
    const QString& errorText() const { return m_error; }
    const HelpDocument& document() const { return m_document; }

    QTabWidget* navigation = nullptr;
    QListWidget* contentsList = nullptr;
    QListWidget* indexList = nullptr;
    QTextBrowser* topicView = nullptr;

private:
    void followLink(const QUrl& url);
    void showPage(int context, const QString& note);
    void showError(const QString& text);
    HelpDocument m_document;
    QString m_error;
    QString m_path;
    int m_current = -1;
};

} // namespace pell::help
