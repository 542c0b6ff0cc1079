// tiny.cpp -- a C++ application of the installed tree: scheduler, console and standalone database.
#include <unistd.h>

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

// The database sent through a pipe with the standalone build's synchronous
// transfer comes back as a second database of the same name.
bool round_trip(DataBase *db) {
    int p[2];
    if (pipe(p) != 0 || db_send(p[1], db) != 0 || db_recv(p[0]) != 0)
        return false;
    close(p[0]);
    close(p[1]);
    return _db_list_end->db != db && std::string_view(db_name(_db_list_end->db)) == desc;
}

void finish(void *) {
    DataBase *db = db_find_dbase(name);
    const bool ok = db && std::string_view(db_param_string(db_recall(db, 1)->p_first)) == "hello" &&
                    cli_find_cmd(const_cast<char *>("history")) && round_trip(db);
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
