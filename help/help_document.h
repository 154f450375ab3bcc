#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace pell::help {

// One topic of the help file: the context number that F1 and the command line name it by.
struct HelpTopic {
    int context = 0;
    QString title;
    QStringList keywords;
    QStringList lines; // the body as written
};

// The help file, a plain text of our own:
//   # comment                      (a line that starts with '#')
//   @title <title of the help>
//   @topic <context number> <title>  starts a topic; context 0 is the contents page
//   @keywords a; b; c              index entries of the topic
// and in a topic's body: blank lines between paragraphs, "== " heading lines, "- " list items and
// [[N]] or [[N|text]] links to the topic with context number N.
class HelpDocument {
public:
    static HelpDocument parse(const QString& text);
    // Reads a file; on failure returns false and says why in *error.
    static bool load(const QString& path, HelpDocument& document, QString* error);

    const QString& title() const { return m_title; }
    const QList<HelpTopic>& topics() const { return m_topics; }
    const HelpTopic* topic(int context) const;
    // Index entries (keywords and topic titles), each with its topic, sorted without regard to case; one
    // entry for a word given more than once for a topic, whatever its letters' case.
    QList<QPair<QString, int>> index() const;

    // The topic as HTML, links as "topic:N"; the contents topic (0) is followed by the list of topics.
    QString topicHtml(int context) const;
    // The topic as plain text (links by their text), for printing.
    QString topicText(int context) const;

private:
    QString inlineHtml(const QString& line) const;
    QString inlineText(const QString& line) const;
    QString m_title;
    QList<HelpTopic> m_topics;
};

} // namespace pell::help
