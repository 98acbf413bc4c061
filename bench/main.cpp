// Measures the program's hot paths against the library calls they are compared to, in one run.
#include <QApplication>

#include "benchmarks.h"

int main(int argc, char *argv[])
{
    if (const std::optional<int> exitCode = runAsOnScreenProcess(argc, argv))
        return *exitCode;
    // Windows are measured off screen unless a platform is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // All of them, or those named on the command line.
    std::vector<Benchmark> benchmarks = {
        {"weighted_gray", benchWeightedGray}, {"load", benchLoadAndReblur}, {"small_load", benchSmallLoad}, {"heif", benchHeifLoad},
    };
    for (const Benchmark &onScreen : onScreenBenchmarks())
        benchmarks.push_back(onScreen);
    const QStringList named = app.arguments().mid(1);
    for (const auto &benchmark : benchmarks)
        if (named.isEmpty() || named.contains(QLatin1String(benchmark.name)))
            benchmark.run();
    return 0;
}
