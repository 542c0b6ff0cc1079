// Users and connections: adding, finding, removing, the console, accepting and the listener.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "remote.h"
#include "session.h"

using zntest::report;
using zntest::run_in_child;
using zntest::Session;

namespace {

char *text(const char *s) { return const_cast<char *>(s); }

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(Users, AddFindAndRemove) {
    auto child = run_in_child([] {
        int a[2], b[2];
        zntest::make_pair(a);
        zntest::make_pair(b);
        REQUIRE(cli_add_user(a[0], a[0], text("early"), nullptr, 0, nullptr) == -1);
        zntest::init_console();
        sockaddr_in peer{};
        peer.sin_port = htons(4242);
        REQUIRE(cli_add_user(a[0], a[0], text("one"), &peer, 0, nullptr) == 0);
        REQUIRE(cli_add_user(b[0], a[0], text("clash"), nullptr, 0, nullptr) == -17);
        REQUIRE(cli_add_user(b[0], b[1], nullptr, nullptr, 0, nullptr) == 0);
        CmdUser *one = cli_find_user(a[0], a[0], CLI_MATCH_BOTH);
        CmdUser *two = cli_find_user(b[0], b[1], CLI_MATCH_BOTH);
        REQUIRE(one && two && CmdUserList == one && CmdUserList_end == two);
        REQUIRE(std::string(one->who) == "one" && two->who == nullptr);
        REQUIRE(one->raddr.sin_port == htons(4242) && one->state == CLI_STATE_MAGIC);
        REQUIRE(one->echo_on == 1 && one->arrow_ptr == -1 && one->history_used == 0);
        REQUIRE(cli_find_user(b[1], 999, CLI_MATCH_ANY) == two); // out_fd matches the in_fd given
        REQUIRE(cli_find_user(b[1], 999, CLI_MATCH_IN) == nullptr);
        REQUIRE(cli_find_user(999, b[1], CLI_MATCH_OUT) == two);
        REQUIRE(cli_find_user(b[0], 999, CLI_MATCH_BOTH) == nullptr);
        REQUIRE(cli_find_user(a[0], a[0], 7) == nullptr);
        REQUIRE(CliDebug.total_users == 2);
        REQUIRE(cli_remove_user(b[0], 0, CLI_MATCH_IN) == 0);
        REQUIRE(cli_remove_user(b[0], 0, CLI_MATCH_IN) == -2);
        REQUIRE(CliDebug.total_users == 1 && CmdUserList_end == one);
        REQUIRE(!sched_find_fd(b[0]) && !sched_find_fd(b[1]) && is_open(b[0]) && is_open(b[1]));
        REQUIRE(two->in_fd == b[0]); // readable until the next event
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Users, UserWhoseDescriptorCannotBeWatchedIsNotAdded) {
    auto child = run_in_child([] {
        zntest::init_console();
        REQUIRE(cli_add_user(FD_SETSIZE + 5, FD_SETSIZE + 5, text("far"), nullptr, 0, nullptr) == -1);
        int a[2];
        zntest::make_pair(a);
        REQUIRE(cli_add_user(a[0], FD_SETSIZE + 5, text("half"), nullptr, 0, nullptr) == -1);
        REQUIRE(!sched_find_fd(a[0]) && CmdUserList == nullptr && CliDebug.total_users == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

// The console on a socketpair standing in for standard input and output.
int console_peer() {
    int sv[2];
    zntest::make_pair(sv);
    REQUIRE(dup2(sv[0], STDIN_FILENO) == 0 && dup2(sv[0], STDOUT_FILENO) == 1);
    return sv[1];
}

TEST(Users, ConsoleRunsItsCommandWithoutEcho) {
    auto child = run_in_child([] {
        const int peer = console_peer();
        zntest::init_console();
        REQUIRE(cli_add_console(text("history"), nullptr) == 0);
        REQUIRE(cli_add_console(nullptr, nullptr) == -17);
        CmdUser *up = CmdUserList;
        REQUIRE(up && up->in_fd == 0 && up->out_fd == 1 && std::string(up->who) == "Console");
        REQUIRE(up->state == CLI_STATE_COMMAND && up->echo_on == 1 && current_user == nullptr);
        report(zntest::drain(peer));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "Command History:\n   [ 1] history\n> ");
}

TEST(Users, ConsoleCommandOfSeveralLinesRunsEach) {
    auto child = run_in_child([] {
        const int peer = console_peer();
        zntest::init_console();
        REQUIRE(cli_add_console(text("history\rhistory\n"), nullptr) == 0);
        report(zntest::drain(peer));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "Command History:\n   [ 1] history\n> "
                            "Command History:\n   [ 1] history\n   [ 2] history\n> ");
}

TEST(Users, ConsoleWithoutCommandShowsThePrompt) {
    auto child = run_in_child([] {
        const int peer = console_peer();
        zntest::init_console();
        REQUIRE(cli_add_console(nullptr, nullptr) == 0);
        report(zntest::drain(peer));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "> ");
}

TEST(Users, DebugSwitchesBeforeTheLoopUseTheConsole) {
    auto child = run_in_child([] {
        const int peer = console_peer();
        zntest::init_console();
        REQUIRE(cli_add_console(text("cli-debug on"), nullptr) == 0);
        REQUIRE(cli_debug_flag == 1 && cli_debug_fd == 0);
        cli_set_debug(0, -1);
        report(zntest::drain(peer) + "|");
        zntest::Session s;
        report(s.type("sched-debug max\n")); // no dispatched descriptor: refused
        REQUIRE(sched_debug_flag == 0 && sched_debug_fd == -1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "CLI Debugging is now enabled\n> |\nUsage:  sched-debug <on|max|off>\n> ");
}

TEST(Users, EndOfInputRemovesTheUserClosesItsSocketAndSilencesItsDebugChannels) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s, other;
        cli_set_debug(1, s.fd());
        sched_set_debug(2, s.fd());
        close(s.peer());
        cli_fd_event(s.fd(), s.user(), 1, 0, 0);
        REQUIRE(cli_find_user(s.fd(), s.fd(), CLI_MATCH_ANY) == nullptr);
        REQUIRE(!sched_find_fd(s.fd()) && !is_open(s.fd()));
        REQUIRE(cli_debug_flag == 0 && cli_debug_fd == -1);
        REQUIRE(sched_debug_flag == 0 && sched_debug_fd == -1);
        REQUIRE(CmdUserList == other.user() && CliDebug.total_users == 1);
        report(other.type("history\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nCommand History:\n   [ 1] history\n> ");
}

TEST(Users, DebugChannelsStayWithDescriptorsTheConsoleKeeps) {
    auto child = run_in_child([] {
        // The console reads a socketpair and writes to the report, where
        // both debug channels write too.
        const int peer = console_peer();
        REQUIRE(dup2(zntest::report_fd(), STDOUT_FILENO) == STDOUT_FILENO);
        sched_set_debug(1, STDOUT_FILENO);
        zntest::init_console();
        cli_set_debug(1, STDOUT_FILENO);
        REQUIRE(cli_add_console(nullptr, nullptr) == 0);
        // Removing a remote user leaves its socket open, and the channels.
        Session s;
        cli_set_debug(1, s.fd());
        sched_set_debug(1, s.fd());
        REQUIRE(cli_remove_user(s.fd(), s.fd(), CLI_MATCH_BOTH) == 0);
        REQUIRE(cli_debug_fd == s.fd() && sched_debug_fd == s.fd());
        cli_set_debug(1, STDOUT_FILENO);
        sched_set_debug(1, STDOUT_FILENO);
        // End of the console's input removes it; the loop has nothing left
        // to do, cleans up and ends the process.
        close(peer);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_NE(child.output.find("cli_fd_event: Disconnect on fd 0\n"
                                "cli_remove_user: Request to remove user, in_fd = 0, out_fd = 0, type = 0\n"),
              std::string::npos)
        << child.output;
    EXPECT_TRUE(child.output.ends_with("cli_cleanup: Preparing for shutdown...\n"
                                      "sched_loop: Done Cleaning Up\n"))
        << child.output;
}

// The removal lines written to the debug pipe since the last look, with
// the descriptor numbers of s shown as "S".
std::string removals(zntest::DebugPipe &debug, const Session &s) {
    std::string lines;
    const std::string all = debug.take();
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = all.substr(at, end + 1 - at);
        if (!line.starts_with("cli_remove_user:"))
            continue;
        for (size_t n; (n = line.find("= " + std::to_string(s.fd()) + ",")) != std::string::npos;)
            line.replace(n + 2, std::to_string(s.fd()).size(), "S");
        lines += line;
    }
    return lines;
}

TEST(Users, EveryRemovalPrintsTheRemovalLine) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        zntest::DebugPipe debug;
        {
            Session s; // end of input
            close(s.peer());
            cli_fd_event(s.fd(), s.user(), 1, 0, 0);
            report(removals(debug, s) + "|");
        }
        {
            Session s; // a failed write of pending output
            s.fill_output();
            REQUIRE(cli_output(s.user(), text("queued"), 6, CLI_OUT_TEXT) == 0);
            close(s.peer());
            REQUIRE(cli_output(s.user(), text("more"), 4, CLI_OUT_TEXT) == -1);
            report(removals(debug, s) + "|");
        }
        for (const char *word : {"quit\n", "exit\n", "bye\n", "logout\n", "\x04"}) {
            Session s;
            s.type(word);
            REQUIRE(cli_find_user(s.fd(), s.fd(), CLI_MATCH_ANY) == nullptr);
            report(removals(debug, s) + "|");
        }
        Session s;
        REQUIRE(cli_remove_user(s.fd(), s.fd(), CLI_MATCH_BOTH) == 0);
        report(removals(debug, s));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const std::string any = "cli_remove_user: Request to remove user, in_fd = S, out_fd = S, type = 0\n|";
    EXPECT_EQ(child.output, any + "cli_remove_user: Request to remove user, in_fd = 0, out_fd = S, type = 2\n|" +
                                any + any + any + any + any +
                                "cli_remove_user: Request to remove user, in_fd = S, out_fd = S, type = 3\n");
}

TEST(Users, TerminalIsRawWhileItsUserExists) {
    auto child = run_in_child([] {
        int master = -1, slave = -1;
        REQUIRE(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        slave = zntest::move_high(slave);
        termios before{};
        tcgetattr(slave, &before);
        zntest::init_console();
        REQUIRE(cli_add_user(slave, slave, text("tty"), nullptr, 0, nullptr) == 0);
        CmdUser *up = cli_find_user(slave, slave, CLI_MATCH_BOTH);
        REQUIRE(up->old_termio.c_lflag == (before.c_lflag & 0xFFFF));
        REQUIRE(up->old_termio.c_iflag == (before.c_iflag & 0xFFFF));
        REQUIRE(up->old_termio.c_cc[VINTR] == before.c_cc[VINTR]);
        termios now{};
        tcgetattr(master, &now);
        REQUIRE(!(now.c_lflag & (ICANON | ECHO | ISIG)) && !(now.c_iflag & IXON));
        REQUIRE((now.c_iflag & (IGNBRK | IGNPAR)) == (IGNBRK | IGNPAR) && now.c_cc[VMIN] == 1);
        REQUIRE(now.c_oflag == before.c_oflag && now.c_cflag == before.c_cflag);
        REQUIRE(cli_remove_user(slave, slave, CLI_MATCH_BOTH) == 0);
        tcgetattr(master, &now);
        REQUIRE(now.c_lflag == before.c_lflag && now.c_iflag == before.c_iflag);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Users, EventForAnUnknownDescriptorChangesNothing) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        REQUIRE(write(s.peer(), "x", 1) == 1);
        sched_fd_flags(s.fd(), SCHED_FD_WRITE);
        cli_fd_event(s.fd() + 100, s.user(), 1, 1, 1);
        REQUIRE(s.user()->in_len == 0 && sched_find_fd(s.fd())->flags == SCHED_FD_WRITE);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Listener, ListensOnTheChosenAddressWithReuse) {
    auto child = run_in_child([] {
        for (const char *bad : {"localhost", "1.2.3", "256.1.1.1", "", "1.2.3.4 "})
            REQUIRE(cli_set_listen_address(bad) == -1);
        REQUIRE(cli_set_listen_address(nullptr) == -1);
        REQUIRE(cli_set_listen_address("127.0.0.1") == 0);
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        REQUIRE(cli_accept_fd >= 0 && sched_find_fd(cli_accept_fd));
        REQUIRE(std::string(sched_find_fd(cli_accept_fd)->name) == "CLI Accept");
        REQUIRE(sched_find_fd(cli_accept_fd)->flags == 7);
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(cli_accept_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        int reuse = 0;
        len = sizeof reuse;
        getsockopt(cli_accept_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
        REQUIRE(addr.sin_addr.s_addr == htonl(INADDR_LOOPBACK) && reuse == 1);
        REQUIRE(ntohs(addr.sin_port) == cli_port);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Listener, ListensOnEveryAddressByDefault) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(cli_accept_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        REQUIRE(addr.sin_addr.s_addr == htonl(INADDR_ANY));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Listener, PortInUseLeavesTheConsoleUsable) {
    auto child = run_in_child([] {
        const int port = zntest::free_port();
        const int holder = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        REQUIRE(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
        REQUIRE(listen(holder, 1) == 0);
        sched_init();
        REQUIRE(cli_init(static_cast<ushort_t>(port)) == -1);
        REQUIRE(cli_accept_fd == -1 && cli_find_cmd(text("shutdown")) && num_SchedFDs == 0);
        REQUIRE(num_SchedCleanupTasks == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Listener, AcceptedSocketsAreNonBlockingRemoteUsers) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        zntest::Client client(cli_port);
        REQUIRE(client.connected());
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        CmdUser *up = CmdUserList;
        REQUIRE(up && up->in_fd == up->out_fd && std::string(up->who) == "Remote User");
        REQUIRE(up->state == CLI_STATE_MAGIC && up->raddr.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
        REQUIRE(fcntl(up->in_fd, F_GETFL) & O_NONBLOCK);
        int nodelay = 0;
        socklen_t len = sizeof nodelay;
        getsockopt(up->in_fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
        REQUIRE(nodelay == 1);
        REQUIRE(sched_find_fd(up->in_fd)->flags == 5);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Listener, OutOfDescriptorsTheListenerRestsUntilAUserLeaves) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        zntest::DebugPipe debug;
        Session leaving;
        zntest::Client waiting(cli_port);
        REQUIRE(waiting.connected());
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = 64;
        REQUIRE(setrlimit(RLIMIT_NOFILE, &lim) == 0);
        int spare = open("/dev/null", O_RDONLY);
        for (int fd; (fd = dup(spare)) >= 0;)
            spare = fd;
        debug.take();
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        char pause_name[] = "CLI Accept Pause";
        REQUIRE(sched_find_fd(cli_accept_fd)->flags == 0);
        REQUIRE(sched_find_task(nullptr, nullptr, pause_name, SCHED_MATCH_NAME) != nullptr);
        report(debug.take() + "|");
        close(spare);
        REQUIRE(cli_remove_user(leaving.fd(), leaving.fd(), CLI_MATCH_BOTH) == 0);
        REQUIRE(sched_find_fd(cli_accept_fd)->flags == 7);
        REQUIRE(sched_find_task(nullptr, nullptr, pause_name, SCHED_MATCH_NAME) == nullptr);
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        REQUIRE(CmdUserList && std::string(CmdUserList->who) == "Remote User");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "cli_fd_event: Accept failed, Too many open files\n"
                            "cli_fd_event: Out of descriptors, not accepting for 1 second\n|");
}

TEST(Listener, ABurstOfConnectionsIsTakenWithoutWaiting) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        // Twenty users connect at once, before the loop accepts anyone: the
        // kernel completes every handshake within the listen backlog, and a
        // backlog of one would leave most of them waiting a second or more
        // for a SYN retry.
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(cli_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<pollfd> conns;
        for (int i = 0; i < 20; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            REQUIRE(fd >= 0);
            connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            conns.push_back({fd, POLLOUT, 0});
        }
        int connected = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (connected < 20 && std::chrono::steady_clock::now() < deadline) {
            usleep(10 * 1000);
            poll(conns.data(), conns.size(), 0);
            connected = 0;
            for (const pollfd &p : conns)
                connected += (p.revents & POLLOUT) != 0;
        }
        report(std::to_string(connected) + " connected\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "20 connected\n");
}

TEST(Listener, ConnectionThatCannotBeWatchedIsClosedAtOnce) {
    auto child = run_in_child([] {
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_max < FD_SETSIZE + 64) {
            report("skip");
            return;
        }
        lim.rlim_cur = FD_SETSIZE + 64;
        REQUIRE(setrlimit(RLIMIT_NOFILE, &lim) == 0);
        sched_set_backend(SCHED_BACKEND_SELECT); // epoll would watch it
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        zntest::Client client(cli_port);
        REQUIRE(client.connected());
        // Take every descriptor select() can watch.
        const int spare = open("/dev/null", O_RDONLY);
        for (int fd = 0; fd < FD_SETSIZE; ++fd)
            if (!is_open(fd))
                dup2(spare, fd);
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        REQUIRE(CmdUserList == nullptr);
        bool eof = false;
        client.read_to_eof(eof, 5000);
        REQUIRE(eof);
        int highest = 0;
        for (int fd = FD_SETSIZE; fd < FD_SETSIZE + 64; ++fd)
            if (is_open(fd))
                highest = fd;
        REQUIRE(highest == 0); // the accepted descriptor was closed
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    if (child.output == "skip")
        GTEST_SKIP() << "the hard descriptor limit is below FD_SETSIZE + 64";
}

// Stops the loop once no user is left.
void stop_when_alone(void *) {
    if (!CmdUserList)
        sched_stop_loop();
}

TEST(Limits, ChangesApplyToTheConnectionsWaitingNow) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        cli_set_limits(-1, 100);
        zntest::Client waiting(cli_port);
        REQUIRE(waiting.connected());
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        char timeout_name[] = "CLI Handshake Timeout";
        const SchedTask *timeout = sched_find_task(nullptr, nullptr, timeout_name, SCHED_MATCH_NAME);
        REQUIRE(CmdUserList && timeout && timeout->time_val == 100);
        cli_set_limits(-1, 1); // judged by the new time at once
        static char watch_name[] = "watch";
        sched_task(stop_when_alone, nullptr, SCHED_RESCHEDULE, 1, watch_name);
        const auto start = zntest::Clock::now();
        sched_loop();
        REQUIRE(zntest::Clock::now() - start < std::chrono::seconds(4));
        bool eof = false;
        waiting.read_to_eof(eof, 1000);
        REQUIRE(eof);
        // No room at all: the next connection is closed at once.
        cli_set_limits(0, -1);
        zntest::Client refused(cli_port);
        REQUIRE(refused.connected());
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        REQUIRE(CmdUserList == nullptr);
        refused.read_to_eof(eof, 1000);
        REQUIRE(eof);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

// Stops the loop once a single user is left.
void stop_when_one_is_left(void *) {
    if (CliDebug.total_users == 1)
        sched_stop_loop();
}

TEST(Limits, UsersAddedByTheApplicationNeitherCountNorTimeOut) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        cli_set_limits(1, 1);
        Session added(false); // in handshake state, added with cli_add_user()
        zntest::Client remote(cli_port), over(cli_port);
        REQUIRE(remote.connected() && over.connected());
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        cli_fd_event(cli_accept_fd, nullptr, 1, 0, 0);
        REQUIRE(CliDebug.total_users == 2); // the application's and one remote user
        static char watch_name[] = "watch";
        sched_task(stop_when_one_is_left, nullptr, SCHED_RESCHEDULE, 1, watch_name);
        sched_loop();
        REQUIRE(cli_find_user(added.fd(), added.fd(), CLI_MATCH_BOTH) == added.user());
        REQUIRE(added.user()->state == CLI_STATE_MAGIC);
        bool eof = false;
        remote.read_to_eof(eof, 1000);
        REQUIRE(eof);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
