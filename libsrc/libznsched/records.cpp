// records.cpp -- task records come from slabs: they live until shutdown, then go all at once.
//
// A task record is never released while the process runs (a finished task
// waits on the done list for revival), so records are carved from slabs
// that double in size, from 64 records up to 16,384. That saves a malloc per
// task, keeps records close in memory, and populates each slab's pages in
// one system call; shutdown releases the slabs.
#include <algorithm>

#include "../common/pages.h"
#include "internal.h"

namespace {

struct Slab {
    Slab *next;
    size_t used, capacity, bytes;
    TaskNode *records() { return reinterpret_cast<TaskNode *>(this + 1); }
};
static_assert(sizeof(Slab) % alignof(TaskNode) == 0);

constexpr size_t kFirstSlab = 64, kLargestSlab = 16384;

Slab *slabs; // newest first

Slab *new_slab(size_t capacity) {
    const size_t bytes = sizeof(Slab) + capacity * sizeof(TaskNode);
    auto *slab = static_cast<Slab *>(zn::pages_allocate(bytes));
    if (slab)
        *slab = Slab{slabs, 0, capacity, bytes};
    return slab;
}

} // namespace

TaskNode *task_record_allocate() {
    if (!slabs || slabs->used == slabs->capacity) {
        const size_t capacity = slabs ? std::min(slabs->capacity * 2, kLargestSlab) : kFirstSlab;
        Slab *slab = new_slab(capacity);
        if (!slab)
            return nullptr;
        slabs = slab;
    }
    // Slab memory comes zeroed from the kernel, and a zeroed TaskNode is a
    // fresh one (every field starts at zero or null), so nothing is written
    // here: touching the record twice is what a first round would pay for.
    return &slabs->records()[slabs->used++];
}

void task_records_release() {
    while (slabs) {
        Slab *next = slabs->next;
        zn::pages_release(slabs, slabs->bytes);
        slabs = next;
    }
}
