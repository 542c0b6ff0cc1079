/* tiny.c -- a C application of the installed tree: scheduler, console and integrated database. */
#include <stdio.h>
#include <string.h>

#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

static int cmd_hello(int argc, char **argv) {
    (void)argc, (void)argv;
    return 0;
}

static void finish(void *arg) {
    DataBase *db = db_find_dbase("tiny");
    int ok = db && db_records(db) == 1 && cli_find_cmd("hello") && cli_find_cmd("tasks") && cli_find_cmd("dblist");
    printf("tiny c: %s\n", ok ? "ok" : "wrong");
    fflush(stdout);
    (void)arg;
    sched_shutdown();
}

int main(void) {
    DataBase *db;
    sched_init();
    cli_init(0);
    cli_add_cmd("hello", NULL, "Say nothing", cmd_hello, 0);
    db_register_cmds(cli_add_cmd, cli_printf);
    db = db_create("tiny", "a tiny database", 1);
    db_param_new(db_new(db), 5, "hello");
    sched_task(finish, NULL, SCHED_IMMEDIATE, 0, "Finish");
    sched_loop();
    return 1; /* shutdown ends the process with status 0 */
}
