// due.cpp -- the due index: which active tasks are due, in list order, without walking them all.
//
// Each active list (priority, regular) has an index of its own:
// - the due list holds the tasks that are due now (immediate ones, those
//   flagged SCHED_CLEANUP, and timed ones whose second has come), in list
//   order: every append to an active list takes the next sequence number,
//   so the numbers grow along each list;
// - a binary heap on (due time, sequence number) holds the timed tasks that
//   are not due yet.
// A walk moves the timers whose second has come onto the due list and visits
// that list in order, with a cursor link of its own that handlers cannot
// disturb, so a pass costs O(due tasks + timers falling due x log tasks) and
// the next time-out is read off the heap's top.
//
// Trade-off: a timer that falls due is placed by a scan from the tail of
// the due list. That is one step for what re-queued tasks produce (they
// sort last) and linear in the due tasks in the worst case.
#include <climits>
#include <cstddef>
#include <ctime>
#include <initializer_list>

#include "array.h"
#include "internal.h"

namespace {

enum : uint8_t {
    kNotIndexed,
    kDueNow,          // on the due list
    kDueForCleanup,   // on the due list only because of SCHED_CLEANUP
    kDueLater,        // in the timer heap
};

} // namespace

struct DueIndex {
    DueLink due;                   // head of the circular due list
    PlainArray<TaskNode *> timers; // heap, earliest first
    size_t due_count = 0;          // tasks on the due list
    size_t due_for_cleanup = 0;    // of them, kDueForCleanup

    DueIndex() { due.prev = due.next = &due; }
};

namespace {

DueIndex priority_index, regular_index;
uint64_t sequence; // of appends to the active lists
uint64_t walks;    // walks begun

ulong_t now() { return static_cast<ulong_t>(time(nullptr)); }

TaskNode *node_of_link(DueLink *link) {
    return reinterpret_cast<TaskNode *>(reinterpret_cast<char *>(link) - offsetof(TaskNode, due));
}

DueIndex &index_of(const TaskNode *node) {
    return node->priority_index ? priority_index : regular_index;
}

void link_after(DueLink *at, DueLink *link) {
    link->prev = at;
    link->next = at->next;
    at->next->prev = link;
    at->next = link;
}

void unlink(DueLink *link) {
    link->prev->next = link->next;
    link->next->prev = link->prev;
    link->prev = link->next = nullptr;
}

// ---- the due list ----

void due_list_insert(DueIndex &ix, TaskNode *node, uint8_t place) {
    DueLink *after = ix.due.prev;
    while (after != &ix.due && after->seq > node->due.seq)
        after = after->prev;
    link_after(after, &node->due);
    node->due_place = place;
    ++ix.due_count;
    if (place == kDueForCleanup)
        ++ix.due_for_cleanup;
}

// ---- the timer heap ----

bool earlier(const TaskNode *a, const TaskNode *b) {
    return a->due_at != b->due_at ? a->due_at < b->due_at : a->due.seq < b->due.seq;
}

void heap_set(DueIndex &ix, size_t slot, TaskNode *node) {
    ix.timers[slot] = node;
    node->heap_slot = slot;
}

void sift_up(DueIndex &ix, size_t slot) {
    TaskNode *node = ix.timers[slot];
    while (slot > 0) {
        const size_t parent = (slot - 1) / 2;
        if (!earlier(node, ix.timers[parent]))
            break;
        heap_set(ix, slot, ix.timers[parent]);
        slot = parent;
    }
    heap_set(ix, slot, node);
}

void sift_down(DueIndex &ix, size_t slot) {
    TaskNode *node = ix.timers[slot];
    const size_t n = ix.timers.size();
    for (;;) {
        size_t child = 2 * slot + 1;
        if (child >= n)
            break;
        if (child + 1 < n && earlier(ix.timers[child + 1], ix.timers[child]))
            ++child;
        if (!earlier(ix.timers[child], node))
            break;
        heap_set(ix, slot, ix.timers[child]);
        slot = child;
    }
    heap_set(ix, slot, node);
}

void heap_push(DueIndex &ix, TaskNode *node) {
    ix.timers.push_back(node);
    sift_up(ix, ix.timers.size() - 1);
    node->due_place = kDueLater;
}

void heap_erase(DueIndex &ix, size_t slot) {
    TaskNode *last = ix.timers.back();
    ix.timers.pop_back();
    if (slot == ix.timers.size())
        return;
    heap_set(ix, slot, last);
    sift_down(ix, slot);
    sift_up(ix, last->heap_slot);
}

// Timers whose second has come join the due list.
void promote(DueIndex &ix) {
    if (ix.timers.empty())
        return;
    const ulong_t t = now();
    while (!ix.timers.empty() && ix.timers[0]->due_at <= t) {
        TaskNode *node = ix.timers[0];
        heap_erase(ix, 0);
        due_list_insert(ix, node, kDueNow);
    }
}

// ---- placing a task by its flags and times ----

void place(TaskNode *node) {
    const SchedTask &task = node->task;
    node->priority_index = task.flags & SCHED_PRIORITY;
    DueIndex &ix = index_of(node);
    if (task.flags & SCHED_IMMEDIATE) {
        due_list_insert(ix, node, kDueNow);
    } else if (task.flags & SCHED_CLEANUP) {
        due_list_insert(ix, node, kDueForCleanup);
    } else {
        node->due_at = task.debug.last_sched + task.time_val; // wraps, as the comparison does
        heap_push(ix, node);
    }
}

void unplace(TaskNode *node) {
    DueIndex &ix = index_of(node);
    switch (node->due_place) {
    case kDueForCleanup:
        --ix.due_for_cleanup;
        [[fallthrough]];
    case kDueNow:
        unlink(&node->due);
        --ix.due_count;
        break;
    case kDueLater:
        heap_erase(ix, node->heap_slot);
        break;
    default:
        break;
    }
    node->due_place = kNotIndexed;
}

// The heaps keep their room: records made before stay revivable.
void reset(DueIndex &ix) {
    ix.due.prev = ix.due.next = &ix.due;
    ix.timers.clear();
    ix.due_count = ix.due_for_cleanup = 0;
}

} // namespace

