// A program built from the C++ interface headers with -fno-exceptions -fno-rtti,
// linked against the three libraries alone; it uses every part once and
// exits 0 when each did its work.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "zn/cli.hpp"
#include "zn/db.hpp"
#include "zn/sched.hpp"

int main() {
    unsetenv("NOTIFY_SOCKET"); // no service manager for this check
    sched_init();
    cli_init(0);
    zn::database db = zn::database::create("check", "Check", 1);
    for (const char *value : {"b", "a"})
        db.add().add(value);
    std::string seen;
    zn::command cmd("check", "", "", [](zn::words w) {
        zn::print("{} {}\n", w[0], w.size());
        zn::ask(current_user, [](std::string_view) { return zn::done; });
        return zn::done;
    });
    const zn::console_permission policy([](CmdUser *user, std::string_view) { return !zn::credentials_of(user); });
    int fds[2], sv[2];
    if (pipe(fds) != 0 || write(fds[1], "x", 1) != 1 || socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 1;
    zn::watch watch(fds[0], "check", zn::interest::read, [&seen](int fd, zn::ready r) {
        char c;
        if (r.read && read(fd, &c, 1) == 1)
            seen += c;
    });
    zn::task cleanup = zn::cleanup("check", [] {});
    bool sent = false;
    DataBase *received = nullptr;
    zn::task work = zn::immediate("check", [&] {
        seen += db.sort(1) == 1 ? " sorted " : " unsorted ";
        const zn::database copy = db.copy("copy");
        for (zn::record rec : copy.records())
            for (std::string_view value : rec.params())
                seen += value;
        for (zn::record rec : db.search(1, "B", zn::case_mode::ignore))
            seen += " " + std::string(rec[1]);
        if (!zn::reschedule(1) || !zn::stop())
            return;
        db.send(sv[0], [&](bool complete) {
            sent = complete;
            if (received)
                zn::stop_loop();
        });
        zn::database::receive(sv[1], [&](DataBase *got) {
            received = got;
            if (sent)
                zn::stop_loop();
        });
    });
    zn::loop();
    const bool no_manager = zn::notify("STATUS=checked") == -1;
    return seen == "x sorted ab b" && cmd && policy.in_force() && db.find(1, "a") && sent && received && no_manager
               ? 0
               : 1;
}
