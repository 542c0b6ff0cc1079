// slab.h -- small-block pools for records, parameters and value bytes.
//
// Blocks of up to slab_max_block bytes come from 2 MiB slabs, one set of
// slabs per size class (multiples of 8), with a bump pointer for fresh space
// and a free list per slab for released blocks. A slab whose blocks are all
// released goes back to the system, unless it is the last of its class.
// Larger blocks come from malloc. Blocks are aligned to 8 bytes.
//
// The caller remembers each block's size and hands it back on release: a
// record or parameter has its fixed size, a value p_len + 1 bytes.
#pragma once

#include <cstddef>

namespace zndb {

inline constexpr size_t slab_max_block = 256;

// A block of size bytes (size > 0), or null when out of memory.
void *block_alloc(size_t size);

// Release a block of block_alloc(size); null does nothing.
void block_free(void *block, size_t size);

} // namespace zndb
