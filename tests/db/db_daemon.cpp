// db_daemon.cpp -- a console daemon with the database commands, driven over TCP by the end-to-end tests.
//
// Usage: db_test_daemon PORT [--stdout FILE]
// It holds the databases "alpha" (two records), "beta" (none) and
// "two words" (one record), prints "ready\n" on standard error once remote
// users can connect, and with --stdout writes its standard output to FILE.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

namespace {

char prompt_text[] = "zn> ";

void add_record(DataBase *db, std::initializer_list<const char *> values) {
    DataBaseInfo *dbi = db_new(db);
    for (const char *v : values)
        db_param_new(dbi, static_cast<long>(strlen(v)), const_cast<char *>(v));
}

void make_databases() {
    DataBase *alpha = db_create(const_cast<char *>("alpha"), const_cast<char *>("first database"), 3);
    add_record(alpha, {"one", "1"});
    add_record(alpha, {"two", ""});
    db_create(const_cast<char *>("beta"), const_cast<char *>("empty"), 1);
    DataBase *spaced = db_create(const_cast<char *>("two words"), const_cast<char *>("spaced"), 0);
    add_record(spaced, {"only"});
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [--stdout FILE]\n", argv[0]);
        return 2;
    }
    if (argc == 4 && strcmp(argv[2], "--stdout") == 0 && !freopen(argv[3], "w", stdout))
        return 2;
    sched_init();
    if (cli_init(static_cast<ushort_t>(atoi(argv[1]))) != 0) {
        fprintf(stderr, "cli_init failed\n");
        return 3;
    }
    cli_set_prompt(prompt_text);
    db_register_cmds(cli_add_cmd, cli_printf);
    make_databases();
    fprintf(stderr, "ready\n");
    sched_loop();
    return 0;
}
