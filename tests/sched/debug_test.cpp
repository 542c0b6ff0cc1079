// The scheduler's debug channel: exact lines, levels, cut lines and peers that have gone.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "child.h"
#include "znsched.h"

using zntest::report;
using zntest::run_in_child;

namespace {

char name_task[] = "ticker";
char name_fd[] = "pipe in";

void nothing(void *) {}
void nothing_fd(int, void *, int, int, int) {}

std::string hex(const void *p) {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%08lX", reinterpret_cast<unsigned long>(p));
    return buf;
}

TEST(Debug, LinesOfTheRegistryAndTasksAtLevelOne) {
    auto child = run_in_child([] {
        sched_set_debug(1, zntest::report_fd());
        sched_init();
        sched_task(nothing, nullptr, SCHED_PRIORITY | SCHED_IMMEDIATE, 0, name_task);
        sched_task(nothing, nullptr, 0, 42, name_task);
        sched_cleanup(name_task, nothing, nullptr);
        sched_add_fd(0, nothing_fd, nullptr, 5, name_fd);
        sched_add_fd(0, nothing_fd, nullptr, 5, name_fd);
        sched_fd_flags(0, 7); // level 2 only
        SchedFD copy;
        sched_fd_save(0, &copy);
        sched_fd_save(0, &copy);
        sched_fd_restore(0, &copy);
        sched_fd_restore(0, &copy);
        sched_remove_fd(0);
        sched_remove_fd(0);
        sched_shutdown();
        sched_stop_loop();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const std::string f = hex(reinterpret_cast<void *>(nothing));
    const std::string h = hex(reinterpret_cast<void *>(nothing_fd));
    const std::string add = "sched_add_fd: Request to add FD 0 [pipe in], handler " + h +
                            ", flags 0x00000005\n";
    // The first line carries ctime()'s text, which ends the line.
    const auto first_end = child.output.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_EQ(child.output.substr(0, 27), "sched_init: Initialized at ");
    EXPECT_EQ(child.output.substr(first_end + 1),
              "sched_task: Scheduling task " + f + " [ticker]: PRI IMM: TID 1\n" +
                  "sched_task: Scheduling task " + f + " [ticker]: 42s: TID 2\n" +
                  "sched_cleanup: Registering cleanup func " + f + " [ticker]\n" + add + add +
                  "sched_add_fd: WARN - Already exists\n"
                  "sched_fd_save: Request to save FD 0\n"
                  "sched_remove_fd: Removing FD 0 [pipe in]\n"
                  "sched_fd_save: Request to save FD 0\n"
                  "sched_fd_save: ERR - FD Doesn't exist\n"
                  "sched_fd_restore: Request to Restore FD 0\n"
                  "sched_add_fd: Request to add FD 0 [pipe in], handler " + h +
                  ", flags 0x00000007\n"
                  "sched_fd_restore: Request to Restore FD 0\n"
                  "sched_fd_restore: ERR - FD Already Exists\n"
                  "sched_remove_fd: Removing FD 0 [pipe in]\n"
                  "sched_remove_fd: Could not remove FD 0, doesn't exist!\n"
                  "sched_shutdown: Setting shutdown flag...\n"
                  "sched_stop_loop: Setting stop flag...\n");
}

TEST(Debug, FlagChangesNeedLevelTwo) {
    auto child = run_in_child([] {
        sched_init();
        sched_set_debug(2, zntest::report_fd());
        sched_add_fd(0, nothing_fd, nullptr, 1, name_fd);
        sched_set_debug(2, zntest::report_fd());
        sched_fd_flags(0, 6);
        sched_fd_flags(9, 6);
        sched_set_debug(1, zntest::report_fd());
        sched_fd_flags(0, 1);
        sched_fd_flags(9, 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const std::string h = hex(reinterpret_cast<void *>(nothing_fd));
    EXPECT_EQ(child.output,
              "sched_add_fd: Request to add FD 0 [pipe in], handler " + h +
                  ", flags 0x00000001\n"
                  "sched_fd_flags: FD 0 [pipe in], old flags 0x00000001, new flags 0x00000006\n"
                  "sched_fd_flags: Could not find FD 9, doesn't exist!\n");
}

void stop_task(void *) {
    sched_stop();
    sched_stop_loop();
}

TEST(Debug, StopLineNamesTheRunningTask) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(stop_task, nullptr, SCHED_IMMEDIATE | SCHED_RESCHEDULE, 0, name_task);
        sched_set_debug(1, zntest::report_fd());
        sched_loop();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "sched_stop: Request to not reschedule TID 1 [ticker]\n"
                            "sched_stop_loop: Setting stop flag...\n");
}

TEST(Debug, OverlongLinesAreCutToTheBuffer) {
    auto child = run_in_child([] {
        sched_init();
        static std::string huge(5000, 'h');
        sched_set_debug(1, zntest::report_fd());
        sched_task(nothing, nullptr, 0, 1, huge.data());
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    ASSERT_EQ(child.output.size(), 2047u);
    EXPECT_EQ(child.output.substr(0, 28), "sched_task: Scheduling task ");
    EXPECT_EQ(child.output.back(), 'h');
}

TEST(Debug, APeerThatHasGoneNeverEndsTheProcess) {
    auto child = run_in_child([] {
        int p[2], sv[2];
        REQUIRE(pipe(p) == 0);
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
        close(p[0]);
        close(sv[1]);
        for (int fd : {p[1], sv[0]}) {
            sched_set_debug(1, fd);
            sched_shutdown(); // writes a line to the broken descriptor
        }
        // Nothing pending, nothing changed.
        sigset_t pending;
        sigpending(&pending);
        REQUIRE(!sigismember(&pending, SIGPIPE));
        struct sigaction sa {};
        sigaction(SIGPIPE, nullptr, &sa);
        REQUIRE(sa.sa_handler == SIG_DFL);
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        REQUIRE(!sigismember(&mask, SIGPIPE));
        report("alive\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "alive\n");
}

TEST(Debug, NegativeDescriptorOrLevelZeroWritesNothing) {
    auto child = run_in_child([] {
        sched_set_debug(0, zntest::report_fd());
        sched_init();
        sched_shutdown();
        sched_set_debug(1, -1);
        sched_shutdown();
        report("done\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "done\n");
}

} // namespace
