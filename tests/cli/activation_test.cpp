// Listening sockets passed by the service manager: which one cli_init takes, what it leaves, the variables.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child.h"
#include "db_support.h"
#include "managed.h"
#include "zncli.h"
#include "znsched.h"

using zntest::run_in_child;

namespace {

// In the child: the descriptors become 3, 4, ... as the manager passes
// them (the report pipe moves out of the way first), announced for
// listen_pid (this process when empty).
void pass(const std::vector<int> &fds, const std::string &listen_pid = "") {
    zntest::report_fd() = fcntl(zntest::report_fd(), F_DUPFD_CLOEXEC, 50);
    std::vector<int> moved;
    for (int fd : fds)
        moved.push_back(fcntl(fd, F_DUPFD, 60));
    for (size_t i = 0; i < moved.size(); ++i)
        REQUIRE(dup2(moved[i], 3 + static_cast<int>(i)) == 3 + static_cast<int>(i));
    setenv("LISTEN_PID", (listen_pid.empty() ? std::to_string(getpid()) : listen_pid).c_str(), 1);
    setenv("LISTEN_FDS", std::to_string(fds.size()).c_str(), 1);
    setenv("LISTEN_FDNAMES", "console", 1);
}

void require_variables_gone() {
    for (const std::string &name : zntest::kListenVariables)
        REQUIRE(getenv(name.c_str()) == nullptr);
}

bool untouched(int fd) { return fcntl(fd, F_GETFD) == 0 && !(fcntl(fd, F_GETFL) & O_NONBLOCK); }

bool watched_as_console_listener(int fd) {
    const SchedFD *rec = sched_find_fd(fd);
    return cli_accept_fd == fd && rec && std::string(rec->name) == "CLI Accept";
}

TEST(Activation, FirstTcpListenerServesWhateverThePortAndTheRestIsLeftAlone) {
    auto child = run_in_child([] {
        int a_pipe[2];
        REQUIRE(pipe(a_pipe) == 0);
        const int unbound_tcp = socket(AF_INET, SOCK_STREAM, 0);
        const int datagram = socket(AF_INET, SOCK_DGRAM, 0);
        zntest::Listener first, second;
        pass({a_pipe[0], unbound_tcp, datagram, first.fd, second.fd});
        REQUIRE(sched_init() == 0);
        REQUIRE(cli_init(0) == 0);
        require_variables_gone();
        REQUIRE(watched_as_console_listener(6));
        REQUIRE(cli_port == first.port);
        REQUIRE(fcntl(6, F_GETFD) == FD_CLOEXEC && (fcntl(6, F_GETFL) & O_NONBLOCK));
        REQUIRE(cli_find_cmd(const_cast<char *>("shutdown")) != nullptr); // a port is served
        for (int fd : {3, 4, 5, 7})
            REQUIRE(untouched(fd) && !sched_find_fd(fd));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Activation, VariablesForAnotherProcessAreRemovedAndIgnored) {
    auto child = run_in_child([] {
        zntest::Listener listener;
        pass({listener.fd}, std::to_string(getppid()));
        REQUIRE(sched_init() == 0);
        REQUIRE(cli_init(0) == 0);
        require_variables_gone();
        REQUIRE(cli_accept_fd == -1 && cli_port == 0 && untouched(3));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Activation, MalformedCountIsIgnored) {
    auto child = run_in_child([] {
        zntest::Listener listener;
        pass({listener.fd});
        setenv("LISTEN_FDS", "one", 1);
        REQUIRE(sched_init() == 0);
        REQUIRE(cli_init(0) == 0);
        require_variables_gone();
        REQUIRE(cli_accept_fd == -1 && untouched(3));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

// A Unix-domain listener is the local console socket: served beside the
// TCP one, no second local socket, and its file, the manager's, stays.
TEST(Activation, UnixListenerBecomesTheLocalSocketAndItsFileStays) {
    dbtest::TempDir dir;
    const std::string path = dir.path() + "/console.sock";
    auto child = run_in_child([&] {
        zntest::UnixListener local(path);
        zntest::Listener tcp;
        pass({local.fd, tcp.fd});
        REQUIRE(sched_init() == 0);
        REQUIRE(cli_init(0) == 0);
        REQUIRE(watched_as_console_listener(4));
        const SchedFD *rec = sched_find_fd(3);
        REQUIRE(rec && std::string(rec->name) == "CLI Local Accept");
        REQUIRE(fcntl(3, F_GETFD) == FD_CLOEXEC && (fcntl(3, F_GETFL) & O_NONBLOCK));
        REQUIRE(cli_listen_unix((dir.path() + "/second.sock").c_str(), 0600) == -1 && errno == EALREADY);
        sched_shutdown();
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the manager's socket file was removed";
    EXPECT_NE(access((dir.path() + "/second.sock").c_str(), F_OK), 0);
}

// The variables are consumed by the first cli_init: a second one binds
// its own port again.
TEST(Activation, OnlyTheFirstInitTakesThePassedSocket) {
    auto child = run_in_child([] {
        zntest::Listener listener;
        pass({listener.fd});
        REQUIRE(sched_init() == 0);
        REQUIRE(cli_init(0) == 0 && cli_accept_fd == 3);
        const auto own_port = static_cast<ushort_t>(zntest::free_port());
        REQUIRE(cli_init(own_port) == 0);
        REQUIRE(cli_accept_fd != 3 && cli_port == own_port);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
