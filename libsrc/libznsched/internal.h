// internal.h -- declarations shared by the scheduler's sources, never exported.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "znsched.h"

// Marks the functions that every pass of the loop runs. The compiler gathers
// them in one stretch of the text, so that a pass touches few pages of code:
// after each system call the processor has to find them again.
#define ZN_EVERY_PASS __attribute__((hot))

// ---- debug.cpp ----

// Debug line to sched_debug_fd (see sched_set_debug). Callers test the level.
int sched_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

inline bool sched_debug_on() { return sched_debug_flag >= 1; }
inline bool sched_debug_max() { return sched_debug_flag == 2; }

// Console output handed over by sched_register_cmds; null until then.
extern int (*sched_printf)(char *fmt, ...);

// ---- tasks.cpp ----

// A task's place among the due tasks of its list, in list order. A walk of
// the list keeps a link of its own among them as its cursor.
struct DueLink {
    DueLink *prev = nullptr, *next = nullptr;
    uint64_t seq = 0; // place in the list: later records have larger numbers
    bool cursor = false; // a walk's cursor, not a task's link
};

// A task record as the scheduler allocates it: the public record first, then
// the links of the revival index and of the due index, so a SchedTask * is
// also a TaskNode *.
struct TaskNode {
    SchedTask task;
    TaskNode *index_next = nullptr, *index_prev = nullptr;
    size_t index_hash = 0;
    DueLink due;             // among its list's due tasks (when due_place is kDueNow)
    ulong_t due_at = 0;      // last_sched + time_val when it was indexed
    size_t heap_slot = 0;    // in its list's timer heap (when due_place is kDueLater)
    uint64_t walk = 0;       // the last walk of its list that ran it
    uint8_t due_place = 0;   // where in the due index (due.cpp)
    bool priority_index = false; // which list's index holds it
};

inline TaskNode *node_of(SchedTask *task) { return reinterpret_cast<TaskNode *>(task); }

// ---- records.cpp ----

TaskNode *task_record_allocate(); // a zeroed record, or null when out of memory
void task_records_release();      // every record ever allocated

void sched_tasks_reset();   // empties the active and clean-up lists
void sched_tasks_release(); // frees every task record (priority, regular, clean-up, done)
void sched_task_done(SchedTask *task);

// Before a task's handler runs in a walk (null: none runs), and after it
// ran: re-queues or retires the task as its flags say. A task that its own
// handler took off its active list (sched_remove_task) is left where the
// handler put it.
void sched_task_running(SchedTask *task);
void sched_task_ran(SchedTask *task);

// ---- due.cpp: which active tasks are due, without walking them all ----

bool due_reserve(size_t records); // room for this many records; false: no memory
void due_insert(SchedTask *task); // task was appended to its active list
void due_remove(SchedTask *task); // task is leaving its active list
void due_refresh(SchedTask *task); // its flags or times changed in place
void due_reset();
// Seconds until the earliest priority or regular task is due: 0 when one is
// due now, -1 when there is none.
int sched_min_time();

struct DueIndex;

// One walk of an active list: its due tasks in list order, each at most once.
// Tasks that become due while the walk is under way are included when they
// lie ahead of it; tasks re-queued after running in it wait for the next walk.
class DueWalk {
public:
    explicit DueWalk(bool priority);
    ~DueWalk();
    DueWalk(const DueWalk &) = delete;
    DueWalk &operator=(const DueWalk &) = delete;
    SchedTask *next(); // null at the end

private:
    DueIndex &index_;
    DueLink cursor_;
    uint64_t number_;
};

// ---- revival.cpp: index of the done list by (function, argument, name) ----

bool revival_reserve(size_t records); // room for this many records; false: no memory
size_t revival_hash(void (*func)(void *), const void *arg, const char *name);
void revival_add(SchedTask *task);    // task was appended to the done list
void revival_remove(SchedTask *task); // task left the done list
// First done record, in done-list order, with this function, argument and
// name; hash is revival_hash() of the three. A new record keeps the hash in
// its index_hash, since the three never change.
SchedTask *revival_find(void (*func)(void *), void *arg, const char *name, size_t hash);
void revival_clear();
bool sched_names_equal(const uchar_t *a, const char *b);

// ---- descriptors.cpp ----

void sched_fds_reset();
void sched_fds_release();

// The record registered under fd and its place in the registry (later
// registrations have larger numbers), or null when fd is not registered.
SchedFD *sched_fd_lookup(int fd, uint64_t &order);
// What happened to the registry since the dispatcher last asked.
struct RegistryChanges {
    bool added = false;         // a registration was made
    bool removed = false;       // a record was removed
    bool removed_other = false; // ... one other than current_fd
    bool any() const { return added || removed; }
};
RegistryChanges sched_fd_changes_take();
// Moves every registration from the back end in use to the given one;
// false (nothing moved) when it cannot watch one of them.
class Backend;
bool sched_fds_move_to(Backend &backend);

// ---- dispatch.cpp ----

// Waits for the registered descriptors at most timeout_secs (negative:
// without limit), then calls each ready descriptor's handler once, in
// registry order, after marking the pass busy. Returns the wait's result
// (-1 with errno on failure).
int sched_wait_and_dispatch(long timeout_secs, bool &idle);
bool sched_dispatch_reserve(size_t registrations); // false: no memory

// ---- stats.cpp ----

void sched_record_call(SchedDebug &debug, const timeval &start, const timeval &end);

// The stamps of a run of handler calls in one walk: a call's end stamp is
// the next call's start, since only the walk's bookkeeping (well under a
// microsecond) lies between. That halves the clock readings of a busy pass;
// after anything longer, stale() makes the next call take a fresh start.
class CallStamps {
public:
    void before_call() {
        if (!fresh_)
            gettimeofday(&start_, nullptr);
        fresh_ = true;
    }
    // After the call: its statistics on debug (none when null).
    void after_call(SchedDebug *debug) {
        timeval end;
        gettimeofday(&end, nullptr);
        if (debug)
            sched_record_call(*debug, start_, end);
        start_ = end;
    }
    void stale() { fresh_ = false; }

private:
    timeval start_{};
    bool fresh_ = false;
};
void sched_idle_open();
void sched_idle_close();

// Marks the pass busy and ends the open idle period, before any handler.
inline void sched_handler_about_to_run(bool &idle) {
    idle = false;
    sched_idle_close();
}

// ---- lifecycle.cpp ----

extern bool sched_looping; // sched_loop() is running

// The end of the clean-up pass: releases every record and calls exit(0).
[[noreturn]] void sched_exit_after_cleanup();

// ---- notify.cpp: the service manager's notifications ----

void sched_notify_read_environment(); // sched_init: $NOTIFY_SOCKET and the watchdog
void sched_notify_loop_starting();    // sched_loop starts: "READY=1" once, the watchdog
void sched_notify_stopping();         // the clean-up pass begins: "STOPPING=1"
