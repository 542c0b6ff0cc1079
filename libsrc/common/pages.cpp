// pages.cpp -- anonymous mappings populated at once, for slabs and tables.
#include "pages.h"

#include <sys/mman.h>

namespace zn {

void *pages_allocate(size_t bytes) {
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void pages_release(void *memory, size_t bytes) {
    if (memory)
        munmap(memory, bytes);
}

} // namespace zn
