#ifndef TIMING_H
#define TIMING_H

#include <algorithm>
#include <chrono>
#include <vector>

inline double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Median wall time of `repetitions` runs of `run`, in seconds; `prepare` runs untimed before each.
template<typename Prepare, typename Run>
double medianSeconds(int repetitions, Prepare prepare, Run run)
{
    std::vector<double> seconds;
    for (int i = 0; i < repetitions; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        run();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return median(seconds);
}

template<typename Run>
double medianSeconds(int repetitions, Run run)
{
    return medianSeconds(repetitions, [] {}, run);
}

#endif
