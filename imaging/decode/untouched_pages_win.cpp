#include "untouched_pages.h"

#ifndef NOMINMAX // MinGW's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>

void *allocateUntouchedPages(std::size_t bytes)
{
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freeUntouchedPages(void *pages, std::size_t)
{
    VirtualFree(pages, 0, MEM_RELEASE);
}
