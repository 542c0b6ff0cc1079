/* The public headers as a C program sees them: they compile as strict C99,
 * and every exported function is referenced and linked. */
#include "typedefs.h"
#include "znsched.h"
#include "zncli.h"

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
    FN(sched_fd_save), FN(sched_fd_restore), FN(sched_register_cmds),
};

static const any_fn console_api[] = {
    FN(cli_add_cmd), FN(cli_find_cmd), FN(cli_find_message_cmd), FN(cli_find_partial_cmd),
    FN(cli_find_partial_msg_cmd), FN(cli_remove_cmd), FN(cli_set_listen_address), FN(cli_init),
    FN(cli_add_console), FN(cli_add_user), FN(cli_find_user), FN(cli_remove_user),
    FN(cli_start_user), FN(cli_fd_event), FN(cli_receive_data), FN(cli_getstr), FN(cli_output),
    FN(cli_printf), FN(cli_flush), FN(cli_set_prompt), FN(cli_reprint_prompt), FN(cli_set_debug),
    FN(nmakeargv), FN(slurpstring), FN(another),
};

static int failures;
#define CHECK(cond) \
    do { if (!(cond)) { fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); ++failures; } } while (0)

static char task_name[] = "c task";
static void task(void *arg) { ++*(int *)arg; sched_stop_loop(); }

static char cmd_name[] = "c-cmd";
static char split_line[] = "say \"hello world\" again";
static int c_command(int argc, char **argv) { (void)argv; return argc; }

int main(void) {
    size_t i;
    int runs = 0;
    int argc = 0;
    char *rest = NULL;
    char **argv;
    for (i = 0; i < sizeof scheduler_api / sizeof scheduler_api[0]; ++i)
        CHECK(scheduler_api[i] != NULL);
    for (i = 0; i < sizeof console_api / sizeof console_api[0]; ++i)
        CHECK(console_api[i] != NULL);
    CHECK(sizeof(((CmdUser *)0)->in_buf) == 2048 && sizeof(((CmdUser *)0)->history) == 2560);
    CHECK(sizeof cli_prompt == 256 && sizeof argbuf == 200);
    CHECK(sizeof(paddr_t) == 4 && sizeof(vaddr_t) == 4 && sizeof(uaddr_t) == 4);
    CHECK(sizeof(ulong_t) == sizeof(long) && sizeof(uchar_t) == 1);
    CHECK(sizeof(((SchedFD *)0)->name) == 128);

    CHECK(sched_init() == 0);
    CHECK(sched_task(task, &runs, SCHED_IMMEDIATE, 0, task_name) == 0);
    CHECK(cli_init(0) == 0);
    CHECK(cli_add_cmd(cmd_name, NULL, NULL, c_command, 0) == 0);
    CHECK(cli_find_cmd(cmd_name) != NULL && cli_find_cmd(cmd_name)->handler == c_command);
    CHECK(cli_find_cmd((char *)"tasks") != NULL); /* the scheduler's, through the callbacks */
    argv = nmakeargv(split_line, &argc, &rest);
    CHECK(argc == 3 && strcmp(argv[1], "hello world") == 0 && argv[3] == NULL);
    CHECK(rest == split_line + 4);
    sched_loop();
    CHECK(runs == 1);
    CHECK(SchedDoneTasks != NULL && SchedDoneTasks->flags == SCHED_DONE);
    CHECK(strcmp((char *)SchedIdle.task_name, "Idle Task") == 0);
    return failures ? 1 : 0;
}
