#include "cli/command.h"

#include "core/error.h"
#include "db/filelock.h"
#include "db/replication/install.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace pell::cli {

std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

Register::Register(const char* name, const char* usage,
                   std::function<int(const QStringList&, QTextStream&)> run) {
    commands().push_back({QString::fromLatin1(name), QString::fromLatin1(usage), std::move(run)});
}

Options::Options(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg.startsWith(QLatin1String("--"))) {
            const QString name = arg.mid(2);
            if (flagOptions.contains(name)) {
                m_flags << name;
            } else if (valueOptions.contains(name)) {
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

} // namespace pell::cli

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pell::db::replication::install();
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    auto& list = pell::cli::commands();
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    const auto usage = [&] {
        err << "usage: pelldb COMMAND ... [--single-user]\n";
        err << "  --single-user: allow a database on a share whose locks do not reach other computers; "
               "nobody else may use it meanwhile\n";
        for (const auto& c : list)
            err << "  pelldb " << c.usage << "\n";
    };
    if (args.isEmpty()) {
        usage();
        return 2;
    }
    const QString name = args.takeFirst();
    // On a share whose locks stay on this computer the database is refused, unless the administrator
    // states that nobody else uses it during this command.
    if (args.removeAll(QStringLiteral("--single-user")) > 0)
        pell::db::FileLock::allowLocalOnlyLocks(true);
    for (const auto& c : list) {
        if (c.name != name)
            continue;
        try {
            const int rc = c.run(args, out);
            out.flush();
            return rc;
        } catch (const pell::Error& e) {
            out.flush();
            err << "error " << e.number() << ": " << e.text() << "\n";
            return 1;
        } catch (const pell::cli::UsageError& e) {
            err << "pelldb " << name << ": " << e.message << "\n  usage: pelldb " << c.usage << "\n";
            return 2;
        }
    }
    err << "pelldb: unknown command " << name << "\n";
    usage();
    return 2;
}
