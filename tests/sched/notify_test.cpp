// The service manager's notifications: readiness, watchdog, stopping, and silence without a manager.
//
// The test plays the manager: it binds the notification socket, and a forked
// child runs the scheduler with $NOTIFY_SOCKET naming it. The child marks
// points of its own run with notifications of its own ("X-...=1"), so the
// order of everything the manager received can be checked.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "manager.h"
#include "znsched.h"

using zntest::FakeManager;
using zntest::Notification;
using zntest::run_in_child;
using Strings = std::vector<std::string>;

namespace {

char name_cleanup[] = "cleanup";
char name_task[] = "task";
char name_fd[] = "quiet pipe";

void mark(void *text) { REQUIRE(sched_notify(static_cast<const char *>(text)) == 0); }
void shut_down(void *) { sched_shutdown(); }
void ignore_fd(int, void *, int, int, int) {}

// A descriptor that never becomes ready: work that keeps the loop waiting.
void watch_quiet_pipe() {
    static int fds[2];
    REQUIRE(pipe(fds) == 0);
    REQUIRE(sched_add_fd(fds[0], ignore_fd, nullptr, SCHED_FD_READ, name_fd) == 0);
}

// The child's environment as the manager would set it (the test's own
// manager, if it has one, is forgotten).
void manager_environment(const FakeManager &manager, const char *watchdog_usec = nullptr,
                         const std::string &watchdog_pid = "") {
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    setenv("NOTIFY_SOCKET", manager.address().c_str(), 1);
    if (watchdog_usec)
        setenv("WATCHDOG_USEC", watchdog_usec, 1);
    if (!watchdog_pid.empty())
        setenv("WATCHDOG_PID", watchdog_pid.c_str(), 1);
}

// A daemon with work that keeps its loop waiting, under a manager that
// wants a ping within 2 seconds.
void start_with_watchdog(const FakeManager &manager, const std::string &watchdog_pid = "") {
    manager_environment(manager, "2000000", watchdog_pid);
    sched_init();
    watch_quiet_pipe();
}

int open_descriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count - 3; // ".", ".." and the directory itself
}

const SchedTask *watchdog_task() {
    for (const SchedTask *t = SchedTasks; t; t = t->next)
        if (strcmp(reinterpret_cast<const char *>(t->task_name), "Service Watchdog") == 0)
            return t;
    return nullptr;
}

// Seconds between consecutive notifications with this text.
std::vector<double> gaps_between(const std::vector<Notification> &list, const std::string &text) {
    std::vector<double> gaps;
    const Notification *previous = nullptr;
    for (const Notification &n : list) {
        if (n.text != text)
            continue;
        if (previous)
            gaps.push_back(n.at - previous->at);
        previous = &n;
    }
    return gaps;
}

const Notification &find(const std::vector<Notification> &list, const std::string &text) {
    static const Notification none;
    for (const Notification &n : list)
        if (n.text == text)
            return n;
    return none;
}

