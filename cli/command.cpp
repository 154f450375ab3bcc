#include "cli/command.h"

#include <QCommandLineParser>

#include <algorithm>

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
