#ifndef UNTOUCHED_PAGES_H
#define UNTOUCHED_PAGES_H

#include <cstddef>

// Zeroed memory straight from the system, whose pages cost nothing until written: the
// platform's (untouched_pages_unix.cpp, untouched_pages_win.cpp). Null if refused.
void *allocateUntouchedPages(std::size_t bytes);
void freeUntouchedPages(void *pages, std::size_t bytes);

#endif
