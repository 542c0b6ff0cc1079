/*
 * znsched.h -- the zn event scheduler: tasks, descriptors and the main loop.
 *
 * One thread runs everything. An application calls sched_init() once,
 * registers tasks (sched_task, sched_cleanup) and descriptors (sched_add_fd),
 * then hands its thread to sched_loop(). The loop waits for the registered
 * descriptors (with select() or epoll, see sched_set_backend), at most until
 * the earliest timed task falls due, calls each ready descriptor's handler
 * once, runs the due priority tasks, then the due regular tasks, each task
 * at most once per pass. SIGINT, SIGTERM, SIGQUIT, sched_shutdown() or
 * running out of work runs every clean-up task once, releases all records
 * and ends the process with exit(0).
 *
 * Conventions:
 *   - Results are 0 on success, -1 before sched_init(), and negated errno
 *     values otherwise: -2 (ENOENT) not found, -9 (EBADF) descriptor the back
 *     end cannot watch, -12 (ENOMEM) out of memory, -17 (EEXIST) already there.
 *   - The scheduler allocates and releases every record; callers never free
 *     one. A task's name is the caller's pointer and must outlive the task;
 *     descriptor names are copied. The scheduler never closes a descriptor.
 *   - Times are whole seconds of time() for scheduling and microseconds of
 *     gettimeofday() for handler and idle durations.
 *   - Debug lines go to the descriptor given to sched_set_debug(), one
 *     write() per line, at level 1 (on) or 2 (maximum).
 *
 * Under a service manager (the environment names $NOTIFY_SOCKET), the
 * scheduler reports "READY=1" when sched_loop() starts, "WATCHDOG=1" from
 * its task "Service Watchdog" when $WATCHDOG_USEC asks for a watchdog, and
 * "STOPPING=1" when the clean-up tasks are about to run. sched_init() reads
 * $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID and removes them from
 * the environment. Without $NOTIFY_SOCKET nothing of this happens.
 */
#ifndef ZN_ZNSCHED_H
#define ZN_ZNSCHED_H

#include "typedefs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A duration or time stamp: seconds plus microseconds (0..999999). */
typedef struct SchedTime {
    long secs;
    long usecs;
} SchedTime, SchedTime_t;

/* Statistics of one task or descriptor record; stamps are time() values. */
typedef struct SchedDebug {
    ulong_t time_sched;   /* when the record was created */
    ulong_t last_sched;   /* base of the due time: last (re)scheduling */
    ulong_t last_ran;     /* start of the last handler call; 0 = never */
    ulong_t times_ran;    /* number of handler calls */
    ulong_t reads;        /* descriptor records: passes found readable */
    ulong_t writes;       /* ... writable */
    ulong_t exceptions;   /* ... with an exceptional condition */
    SchedTime last_time;  /* duration of the last handler call */
    SchedTime total_time; /* sum of all handler durations */
} SchedDebug, SchedDebug_t;

/* Task flags. */
#define SCHED_CLEANUP     0x01UL /* on the clean-up list; runs at shutdown */
#define SCHED_IMMEDIATE   0x02UL /* due in every pass */
#define SCHED_RESCHEDULE  0x04UL /* periodic: re-queued after each run */
#define SCHED_PRIORITY    0x08UL /* lives on the priority list */
#define SCHED_DONE        0x10UL /* on the done list, kept for revival */
#define SCHED_RESCHEDULED 0x20UL /* one more run requested by its handler */

/* Match bits of the finding operations. */
#define SCHED_MATCH_FUNC 0x01UL /* same handler function */
#define SCHED_MATCH_ARG  0x02UL /* same argument pointer */
#define SCHED_MATCH_NAME 0x04UL /* same name by strcmp (null names match
                                   only null names) */

