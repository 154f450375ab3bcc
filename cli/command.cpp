#include "cli/command.h"

#include <QCommandLineParser>

#include <algorithm>
#include <vector>

namespace pell::cli {

namespace {

// The lines of an option table, the descriptions lined up.
QString optionLines(const QList<OptionInfo>& options) {
    const auto left = [](const OptionInfo& o) {
        return QString(QStringLiteral("--") + o.name +
                       (o.valueName.isEmpty() ? QString() : u' ' + o.valueName));
    };
    qsizetype width = 0;
    for (const OptionInfo& o : options)
        width = std::max(width, left(o).size());
    QString text;
    for (const OptionInfo& o : options)
        text += QStringLiteral("  ") + left(o).leftJustified(width) + QStringLiteral("  ") + o.description +
                u'\n';
    return text;
}

} // namespace

const QList<OptionInfo>& commonOptions() {
    static const QList<OptionInfo> options{
        {QStringLiteral("single-user"),
         {},
         QStringLiteral(
             "allow a database on a share whose locks do not reach other computers; nobody else may "
             "use it meanwhile")},
        {QStringLiteral("help"), {}, QStringLiteral("show this help and exit")},
    };
    return options;
}

Options::Options(const QStringList& args, const QList<OptionInfo>& accepted) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    QList<OptionInfo> all = accepted;
    all += commonOptions();
    for (const OptionInfo& o : all)
        parser.addOption(QCommandLineOption(o.name, o.description, o.valueName));
    // The parser expects the program's name first.
    if (!parser.parse(QStringList{QStringLiteral("pelldb")} + args))
        throw UsageError{parser.errorText().toLower()};
    for (const OptionInfo& o : all) {
        if (!parser.isSet(o.name))
            continue;
        if (o.valueName.isEmpty())
            m_flags << o.name;
        else
            m_values.insert(o.name, parser.values(o.name).constLast());
    }
    m_positional = parser.positionalArguments();
}

QString Options::value(const QString& name, const QString& fallback) const {
    return m_values.value(name, fallback);
}

int Options::intValue(const QString& name, int fallback) const {
    if (!m_values.contains(name))
        return fallback;
    bool ok = false;
    const int v = m_values.value(name).toInt(&ok);
    if (!ok || v < 0)
        throw UsageError{QStringLiteral("--%1 takes a whole number").arg(name)};
    return v;
}

QString Options::onePath() const {
    if (m_positional.size() != 1)
        throw UsageError{QStringLiteral("expects one database path")};
    return m_positional.constFirst();
}

void Registry::add(Command command) {
    const auto at = std::lower_bound(m_commands.begin(), m_commands.end(), command.name,
                                     [](const Command& c, const QString& name) { return c.name < name; });
    m_commands.insert(at, std::move(command));
}

namespace {
// Edits (insertions, deletions, substitutions, adjacent swaps) from one word to the other.
qsizetype editDistance(const QString& a, const QString& b) {
    std::vector<std::vector<qsizetype>> d(size_t(a.size() + 1), std::vector<qsizetype>(size_t(b.size() + 1)));
    for (qsizetype i = 0; i <= a.size(); ++i)
        d[size_t(i)][0] = i;
    for (qsizetype j = 0; j <= b.size(); ++j)
        d[0][size_t(j)] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const auto ui = size_t(i);
            const auto uj = size_t(j);
            const qsizetype cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            d[ui][uj] = std::min({d[ui - 1][uj] + 1, d[ui][uj - 1] + 1, d[ui - 1][uj - 1] + cost});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[ui][uj] = std::min(d[ui][uj], d[ui - 2][uj - 2] + 1);
        }
    }
    return d[size_t(a.size())][size_t(b.size())];
}
} // namespace

const Command* Registry::nearest(const QString& name) const {
    const QString typed = name.toLower();
    const Command* best = nullptr;
    qsizetype bestDistance = 0;
    for (const Command& c : m_commands) {
        // A command that begins with what was typed is meant more often than one a letter away.
        const qsizetype distance =
            c.name.startsWith(typed) && !typed.isEmpty() ? 1 : editDistance(typed, c.name);
        if (!best || distance < bestDistance) {
            best = &c;
            bestDistance = distance;
        }
    }
    // Beyond a third of the word, the guess would be noise.
    return best && bestDistance <= std::max<qsizetype>(2, typed.size() / 3) ? best : nullptr;
}

const Command* Registry::find(const QString& name) const {
    for (const Command& c : m_commands) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

QString programHelp(const Registry& registry) {
    QString text = QStringLiteral(
        "usage: pelldb COMMAND [ARGUMENTS] [OPTIONS]\n"
        "       pelldb COMMAND --help\n"
        "       pelldb --help | --version\n"
        "\n"
        "Maintenance, replication and checks of Pellwood databases from a shell or a scheduled job.\n"
        "\n"
        "Commands:\n");
    for (const Command& c : registry.commands())
        text += QStringLiteral("  ") + c.usage() + QStringLiteral("\n      ") + c.summary + u'\n';
    text += QStringLiteral("\nOptions of every command:\n") + optionLines(commonOptions());
    text += QStringLiteral(
        "\n"
        "Exit status: 0 when the command did its work, 1 when it failed (one line \"error NNNN: text\" on\n"
        "standard error), 2 for wrong arguments. See pelldb(1).\n");
    return text;
}

QString commandHelp(const Command& command) {
    QString text = QStringLiteral("usage: pelldb ") + command.usage() + QStringLiteral("\n\n") +
                   command.summary + QStringLiteral("\n\nOptions:\n");
    return text + optionLines(command.options + commonOptions());
}

} // namespace pell::cli
