// tasks.cpp -- task records: the four task lists, TIDs, revival, finding and retiring.
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "../common/dlist.h"
#include "internal.h"

SchedTask *SchedTasks, *SchedTasks_end;
int num_SchedTasks;
SchedTask *SchedPriTasks, *SchedPriTasks_end;
int num_SchedPriTasks;
SchedTask *SchedDoneTasks, *SchedDoneTasks_end;
SchedTask *SchedCleanupTasks, *SchedCleanupTasks_end;
int num_SchedCleanupTasks;
ulong_t SchedNextTID;

namespace {

size_t records_allocated; // every record ever made, for the revival index

// The walk's view of the running task (see sched_task_running).
SchedTask *running;
bool running_left; // its handler took it off its active list

ulong_t now() { return static_cast<ulong_t>(time(nullptr)); }

bool on_priority_list(const SchedTask *task) { return task->flags & SCHED_PRIORITY; }

void append_active(SchedTask *task) {
    if (on_priority_list(task)) {
        zn::list_append(SchedPriTasks, SchedPriTasks_end, task);
        ++num_SchedPriTasks;
    } else {
        zn::list_append(SchedTasks, SchedTasks_end, task);
        ++num_SchedTasks;
    }
    due_insert(task);
}

void unlink_active(SchedTask *task) {
    due_remove(task);
    if (on_priority_list(task)) {
        zn::list_unlink(SchedPriTasks, SchedPriTasks_end, task);
        --num_SchedPriTasks;
    } else {
        zn::list_unlink(SchedTasks, SchedTasks_end, task);
        --num_SchedTasks;
    }
}

// A cleared record with a fresh TID; null when out of memory.
SchedTask *new_record(void (*func)(void *), void *arg, char *name, size_t hash) {
    if (!revival_reserve(records_allocated + 1) || !due_reserve(records_allocated + 1))
        return nullptr;
    TaskNode *node = task_record_allocate();
    if (!node)
        return nullptr;
    ++records_allocated;
    node->index_hash = hash;
    SchedTask *task = &node->task;
    task->task_name = reinterpret_cast<uchar_t *>(name);
    task->task_ptr = func;
    task->arg = arg;
    task->debug.time_sched = task->debug.last_sched = now();
    task->tid = SchedNextTID++;
    return task;
}

// Revival: a done record goes back to an active list with new flags.
void sched_insert_task(SchedTask *task, ulong_t flags, ulong_t time_val) {
    revival_remove(task);
    zn::list_unlink(SchedDoneTasks, SchedDoneTasks_end, task);
    task->flags = flags;
    task->time_val = time_val;
    append_active(task);
}

// Which of the SCHED_MATCH_* bits a task satisfies.
ulong_t matching_bits(const SchedTask *task, void (*func)(void *), void *arg,
                      const char *name, bool compare_names) {
    ulong_t bits = 0;
    if (task->task_ptr == func)
        bits |= SCHED_MATCH_FUNC;
    if (task->arg == arg)
        bits |= SCHED_MATCH_ARG;
    if (compare_names && sched_names_equal(task->task_name, name))
        bits |= SCHED_MATCH_NAME;
    return bits;
}

SchedTask *find_in(SchedTask *head, void (*func)(void *), void *arg, const char *name,
                   ulong_t match, bool compare_names) {
    for (SchedTask *task = head; task; task = task->next)
        if ((matching_bits(task, func, arg, name, compare_names) & match) == match)
            return task;
    return nullptr;
}

SchedTask *find_tid_in(SchedTask *head, ulong_t tid) {
    for (SchedTask *task = head; task; task = task->next)
        if (task->tid == tid)
            return task;
    return nullptr;
}

} // namespace

int sched_task(void (*task_ptr)(void *), void *arg, ulong_t flags, ulong_t time_val,
               char *name) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_task: Called before initialized\n");
        return -1;
    }
    if (sched_debug_on()) {
        char when[32];
        if (flags & SCHED_IMMEDIATE)
            snprintf(when, sizeof when, " IMM");
        else
            snprintf(when, sizeof when, " %lds", static_cast<long>(time_val));
        sched_debug("sched_task: Scheduling task 0x%08lX [%s]:%s%s: TID %ld\n",
                    reinterpret_cast<ulong_t>(task_ptr), name ? name : "(null)",
                    (flags & SCHED_PRIORITY) ? " PRI" : "", when,
                    static_cast<long>(SchedNextTID));
    }
    const size_t hash = revival_hash(task_ptr, arg, name);
    if (SchedTask *done = revival_find(task_ptr, arg, name, hash)) {
        done->debug.last_sched = now();
        sched_insert_task(done, flags, time_val);
        return 0;
    }
    SchedTask *task = new_record(task_ptr, arg, name, hash);
    if (!task) {
        if (sched_debug_on())
            sched_debug("sched_task: ERR - No memory\n");
        return -12;
    }
    task->flags = flags;
    task->time_val = time_val;
    append_active(task);
    return 0;
}