// READY=1 when the loop starts and never again, even when the loop is
// entered twice; STOPPING=1 before the first clean-up task.
void expect_ready_once_and_stopping_before_cleanup(FakeManager::Naming naming) {
    FakeManager manager(naming);
    auto child = run_in_child([&] {
        zntest::report(std::to_string(getpid()));
        manager_environment(manager);
        sched_init();
        sched_cleanup(name_cleanup, mark, const_cast<char *>("X-CLEANUP=1"));
        mark(const_cast<char *>("X-INITIALISED=1"));
        sched_task([](void *) { mark(const_cast<char *>("X-FIRST-TASK=1")); sched_stop_loop(); },
                   nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
        mark(const_cast<char *>("X-LOOP-RETURNED=1"));
        sched_task(shut_down, nullptr, SCHED_IMMEDIATE, 0, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const auto got = manager.queued();
    EXPECT_EQ(zntest::texts(got), (Strings{"X-INITIALISED=1", "READY=1", "X-FIRST-TASK=1", "X-LOOP-RETURNED=1",
                                          "STOPPING=1", "X-CLEANUP=1"}));
    for (const Notification &n : got)
        EXPECT_EQ(std::to_string(n.sender), child.output) << n.text; // the daemon's own process
}

TEST(Notify, ReadyOnceWhenTheLoopStartsAndStoppingBeforeTheCleanupTasks) {
    expect_ready_once_and_stopping_before_cleanup(FakeManager::Naming::path);
}

TEST(Notify, AbstractSocketNameWorksAlike) {
    expect_ready_once_and_stopping_before_cleanup(FakeManager::Naming::abstract);
}

TEST(NotifyWatchdog, PingsAboutOnceASecondForTwoSecondsOfTimeOut) {
    FakeManager manager;
    auto child = run_in_child([&] {
        start_with_watchdog(manager, std::to_string(getpid()));
        sched_task(shut_down, nullptr, 0, 4, name_task);
        sched_cleanup(name_cleanup, mark, const_cast<char *>("X-CLEANUP=1"));
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const auto got = manager.queued();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.front().text, "READY=1");
    EXPECT_EQ(zntest::texts({got.end() - 2, got.end()}), (Strings{"STOPPING=1", "X-CLEANUP=1"}));
    // The shutdown task ran 3 to 4 seconds after the start: 3 or 4 pings.
    const long pings = zntest::count_of(got, "WATCHDOG=1");
    EXPECT_GE(pings, 2);
    EXPECT_LE(pings, 5);
    EXPECT_EQ(pings + 3, static_cast<long>(got.size())) << "only pings between READY and STOPPING";
    const double first = find(got, "WATCHDOG=1").at - got.front().at;
    EXPECT_GT(first, 0.5);
    EXPECT_LT(first, 2.5);
    for (double gap : gaps_between(got, "WATCHDOG=1")) {
        EXPECT_GT(gap, 0.5);
        EXPECT_LT(gap, 1.9); // well within the manager's time-out
    }
}

// A handler that blocks holds up the loop, and with it the pings: the
// manager sees a silence longer than its time-out and would step in.
TEST(NotifyWatchdog, StopsWhileAHandlerBlocks) {
    FakeManager manager;
    auto child = run_in_child([&] {
        start_with_watchdog(manager);
        sched_task(
            [](void *) {
                mark(const_cast<char *>("X-BLOCKING=1"));
                sleep(3);
                mark(const_cast<char *>("X-UNBLOCKED=1"));
                sched_task(shut_down, nullptr, 0, 2, name_task);
            },
            nullptr, 0, 2, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const auto got = manager.queued();
    const auto texts = zntest::texts(got);
    const auto blocking = std::find(texts.begin(), texts.end(), "X-BLOCKING=1") - texts.begin();
    const auto unblocked = std::find(texts.begin(), texts.end(), "X-UNBLOCKED=1") - texts.begin();
    ASSERT_EQ(unblocked, blocking + 1) << "a ping during the block: " << ::testing::PrintToString(texts);
    ASSERT_LT(unblocked, static_cast<long>(texts.size()));
    // The last sign of life before the block, and the first ping after it.
    double before = 0, after = 0;
    for (long i = blocking - 1; i >= 0 && before == 0; --i)
        if (texts[i] == "READY=1" || texts[i] == "WATCHDOG=1")
            before = got[i].at;
    for (size_t i = unblocked + 1; i < texts.size() && after == 0; ++i)
        if (texts[i] == "WATCHDOG=1")
            after = got[i].at;
    ASSERT_NE(after, 0) << "no ping after the block: " << ::testing::PrintToString(texts);
    EXPECT_GT(after - before, 2.9); // longer than the manager's time-out of 2 s
}

TEST(NotifyWatchdog, NotArmedForAnotherProcess) {
    FakeManager manager;
    auto child = run_in_child([&] {
        start_with_watchdog(manager, std::to_string(getppid()));
        sched_task(
            [](void *) {
                REQUIRE(watchdog_task() == nullptr);
                sched_shutdown();
            },
            nullptr, 0, 2, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(zntest::texts(manager.queued()), (Strings{"READY=1", "STOPPING=1"}));
}

// The watchdog is a task like any other, listed under its name with its
// period: half the time-out in whole seconds, at least one, at most a day.
TEST(NotifyWatchdog, ListedWithHalfTheTimeOutInWholeSeconds) {
    for (const auto &[timeout, period] :
         {std::pair{"10000000", 5ul}, {"3999999", 1ul}, {"500000", 1ul}, {"18446744073709551615", 86400ul}}) {
        FakeManager manager;
        const char *usec = timeout; // clang 14 cannot capture a structured binding
        auto child = run_in_child([&] {
            manager_environment(manager, usec);
            sched_init();
            sched_task(
                [](void *) {
                    const SchedTask *watchdog = watchdog_task();
                    REQUIRE(watchdog && (watchdog->flags & SCHED_RESCHEDULE));
                    zntest::report(std::to_string(watchdog->time_val));
                    sched_shutdown();
                },
                nullptr, SCHED_IMMEDIATE, 0, name_task);
            sched_loop();
        });
        EXPECT_TRUE(child.exited_zero()) << child.errors;
        EXPECT_EQ(child.output, std::to_string(period)) << "WATCHDOG_USEC=" << usec;
    }
}

// The watchdog never keeps a loop alive that has nothing else to do.
TEST(NotifyWatchdog, LoopWithNothingLeftToDoStillShutsDown) {
    FakeManager manager;
    auto child = run_in_child([&] {
        manager_environment(manager, "2000000");
        sched_init();
        sched_task(mark, const_cast<char *>("X-LAST-WORK=1"), 0, 1, name_task);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const auto got = manager.queued();
    ASSERT_EQ(zntest::texts(got).back(), "STOPPING=1");
    // Within a watchdog period (and the second the clock may add) of the end of the work.
    EXPECT_LT(got.back().at - find(got, "X-LAST-WORK=1").at, 2.5);
}

TEST(NotifyWatchdog, IdleFromTheStartShutsDownAtOnce) {
    FakeManager manager;
    auto child = run_in_child([&] {
        manager_environment(manager, "2000000");
        sched_init();
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    const auto got = manager.queued();
    ASSERT_EQ(zntest::texts(got), (Strings{"READY=1", "STOPPING=1"}));
    EXPECT_LT(got[1].at - got[0].at, 0.5);
}

// Without $NOTIFY_SOCKET: no descriptor, no task, no notification, even
// with the watchdog's variables set.
TEST(NotifyWithoutManager, NothingChanges) {
    auto child = run_in_child([] {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("ZN_SCHED_BACKEND"); // epoll has descriptors of its own
        setenv("WATCHDOG_USEC", "2000000", 1);
        const int before = open_descriptors();
        REQUIRE(sched_notify("STATUS=early") == -1);
        sched_init();
        sched_task(
            [](void *) {
                REQUIRE(sched_notify("STATUS=nobody listens") == -1);
                REQUIRE(num_SchedTasks == 1 && watchdog_task() == nullptr);
            },
            nullptr, SCHED_IMMEDIATE, 0, name_task);
        static int at_start = before;
        sched_cleanup(name_cleanup, [](void *) { zntest::report(std::to_string(open_descriptors() - at_start)); },
                      nullptr);
        sched_loop();
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "0") << "descriptors opened";
}

TEST(NotifyEnvironment, VariablesAreReadOnceAndRemoved) {
    FakeManager manager;
    auto child = run_in_child([&] {
        manager_environment(manager, "4000000", std::to_string(getpid()));
        sched_init();
        for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            REQUIRE(getenv(name) == nullptr);
        sched_init(); // finds nothing, keeps the manager
        REQUIRE(sched_notify("STATUS=still known") == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(zntest::texts(manager.queued()), (Strings{"STATUS=still known"}));
}

TEST(NotifyEnvironment, UnusableAddressesMeanNoManager) {
    const std::string too_long = "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
    for (const std::string &address : {std::string("relative/notify"), std::string(""), too_long}) {
        auto child = run_in_child([&] {
            setenv("NOTIFY_SOCKET", address.c_str(), 1);
            unsetenv("ZN_SCHED_BACKEND"); // epoll has descriptors of its own
            const int before = open_descriptors();
            sched_init();
            REQUIRE(getenv("NOTIFY_SOCKET") == nullptr);
            REQUIRE(sched_notify("READY=1") == -1);
            REQUIRE(open_descriptors() == before);
        });
        EXPECT_TRUE(child.returned()) << address << ": " << child.errors;
    }
}

// Failures come back as negated errno values at once: the loop never waits
// for the manager, and a manager that is gone raises no SIGPIPE.
TEST(NotifySend, FailuresAreReportedWithoutBlocking) {
    FakeManager manager; // never read while the child fills its queue
    auto child = run_in_child([&] {
        manager_environment(manager);
        sched_init();
        REQUIRE(sched_notify(nullptr) == -EINVAL);
        int result = 0;
        for (int i = 0; i < 100000 && result == 0; ++i)
            result = sched_notify("STATUS=filling the queue");
        REQUIRE(result == -EAGAIN);
    });
    EXPECT_TRUE(child.returned()) << child.errors;

    auto gone = run_in_child([] {
        setenv("NOTIFY_SOCKET", "/nonexistent/zn-manager", 1);
        sched_init();
        REQUIRE(sched_notify("READY=1") == -ENOENT);
    });
    EXPECT_TRUE(gone.returned()) << gone.errors;
}

} // namespace
