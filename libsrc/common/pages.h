// pages.h -- zeroed memory from the kernel, populated up front.
#pragma once

#include <cstddef>

namespace zn {

// bytes of zeroed, writable memory whose pages are populated by the one
// mmap() call, instead of one page fault per page on first touch (costly in
// virtual machines). Null when the kernel refuses. Release with
// pages_release() and the same size.
void *pages_allocate(size_t bytes);
void pages_release(void *memory, size_t bytes);

} // namespace zn
