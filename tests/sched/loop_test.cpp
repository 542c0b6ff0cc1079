// The main loop in real time: shutdown paths, signals, stop requests and the exit status.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <string>

#include "backends.h"
#include "child.h"
#include "znsched.h"

using zntest::cpu_seconds;
using zntest::report;
using zntest::run_in_child;

namespace {

char name_cleanup1[] = "cleanup one";
char name_cleanup2[] = "cleanup two";
char name_task[] = "task";
char name_fd[] = "quiet pipe";

void say(void *text) { report(static_cast<const char *>(text)); }
void ignore_fd(int, void *, int, int, int) {}

// A descriptor that never becomes ready, so the loop blocks in select().
void watch_quiet_pipe() {
    static int fds[2];
    REQUIRE(pipe(fds) == 0);
    REQUIRE(sched_add_fd(fds[0], ignore_fd, nullptr, SCHED_FD_READ, name_fd) == 0);
}

// Sends sig to this process from a helper process after a short delay.
void signal_me_soon(int sig) {
    const pid_t me = getpid();
    if (fork() == 0) {
        usleep(200 * 1000);
        kill(me, sig);
        _exit(0);
    }
}

void register_cleanups() {
    sched_cleanup(name_cleanup1, say, (void *)"cleanup 1\n");
    sched_cleanup(name_cleanup2, say, (void *)"cleanup 2\n");
}

TEST(Loop, BeforeInitReturnsAtOnce) {
    auto child = run_in_child([] {
        sched_set_debug(1, zntest::report_fd());
        sched_loop();
        report("returned\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "sched_loop: Called before initialized\nreturned\n");
}

TEST(Loop, NothingToDoRunsCleanupsInOrderAndExitsZero) {
    auto child = run_in_child([] {
        sched_init();
        register_cleanups();
        sched_set_debug(1, zntest::report_fd());
        sched_loop();
        report("returned\n");
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output,
              "sched_loop: Nothing to do! Shutting down...\n"
              "cleanup 1\ncleanup 2\n"
              "sched_loop: Done Cleaning Up\n");
}

void shutdown_and_note(void *) {
    report("shutdown requested\n");
    sched_shutdown();
}

TEST(Loop, ShutdownFromATaskFinishesThePassThenCleansUp) {
    auto child = run_in_child([] {
        sched_init();
        register_cleanups();
        sched_task(shutdown_and_note, nullptr, SCHED_PRIORITY | SCHED_IMMEDIATE, 0, name_task);
        sched_task(say, (void *)"regular ran\n", SCHED_IMMEDIATE | SCHED_RESCHEDULE, 0,
                   name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "shutdown requested\nregular ran\ncleanup 1\ncleanup 2\n");
}

TEST(Loop, SigintWhileBlockedInSelectCleansUpOnce) {
    auto child = run_in_child([] {
        sched_init();
        watch_quiet_pipe();
        register_cleanups();
        sched_cleanup(name_cleanup1, [](void *) { raise(SIGINT); }, nullptr);
        sched_set_debug(1, zntest::report_fd());
        signal_me_soon(SIGINT);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const std::string interrupted =
        "sched_loop: select errored out, ret = -1, err = Interrupted system call\n";
    EXPECT_EQ(child.output, "sched_handle_signal: Received SIGINT, shutting down..\n" +
                                interrupted + "cleanup 1\ncleanup 2\n" +
                                "sched_loop: Done Cleaning Up\n");
}

TEST(Loop, SigtermAndSigquitAreShutdownsToo) {
    for (int sig : {SIGTERM, SIGQUIT}) {
        auto child = run_in_child([sig] {
            sched_init();
            watch_quiet_pipe();
            register_cleanups();
            signal_me_soon(sig);
            sched_loop();
        });
        EXPECT_TRUE(child.exited_zero()) << child.errors;
        EXPECT_EQ(child.output, "cleanup 1\ncleanup 2\n");
    }
}

TEST(Loop, OtherSignalsAreIgnoredByTheHandler) {
    auto child = run_in_child([] {
        sched_init();
        sched_handle_signal(SIGUSR1);
        REQUIRE(SchedShutdown == 0);
        sched_handle_signal(SIGTERM);
        REQUIRE(SchedShutdown == 1);
        // The handler stays installed and SIGPIPE keeps its default.
        struct sigaction sa {};
        sigaction(SIGTERM, nullptr, &sa);
        REQUIRE(sa.sa_handler == sched_handle_signal);
        sigaction(SIGPIPE, nullptr, &sa);
        REQUIRE(sa.sa_handler == SIG_DFL);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void raise_sigterm(void *) {
    report("P\n");
    raise(SIGTERM);
}

TEST(Loop, SigtermDuringATaskLetsTheRestOfThePassRun) {
    auto child = run_in_child([] {
        sched_init();
        watch_quiet_pipe();
        register_cleanups();
        sched_task(raise_sigterm, nullptr, SCHED_PRIORITY | SCHED_IMMEDIATE, 0, name_task);
        sched_task(say, (void *)"R\n", SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "P\nR\ncleanup 1\ncleanup 2\n");
}

void stop_loop_task(void *) { sched_stop_loop(); }
void stop_and_shutdown(void *) {
    sched_stop_loop();
    sched_shutdown();
}

TEST(Loop, StopLoopReturnsAndASecondLoopResumes) {
    auto child = run_in_child([] {
        sched_init();
        watch_quiet_pipe();
        sched_task(stop_loop_task, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
        report("returned\n");
        REQUIRE(SchedStop == 0 && num_SchedFDs == 1);
        sched_stop_loop(); // while not looping: the next loop returns at once
        sched_loop();
        report("returned again\n");
        sched_task(stop_and_shutdown, nullptr, SCHED_IMMEDIATE, 0, name_task);
        register_cleanups();
        sched_loop(); // the stop wins; the shutdown waits for the next loop
        report("returned a third time\n");
        sched_loop();
        report("not reached\n");
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output,
              "returned\nreturned again\nreturned a third time\ncleanup 1\ncleanup 2\n");
}

TEST(Loop, CleanupPassRunsNoOtherTask) {
    auto child = run_in_child([] {
        sched_init();
        register_cleanups();
        sched_task(stop_and_shutdown, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
        sched_task(say, (void *)"due task ran\n", SCHED_IMMEDIATE, 0, name_task);
        sched_task(say, (void *)"due priority task ran\n", SCHED_PRIORITY, 0, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "cleanup 1\ncleanup 2\n");
}

// A fresh scheduler on the back end, with the clean-up tasks, watching the
// read end of a pipe that is then closed while registered; returns its number.
int watch_a_descriptor_then_close_it(int backend) {
    zntest::init_on(backend);
    register_cleanups();
    int fds[2];
    REQUIRE(pipe(fds) == 0);
    sched_add_fd(fds[0], ignore_fd, nullptr, SCHED_FD_READ, name_fd);
    close(fds[0]);
    return fds[0];
}

TEST(Loop, SelectErrorShutsDown) {
    auto child = run_in_child([] {
        watch_a_descriptor_then_close_it(SCHED_BACKEND_SELECT);
        sched_set_debug(1, zntest::report_fd());
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output,
              "sched_loop: select errored out, ret = -1, err = Bad file descriptor\n"
              "cleanup 1\ncleanup 2\n"
              "sched_loop: Done Cleaning Up\n");
}

// The one difference between the back ends: epoll silently stops watching a
// descriptor closed while registered, and the loop goes on.
TEST(Loop, EpollForgetsADescriptorClosedWhileRegistered) {
    auto child = run_in_child([] {
        const int closed = watch_a_descriptor_then_close_it(SCHED_BACKEND_EPOLL);
        sched_task(stop_loop_task, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
        report("returned\n");
        REQUIRE(sched_find_fd(closed) != nullptr); // still registered: remove it first
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "returned\n");
}

void report_current(void *) {
    report(current && current->task_name == (uchar_t *)name_task ? "current ok\n"
                                                                  : "current wrong\n");
    report(current_fd == nullptr ? "no fd\n" : "fd set\n");
}

TEST(Loop, CurrentPointsToTheRunningTaskOnly) {
    auto child = run_in_child([] {
        sched_init();
        sched_cleanup(name_task, report_current, nullptr);
        sched_task(report_current, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_task(stop_loop_task, nullptr, SCHED_IMMEDIATE, 0, name_cleanup1);
        sched_loop();
        REQUIRE(current == nullptr);
        sched_shutdown();
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "current ok\nno fd\ncurrent ok\nno fd\n");
}

void count_run(void *arg) { ++*static_cast<int *>(arg); }

TEST(Loop, TimedTaskRunsOnceAfterItsDelay) {
    auto child = run_in_child([] {
        static int runs = 0;
        sched_init();
        watch_quiet_pipe(); // the loop waits in select() for the task
        const time_t start = time(nullptr);
        sched_task(count_run, &runs, 0, 2, name_task);
        sched_task(stop_loop_task, nullptr, 0, 2, name_cleanup1);
        sched_loop();
        REQUIRE(runs == 1);
        REQUIRE(time(nullptr) - start >= 2);
        REQUIRE(SchedDoneTasks && SchedDoneTasks->arg == &runs);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

// ---- tasks that are due in every pass ----

void always_due(void *) {}
void rearm_at_once(void *) { sched_reschedule(0); }

// Runs body in a child and measures the time until it ended.
zntest::ChildResult timed_child(const std::function<void()> &body, double &seconds) {
    const auto start = std::chrono::steady_clock::now();
    auto child = run_in_child(body);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return child;
}

TEST(Loop, TasksDueInEveryPassStillLetSigtermStopTheLoop) {
    for (bool by_reschedule : {false, true}) {
        double seconds = 0;
        auto child = timed_child(
            [by_reschedule] {
                sched_init();
                register_cleanups();
                for (int i = 0; i < 2; ++i) {
                    if (by_reschedule)
                        sched_task(rearm_at_once, nullptr, 0, 0, name_task);
                    else
                        sched_task(always_due, nullptr, SCHED_IMMEDIATE | SCHED_RESCHEDULE, 0,
                                   name_task);
                }
                signal_me_soon(SIGTERM);
                sched_loop();
            },
            seconds);
        EXPECT_TRUE(child.exited_zero()) << child.errors;
        EXPECT_EQ(child.output, "cleanup 1\ncleanup 2\n");
        EXPECT_LT(seconds, 1.0); // the signal comes after 0.2 s
    }
}

void served(int fd, void *, int, int, int) {
    report("descriptor served\n");
    sched_remove_fd(fd);
    sched_shutdown();
}

TEST(Loop, TasksDueInEveryPassDoNotStarveDescriptors) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(rearm_at_once, nullptr, 0, 0, name_task);
        sched_task(rearm_at_once, nullptr, 0, 0, name_task);
        int sv[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 && write(sv[1], "x", 1) == 1);
        sched_add_fd(sv[0], served, nullptr, SCHED_FD_READ, name_fd);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "descriptor served\n");
}

TEST(Loop, TimersAloneSleepBetweenTheirRuns) {
    auto child = run_in_child([] {
        static int ticks = 0;
        sched_init();
        sched_task(count_run, &ticks, SCHED_RESCHEDULE, 1, name_task);
        sched_task(stop_loop_task, nullptr, 0, 3, name_cleanup1);
        const double before = cpu_seconds();
        sched_loop();
        const double used = cpu_seconds() - before;
        REQUIRE(ticks >= 2);
        // Well under 5 % of one core over the three seconds.
        report(used < 0.05 ? "slept\n" : "busy for " + std::to_string(used) + " s\n");
        // The sleep is idle time: an idle period was open while it lasted.
        REQUIRE(SchedIdle.debug.times_ran >= 2 && SchedIdle.debug.total_time.secs >= 2);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "slept\n");
}

TEST(Loop, SigtermEndsTheSleepOfATimersOnlyLoopAtOnce) {
    double seconds = 0;
    auto child = timed_child(
        [] {
            sched_init();
            register_cleanups();
            sched_task(say, (void *)"never\n", 0, 100, name_task);
            signal_me_soon(SIGTERM);
            sched_loop();
        },
        seconds);
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "cleanup 1\ncleanup 2\n");
    EXPECT_LT(seconds, 1.0);
}

} // namespace
