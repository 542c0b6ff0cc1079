/* The public headers as a C program sees them: they compile as strict C99,
 * and every exported function is referenced and linked. Built twice: with
 * the integrated database library, and with ZNDB_STANDALONE=1 against the
 * standalone one. */
#include "typedefs.h"
#include "znsched.h"
#include "zncli.h"
#include "zndb.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

typedef void (*any_fn)(void);
#define FN(f) ((any_fn)(f))

static const any_fn scheduler_api[] = {
    FN(sched_init), FN(sched_loop), FN(sched_shutdown), FN(sched_stop_loop),
    FN(sched_handle_signal), FN(sched_set_debug), FN(sched_task), FN(sched_cleanup),
    FN(sched_reschedule), FN(sched_stop), FN(sched_remove_task), FN(sched_find_task),
    FN(sched_find_done_task), FN(sched_find_task_by_tid), FN(sched_move_to_end),
    FN(sched_find_fd), FN(sched_add_fd), FN(sched_remove_fd), FN(sched_fd_flags),
    FN(sched_fd_save), FN(sched_fd_restore), FN(sched_register_cmds), FN(sched_notify),
    FN(sched_set_backend),
};

static const any_fn console_api[] = {
    FN(cli_add_cmd), FN(cli_find_cmd), FN(cli_find_message_cmd), FN(cli_find_partial_cmd),
    FN(cli_find_partial_msg_cmd), FN(cli_remove_cmd), FN(cli_set_listen_address), FN(cli_init),
    FN(cli_add_console), FN(cli_add_user), FN(cli_find_user), FN(cli_remove_user),
    FN(cli_start_user), FN(cli_fd_event), FN(cli_receive_data), FN(cli_getstr), FN(cli_output),
    FN(cli_printf), FN(cli_flush), FN(cli_set_prompt), FN(cli_reprint_prompt), FN(cli_set_debug),
    FN(cli_listen_unix), FN(cli_user_credentials), FN(cli_set_permission), FN(cli_set_limits),
    FN(nmakeargv), FN(slurpstring), FN(another),
};

static const any_fn database_api[] = {
    FN(db_set_data_path), FN(db_set_verbose), FN(db_set_byte_swap),
    FN(db_set_default_null_string), FN(db_create), FN(db_find_dbase), FN(db_close),
    FN(db_close_all), FN(db_name), FN(db_version), FN(db_records), FN(db_new), FN(db_remove),
    FN(db_start), FN(db_end), FN(db_cur), FN(db_next), FN(db_prev), FN(db_recall),
    FN(db_num_params), FN(db_param_new), FN(db_param_update), FN(db_param_remove),
    FN(db_param_start), FN(db_param_end), FN(db_param_cur), FN(db_param_next),
    FN(db_param_prev), FN(db_param_string), FN(db_param_value), FN(db_param_length),
    FN(db_param_recall), FN(db_param_find), FN(db_save), FN(db_open), FN(db_byte_swap),
    FN(db_find), FN(db_search_set), FN(db_search_next), FN(db_search_matches_left),
    FN(db_get_low), FN(db_sort_by_param), FN(db_sort_params), FN(db_copy), FN(db_copy_dbi),
};

static const any_fn transfer_api[] = {
    FN(db_send_dbi), FN(db_recv_dbi), FN(db_send), FN(db_recv), FN(db_dump), FN(db_dump_param),
#ifndef ZNDB_STANDALONE
    FN(db_fd_event), FN(db_register_cmds), FN(db_cmd_dbdump),
#endif
};

static int failures;
#define CHECK(cond) \
    do { if (!(cond)) { fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); ++failures; } } while (0)

static char task_name[] = "c task";
static void task(void *arg) { ++*(int *)arg; sched_stop_loop(); }

static char db_table[] = "c table";
static char db_desc[] = "from C";

/* The database's records as a C program builds and walks them. */
static void check_database(void) {
    DataBase *db = db_create(db_table, db_desc, 3);
    dBase *same = db;
    dbInfo *dbi;
    dbParam *dbp;
    dBaseList_t *entry = _db_list;
    dbName *header = db->dbname;
    CHECK(sizeof(DataBaseName) == 88 && sizeof header->version == 4);
    CHECK(sizeof(((DataBaseParam *)0)->p_len) == 4 && sizeof(((DataBase *)0)->flags) == 4);
    CHECK(entry != NULL && entry->db == same && strcmp(entry->name, "c table") == 0);
    dbi = db_new(db);
    dbp = db_param_new(dbi, 5, "hello");
    CHECK(db_records(db) == 1 && db_num_params(dbi) == 1 && db_param_length(dbp) == 5);
    CHECK(strcmp(db_param_string(dbp), "hello") == 0);
    CHECK(db_find(db, 1, "HELLO", 2) == dbi);
    CHECK(db_byte_swap(db_byte_swap(-5L)) == -5L);
    CHECK((DB_LOCK | DB_BLOCK | DB_SAVE_LOCK) == 7);
    db_close_all();
    CHECK(_db_list == NULL && _db_verbose == 1 && _db_byte_swap == 0);
}
static char stream_table[] = "streamed";

