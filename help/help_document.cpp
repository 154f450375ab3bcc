#include "help/help_document.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>

namespace pell::help {

namespace {
const QRegularExpression& linkPattern() {
    static const QRegularExpression re(QStringLiteral(R"(\[\[(\d+)(?:\|([^\]]*))?\]\])"));
    return re;
}

QString bodyLine(const QString& line) {
    QString s = line;
    while (s.endsWith(u' ') || s.endsWith(u'\t'))
        s.chop(1);
    return s;
}
} // namespace

HelpDocument HelpDocument::parse(const QString& text) {
    HelpDocument doc;
    HelpTopic* current = nullptr;
    const QStringList lines = text.split(u'\n');
    for (QString line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(u'#'))
            continue;
        if (line.startsWith(QLatin1String("@title "))) {
            doc.m_title = line.mid(7).trimmed();
        } else if (line.startsWith(QLatin1String("@topic "))) {
            const QString rest = line.mid(7).trimmed();
            const qsizetype space = rest.indexOf(u' ');
            bool ok = false;
            const int context = rest.left(space < 0 ? rest.size() : space).toInt(&ok);
            if (!ok) {
                current = nullptr; // a malformed header: its body is dropped rather than misfiled
                continue;
            }
            doc.m_topics.append(
                HelpTopic{context, space < 0 ? QString() : rest.mid(space + 1).trimmed(), {}, {}});
            current = &doc.m_topics.last();
        } else if (line.startsWith(QLatin1String("@keywords "))) {
            if (current) {
                for (const QString& word : line.mid(10).split(u';', Qt::SkipEmptyParts)) {
                    if (!word.trimmed().isEmpty())
                        current->keywords << word.trimmed();
                }
            }
        } else if (current) {
            current->lines << bodyLine(line);
        }
    }
    for (HelpTopic& topic : doc.m_topics) {
        while (!topic.lines.isEmpty() && topic.lines.last().isEmpty())
            topic.lines.removeLast();
        while (!topic.lines.isEmpty() && topic.lines.first().isEmpty())
            topic.lines.removeFirst();
    }
    return doc;
}

bool HelpDocument::load(const QString& path, HelpDocument& document, QString* error) {
    QFile file(path);
    if (!file.exists()) {
        if (error)
            *error = QStringLiteral("The help file \"%1\" was not found.").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("The help file \"%1\" cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError()) {
        if (error)
            *error = QStringLiteral("The help file \"%1\" is not a text file.").arg(path);
        return false;
    }
    document = parse(text);
    if (document.m_topics.isEmpty()) {
        if (error)
            *error = QStringLiteral("The help file \"%1\" holds no topics.").arg(path);
        return false;
    }
    return true;
}

const HelpTopic* HelpDocument::topic(int context) const {
    for (const HelpTopic& t : m_topics) {
        if (t.context == context)
            return &t;
    }
    return nullptr;
}

QList<QPair<QString, int>> HelpDocument::index() const {
    QList<QPair<QString, int>> entries;
    // A word given again for the same topic in other letters ("Replication", "replication") is one entry,
    // spelt as first written.
    QSet<QPair<QString, int>> listed;
    const auto add = [&](const QString& word, int context) {
        if (!listed.contains({word.toCaseFolded(), context})) {
            listed.insert({word.toCaseFolded(), context});
            entries.append({word, context});
        }
    };
    for (const HelpTopic& t : m_topics) {
        if (t.context != 0 && !t.title.isEmpty())
            add(t.title, t.context);
        for (const QString& word : t.keywords)
            add(word, t.context);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    return entries;
}

QString HelpDocument::inlineHtml(const QString& line) const {
    QString html;
    qsizetype from = 0;
    auto it = linkPattern().globalMatch(line);
    while (it.hasNext()) {
        const auto match = it.next();
        html += line.mid(from, match.capturedStart() - from).toHtmlEscaped();
        const int context = match.captured(1).toInt();
        QString text = match.captured(2);
        if (text.isEmpty()) {
            const HelpTopic* target = topic(context);
            text = target ? target->title : match.captured(1);
        }
        html += QStringLiteral("<a href=\"topic:%1\">%2</a>").arg(context).arg(text.toHtmlEscaped());
        from = match.capturedEnd();
    }
    html += line.mid(from).toHtmlEscaped();
    return html;
}

QString HelpDocument::inlineText(const QString& line) const {
    QString text;
    qsizetype from = 0;
    auto it = linkPattern().globalMatch(line);
    while (it.hasNext()) {
        const auto match = it.next();
        text += line.mid(from, match.capturedStart() - from);
        QString shown = match.captured(2);
        if (shown.isEmpty()) {
            const HelpTopic* target = topic(match.captured(1).toInt());
            shown = target ? target->title : match.captured(1);
        }
        text += shown;
        from = match.capturedEnd();
    }
    return text + line.mid(from);
}

QString HelpDocument::topicHtml(int context) const {
    const HelpTopic* t = topic(context);
    if (!t)
        return {};
    QString html = QStringLiteral("<h2>%1</h2>\n").arg(t->title.toHtmlEscaped());
    QString paragraph;
    bool inList = false;
    const auto flush = [&] {
        if (!paragraph.isEmpty())
            html += QStringLiteral("<p>%1</p>\n").arg(paragraph);
        paragraph.clear();
    };
    const auto closeList = [&] {
        if (inList)
            html += QStringLiteral("</ul>\n");
        inList = false;
    };
    for (const QString& line : t->lines) {
        if (line.isEmpty()) {
            flush();
            closeList();
        } else if (line.startsWith(QLatin1String("== "))) {
            flush();
            closeList();
            html += QStringLiteral("<h3>%1</h3>\n").arg(inlineHtml(line.mid(3)));
        } else if (line.startsWith(QLatin1String("- "))) {
            flush();
            if (!inList)
                html += QStringLiteral("<ul>\n");
            inList = true;
            html += QStringLiteral("<li>%1</li>\n").arg(inlineHtml(line.mid(2)));
        } else if (inList && line.startsWith(QLatin1String("  "))) {
            // A continuation of the list item above: joined to it.
            html.chop(6); // "</li>\n"
            html += u' ' + inlineHtml(line.trimmed()) + QStringLiteral("</li>\n");
        } else {
            closeList();
            paragraph += (paragraph.isEmpty() ? QString() : QStringLiteral(" ")) + inlineHtml(line);
        }
    }
    flush();
    closeList();
    if (context == 0) {
        html += QStringLiteral("<h3>Topics</h3>\n<ul>\n");
        for (const HelpTopic& other : m_topics) {
            if (other.context != 0)
                html += QStringLiteral("<li><a href=\"topic:%1\">%2</a></li>\n")
                            .arg(other.context)
                            .arg(other.title.toHtmlEscaped());
        }
        html += QStringLiteral("</ul>\n");
    }
    return html;
}

QString HelpDocument::topicText(int context) const {
    const HelpTopic* t = topic(context);
    if (!t)
        return {};
    QStringList out{t->title, QString()};
    for (const QString& line : t->lines)
        out << inlineText(line.startsWith(QLatin1String("== ")) ? line.mid(3) : line);
    return out.join(u'\n') + u'\n';
}

} // namespace pell::help
