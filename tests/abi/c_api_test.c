/* The public headers as a C program sees them: they compile as strict C99,
 * and every exported function is referenced and linked. */
#include "typedefs.h"
#include "znsched.h"

#include <stdio.h>
#include <string.h>

typedef void (*any_fn)(void);
#define FN(f) ((any_fn)(f))

static const any_fn scheduler_api[] = {
    FN(sched_init), FN(sched_loop), FN(sched_shutdown), FN(sched_stop_loop),
    FN(sched_handle_signal), FN(sched_set_debug), FN(sched_task), FN(sched_cleanup),
    FN(sched_reschedule), FN(sched_stop), FN(sched_remove_task), FN(sched_find_task),
    FN(sched_find_done_task), FN(sched_find_task_by_tid), FN(sched_move_to_end),
    FN(sched_find_fd), FN(sched_add_fd), FN(sched_remove_fd), FN(sched_fd_flags),
    FN(sched_fd_save), FN(sched_fd_restore),
};

static int failures;
#define CHECK(cond) \
    do { if (!(cond)) { fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); ++failures; } } while (0)

static char task_name[] = "c task";
static void task(void *arg) { ++*(int *)arg; sched_stop_loop(); }

int main(void) {
    size_t i;
    int runs = 0;
    for (i = 0; i < sizeof scheduler_api / sizeof scheduler_api[0]; ++i)
        CHECK(scheduler_api[i] != NULL);
    CHECK(sizeof(paddr_t) == 4 && sizeof(vaddr_t) == 4 && sizeof(uaddr_t) == 4);
    CHECK(sizeof(ulong_t) == sizeof(long) && sizeof(uchar_t) == 1);
    CHECK(sizeof(((SchedFD *)0)->name) == 128);

    CHECK(sched_init() == 0);
    CHECK(sched_task(task, &runs, SCHED_IMMEDIATE, 0, task_name) == 0);
    sched_loop();
    CHECK(runs == 1);
    CHECK(SchedDoneTasks != NULL && SchedDoneTasks->flags == SCHED_DONE);
    CHECK(strcmp((char *)SchedIdle.task_name, "Idle Task") == 0);
    return failures ? 1 : 0;
}