/* One task. Due when time() >= debug.last_sched + time_val. */
typedef struct SchedTask {
    ulong_t tid;                 /* unique task number; 0 = idle record */
    ulong_t flags;               /* SCHED_* task flags */
    ulong_t time_val;            /* delay or period in seconds */
    uchar_t *task_name;          /* caller's string, stored not copied */
    void *arg;                   /* handed to the handler */
    void (*task_ptr)(void *arg); /* the handler */
    SchedDebug debug;            /* statistics */
    int reschedule;              /* unused; always 0 */
    struct SchedTask *next, *prev;
} SchedTask, SchedTask_t;

/* Descriptor interest flags. */
#define SCHED_FD_READ   0x01UL
#define SCHED_FD_WRITE  0x02UL
#define SCHED_FD_EXCEPT 0x04UL

/* One registered descriptor. */
typedef struct SchedFD {
    int fd;          /* descriptor number, unique in the registry */
    char name[128];  /* copy of the caller's name, always terminated */
    ulong_t flags;   /* SCHED_FD_* interest */
    void *arg;       /* handed to the handler */
    void (*handler)(int fd, void *arg, int r, int w, int e);
    SchedDebug debug; /* statistics; reads/writes/exceptions count passes */
    struct SchedFD *next, *prev;
} SchedFD, SchedFD_t;

/* ---- Lists (read them; change them only through the functions). ---- */

ZN_EXPORT extern SchedTask *SchedTasks, *SchedTasks_end;     /* regular */
ZN_EXPORT extern int num_SchedTasks;
ZN_EXPORT extern SchedTask *SchedPriTasks, *SchedPriTasks_end; /* priority */
ZN_EXPORT extern int num_SchedPriTasks;
ZN_EXPORT extern SchedTask *SchedDoneTasks, *SchedDoneTasks_end; /* done */
ZN_EXPORT extern SchedTask *SchedCleanupTasks, *SchedCleanupTasks_end;
ZN_EXPORT extern int num_SchedCleanupTasks;
ZN_EXPORT extern ulong_t SchedNextTID; /* TID of the next new record */

ZN_EXPORT extern SchedFD *SchedFDs, *SchedFDs_end; /* registry, in order */
ZN_EXPORT extern int num_SchedFDs;

/* ---- Lifecycle state. ---- */

ZN_EXPORT extern ulong_t tm_SchedInitialized; /* time() of sched_init; 0 = not yet */
ZN_EXPORT extern ulong_t tm_SchedWasRan;      /* reset by sched_init, else unused */
ZN_EXPORT extern volatile int SchedShutdown;  /* 1 once shutdown is requested */
ZN_EXPORT extern int SchedStop;               /* 1 after sched_stop_loop() */
ZN_EXPORT extern SchedTask SchedIdle;         /* idle statistics, TID 0 */
ZN_EXPORT extern int SchedIdleState;          /* 1 while an idle period is open */
ZN_EXPORT extern int sched_debug_flag;        /* 0 off, 1 on, 2 maximum */
ZN_EXPORT extern int sched_debug_fd;          /* debug destination; <0 = none */
ZN_EXPORT extern SchedTask *current;          /* running task, else null */
ZN_EXPORT extern SchedFD *current_fd;         /* dispatched descriptor, else null */

/* ---- Lifecycle (main loop). ---- */

/* Initialise once per process: empties the lists, seeds the idle record,
 * sets the next TID to 1 and installs sched_handle_signal for SIGINT, SIGTERM
 * and SIGQUIT. Reads and removes the service manager's variables
 * $NOTIFY_SOCKET (an absolute path, or an abstract name after "@"),
 * $WATCHDOG_USEC and $WATCHDOG_PID; an unusable value means no manager, or
 * no watchdog. Returns 0. */
ZN_EXPORT int sched_init(void);

