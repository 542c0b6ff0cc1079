// loop.cpp -- the main loop: one select() per pass, descriptor dispatch, then the task walks.
//
// Every list is walked linearly in its own order; nothing is sorted by due
// time, so a pass costs O(tasks + descriptors). The watched sets are kept by
// the registry and only copied here, and the loop allocates nothing.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "internal.h"

namespace {

ulong_t now() { return static_cast<ulong_t>(time(nullptr)); }

// Marks the pass busy and ends the open idle period, before any handler.
void handler_about_to_run(bool &idle) {
    idle = false;
    sched_idle_close();
}

bool is_due(const SchedTask *task) {
    if (task->flags & (SCHED_IMMEDIATE | SCHED_CLEANUP))
        return true;
    return now() >= task->debug.last_sched + task->time_val;
}

void walk_tasks(SchedTask *head, bool &idle) {
    current = head;
    while (current) {
        SchedTask *task = current;
        if (!is_due(task)) {
            current = task->next;
            continue;
        }
        handler_about_to_run(idle);
        sched_task_running(task);
        timeval start, end;
        gettimeofday(&start, nullptr);
        task->task_ptr(task->arg);
        gettimeofday(&end, nullptr);
        sched_record_call(task->debug, start, end);
        current = sched_task_ran(task);
    }
}

// Seconds until the earliest due priority or regular task: 0 when one is
// due now, -1 when there is none. O(N) since tasks are unsorted.
int sched_min_time() {
    const ulong_t t = now();
    ulong_t least = 0;
    bool any = false;
    for (SchedTask *head : {SchedPriTasks, SchedTasks}) {
        for (SchedTask *task = head; task; task = task->next) {
            if (task->flags & SCHED_IMMEDIATE)
                return 0;
            const ulong_t due = task->debug.last_sched + task->time_val;
            if (due <= t)
                return 0;
            if (!any || due - t < least)
                least = due - t;
            any = true;
        }
    }
    if (!any)
        return -1;
    return least > static_cast<ulong_t>(INT_MAX) ? INT_MAX : static_cast<int>(least);
}

// Takes one condition of a record if it is both wanted and reported: clears
// its bit (so a restarted walk never fires it twice) and counts it.
int take(const SchedFD *rec, ulong_t flag, fd_set &ready, ulong_t &count) {
    if (!(rec->flags & flag) || !FD_ISSET(rec->fd, &ready))
        return 0;
    FD_CLR(rec->fd, &ready);
    ++count;
    return 1;
}

// Calls each ready descriptor's handler once, in registration order. After a
// call the descriptor is looked up again: when it is gone, or when the
// handler released some other record (possibly the successor), the walk
// restarts from the head; the cleared bits keep earlier calls from repeating.
void dispatch(fd_set &rd, fd_set &wr, fd_set &ex) {
    SchedFD *rec = SchedFDs;
    while (rec) {
        SchedFD *successor = rec->next;
        const int r = take(rec, SCHED_FD_READ, rd, rec->debug.reads);
        const int w = take(rec, SCHED_FD_WRITE, wr, rec->debug.writes);
        const int e = take(rec, SCHED_FD_EXCEPT, ex, rec->debug.exceptions);
        if (!(r | w | e)) {
            rec = successor;
            continue;
        }
        const int fd = rec->fd;
        timeval start, end;
        gettimeofday(&start, nullptr);
        current_fd = sched_fd_dispatching = rec;
        sched_fd_walk_invalid = false;
        rec->handler(fd, rec->arg, r, w, e);
        current_fd = sched_fd_dispatching = nullptr;
        SchedFD *found = sched_find_fd(fd);
        if (!found) {
            rec = SchedFDs;
            continue;
        }
        gettimeofday(&end, nullptr);
        sched_record_call(found->debug, start, end);
        rec = sched_fd_walk_invalid ? SchedFDs : successor;
    }
}

// Waits for the registered descriptors, at most until the next task is due.
// A stop signal that arrives after the shutdown check but before select()
// reads its timeout finds the timeout armed and zeroes it, so the wait ends
// at once; one that arrives later interrupts the wait. Without tasks the
// wait is a year long rather than endless, so that it can be armed too.
void descriptor_phase(bool &idle) {
    constexpr time_t kForever = 365L * 24 * 3600;
    timeval timeout{kForever, 0};
    if (num_SchedPriTasks + num_SchedTasks > 0) {
        const int secs = sched_min_time();
        if (secs >= 0) {
            timeout.tv_sec = secs;
            sched_idle_open();
        }
    }
    const FdWatch &watch = sched_fd_watch();
    fd_set rd = watch.rd, wr = watch.wr, ex = watch.ex;

    sched_wait_timeout = &timeout;
    int ret = 0;
    if (!SchedShutdown)
        ret = select(watch.highest + 1, watch.readers ? &rd : nullptr,
                     watch.writers ? &wr : nullptr, watch.exceptions ? &ex : nullptr, &timeout);
    const int select_errno = errno;
    sched_wait_timeout = nullptr;

    if (ret < 0) {
        if (sched_debug_on())
            sched_debug("sched_loop: select errored out, ret = %d, err = %s\n", ret,
                        strerror(select_errno));
        if (select_errno != EINTR)
            SchedShutdown = 1;
    } else if (ret > 0) {
        handler_about_to_run(idle);
        dispatch(rd, wr, ex);
    }
}

void task_phase(bool &idle) {
    const bool cleanup_pass = SchedShutdown;
    if (cleanup_pass) // before the first clean-up task
        sched_notify_stopping();
    if (cleanup_pass)
        walk_tasks(SchedCleanupTasks, idle);
    else if (SchedPriTasks)
        walk_tasks(SchedPriTasks, idle);
    if (cleanup_pass)
        sched_exit_after_cleanup();
    if (SchedTasks)
        walk_tasks(SchedTasks, idle);
}

} // namespace

void sched_loop(void) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_loop: Called before initialized\n");
        return;
    }
    sched_notify_loop_starting();
    for (;;) {
        current = nullptr;
        bool idle = true;
        if (SchedStop) {
            SchedStop = 0;
            return;
        }
        if (!num_SchedPriTasks && !num_SchedTasks && !num_SchedFDs) {
            if (sched_debug_on())
                sched_debug("sched_loop: Nothing to do! Shutting down...\n");
            SchedShutdown = 1;
        }
        if (num_SchedFDs && !SchedShutdown)
            descriptor_phase(idle);
        if (num_SchedTasks + num_SchedPriTasks + SchedShutdown > 0)
            task_phase(idle);
        if (idle)
            sched_idle_open();
    }
}