bool due_reserve(size_t records) {
    return priority_index.timers.reserve(records) && regular_index.timers.reserve(records);
}

void due_insert(SchedTask *task) {
    TaskNode *node = node_of(task);
    node->due.seq = ++sequence;
    place(node);
}

void due_remove(SchedTask *task) { unplace(node_of(task)); }

void due_refresh(SchedTask *task) {
    TaskNode *node = node_of(task);
    if (node->due_place == kNotIndexed)
        return;
    unplace(node);
    place(node);
}

void due_reset() {
    reset(priority_index);
    reset(regular_index);
}

ZN_EVERY_PASS int sched_min_time() {
    for (const DueIndex *ix : {&priority_index, &regular_index})
        if (ix->due_count > ix->due_for_cleanup)
            return 0;
    // Left: timers, and tasks due only for SCHED_CLEANUP, which count with
    // their due time like timers.
    const ulong_t t = now();
    ulong_t least = 0;
    bool any = false;
    auto consider = [&](ulong_t due) {
        const ulong_t left = due <= t ? 0 : due - t;
        if (!any || left < least)
            least = left;
        any = true;
    };
    for (DueIndex *ix : {&priority_index, &regular_index}) {
        if (!ix->timers.empty())
            consider(ix->timers[0]->due_at);
        if (!ix->due_for_cleanup)
            continue;
        for (DueLink *link = ix->due.next; link != &ix->due; link = link->next) {
            if (link->cursor)
                continue;
            const TaskNode *node = node_of_link(link);
            if (node->due_place == kDueForCleanup)
                consider(node->task.debug.last_sched + node->task.time_val);
        }
    }
    if (!any)
        return -1;
    return least > static_cast<ulong_t>(INT_MAX) ? INT_MAX : static_cast<int>(least);
}

DueWalk::DueWalk(bool priority)
    : index_(priority ? priority_index : regular_index), number_(++walks) {
    cursor_.cursor = true;
    link_after(&index_.due, &cursor_);
}

DueWalk::~DueWalk() { unlink(&cursor_); }

SchedTask *DueWalk::next() {
    promote(index_);
    for (DueLink *link = cursor_.next; link != &index_.due; link = cursor_.next) {
        unlink(&cursor_);
        link_after(link, &cursor_);
        cursor_.seq = link->seq;
        if (link->cursor)
            continue; // another walk's
        TaskNode *node = node_of_link(link);
        if (node->walk == number_)
            continue; // ran in this walk already
        node->walk = number_;
        return &node->task;
    }
    return nullptr;
}
