// cpp_daemon.cpp -- a console daemon in C++: a periodic task, commands with
// their own state, and a database that a command lists.
//
//   cpp_daemon [PORT]    then connect with: znconsole 127.0.0.1 PORT
#include <cstdio>
#include <cstdlib>

#include "zn/cli.hpp"
#include "zn/db.hpp"
#include "zn/sched.hpp"

int main(int argc, char **argv) {
    const int port = argc > 1 ? atoi(argv[1]) : 4700;
    sched_init();
    if (cli_init(static_cast<ushort_t>(port)) != 0) {
        fprintf(stderr, "cannot listen on port %d\n", port);
        return 1;
    }
    cli_set_prompt(const_cast<char *>("zn> "));

    unsigned long seconds = 0;
    zn::task clock = zn::every(1, "clock", [&seconds] { ++seconds; });
    zn::command uptime("uptime", "", "Seconds since start", [&seconds](zn::words) {
        zn::print("up {} s\n", seconds);
        return zn::done;
    });

    zn::database hosts = zn::database::create("hosts", "Hosts we know", 1);
    zn::command add("add", "<name> <address>", "Remember a host", [&hosts](zn::words w) {
        if (w.size() != 3)
            return zn::usage;
        zn::record host = hosts.add();
        host.add(w[1]);
        host.add(w[2]);
        zn::print("{} hosts known\n", hosts.size());
        return zn::done;
    });
    zn::command list("hosts", "", "List the hosts by name", [&hosts](zn::words) {
        hosts.sort(1);
        for (zn::record host : hosts.records())
            zn::print("{} at {}\n", host[1], host[2]);
        return zn::done;
    });
    fprintf(stderr, "listening on port %d\n", port);
    zn::loop(); // "shutdown" ends the process from here
}
