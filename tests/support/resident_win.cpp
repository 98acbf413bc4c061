#include "resident.h"

#include <algorithm>
#include <atomic>
#include <thread>

#ifndef NOMINMAX // MinGW's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>
#include <psapi.h>

// Windows keeps a peak working set that cannot be started again: between a reset and the
// reading, a thread samples the working set every millisecond instead.
namespace {

std::atomic<long long> peak{0};
std::atomic<bool> sampling{false};
std::thread sampler;

long long workingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? static_cast<long long>(counters.WorkingSetSize) : -1;
}

void stopSampling()
{
    sampling = false;
    if (sampler.joinable())
        sampler.join();
}

} // namespace

long long residentBytes()
{
    HeapCompact(GetProcessHeap(), 0);
    return workingSetBytes();
}

// No other process takes part in a load here: the window decodes in its own process.
long long residentBytesOf(long long) { return -1; }
long long anonymousResidentBytesOf(long long) { return -1; }

void resetPeakResident()
{
    stopSampling();
    peak = workingSetBytes();
    sampling = true;
    sampler = std::thread([] {
        while (sampling) {
            const long long now = workingSetBytes();
            long long seen = peak;
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
            Sleep(1);
        }
    });
}

long long peakResidentBytes()
{
    stopSampling();
    return std::max<long long>(peak, workingSetBytes());
}
