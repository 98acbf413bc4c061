#include "resident.h"

#include <fstream>
#include <malloc.h>
#include <string>

namespace {

long long statusKiB(const char *field, const std::string &process = "self")
{
    std::ifstream status("/proc/" + process + "/status");
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

void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from the current size
}

long long peakResidentBytes()
{
    return statusKiB("VmHWM:") * 1024;
}
