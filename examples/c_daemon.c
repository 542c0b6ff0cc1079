/* c_daemon.c -- a complete zn daemon in C: a console, a database and a periodic task. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

static DataBase *ticks;

static void tick(void *arg) { /* every 10 seconds: a record holding the time */
    char stamp[32];
    int len = snprintf(stamp, sizeof stamp, "%ld", (long)time(NULL));
    db_param_new(db_new(ticks), len, stamp);
    (void)arg;
}

static int cmd_ticks(int argc, char **argv) { /* the command "ticks" */
    cli_printf("%ld ticks so far\n", db_records(ticks));
    (void)argc, (void)argv;
    return 0;
}

int main(int argc, char **argv) {
    unsigned short port = (unsigned short)(argc > 1 ? atoi(argv[1]) : 4700);
    sched_init();                                   /* 1. the scheduler */
    if (cli_init(port) != 0) {                      /* 2. the console on TCP */
        fprintf(stderr, "cannot listen on port %u\n", port);
        return 1;
    }
    cli_set_prompt("demo> ");
    cli_add_cmd("ticks", NULL, "Count the ticks", cmd_ticks, 0); /* 4. own work */
    sched_task(tick, NULL, SCHED_RESCHEDULE, 10, "Tick");
    db_register_cmds(cli_add_cmd, cli_printf);      /*    "dblist", "dbdump", ... */
    ticks = db_create("ticks", "Ticks of the example", 1);
    fprintf(stderr, "listening on port %u\n", port);
    sched_loop();                                   /* 5. until "shutdown" */
    return 0;
}