int sched_cleanup(char *name, void (*func_ptr)(void *), void *arg) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_cleanup: Called before initialized\n");
        return -1;
    }
    if (sched_debug_on())
        sched_debug("sched_cleanup: Registering cleanup func 0x%08lX [%s]\n",
                    reinterpret_cast<ulong_t>(func_ptr), name ? name : "(null)");
    SchedTask *task = new_record(func_ptr, arg, name, revival_hash(func_ptr, arg, name));
    if (!task) {
        if (sched_debug_on())
            sched_debug("sched_cleanup: ERR - No memory\n");
        return -12;
    }
    task->flags = SCHED_CLEANUP;
    zn::list_append(SchedCleanupTasks, SchedCleanupTasks_end, task);
    ++num_SchedCleanupTasks;
    return 0;
}

int sched_reschedule(ulong_t time_val) {
    if (!current)
        return -2;
    if (time_val == 0)
        current->flags |= SCHED_IMMEDIATE;
    else
        current->flags &= ~SCHED_IMMEDIATE;
    current->flags |= SCHED_RESCHEDULED;
    current->time_val = time_val;
    current->debug.last_sched = now();
    return 0;
}

int sched_stop(void) {
    if (!tm_SchedInitialized) {
        if (sched_debug_on())
            sched_debug("sched_stop: Called before initialized\n");
        return -1;
    }
    if (current) {
        if (sched_debug_on())
            sched_debug("sched_stop: Request to not reschedule TID %ld [%s]\n",
                        static_cast<long>(current->tid),
                        current->task_name ? reinterpret_cast<char *>(current->task_name)
                                           : "(null)");
        current->flags &= ~SCHED_RESCHEDULE;
    }
    return 0;
}

int sched_remove_task(void (*task_ptr)(void *), void *arg, char *name, ulong_t match) {
    SchedTask *task = sched_find_task(task_ptr, arg, name, match);
    if (!task)
        return -2;
    sched_task_done(task);
    return 0;
}

SchedTask *sched_find_task(void (*task_ptr)(void *), void *arg, char *name, ulong_t match) {
    const bool compare_names = name != nullptr;
    if (!compare_names)
        match &= ~SCHED_MATCH_NAME;
    if (SchedTask *task = find_in(SchedPriTasks, task_ptr, arg, name, match, compare_names))
        return task;
    return find_in(SchedTasks, task_ptr, arg, name, match, compare_names);
}

SchedTask *sched_find_done_task(void (*task_ptr)(void *), void *arg, char *name,
                                ulong_t match) {
    const ulong_t all = SCHED_MATCH_FUNC | SCHED_MATCH_ARG | SCHED_MATCH_NAME;
    if ((match & all) == all)
        return revival_find(task_ptr, arg, name, revival_hash(task_ptr, arg, name));
    return find_in(SchedDoneTasks, task_ptr, arg, name, match, true);
}

SchedTask *sched_find_task_by_tid(int tid) {
    // TIDs are unsigned; a negative number names no record.
    if (tid <= 0)
        return nullptr;
    const auto wanted = static_cast<ulong_t>(tid);
    for (SchedTask *head : {SchedPriTasks, SchedTasks, SchedDoneTasks, SchedCleanupTasks})
        if (SchedTask *task = find_tid_in(head, wanted))
            return task;
    return nullptr;
}

void sched_move_to_end(SchedTask *task) {
    task->debug.last_sched = now();
    if (task == (on_priority_list(task) ? SchedPriTasks_end : SchedTasks_end)) {
        due_refresh(task);
        return;
    }
    unlink_active(task);
    append_active(task);
}

void sched_task_done(SchedTask *task) {
    if (task == running)
        running_left = true;
    unlink_active(task);
    task->flags = SCHED_DONE;
    task->time_val = 0;
    zn::list_append(SchedDoneTasks, SchedDoneTasks_end, task);
    revival_add(task);
}

void sched_task_running(SchedTask *task) {
    running = task;
    running_left = false;
}

void sched_task_ran(SchedTask *task) {
    const bool retired_by_handler = running_left;
    sched_task_running(nullptr);
    if (retired_by_handler)
        return; // leave it where its handler put it
    if (task->flags & SCHED_CLEANUP) {
        due_refresh(task); // stays in place; its handler may have re-armed it
    } else if (task->flags & (SCHED_RESCHEDULE | SCHED_RESCHEDULED)) {
        task->flags &= ~SCHED_RESCHEDULED;
        sched_move_to_end(task);
    } else {
        sched_task_done(task);
    }
}

void sched_tasks_reset() {
    SchedTasks = SchedTasks_end = nullptr;
    SchedPriTasks = SchedPriTasks_end = nullptr;
    SchedCleanupTasks = SchedCleanupTasks_end = nullptr;
    due_reset();
}

void sched_tasks_release() {
    sched_tasks_reset();
    SchedDoneTasks = SchedDoneTasks_end = nullptr;
    revival_clear();
    task_records_release();
}
