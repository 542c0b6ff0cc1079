// dispatch.cpp -- one wait for the registered descriptors, then their handlers, in registry order.
//
// The back end reports the ready descriptors in an order of its own; they
// are sorted by their registrations' places in the registry, and called from
// there. The rules are the same whatever the back end:
// - a ready descriptor gets one call per pass, covering every reported
//   condition that its current flags want; the conditions taken are cleared,
//   so that a walk that starts again never fires them twice;
// - a handler that removes its own descriptor (for good) or any other one
//   sends the walk back to the head of the registry; one that gives its own
//   descriptor a new registration (a restored one) goes on with the records
//   that followed it;
// - a new registration under a number that the wait reported takes that
//   number's conditions at its own place, after everything registered
//   before it;
// - the statistics of a call go to whatever is registered under the number
//   when the handler returns, none when nothing is.
// Going back to the head costs nothing in the usual case: the walk resumes
// at the first entry that still holds conditions, and every entry before
// the current one is spent. The records are looked up once per wait; only a
// handler that adds or removes a registration makes the walk look them up
// again, since only that can release a record or move a number's place.
#include <algorithm>
#include <cerrno>

#include "array.h"
#include "backend.h"

namespace {

PlainArray<ReadyFd> ready; // what the last wait reported, in registry order

// Registered numbers have distinct places, so the order is total but for
// numbers no longer registered, which are never called. An in-place sort:
// the loop allocates nothing.
void sort_by_registry() {
    auto earlier = [](const ReadyFd &a, const ReadyFd &b) { return a.order < b.order; };
    if (ready.size() > 1 && !std::is_sorted(ready.begin(), ready.end(), earlier))
        std::sort(ready.begin(), ready.end(), earlier);
}

// Starts fetching the lines of a record that a call touches (flags,
// handler, argument, statistics), so that the miss overlaps other work.
void fetch(const SchedFD *rec) {
    if (rec) {
        __builtin_prefetch(&rec->flags, 1);
        __builtin_prefetch(&rec->debug.total_time, 1);
    }
}

// Each entry's record and place.
void look_up_records() {
    for (ReadyFd &entry : ready)
        entry.rec = sched_fd_lookup(entry.fd, entry.order);
}

// After a handler changed the registry: records may have been released or
// made anew, so every entry looks its record up again. True when a reported
// number has a new registration, whose place differs from the one it was
// sorted by; removed numbers keep their place and are never called.
bool look_up_again() {
    bool reordered = false;
    for (ReadyFd &entry : ready) {
        uint64_t order;
        entry.rec = sched_fd_lookup(entry.fd, order);
        if (entry.rec && order != entry.order) {
            entry.order = order;
            reordered = true;
        }
    }
    return reordered;
}

// Takes one condition of a record if it is both wanted and reported: clears
// it and counts it.
int take(const SchedFD *rec, ulong_t flag, unsigned &bits, ulong_t &count) {
    if (!(rec->flags & flag) || !(bits & flag))
        return 0;
    bits &= ~static_cast<unsigned>(flag);
    ++count;
    return 1;
}

// The first entry placed after the registration `order`.
size_t first_after(uint64_t order) {
    return static_cast<size_t>(
        std::upper_bound(ready.begin(), ready.end(), order,
                         [](uint64_t o, const ReadyFd &entry) { return o < entry.order; }) -
        ready.begin());
}

void dispatch() {
    sched_fd_changes_take(); // from here on, changes are the handlers'
    look_up_records();
    sort_by_registry();
    size_t lowest_unspent = SIZE_MAX; // first entry left with conditions
    CallStamps stamps;
    fetch(ready[0].rec);
    for (size_t i = 0; i < ready.size();) {
        ReadyFd &entry = ready[i];
        SchedFD *rec = entry.rec;
        if (i + 1 < ready.size()) // arrives while this handler runs
            fetch(ready[i + 1].rec);
        int r = 0, w = 0, e = 0;
        if (rec) {
            r = take(rec, SCHED_FD_READ, entry.bits, rec->debug.reads);
            w = take(rec, SCHED_FD_WRITE, entry.bits, rec->debug.writes);
            e = take(rec, SCHED_FD_EXCEPT, entry.bits, rec->debug.exceptions);
        }
        if (entry.bits)
            lowest_unspent = std::min(lowest_unspent, i);
        if (!(r | w | e)) {
            ++i;
            continue;
        }
        const int fd = entry.fd;
        const uint64_t order = entry.order;
        stamps.before_call();
        current_fd = rec;
        rec->handler(fd, rec->arg, r, w, e);
        current_fd = nullptr;
        const RegistryChanges changed = sched_fd_changes_take();
        if (!changed.any()) { // the usual case: every record is where it was
            stamps.after_call(&rec->debug);
            ++i;
            continue;
        }
        uint64_t unused;
        SchedFD *found = sched_fd_lookup(fd, unused);
        stamps.after_call(found ? &found->debug : nullptr);
        const bool reordered = look_up_again();
        if (reordered) {
            sort_by_registry();
            lowest_unspent = 0;
            stamps.stale();
        }
        if (!found || changed.removed_other)
            i = std::min(lowest_unspent, reordered ? 0 : i + 1);
        else
            i = reordered ? first_after(order) : i + 1;
    }
}

} // namespace

bool sched_dispatch_reserve(size_t registrations) { return ready.reserve(registrations + 1); }

ZN_EVERY_PASS int sched_wait_and_dispatch(long timeout_secs, bool &idle) {
    ready.clear();
    const int ret = sched_backend().wait(timeout_secs, ready);
    if (ret > 0 && !ready.empty()) {
        const int saved_errno = errno;
        sched_handler_about_to_run(idle);
        dispatch();
        errno = saved_errno;
    }
    return ret;
}
