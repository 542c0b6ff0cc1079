// loop.cpp -- the main loop: one wait per pass, descriptor dispatch, then the walks of the due tasks.
//
// A pass waits for the registered descriptors through the back end, at most
// until the earliest task is due; with tasks but no descriptor it sleeps
// the same way, so a daemon of timers alone uses no CPU between its tasks.
// The walks visit only the due tasks (due.cpp), each task at most once per
// walk, so a stop request is acted on within one pass whatever the tasks
// do. The loop allocates nothing.
#include <cerrno>
#include <cstring>

#include "internal.h"

namespace {

void run_task(SchedTask *task, CallStamps &stamps, bool &idle) {
    sched_handler_about_to_run(idle);
    current = task;
    stamps.before_call();
    task->task_ptr(task->arg);
    stamps.after_call(&task->debug);
}

void walk_active(bool priority, bool &idle) {
    DueWalk walk(priority);
    CallStamps stamps;
    while (SchedTask *task = walk.next()) {
        sched_task_running(task);
        run_task(task, stamps, idle);
        sched_task_ran(task);
    }
    current = nullptr;
}

// The clean-up pass: every clean-up task once, in registration order.
void walk_cleanup(bool &idle) {
    CallStamps stamps;
    for (SchedTask *task = SchedCleanupTasks; task; task = task->next)
        run_task(task, stamps, idle);
}

// Waits for the descriptors, or for time alone when none is registered,
// at most until the next task is due. Nothing to wait for and a task due
// now: no system call at all.
void wait_phase(bool &idle) {
    long timeout = -1;
    if (num_SchedPriTasks + num_SchedTasks > 0)
        timeout = sched_min_time();
    if (!num_SchedFDs && timeout == 0)
        return;
    if (timeout >= 0)
        sched_idle_open();
    const int ret = sched_wait_and_dispatch(timeout, idle);
    if (ret < 0) {
        const int wait_errno = errno;
        if (sched_debug_on())
            sched_debug("sched_loop: select errored out, ret = %d, err = %s\n", ret,
                        strerror(wait_errno));
        if (wait_errno != EINTR)
            SchedShutdown = 1;
    }
}

void task_phase(bool &idle) {
    if (SchedShutdown) {
        sched_notify_stopping(); // before the first clean-up task
        walk_cleanup(idle);
        sched_exit_after_cleanup();
    }
    if (SchedPriTasks)
        walk_active(true, idle);
    if (SchedTasks)
        walk_active(false, idle);
}

} // namespace

ZN_EVERY_PASS void sched_loop(void) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_loop: Called before initialized\n");
        return;
    }
    sched_looping = true;
    sched_notify_loop_starting();
    for (;;) {
        current = nullptr;
        bool idle = true;
        if (SchedStop) {
            SchedStop = 0;
            sched_looping = false;
            return;
        }
        if (!num_SchedPriTasks && !num_SchedTasks && !num_SchedFDs) {
            if (sched_debug_on())
                sched_debug("sched_loop: Nothing to do! Shutting down...\n");
            SchedShutdown = 1;
        }
        if (!SchedShutdown)
            wait_phase(idle);
        if (num_SchedTasks + num_SchedPriTasks + SchedShutdown > 0)
            task_phase(idle);
        if (idle)
            sched_idle_open();
    }
}
