// internal.h -- declarations shared by the scheduler's sources, never exported.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include "znsched.h"

// ---- debug.cpp ----

// Debug line to sched_debug_fd (see sched_set_debug). Callers test the level.
int sched_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

inline bool sched_debug_on() { return sched_debug_flag >= 1; }
inline bool sched_debug_max() { return sched_debug_flag == 2; }

// Console output handed over by sched_register_cmds; null until then.
extern int (*sched_printf)(char *fmt, ...);

// ---- tasks.cpp ----

// A task record as the scheduler allocates it: the public record first, then
// the links of the revival index, so a SchedTask * is also a TaskNode *.
struct TaskNode {
    SchedTask task;
    TaskNode *index_next = nullptr, *index_prev = nullptr;
    size_t index_hash = 0;
};

inline TaskNode *node_of(SchedTask *task) { return reinterpret_cast<TaskNode *>(task); }

// ---- records.cpp ----

TaskNode *task_record_allocate(); // a cleared record, or null when out of memory
void task_records_release();      // every record ever allocated

void sched_tasks_reset();   // empties the active and clean-up lists
void sched_tasks_release(); // frees every task record (priority, regular, clean-up, done)
void sched_task_done(SchedTask *task);

// The task walk of the main loop: call before a task's handler runs, then
// dispose of the task afterwards. sched_task_ran re-queues or retires the task
// as its flags say and returns the record the walk continues with. A task
// that its own handler took off its active list (sched_remove_task) is left
// where the handler put it, and the walk continues with the record that
// followed it there.
void sched_task_running(SchedTask *task);
SchedTask *sched_task_ran(SchedTask *task);

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

// Watched sets and highest registered descriptor, kept current by the
// registry so that a pass only copies them.
struct FdWatch {
    fd_set rd, wr, ex;
    int readers, writers, exceptions; // members of each set
    int highest;                      // -1 when nothing is registered
};
const FdWatch &sched_fd_watch();

// The dispatch walk's guard: the record being dispatched, and whether a
// record other than it was released since (its successor may be gone).
extern SchedFD *sched_fd_dispatching;
extern bool sched_fd_walk_invalid;

// ---- stats.cpp ----

void sched_record_call(SchedDebug &debug, const timeval &start, const timeval &end);
void sched_idle_open();
void sched_idle_close();

// ---- lifecycle.cpp ----

// While the loop prepares its select(), the timeout it will pass; the signal
// handler zeroes it so that a stop signal arriving just before the call
// cannot leave the loop waiting.
extern timeval *volatile sched_wait_timeout;

// The end of the clean-up pass: releases every record and calls exit(0).
[[noreturn]] void sched_exit_after_cleanup();

// ---- notify.cpp: the service manager's notifications ----

void sched_notify_read_environment(); // sched_init: $NOTIFY_SOCKET and the watchdog
void sched_notify_loop_starting();    // sched_loop starts: "READY=1" once, the watchdog
void sched_notify_stopping();         // the clean-up pass begins: "STOPPING=1"
