#include "benchmarks.h"

// Those measure the program on an X server of its own: Linux only.
std::vector<Benchmark> onScreenBenchmarks()
{
    return {};
}

std::optional<int> runAsOnScreenProcess(int, char *[])
{
    return std::nullopt;
}