/* Run passes until sched_stop_loop(); then return with every task and
 * descriptor in place. On shutdown it never returns: the clean-up tasks run
 * once in registration order, all records are released and exit(0) ends the
 * process. Before sched_init() it returns at once.
 * Under a service manager, the first call sends "READY=1" before its first
 * pass, and every call arms the watchdog: a periodic task "Service
 * Watchdog" sending "WATCHDOG=1" every half of $WATCHDOG_USEC, in whole
 * seconds and at least 1 (only when $WATCHDOG_PID was unset or this
 * process). The watchdog never keeps an otherwise idle loop alive: left
 * alone, it retires, and the loop shuts down at most one period later than
 * it would without it. Shutdown sends "STOPPING=1" before the first
 * clean-up task. */
ZN_EXPORT void sched_loop(void);

/* Send one notification to the service manager: a state line such as
 * "STATUS=serving 3 users" or "RELOADING=1" (several may be joined by
 * newlines). The datagram leaves at once or not at all: it never blocks and
 * never raises SIGPIPE. The socket to the manager is opened by the first
 * call and closed on exec. Returns 0 when sent, -1 when there is no
 * manager (no usable $NOTIFY_SOCKET at sched_init(), or before it), -22
 * (EINVAL) for a null state, or the negated errno of the failed send, for
 * example -11 (EAGAIN) when the manager's queue is full. */
ZN_EXPORT int sched_notify(const char *state);

/* Request shutdown; safe at any time, from any handler. */
ZN_EXPORT void sched_shutdown(void);

/* Make sched_loop() return at the start of its next pass. */
ZN_EXPORT void sched_stop_loop(void);

/* Signal handler installed by sched_init(): SIGINT, SIGTERM and SIGQUIT
 * request shutdown once; other signals are ignored. */
ZN_EXPORT void sched_handle_signal(int sig);

/* Back ends: how the loop waits for descriptors. */
#define SCHED_BACKEND_SELECT 0 /* select(): the default */
#define SCHED_BACKEND_EPOLL  1 /* epoll: cost follows the ready descriptors */

/* Choose how the loop waits for descriptors. Without a call, sched_init()
 * takes the environment variable ZN_SCHED_BACKEND ("select" or "epoll"; unset,
 * empty or anything else means select); a call, before or after sched_init(),
 * wins over it. Returns 0, or -1 for an unknown value, a call from inside
 * sched_loop() (a handler), or a switch after sched_init() that cannot take
 * every registered descriptor along (select watches only 0..FD_SETSIZE-1) or
 * gets no epoll instance; nothing changes then.
 *
 * Both back ends dispatch alike: ready descriptors in registry order, one
 * call per pass, the same statistics and the same rules for handlers that
 * add or remove descriptors; a regular file is always ready. The epoll back
 * end watches any open descriptor, FD_SETSIZE and beyond, takes the
 * exceptional condition as EPOLLPRI (what select() reports on Linux) and
 * applies interest changes as they happen. One difference remains: a
 * descriptor closed while registered makes select() fail with EBADF and the
 * program shut down, while epoll silently stops watching it (its handler is
 * never called again); under epoll, sched_add_fd() refuses a descriptor that
 * is not open with -9. Remove a descriptor before closing it. */
ZN_EXPORT int sched_set_backend(int backend);

/* Set the debug level (0 off, 1 on, 2 maximum) and the descriptor that
 * debug lines are written to (negative: none). Values are not checked; may
 * be called before sched_init(). */
ZN_EXPORT void sched_set_debug(int debug, int debug_fd);

/* ---- Tasks. ---- */

/* Schedule task_ptr(arg) after time_val seconds with SCHED_* flags. A done
 * record with the same function, argument and name is revived (keeping its
 * TID and statistics); otherwise a new record is made. The name is stored,
 * not copied. Returns 0, -1 before sched_init(), -12 out of memory. */
ZN_EXPORT int sched_task(void (*task_ptr)(void *), void *arg, ulong_t flags,
                         ulong_t time_val, char *name);

/* Register a clean-up task, run once at shutdown in registration order.
 * Returns 0, -1 before sched_init(), -12 out of memory. */
ZN_EXPORT int sched_cleanup(char *name, void (*func_ptr)(void *), void *arg);

