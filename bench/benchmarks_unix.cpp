#include "benchmarks.h"

#include <QApplication>

std::vector<Benchmark> onScreenBenchmarks()
{
    return {{"startup", benchStartup}, {"first_load", benchFirstLoad}, {"page_down", benchPageDown}, {"gui_stall", benchGuiStall}};
}

std::optional<int> runAsOnScreenProcess(int argc, char *argv[])
{
    if (!isGuiStallRun(argc, argv))
        return std::nullopt;
    QApplication app(argc, argv);
    return runGuiStall(argv);
}
