#include "untouched_pages.h"

#include <sys/mman.h>

void *allocateUntouchedPages(std::size_t bytes)
{
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void freeUntouchedPages(void *pages, std::size_t bytes)
{
    munmap(pages, bytes);
}