/* From a task handler: run the running task again after time_val seconds
 * (0: in every pass until re-armed with a non-zero time). Returns 0, or -2
 * when no task handler is running (descriptor handlers included). */
ZN_EXPORT int sched_reschedule(ulong_t time_val);

/* From a task handler: stop a periodic task after this run. Returns 0 (also
 * outside a handler, where it does nothing), -1 before sched_init(). */
ZN_EXPORT int sched_stop(void);

/* Retire the first active task that matches (see sched_find_task) to the
 * done list. Returns 0, or -2 when none matched. */
ZN_EXPORT int sched_remove_task(void (*task_ptr)(void *), void *arg,
                                char *name, ulong_t match);

/* First active task (priority list, then regular list) whose SCHED_MATCH_*
 * bits cover match; a null name never restricts. Null when none. */
ZN_EXPORT SchedTask *sched_find_task(void (*task_ptr)(void *), void *arg,
                                     char *name, ulong_t match);

/* As sched_find_task, over the done list only, always comparing names. */
ZN_EXPORT SchedTask *sched_find_done_task(void (*task_ptr)(void *), void *arg,
                                          char *name, ulong_t match);

/* The record with this TID on the priority, regular, done or clean-up list;
 * null when none (the idle record is never found). */
ZN_EXPORT SchedTask *sched_find_task_by_tid(int tid);

/* Re-stamp an active task's last_sched with time() and move it to the tail
 * of its list. */
ZN_EXPORT void sched_move_to_end(SchedTask *task);

/* ---- Descriptors. ---- */

/* The record of fd, or null (also for negative numbers). */
ZN_EXPORT SchedFD *sched_find_fd(int fd);

/* Watch fd for the SCHED_FD_* conditions in flags; the loop calls
 * handler(fd, arg, r, w, e). The name is copied (cut to 127 bytes).
 * Returns 0, -1 before sched_init(), -9 for a descriptor the back end cannot
 * watch (negative; with select, FD_SETSIZE or above; with epoll, not open),
 * -17 when fd is registered already (unchanged), -12 out of memory. */
ZN_EXPORT int sched_add_fd(int fd,
                           void (*handler)(int fd, void *arg, int r, int w, int e),
                           void *arg, ulong_t flags, char *name);

/* Forget fd (it stays open). Returns 0, -1 before sched_init(), -2 when
 * it is not registered. */
ZN_EXPORT int sched_remove_fd(int fd);

/* Replace fd's interest flags. Returns 0, or -2 when it is not registered. */
ZN_EXPORT int sched_fd_flags(int fd, ulong_t flags);

/* Copy fd's whole record into the caller's *to, then remove it. Returns 0,
 * -1 before sched_init(), -2 when it is not registered. */
ZN_EXPORT int sched_fd_save(int fd, SchedFD *to);

/* Register fd again with the handler, argument, flags and name of a saved
 * copy (statistics start afresh). Returns sched_add_fd's result, -1 before
 * sched_init(), -17 when fd is registered. The copy is not kept. */
ZN_EXPORT int sched_fd_restore(int fd, SchedFD *from);

/* ---- Console commands. ---- */

/* Register the console commands "tasks", "sockets" and "sched-debug"
 * through add_cmd (the console's cli_add_cmd; results are ignored), then
 * keep print_func (the console's cli_printf) for their output. The console
 * calls it from cli_init(); sched_init() forgets print_func again.
 * "sockets" ends with a line naming the back end: "Back end: select" or
 * "Back end: epoll".
 * "sched-debug on|max" sends the debug lines to the typing user's
 * descriptor; without a dispatched descriptor it changes nothing and is
 * refused as wrong usage. */
ZN_EXPORT void sched_register_cmds(int (*add_cmd)(char *cmd, char *usage, char *desc,
                                                  int (*handler)(int argc, char **argv),
                                                  ulong_t flags),
                                   int (*print_func)(char *fmt, ...));

#ifdef __cplusplus
}
#endif

#endif /* ZN_ZNSCHED_H */
