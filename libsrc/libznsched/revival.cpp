// revival.cpp -- hash index of the done list, so reviving a task is O(1) on average.
//
// Records with the same (function, argument, name) are chained in done-list
// order, so the index yields the same record as a walk of the done list.
// Each record's hash is computed once, when the record is made.
// The bucket array grows when records are created, never while the loop
// retires tasks, so the loop itself allocates nothing. Names are hashed by
// content when a task is retired; a name changed in place while its task
// exists is not found again (the name must stay as it was, like its storage).
// Records live in slabs, so the chains need no allocation of their own.
// Retired records join the index only when a search next needs it: a task
// that is never scheduled again costs the retirement nothing here, and a
// round of fresh one-shot tasks touches no bucket.
#include <cstdint>
#include <cstring>
#include "../common/pages.h"
#include "internal.h"

namespace {

struct Chain {
    TaskNode *head = nullptr, *tail = nullptr;
};

// The bucket array comes from zn::pages_allocate (zeroed, populated).
Chain *buckets;
size_t bucket_count;    // a power of two, or 0
size_t indexed;         // records on the done list
SchedTask *unindexed;   // the first done record not in the index yet; those after it neither

void release_buckets() {
    zn::pages_release(buckets, bucket_count * sizeof(Chain));
    buckets = nullptr;
    bucket_count = 0;
}

} // namespace

size_t revival_hash(void (*func)(void *), const void *arg, const char *name) {
    uint64_t h = 1469598103934665603ULL; // FNV-1a
    auto mix = [&h](uint64_t v) {
        h ^= v;
        h *= 1099511628211ULL;
    };
    mix(reinterpret_cast<uintptr_t>(func));
    mix(reinterpret_cast<uintptr_t>(arg));
    if (name)
        for (const char *p = name; *p; ++p)
            mix(static_cast<unsigned char>(*p));
    else
        mix(0x9e3779b97f4a7c15ULL);
    return static_cast<size_t>(h ^ (h >> 29));
}

namespace {

Chain &chain_for(size_t hash) { return buckets[hash & (bucket_count - 1)]; }

void chain_append(TaskNode *node) {
    Chain &chain = chain_for(node->index_hash);
    node->index_next = nullptr;
    node->index_prev = chain.tail;
    if (chain.tail)
        chain.tail->index_next = node;
    else
        chain.head = node;
    chain.tail = node;
}

// Brings the index up to date with the done list.
void catch_up() {
    for (SchedTask *task = unindexed; task; task = task->next)
        chain_append(node_of(task));
    unindexed = nullptr;
}

} // namespace

bool sched_names_equal(const uchar_t *a, const char *b) {
    if (!a || !b)
        return !a && !b;
    return strcmp(reinterpret_cast<const char *>(a), b) == 0;
}

bool revival_reserve(size_t records) {
    if (records <= bucket_count)
        return true;
    size_t grown = bucket_count ? bucket_count * 2 : 256;
    while (grown < records)
        grown *= 2;
    auto *fresh = static_cast<Chain *>(zn::pages_allocate(grown * sizeof(Chain)));
    if (!fresh)
        return false;
    release_buckets();
    buckets = fresh;
    bucket_count = grown;
    // Re-chain in done-list order so each chain keeps that order.
    for (SchedTask *task = SchedDoneTasks; task; task = task->next)
        chain_append(node_of(task));
    unindexed = nullptr;
    return true;
}

void revival_add(SchedTask *task) {
    if (!unindexed)
        unindexed = task;
    ++indexed;
}

void revival_remove(SchedTask *task) {
    catch_up();
    TaskNode *node = node_of(task);
    Chain &chain = chain_for(node->index_hash);
    if (node->index_prev)
        node->index_prev->index_next = node->index_next;
    else
        chain.head = node->index_next;
    if (node->index_next)
        node->index_next->index_prev = node->index_prev;
    else
        chain.tail = node->index_prev;
    node->index_next = node->index_prev = nullptr;
    --indexed;
}

SchedTask *revival_find(void (*func)(void *), void *arg, const char *name, size_t hash) {
    if (!indexed)
        return nullptr;
    catch_up();
    for (TaskNode *node = chain_for(hash).head; node; node = node->index_next) {
        SchedTask *task = &node->task;
        if (node->index_hash == hash && task->task_ptr == func && task->arg == arg &&
            sched_names_equal(task->task_name, name))
            return task;
    }
    return nullptr;
}

void revival_clear() {
    release_buckets();
    indexed = 0;
    unindexed = nullptr;
}
