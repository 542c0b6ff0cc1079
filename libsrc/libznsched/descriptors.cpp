// descriptors.cpp -- the descriptor registry: an ordered list plus an index by number.
//
// The list gives the dispatch order; the index (one slot per descriptor
// number, grown as numbers are registered) finds a record in O(1) and keeps
// each registration's place in the order. Every change is handed to the
// active back end as it happens. Which numbers can be watched is the back
// end's to say: select() takes 0..FD_SETSIZE-1, epoll any open descriptor.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "../common/dlist.h"
#include "array.h"
#include "backend.h"

SchedFD *SchedFDs, *SchedFDs_end;
int num_SchedFDs;

namespace {

struct Slot {
    SchedFD *rec;
    uint64_t order; // place of the registration in the registry
};

PlainArray<Slot> slots; // by descriptor number
uint64_t registrations; // made so far: the next order
RegistryChanges changes;

// Records are aligned to cache lines: what a dispatch touches (flags,
// handler, argument, statistics) then spans two lines, not three.
constexpr size_t kLine = 64;
constexpr size_t kRecordBytes = (sizeof(SchedFD) + kLine - 1) / kLine * kLine;

SchedFD *record_allocate() {
    void *memory = aligned_alloc(kLine, kRecordBytes);
    return memory ? new (memory) SchedFD{} : nullptr;
}

void record_release(SchedFD *rec) { free(rec); }

void debug_refusal(int fd, int error) {
    if (!sched_debug_on())
        return;
    if (error == -12)
        sched_debug("sched_add_fd: ERR - No memory\n");
    else
        sched_debug("sched_add_fd: ERR - FD %d out of range\n", fd);
}

SchedFD *registered(int fd) {
    return fd >= 0 && static_cast<size_t>(fd) < slots.size() ? slots[fd].rec : nullptr;
}

} // namespace

SchedFD *sched_find_fd(int fd) { return registered(fd); }

ZN_EVERY_PASS SchedFD *sched_fd_lookup(int fd, uint64_t &order) {
    SchedFD *rec = registered(fd);
    order = rec ? slots[fd].order : UINT64_MAX;
    return rec;
}

ZN_EVERY_PASS RegistryChanges sched_fd_changes_take() {
    const RegistryChanges taken = changes;
    changes = RegistryChanges{};
    return taken;
}

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
    if (fd < 0) {
        debug_refusal(fd, -9);
        return -9;
    }
    if (registered(fd)) {
        if (sched_debug_on())
            sched_debug("sched_add_fd: WARN - Already exists\n");
        return -17;
    }
    if (const int refused = sched_backend().watch(fd, flags)) {
        debug_refusal(fd, refused);
        return refused;
    }
    const size_t need = static_cast<size_t>(fd) + 1;
    SchedFD *rec = record_allocate();
    if (!rec || (need > slots.size() && !slots.resize(need)) ||
        !sched_dispatch_reserve(static_cast<size_t>(num_SchedFDs) + 1)) {
        record_release(rec);
        sched_backend().forget(fd, flags);
        debug_refusal(fd, -12);
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
    slots[fd] = {rec, registrations++};
    changes.added = true;
    return 0;
}

int sched_remove_fd(int fd) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_remove_fd: Called before initialized\n");
        return -1;
    }
    SchedFD *rec = registered(fd);
    if (!rec) {
        if (sched_debug_on())
            sched_debug("sched_remove_fd: Could not remove FD %d, doesn't exist!\n", fd);
        return -2;
    }
    if (sched_debug_on())
        sched_debug("sched_remove_fd: Removing FD %d [%s]\n", fd, rec->name);
    changes.removed = true;
    if (rec != current_fd)
        changes.removed_other = true;
    zn::list_unlink(SchedFDs, SchedFDs_end, rec);
    --num_SchedFDs;
    slots[fd].rec = nullptr;
    sched_backend().forget(fd, rec->flags);
    record_release(rec);
    return 0;
}

int sched_fd_flags(int fd, ulong_t flags) {
    SchedFD *rec = registered(fd);
    if (!rec) {
        if (sched_debug_max())
            sched_debug("sched_fd_flags: Could not find FD %d, doesn't exist!\n", fd);
        return -2;
    }
    if (sched_debug_max())
        sched_debug("sched_fd_flags: FD %d [%s], old flags 0x%08lX, new flags 0x%08lX\n", fd,
                    rec->name, rec->flags, flags);
    sched_backend().change(fd, rec->flags, flags);
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
    SchedFD *rec = registered(fd);
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
    if (registered(fd)) {
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

bool sched_fds_move_to(Backend &backend) {
    for (SchedFD *rec = SchedFDs; rec; rec = rec->next) {
        if (backend.watch(rec->fd, rec->flags) == 0)
            continue;
        for (SchedFD *undo = SchedFDs; undo != rec; undo = undo->next)
            backend.forget(undo->fd, undo->flags);
        return false;
    }
    for (SchedFD *rec = SchedFDs; rec; rec = rec->next)
        sched_backend().forget(rec->fd, rec->flags);
    return true;
}

void sched_fds_reset() {
    SchedFDs = SchedFDs_end = nullptr;
    slots.release();
    changes = RegistryChanges{};
}

void sched_fds_release() {
    while (SchedFDs) {
        SchedFD *next = SchedFDs->next;
        slots[SchedFDs->fd].rec = nullptr;
        record_release(SchedFDs);
        SchedFDs = next;
    }
    SchedFDs_end = nullptr;
}