/* The transfer calls of the build, as C sees them. */
static void check_transfer(void) {
    int sv[2];
    DataBase *db = db_create(stream_table, db_desc, 4);
    CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    db_param_new(db_new(db), 2, "hi");
    db_dump(db->dbinfo, cli_printf);
#ifdef ZNDB_STANDALONE
    CHECK(db_send(sv[1], db) == 0);
    db_close(db);
    CHECK(db_recv(sv[0]) == 0);
    CHECK(db_find_dbase(stream_table) != NULL && db_records(db_find_dbase(stream_table)) == 1);
#else
    CHECK(offsetof(dBTransState_t, fd) == 0 && offsetof(dBTransState, db) < offsetof(dBTransState, dbi));
    CHECK(offsetof(dBTransState, dbi) < offsetof(dBTransState, last));
    CHECK(offsetof(dBTransState, last) < offsetof(dBTransState, fd_save));
    CHECK(offsetof(dBTransState, fd_save) < offsetof(dBTransState, callback));
    CHECK(offsetof(dBTransState, callback) < offsetof(dBTransState, arg));
    CHECK(sizeof(((dBTransState *)0)->fd_save) == sizeof(SchedFD));
    db_register_cmds(cli_add_cmd, cli_printf); /* the console's pair, without casts */
    CHECK(cli_find_cmd((char *)"dblist") != NULL && cli_find_cmd((char *)"dbdump") != NULL);
    CHECK(db_send(sv[1], NULL, NULL, NULL) == 0);
#endif
    close(sv[0]);
    close(sv[1]);
    db_close_all();
}

static char cmd_name[] = "c-cmd";
static char split_line[] = "say \"hello world\" again";
static int c_command(int argc, char **argv) { (void)argv; return argc; }

/* The permission hook's form, as a C program writes it. */
static int c_allowed(CmdUser *up, const char *cmd) { return up != NULL && cmd[0] != '\0'; }

int main(void) {
    size_t i;
    int runs = 0;
    int argc = 0;
    char *rest = NULL;
    char **argv;
    for (i = 0; i < sizeof scheduler_api / sizeof scheduler_api[0]; ++i)
        CHECK(scheduler_api[i] != NULL);
    for (i = 0; i < sizeof database_api / sizeof database_api[0]; ++i)
        CHECK(database_api[i] != NULL);
    for (i = 0; i < sizeof transfer_api / sizeof transfer_api[0]; ++i)
        CHECK(transfer_api[i] != NULL);
    check_database();
    for (i = 0; i < sizeof console_api / sizeof console_api[0]; ++i)
        CHECK(console_api[i] != NULL);
    CHECK(sizeof(((CmdUser *)0)->in_buf) == 2048 && sizeof(((CmdUser *)0)->history) == 2560);
    CHECK(sizeof cli_prompt == 256 && sizeof argbuf == 200);
    CHECK(sizeof(paddr_t) == 4 && sizeof(vaddr_t) == 4 && sizeof(uaddr_t) == 4);
    CHECK(sizeof(ulong_t) == sizeof(long) && sizeof(uchar_t) == 1);
    CHECK(sizeof(((SchedFD *)0)->name) == 128);

    CHECK(sched_set_backend(SCHED_BACKEND_EPOLL) == 0 && sched_set_backend(7) == -1);
    CHECK(sched_init() == 0);
    CHECK(sched_set_backend(SCHED_BACKEND_SELECT) == 0);
    CHECK(sched_task(task, &runs, SCHED_IMMEDIATE, 0, task_name) == 0);
    CHECK(cli_init(0) == 0);
    CHECK(cli_add_cmd(cmd_name, NULL, NULL, c_command, 0) == 0);
    CHECK(cli_find_cmd(cmd_name) != NULL && cli_find_cmd(cmd_name)->handler == c_command);
    CHECK(cli_find_cmd((char *)"tasks") != NULL); /* the scheduler's, through the callbacks */
    cli_set_permission(c_allowed);
    cli_set_limits(-1, -1);
    {
        uid_t uid = 0;
        gid_t gid = 0;
        pid_t pid = 0;
        CHECK(cli_user_credentials(NULL, &uid, &gid, &pid) == -1);
    }
    CHECK(cli_listen_unix("", 0600) == -1);
    check_transfer();
    argv = nmakeargv(split_line, &argc, &rest);
    CHECK(argc == 3 && strcmp(argv[1], "hello world") == 0 && argv[3] == NULL);
    CHECK(rest == split_line + 4);
    sched_loop();
    CHECK(runs == 1);
    CHECK(SchedDoneTasks != NULL && SchedDoneTasks->flags == SCHED_DONE);
    CHECK(strcmp((char *)SchedIdle.task_name, "Idle Task") == 0);
    return failures ? 1 : 0;
}
