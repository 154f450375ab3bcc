#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

namespace pell::bench {

// A scenario of pellbench: it prints one line SCENARIO n=N ours_ms=X baseline_ms=Y ratio=R.
struct Scenario {
    QString name;
    QString usage;
    std::function<int(const QStringList& args)> run;
};

std::vector<Scenario>& scenarios();

struct Register {
    Register(const char* name, const char* usage, std::function<int(const QStringList&)> run);
};

// Milliseconds one call takes.
double timeMs(const std::function<void()>& work);
// The median of several runs of the same work, each after its own set-up.
double medianMs(int runs, const std::function<void()>& setup, const std::function<void()>& work);
// Runs ours and the baseline by turns, so that a machine getting busier or quieter during the benchmark
// weighs on both alike; returns the two medians.
std::pair<double, double> byTurns(int runs, const std::function<void()>& setupOurs,
                                  const std::function<void()>& ours, const std::function<void()>& setupBase,
                                  const std::function<void()>& base);
void report(const QString& scenario, long long n, double oursMs, double baselineMs);
// "--name value" from the arguments, or the fallback.
long long argValue(const QStringList& args, const QString& name, long long fallback);
// Path of pelldb beside pellbench.
QString pelldbPath();
// Runs pelldb with arguments; throws on failure.
void runPelldb(const QStringList& args);

} // namespace pell::bench
