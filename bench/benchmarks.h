#ifndef BENCHMARKS_H
#define BENCHMARKS_H

#include <optional>
#include <vector>

// Each prints its measurements and the ratios they give, as "name: ratio" lines.
void benchWeightedGray();
void benchLoadAndReblur(); // needs a QApplication
void benchSmallLoad();     // the same
void benchHeifLoad();
void benchStartup();
void benchFirstLoad(); // the real program on an X server of its own
void benchPageDown();  // the same
void benchGuiStall();  // the program's window on an X server of its own, in a process of its own

// That process: its command line, and its run, in a QApplication on the xcb platform.
bool isGuiStallRun(int argc, char *argv[]);
int runGuiStall(char *argv[]);

struct Benchmark
{
    const char *name;
    void (*run)();
};

// The platform's (benchmarks_unix.cpp, benchmarks_win.cpp): those that measure the real program
// on a screen of its own, and a process of theirs that this run is, if it is: its exit code.
std::vector<Benchmark> onScreenBenchmarks();
std::optional<int> runAsOnScreenProcess(int argc, char *argv[]);

#endif
