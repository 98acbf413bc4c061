#include "resident.h"

#include <algorithm>
#include <fstream>
#include <malloc.h>
#include <string>

namespace {

long long statusKiB(const char *field, const std::string &process = "self", const char *file = "status")
{
    std::ifstream status("/proc/" + process + "/" + file);
    std::string line;
    const std::string prefix(field);
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stoll(line.substr(prefix.size()));
    return -1;
}

} // namespace

long long residentBytes()
{
    malloc_trim(0);
    return statusKiB("VmRSS:") * 1024;
}

long long residentBytesOf(long long processId)
{
    return statusKiB("VmRSS:", std::to_string(processId)) * 1024;
}

long long anonymousResidentBytesOf(long long processId)
{
    return statusKiB("RssAnon:", std::to_string(processId)) * 1024;
}

long long proportionalBytesWithChildren(long long processId)
{
    const std::string process = std::to_string(processId);
    long long bytes = std::max(0LL, statusKiB("Pss:", process, "smaps_rollup") * 1024);
    std::ifstream children("/proc/" + process + "/task/" + process + "/children");
    for (long long child; children >> child;)
        bytes += std::max(0LL, proportionalBytesWithChildren(child));
    return bytes;
}

void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from the current size
}

long long peakResidentBytes()
{
    return statusKiB("VmHWM:") * 1024;
}
