#include "bench/bench.h"

#include "core/error.h"
#include "db/replication/install.h"
#include "platform/runtime_folder.h"

#include <QApplication>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace pell::bench {

std::vector<Scenario>& scenarios() {
    static std::vector<Scenario> list;
    return list;
}

Register::Register(const char* name, const char* usage, std::function<int(const QStringList&)> run) {
    scenarios().push_back({QString::fromLatin1(name), QString::fromLatin1(usage), std::move(run)});
}

double timeMs(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double medianMs(int runs, const std::function<void()>& setup, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (setup)
            setup();
        times.push_back(timeMs(work));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::pair<double, double> byTurns(int runs, const std::function<void()>& setupOurs,
                                  const std::function<void()>& ours, const std::function<void()>& setupBase,
                                  const std::function<void()>& base) {
    std::vector<double> a;
    std::vector<double> b;
    for (int i = 0; i < runs; ++i) {
        a.push_back(medianMs(1, setupOurs, ours));
        b.push_back(medianMs(1, setupBase, base));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

void report(const QString& scenario, long long n, double oursMs, double baselineMs) {
    std::printf("%s n=%lld ours_ms=%.1f baseline_ms=%.1f ratio=%.2f\n", scenario.toUtf8().constData(), n,
                oursMs, baselineMs, baselineMs > 0 ? oursMs / baselineMs : 0.0);
    std::fflush(stdout);
}

long long argValue(const QStringList& args, const QString& name, long long fallback) {
    const qsizetype i = args.indexOf(QStringLiteral("--") + name);
    if (i < 0 || i + 1 >= args.size())
        return fallback;
    return args[i + 1].toLongLong();
}

QString pelldbPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pelldb");
}

void runPelldb(const QStringList& args) {
    QProcess p;
    p.start(pelldbPath(), args);
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        throw Error(1, QStringLiteral("pelldb %1 failed: %2")
                           .arg(args.join(u' '), QString::fromLocal8Bit(p.readAllStandardError())));
}

} // namespace pell::bench

int main(int argc, char* argv[]) {
    // Scenarios that draw real windows run offscreen unless a display is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    pell::setPrivateRuntimeFolder(); // as the program does, so that the toolkit has nothing to warn about
    QApplication app(argc, argv);
    pell::db::replication::install();
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    auto& list = pell::bench::scenarios();
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: pellbench SCENARIO [options]\n");
        for (const auto& s : list)
            std::fprintf(stderr, "  pellbench %s\n", s.usage.toUtf8().constData());
        return 2;
    }
    const QString name = args.takeFirst();
    for (const auto& s : list) {
        if (s.name == name) {
            try {
                return s.run(args);
            } catch (const pell::Error& e) {
                std::fprintf(stderr, "error %d: %s\n", e.number(), e.text().toUtf8().constData());
                return 1;
            }
        }
    }
    std::fprintf(stderr, "pellbench: unknown scenario %s\n", name.toUtf8().constData());
    return 2;
}
