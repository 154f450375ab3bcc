#include "cli/command.h"

#include <algorithm>

namespace pell::cli {

Options::Options(const QStringList& args, const OptionSpec& spec) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg.startsWith(QLatin1String("--"))) {
            const QString name = arg.mid(2);
            if (spec.flags.contains(name)) {
                m_flags << name;
            } else if (spec.values.contains(name)) {
                if (i + 1 >= args.size())
                    throw UsageError{QStringLiteral("option %1 needs a value").arg(arg)};
                m_values.insert(name, args[++i]);
            } else {
                throw UsageError{QStringLiteral("unknown option %1").arg(arg)};
            }
        } else {
            m_positional << arg;
        }
    }
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

} // namespace pell::cli
