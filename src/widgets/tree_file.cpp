#include "widgets/tree_file.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

namespace pell::tree_file {

namespace {
const QString FileHeader = QStringLiteral("PELL TREE 1");
// A damaged file must not make us allocate without bound.
constexpr qint64 MaxPosition = 50'000'000;

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QLatin1String("\\\\");
            break;
        case u'\t':
            out += QLatin1String("\\t");
            break;
        case u'\n':
            out += QLatin1String("\\n");
            break;
        case u'\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(const QString& text, QString& out) {
    out.clear();
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i).unicode()) {
        case u'\\':
            out += u'\\';
            break;
        case u't':
            out += u'\t';
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

} // namespace

bool save(const TreeNodes& nodes, const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out.setEncoding(QStringConverter::Utf8);
    out << FileHeader << '\n' << nodes.count() << '\n';
    for (const int position : nodes.inOrder()) {
        const TreeNodes::Node& node = nodes.at(position);
        out << position << '\t' << node.parent << '\t' << node.mark << '\t' << (node.open ? 1 : 0) << '\t'
            << escaped(node.text) << '\n';
    }
    out.flush();
    return out.status() == QTextStream::Ok && file.commit();
}

std::optional<TreeNodes> load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    if (in.readLine() != FileHeader)
        return std::nullopt;
    bool ok = false;
    const qint64 count = in.readLine().toLongLong(&ok);
    if (!ok || count < 1 || count > MaxPosition)
        return std::nullopt;
    using Node = TreeNodes::Node;
    std::vector<Node> nodes;
    for (qint64 i = 0; i < count; ++i) {
        const QString line = in.readLine();
        const QStringList parts = line.split(u'\t');
        if (parts.size() != 5)
            return std::nullopt;
        bool okPosition = false, okParent = false, okMark = false;
        const qint64 position = parts[0].toLongLong(&okPosition);
        const qint64 parent = parts[1].toLongLong(&okParent);
        const int mark = parts[2].toInt(&okMark);
        if (!okPosition || !okParent || !okMark || position < 0 || position >= MaxPosition)
            return std::nullopt;
        if (i == 0 ? (position != 0 || parent != TreeNodes::NoPosition)
                   : (parent < 0 || size_t(parent) >= nodes.size()))
            return std::nullopt;
        if (size_t(position) < nodes.size() && nodes[size_t(position)].alive)
            return std::nullopt; // a position twice
        if (i > 0 && !nodes[size_t(parent)].alive)
            return std::nullopt;
        if (size_t(position) >= nodes.size()) {
            Node gap;
            gap.alive = false;
            nodes.resize(size_t(position) + 1, gap);
        }
        Node& node = nodes[size_t(position)];
        node = Node{};
        node.parent = int(parent);
        node.mark = mark;
        node.open = parts[3] == QLatin1String("1");
        if (!unescaped(parts[4], node.text))
            return std::nullopt;
        if (i > 0) {
            auto& siblings = nodes[size_t(parent)].children;
            node.row = int(siblings.size());
            siblings.push_back(int(position));
        }
    }
    // A parent is written before its children, so every parent seen above was already in place.
    return TreeNodes(std::move(nodes));
}

} // namespace pell::tree_file
