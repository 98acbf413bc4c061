#ifndef LOAD_PROGRESS_H
#define LOAD_PROGRESS_H

#include <atomic>

// What a load running on another thread shares with the one who started it: plain values,
// so that the decoders need know nothing of who watches.
struct LoadProgress
{
    std::atomic<bool> cancelled{false}; // set by the window's side; the decoder stops early
    std::atomic<int> rowsDone{0};       // rows decoded so far (JPEG and PNG routes)
    std::atomic<int> rowsToGo{0};       // total rows to decode; 0 while unknown (other formats)
};

#endif
