// The two back ends: choosing one, what only epoll watches, and the conditions both report alike.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>

#include "backends.h"
#include "child.h"
#include "command_capture.h"
#include "znsched.h"

using zntest::cpu_seconds;
using zntest::init_on;
using zntest::report;
using zntest::run_in_child;

namespace {

char name_fd[] = "watched";
char name_task[] = "stopper";

class Backends : public testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Backend, Backends, zntest::each_backend(), zntest::backend_name);

void stop_loop_task(void *) { sched_stop_loop(); }

// Room for descriptors numbered up to about 2,000.
void allow_high_descriptors() {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2048);
    REQUIRE(setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur > 1500);
}

// One pass of descriptor dispatch, then sched_loop() returns.
void run_one_pass() {
    sched_task(stop_loop_task, nullptr, SCHED_IMMEDIATE, 0, name_task);
    sched_loop();
}

void record_call(int, void *arg, int r, int w, int e) {
    report(std::string(static_cast<const char *>(arg)) + " r=" + std::to_string(r) +
           " w=" + std::to_string(w) + " e=" + std::to_string(e) + "\n");
}

// The back end in use, as the "sockets" command names it.
std::string backend_shown() {
    sched_register_cmds(zntest::capture_add, zntest::capture_print);
    const std::string out = zntest::run_command({"sockets"}).output;
    const size_t at = out.rfind("Back end: ");
    return at == std::string::npos ? "none" : out.substr(at + 10, out.size() - at - 11);
}

// ---- choosing ----

TEST(Backend, SelectByDefaultEpollOrSelectByEnvironment) {
    for (const char *value : {"", "epoll", "select", "EPOLL", "kqueue"}) {
        auto child = run_in_child([value] {
            if (*value)
                setenv("ZN_SCHED_BACKEND", value, 1);
            else
                unsetenv("ZN_SCHED_BACKEND");
            sched_set_debug(1, zntest::report_fd());
            sched_init();
            sched_set_debug(0, -1);
            report(backend_shown() + "\n");
        });
        EXPECT_TRUE(child.returned()) << child.errors;
        const std::string line = child.output.substr(child.output.find("sched_init: Init"));
        const std::string warning = child.output.substr(0, child.output.size() - line.size());
        const std::string expected = std::string(value) == "epoll" ? "epoll" : "select";
        EXPECT_EQ(line.substr(line.find('\n') + 1), expected + "\n") << value;
        if (std::string(value) == "EPOLL" || std::string(value) == "kqueue")
            EXPECT_EQ(warning, "sched_init: WARN - Unknown ZN_SCHED_BACKEND \"" + std::string(value) +
                                   "\", using select\n");
        else
            EXPECT_EQ(warning, "") << value;
    }
}

TEST(Backend, AnExplicitCallWinsOverTheEnvironment) {
    for (int backend : {SCHED_BACKEND_SELECT, SCHED_BACKEND_EPOLL}) {
        auto child = run_in_child([backend] {
            setenv("ZN_SCHED_BACKEND", backend == SCHED_BACKEND_EPOLL ? "select" : "epoll", 1);
            REQUIRE(sched_set_backend(backend) == 0); // before sched_init
            sched_init();
            report(backend_shown() + "\n");
        });
        EXPECT_TRUE(child.returned()) << child.errors;
        EXPECT_EQ(child.output, backend == SCHED_BACKEND_EPOLL ? "epoll\n" : "select\n");
    }
}

int result_inside_loop = 0;
void switch_from_handler(void *) {
    result_inside_loop = sched_set_backend(SCHED_BACKEND_EPOLL);
    sched_stop_loop();
}

