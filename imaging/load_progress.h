#ifndef LOAD_PROGRESS_H
#define LOAD_PROGRESS_H

#include <atomic>

// How far a load has come, and whether it is still wanted: plain values that the window's side
// and the decoder share across threads without either knowing the other.
struct LoadProgress
{
    std::atomic<bool> cancelled{false}; // set by the window's side; the decoder stops early
    std::atomic<int> rowsDone{0};       // rows decoded so far (JPEG route)
    std::atomic<int> rowsToGo{0};       // total rows to decode; 0 while unknown (other formats)
};

#endif
