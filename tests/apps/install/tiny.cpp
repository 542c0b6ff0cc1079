// tiny.cpp -- a C++ application of the installed tree through the C++ interface:
// scheduler, console and standalone database.
#include <unistd.h>

#include <cstdio>

#include "zn/cli.hpp"
#include "zn/db.hpp"
#include "zn/sched.hpp"

static_assert(ZNDB_STANDALONE == 1, "the standalone database's flag comes with it");

namespace {

// The database sent through a pipe with the standalone build's synchronous
// transfer comes back as a second database with the same values.
bool round_trip(const zn::database &db) {
    int p[2];
    if (pipe(p) != 0 || !db.send(p[1]))
        return false;
    const zn::database back(zn::database::receive(p[0]));
    close(p[0]);
    close(p[1]);
    return back && back.description() == db.description() && back.records().begin() != back.records().end() &&
           (*back.records().begin())[1] == "hello";
}

} // namespace

int main() {
    sched_init();
    cli_init(0);
    zn::database db = zn::database::create("tiny", "a tiny database", 1);
    db.add().add("hello");
    zn::command hello("hello", "", "Say hello", [](zn::words) { return zn::done; });
    zn::task finish = zn::immediate("Finish", [&] {
        const bool ok = round_trip(db) && cli_find_cmd(const_cast<char *>("hello"));
        std::printf("tiny c++: %s\n", ok ? "ok" : "wrong");
        std::fflush(stdout);
        zn::shutdown();
    });
    zn::loop();
    return 1; // shutdown ends the process with status 0
}