TEST(Backend, RefusedForUnknownValuesInsideTheLoopAndWhenADescriptorCannotMove) {
    auto child = run_in_child([] {
        unsetenv("ZN_SCHED_BACKEND");
        allow_high_descriptors();
        REQUIRE(sched_set_backend(2) == -1 && sched_set_backend(-1) == -1);
        sched_init();
        sched_task(switch_from_handler, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
        REQUIRE(result_inside_loop == -1 && backend_shown() == "select");

        // A switch after sched_init() takes the registrations along...
        int p[2];
        REQUIRE(pipe(p) == 0 && write(p[1], "x", 1) == 1);
        sched_add_fd(p[0], record_call, (void *)"low", SCHED_FD_READ, name_fd);
        REQUIRE(sched_set_backend(SCHED_BACKEND_EPOLL) == 0 && backend_shown() == "epoll");
        // ...but select cannot take a descriptor beyond its sets along.
        REQUIRE(dup2(p[0], FD_SETSIZE + 10) == FD_SETSIZE + 10);
        REQUIRE(sched_add_fd(FD_SETSIZE + 10, record_call, (void *)"high", SCHED_FD_READ,
                             name_fd) == 0);
        REQUIRE(sched_set_backend(SCHED_BACKEND_SELECT) == -1 && backend_shown() == "epoll");
        run_one_pass();
        REQUIRE(sched_remove_fd(FD_SETSIZE + 10) == 0);
        REQUIRE(sched_set_backend(SCHED_BACKEND_SELECT) == 0 && backend_shown() == "select");
        run_one_pass();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "low r=1 w=0 e=0\nhigh r=1 w=0 e=0\nlow r=1 w=0 e=0\n");
}

// ---- what each back end watches ----

TEST(Backend, DescriptorAbove1024IsDispatchedUnderEpollAndRefusedUnderSelect) {
    for (int backend : {SCHED_BACKEND_SELECT, SCHED_BACKEND_EPOLL}) {
        auto child = run_in_child([backend] {
            allow_high_descriptors();
            init_on(backend);
            int sv[2];
            REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 && write(sv[1], "x", 1) == 1);
            REQUIRE(dup2(sv[0], 1500) == 1500);
            const int added = sched_add_fd(1500, record_call, (void *)"1500", SCHED_FD_READ, name_fd);
            report("added " + std::to_string(added) + "\n");
            if (added == 0) {
                run_one_pass();
                REQUIRE(sched_find_fd(1500)->debug.reads == 1);
            } else {
                REQUIRE(sched_find_fd(1500) == nullptr && num_SchedFDs == 0);
            }
        });
        EXPECT_TRUE(child.returned()) << child.errors;
        EXPECT_EQ(child.output, backend == SCHED_BACKEND_EPOLL ? "added 0\n1500 r=1 w=0 e=0\n"
                                                               : "added -9\n");
    }
}

TEST_P(Backends, RegularFileIsAlwaysReadyForReadingAndWriting) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        FILE *file = tmpfile();
        REQUIRE(file);
        const int fd = fileno(file);
        REQUIRE(sched_add_fd(fd, record_call, (void *)"file", 7, name_fd) == 0);
        run_one_pass();
        run_one_pass();
        // Watched for the exceptional condition alone, it is never ready.
        REQUIRE(sched_fd_flags(fd, SCHED_FD_EXCEPT) == 0);
        run_one_pass();
        REQUIRE(sched_find_fd(fd)->debug.times_ran == 2);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "file r=1 w=1 e=0\nfile r=1 w=1 e=0\n");
}

// A connected pair of TCP sockets on the loopback address.
void tcp_pair(int &client, int &server) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    REQUIRE(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    REQUIRE(listen(listener, 1) == 0);
    REQUIRE(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);
    client = socket(AF_INET, SOCK_STREAM, 0);
    REQUIRE(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    server = accept(listener, nullptr, nullptr);
    REQUIRE(server >= 0);
    close(listener);
}

void take_urgent_byte(int fd, void *, int r, int w, int e) {
    char byte = 0;
    const ssize_t n = e ? recv(fd, &byte, 1, MSG_OOB) : -1;
    report("r=" + std::to_string(r) + " w=" + std::to_string(w) + " e=" + std::to_string(e) +
           (n == 1 ? std::string(" urgent ") + byte : std::string()) + "\n");
}

TEST_P(Backends, OutOfBandTcpDataIsTheExceptionalCondition) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        int client, server;
        tcp_pair(client, server);
        REQUIRE(sched_add_fd(server, take_urgent_byte, nullptr, SCHED_FD_EXCEPT, name_fd) == 0);
        REQUIRE(send(client, "!", 1, MSG_OOB) == 1);
        usleep(50 * 1000); // loopback delivery
        run_one_pass();
        run_one_pass(); // taken: no longer exceptional
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "r=0 w=0 e=1 urgent !\n");
}

// epoll reports a hang-up even when nothing watched covers it; the loop must
// sleep through it as it does with select().
TEST_P(Backends, HangUpThatNothingWatchesLetsTheLoopSleep) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        int p[2];
        REQUIRE(pipe(p) == 0);
        close(p[1]); // the read end now reports a hang-up
        REQUIRE(sched_add_fd(p[0], record_call, (void *)"hung up", SCHED_FD_EXCEPT, name_fd) == 0);
        const double before = cpu_seconds();
        sched_task(stop_loop_task, nullptr, 0, 1, name_task);
        sched_loop();
        const double used = cpu_seconds() - before;
        report(used < 0.1 ? "slept\n" : "spun for " + std::to_string(used) + " s\n");
        // Once watched for reading, the hang-up is reported as select() does.
        REQUIRE(sched_fd_flags(p[0], SCHED_FD_READ | SCHED_FD_EXCEPT) == 0);
        run_one_pass();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "slept\nhung up r=1 w=0 e=0\n");
}

} // namespace
