// slab.cpp -- size-class slab pools behind records, parameters and value bytes.
#include "slab.h"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "../common/dlist.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZNDB_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZNDB_ASAN 1
#endif
#endif
#ifdef ZNDB_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace zndb {

namespace {

// Slabs are 2 MiB and aligned to that size, so that a block finds its slab
// by masking its address, and so that the kernel can back all but the first
// slab of a class with one huge page each: a database read from a file then
// costs a fault per 2 MiB instead of one per 4 KiB. The first slab of a class
// stays in small pages, which are touched only as blocks are handed out, so
// that small databases stay small.
constexpr size_t slab_size = 2 * 1024 * 1024;
constexpr size_t granule = 8;
constexpr size_t class_count = slab_max_block / granule;

struct FreeBlock {
    FreeBlock *next;
};

// The head of a slab; its blocks follow it.
struct Slab {
    Slab *next, *prev;     // on its class's list of slabs with room
    FreeBlock *free_list;  // released blocks
    size_t bump;           // offset of the first never-used byte
    size_t live;           // blocks handed out
    size_t block_size;
    bool has_room;         // on the list of slabs with room
};

constexpr size_t header_size = (sizeof(Slab) + 15) & ~size_t{15};

struct SizeClass {
    Slab *with_room, *with_room_end;
    size_t slabs;
};

std::array<SizeClass, class_count> classes;

// Under AddressSanitizer, blocks that are not handed out are poisoned, and
// slabs are roots for the leak checker (it does not scan mapped memory).
void poison(void *p, size_t n) {
#ifdef ZNDB_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
}

void unpoison(void *p, size_t n) {
#ifdef ZNDB_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
}

Slab *slab_of(void *block) {
    return reinterpret_cast<Slab *>(reinterpret_cast<uintptr_t>(block) & ~(slab_size - 1));
}

// A fresh slab aligned to its own size: map twice the size, keep the aligned
// middle. Null when out of memory.
Slab *map_slab(size_t block_size, bool huge_pages) {
    void *raw = mmap(nullptr, 2 * slab_size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + slab_size - 1) & ~(slab_size - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    const uintptr_t tail = aligned + slab_size;
    if (start + 2 * slab_size > tail)
        munmap(reinterpret_cast<void *>(tail), start + 2 * slab_size - tail);
    if (huge_pages)
        madvise(reinterpret_cast<void *>(aligned), slab_size, MADV_HUGEPAGE);
    auto *slab = new (reinterpret_cast<void *>(aligned)) Slab{};
    slab->bump = header_size;
    slab->block_size = block_size;
    poison(reinterpret_cast<char *>(slab) + header_size, slab_size - header_size);
#ifdef ZNDB_ASAN
    __lsan_register_root_region(slab, slab_size);
#endif
    return slab;
}

void unmap_slab(Slab *slab) {
#ifdef ZNDB_ASAN
    __lsan_unregister_root_region(slab, slab_size);
    unpoison(slab, slab_size);
#endif
    munmap(slab, slab_size);
}

bool is_full(const Slab *slab) {
    return !slab->free_list && slab->bump + slab->block_size > slab_size;
}

void *take_block(Slab *slab) {
    void *block;
    if (slab->free_list) {
        block = slab->free_list;
        unpoison(block, slab->block_size);
        slab->free_list = slab->free_list->next;
    } else {
        block = reinterpret_cast<char *>(slab) + slab->bump;
        slab->bump += slab->block_size;
        unpoison(block, slab->block_size);
    }
    ++slab->live;
    return block;
}

} // namespace

void *block_alloc(size_t size) {
    if (size > slab_max_block)
        return malloc(size);
    const size_t index = (size + granule - 1) / granule - 1;
    SizeClass &cls = classes[index];
    Slab *slab = cls.with_room;
    if (!slab) {
        slab = map_slab((index + 1) * granule, cls.slabs > 0);
        if (!slab)
            return nullptr;
        zn::list_append(cls.with_room, cls.with_room_end, slab);
        slab->has_room = true;
        ++cls.slabs;
    }
    void *block = take_block(slab);
    if (is_full(slab)) {
        zn::list_unlink(cls.with_room, cls.with_room_end, slab);
        slab->has_room = false;
    }
    return block;
}

void block_free(void *block, size_t size) {
    if (!block)
        return;
    if (size > slab_max_block) {
        free(block);
        return;
    }
    Slab *slab = slab_of(block);
    SizeClass &cls = classes[slab->block_size / granule - 1];
    auto *freed = static_cast<FreeBlock *>(block);
    freed->next = slab->free_list;
    slab->free_list = freed;
    poison(block, slab->block_size);
    --slab->live;
    if (!slab->has_room) {
        zn::list_append(cls.with_room, cls.with_room_end, slab);
        slab->has_room = true;
    }
    if (slab->live == 0 && cls.slabs > 1) {
        zn::list_unlink(cls.with_room, cls.with_room_end, slab);
        --cls.slabs;
        unmap_slab(slab);
    }
}

} // namespace zndb
