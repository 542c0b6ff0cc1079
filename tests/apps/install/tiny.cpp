// tiny.cpp -- a C++ application of the installed tree: scheduler, console and standalone database.
#include <cstdio>
#include <string_view>

#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

static_assert(ZNDB_STANDALONE == 1, "the standalone database's flag comes with it");

namespace {

char name[] = "tiny";
char desc[] = "a tiny database";
char task_name[] = "Finish";

void finish(void *) {
    DataBase *db = db_find_dbase(name);
    const bool ok = db && std::string_view(db_param_string(db_recall(db, 1)->p_first)) == "hello" &&
                    cli_find_cmd(const_cast<char *>("history"));
    std::printf("tiny c++: %s\n", ok ? "ok" : "wrong");
    std::fflush(stdout);
    sched_shutdown();
}

} // namespace

int main() {
    sched_init();
    cli_init(0);
    DataBase *db = db_create(name, desc, 1);
    db_param_new(db_new(db), 5, const_cast<char *>("hello"));
    sched_task(finish, nullptr, SCHED_IMMEDIATE, 0, task_name);
    sched_loop();
    return 1; // shutdown ends the process with status 0
}
