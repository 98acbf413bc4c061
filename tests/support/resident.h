#ifndef RESIDENT_H
#define RESIDENT_H

// Resident memory of this process, in bytes, after returning freed memory to the system.
long long residentBytes();

// Resident memory of another process, in bytes, as it is (negative if there is no such process).
long long residentBytesOf(long long processId);

// Resident memory of another process that no file backs (its heap, stacks and anonymous
// mappings), in bytes, as it is (negative if there is no such process).
long long anonymousResidentBytesOf(long long processId);

// Memory of a process and its children, each shared page counted once: the sum of their
// proportional set sizes, in bytes.
long long proportionalBytesWithChildren(long long processId);

// Growth of resident memory while `run` runs, at its peak, in bytes.
template<typename Run>
long long peakResidentGrowth(Run run);

void resetPeakResident();
long long peakResidentBytes();

template<typename Run>
long long peakResidentGrowth(Run run)
{
    const long long before = residentBytes();
    resetPeakResident();
    run();
    return peakResidentBytes() - before;
}

#endif
