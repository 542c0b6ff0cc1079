// descriptors.cpp -- the descriptor registry: an ordered list plus an index by number.
//
// The list gives the dispatch order; the index (one slot per possible
// select() descriptor) finds a record in O(1). Numbers outside
// 0..FD_SETSIZE-1 can never be placed in an fd_set, so they are refused on
// registration and are "not registered" everywhere else.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <ctime>
#include <new>

#include "../common/dlist.h"
#include "internal.h"

SchedFD *SchedFDs, *SchedFDs_end;
int num_SchedFDs;

SchedFD *sched_fd_dispatching;
bool sched_fd_walk_invalid;

namespace {

SchedFD *by_number[FD_SETSIZE];
FdWatch watch = {{}, {}, {}, 0, 0, 0, -1};

bool in_range(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// Keeps the watched sets and their member counts in step with a record's flags.
void watch_flags(int fd, ulong_t old_flags, ulong_t new_flags) {
    auto apply = [=](fd_set &set, int &members, ulong_t bit) {
        const bool was = old_flags & bit, now = new_flags & bit;
        if (was == now)
            return;
        if (now) {
            FD_SET(fd, &set);
            ++members;
        } else {
            FD_CLR(fd, &set);
            --members;
        }
    };
    apply(watch.rd, watch.readers, SCHED_FD_READ);
    apply(watch.wr, watch.writers, SCHED_FD_WRITE);
    apply(watch.ex, watch.exceptions, SCHED_FD_EXCEPT);
}

void lower_highest() {
    while (watch.highest >= 0 && !by_number[watch.highest])
        --watch.highest;
}

} // namespace

const FdWatch &sched_fd_watch() { return watch; }

SchedFD *sched_find_fd(int fd) { return in_range(fd) ? by_number[fd] : nullptr; }

int sched_add_fd(int fd, void (*handler)(int, void *, int, int, int), void *arg,
                 ulong_t flags, char *name) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_add_fd: Called before initialized\n");
        return -1;
    }
    if (sched_debug_on())
        sched_debug("sched_add_fd: Request to add FD %d [%s], handler 0x%08lX, flags 0x%08lX\n",
                    fd, name ? name : "(null)", reinterpret_cast<ulong_t>(handler), flags);
    if (!in_range(fd)) {
        if (sched_debug_on())
            sched_debug("sched_add_fd: ERR - FD %d out of range\n", fd);
        return -9;
    }
    if (by_number[fd]) {
        if (sched_debug_on())
            sched_debug("sched_add_fd: WARN - Already exists\n");
        return -17;
    }
    auto *rec = new (std::nothrow) SchedFD{};
    if (!rec) {
        if (sched_debug_on())
            sched_debug("sched_add_fd: ERR - No memory\n");
        return -12;
    }
    rec->fd = fd;
    if (name)
        strncpy(rec->name, name, sizeof rec->name - 1);
    rec->flags = flags;
    rec->handler = handler;
    rec->arg = arg;
    rec->debug.time_sched = rec->debug.last_sched = static_cast<ulong_t>(time(nullptr));
    zn::list_append(SchedFDs, SchedFDs_end, rec);
    ++num_SchedFDs;
    by_number[fd] = rec;
    watch_flags(fd, 0, flags);
    watch.highest = std::max(watch.highest, fd);
    return 0;
}

int sched_remove_fd(int fd) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_remove_fd: Called before initialized\n");
        return -1;
    }
    SchedFD *rec = sched_find_fd(fd);
    if (!rec) {
        if (sched_debug_on())
            sched_debug("sched_remove_fd: Could not remove FD %d, doesn't exist!\n", fd);
        return -2;
    }
    if (sched_debug_on())
        sched_debug("sched_remove_fd: Removing FD %d [%s]\n", fd, rec->name);
    if (rec != sched_fd_dispatching)
        sched_fd_walk_invalid = true;
    zn::list_unlink(SchedFDs, SchedFDs_end, rec);
    --num_SchedFDs;
    by_number[fd] = nullptr;
    watch_flags(fd, rec->flags, 0);
    lower_highest();
    delete rec;
    return 0;
}

int sched_fd_flags(int fd, ulong_t flags) {
    SchedFD *rec = sched_find_fd(fd);
    if (!rec) {
        if (sched_debug_max())
            sched_debug("sched_fd_flags: Could not find FD %d, doesn't exist!\n", fd);
        return -2;
    }
    if (sched_debug_max())
        sched_debug("sched_fd_flags: FD %d [%s], old flags 0x%08lX, new flags 0x%08lX\n", fd,
                    rec->name, rec->flags, flags);
    watch_flags(fd, rec->flags, flags);
    rec->flags = flags;
    return 0;
}

int sched_fd_save(int fd, SchedFD *to) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_fd_save: Called before initialized\n");
        return -1;
    }
    if (sched_debug_on())
        sched_debug("sched_fd_save: Request to save FD %d\n", fd);
    SchedFD *rec = sched_find_fd(fd);
    if (!rec) {
        if (sched_debug_on())
            sched_debug("sched_fd_save: ERR - FD Doesn't exist\n");
        return -2;
    }
    *to = *rec;
    return sched_remove_fd(fd);
}

int sched_fd_restore(int fd, SchedFD *from) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_fd_restore: Called before initialized\n");
        return -1;
    }
    if (sched_debug_on())
        sched_debug("sched_fd_restore: Request to Restore FD %d\n", fd);
    if (sched_find_fd(fd)) {
        if (sched_debug_on())
            sched_debug("sched_fd_restore: ERR - FD Already Exists\n");
        return -17;
    }
    // The copy's name may fill all 128 bytes; never read past it.
    char name[sizeof from->name];
    memcpy(name, from->name, sizeof name);
    name[sizeof name - 1] = '\0';
    return sched_add_fd(fd, from->handler, from->arg, from->flags, name);
}

void sched_fds_reset() {
    SchedFDs = SchedFDs_end = nullptr;
    std::fill(std::begin(by_number), std::end(by_number), nullptr);
    watch = FdWatch{};
    watch.highest = -1;
}

void sched_fds_release() {
    while (SchedFDs) {
        SchedFD *next = SchedFDs->next;
        by_number[SchedFDs->fd] = nullptr;
        delete SchedFDs;
        SchedFDs = next;
    }
    SchedFDs_end = nullptr;
}
