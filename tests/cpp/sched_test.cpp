// zn/sched.hpp: task and descriptor handles driven through real loops in forked children.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "child.h"
#include "manager.h"
#include "zn/sched.hpp"

using zntest::report;
using zntest::run_in_child;

namespace {

// An active (priority or regular) task with this name, or null.
const SchedTask *active_named(const char *name) {
    for (const SchedTask *head : {SchedPriTasks, SchedTasks})
        for (const SchedTask *t = head; t; t = t->next)
            if (t->task_name && strcmp(reinterpret_cast<const char *>(t->task_name), name) == 0)
                return t;
    return nullptr;
}

// Makes the loop return after the current pass.
zn::task stop_after_this_pass() {
    return zn::immediate("stop", [] { zn::stop_loop(); });
}

TEST(CppTask, PeriodicCallableKeepsItsStateAndGoesWithItsHandle) {
    auto child = run_in_child([] {
        sched_init();
        auto runs = std::make_shared<int>(0);
        {
            zn::task tick = zn::every(0, "tick", [runs] {
                if (++*runs == 3)
                    zn::stop_loop();
            });
            REQUIRE(tick && tick.error() == 0 && tick.record() == active_named("tick"));
            zn::loop();
            REQUIRE(tick.record() != nullptr && tick.record()->debug.times_ran == 3);
            REQUIRE(runs.use_count() == 2);
        }
        // The callable and its captures are gone, and so is the task.
        REQUIRE(runs.use_count() == 1);
        REQUIRE(active_named("tick") == nullptr && num_SchedTasks == 0);
        report("runs " + std::to_string(*runs) + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "runs 3\n");
}

TEST(CppTask, KindsRunInTheirOrderAndOneShotsFinish) {
    auto child = run_in_child([] {
        sched_init();
        std::string order;
        zn::task normal = zn::immediate("normal", [&order] { order += "normal "; });
        zn::task high = zn::immediate("high", [&order] { order += "high "; }, zn::priority::high);
        zn::task later = zn::after(0, "later", [&order] { order += "later "; });
        zn::task stop = stop_after_this_pass();
        REQUIRE(high.record()->flags == (SCHED_IMMEDIATE | SCHED_PRIORITY));
        REQUIRE(later.record()->flags == 0 && normal.record()->flags == SCHED_IMMEDIATE);
        zn::loop();
        // Finished one-shot tasks: the handles stay, the records are done.
        REQUIRE(normal && later && !normal.record() && !later.record());
        report(order + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "high normal later \n");
}

TEST(CppTask, NamesAreKeptForTheScheduler) {
    auto child = run_in_child([] {
        sched_init();
        std::string name = "made up at run time";
        zn::task t = zn::after(100, name, [] {});
        const SchedTask *record = t.record();
        name.assign(name.size(), 'x');
        REQUIRE(strcmp(reinterpret_cast<const char *>(record->task_name), "made up at run time") == 0);
        t = zn::task();
        // The retired record is listed by name long after its handle.
        REQUIRE(SchedDoneTasks == record && record->flags == SCHED_DONE && num_SchedTasks == 0);
        REQUIRE(strcmp(reinterpret_cast<const char *>(record->task_name), "made up at run time") == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(CppTask, MovesTransferTheTaskAndMovedFromHandlesDoNothing) {
    auto child = run_in_child([] {
        sched_init();
        std::string ran;
        zn::task first = zn::immediate("first", [&ran] { ran += "first "; });
        zn::task moved = std::move(first);
        first = zn::task(); // the moved-from handle: cancelling it touches nothing
        first.cancel();
        REQUIRE(!first && first.record() == nullptr && moved.record() == active_named("first"));
        zn::task replaced = zn::immediate("replaced", [&ran] { ran += "replaced "; });
        replaced = zn::immediate("second", [&ran] { ran += "second "; });
        REQUIRE(active_named("replaced") == nullptr);
        zn::task stop = stop_after_this_pass();
        zn::loop();
        report(ran + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "first second \n");
}

TEST(CppTask, ATaskMayCancelItselfWhileItRuns) {
    auto child = run_in_child([] {
        sched_init();
        zn::task self;
        int runs = 0;
        self = zn::every(0, "self", [&self, &runs, text = std::string(100, 'c')] {
            ++runs;
            self.cancel();
            // The captures live until the call returns.
            report(text.substr(0, 3) + "\n");
        });
        zn::task stop = zn::every(0, "stop", [] { zn::stop_loop(); });
        zn::loop();
        zn::loop();
        REQUIRE(runs == 1 && !self && active_named("self") == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "ccc\n");
}

TEST(CppTask, BackEndIsChosenOutsideTheLoopOnly) {
    auto child = run_in_child([] {
        REQUIRE(zn::set_backend(zn::backend::epoll));
        sched_init();
        bool inside = true;
        zn::task stop = zn::immediate("stop", [&inside] {
            inside = zn::set_backend(zn::backend::select);
            zn::stop_loop();
        });
        zn::loop();
        REQUIRE(!inside && zn::set_backend(zn::backend::select));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(CppTask, RearmingReportsUseOutsideATask) {
    auto child = run_in_child([] {
        sched_init();
        report(zn::reschedule(1) || zn::stop() ? "outside: rearmed\n" : "outside: refused\n");
        int again_runs = 0, periodic_runs = 0;
        zn::task again = zn::after(0, "again", [&again_runs] {
            if (++again_runs < 3)
                REQUIRE(zn::reschedule(0));
        });
        zn::task periodic = zn::every(0, "periodic", [&periodic_runs] {
            ++periodic_runs;
            REQUIRE(zn::stop());
        });
        int fds[2];
        REQUIRE(pipe(fds) == 0 && write(fds[1], "x", 1) == 1);
        zn::watch w;
        w = zn::watch(fds[0], "ready pipe", zn::interest::read, [&w](int, zn::ready) {
            report(zn::reschedule(1) || zn::stop() ? "descriptor: rearmed\n" : "descriptor: refused\n");
            w.cancel();
        });
        zn::task stop = zn::every(0, "stop", [&again_runs] {
            if (again_runs == 3)
                zn::stop_loop();
        });
        zn::loop();
        REQUIRE(!again.record() && !periodic.record() && !w);
        report("again " + std::to_string(again_runs) + ", periodic " + std::to_string(periodic_runs) + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "outside: refused\ndescriptor: refused\nagain 3, periodic 1\n");
}

TEST(CppTask, CleanupRunsAtShutdownUnlessCancelled) {
    auto child = run_in_child([] {
        sched_init();
        auto kept = std::make_shared<std::string>("first clean-up\n");
        zn::task first = zn::cleanup("first", [kept] { report(*kept); });
        auto dropped = std::make_shared<int>(0);
        zn::task cancelled = zn::cleanup("cancelled", [dropped] { report("cancelled ran\n"); });
        zn::task last = zn::cleanup("last", [] { report("last clean-up\n"); });
        REQUIRE(cancelled.record() && cancelled.record()->flags == SCHED_CLEANUP);
        cancelled.cancel();
        REQUIRE(dropped.use_count() == 1 && !cancelled.record() && num_SchedCleanupTasks == 3);
        zn::task quit = zn::immediate("quit", [] { zn::shutdown(); });
        zn::loop();
        report("loop returned\n");
    });
    EXPECT_TRUE(child.exited_zero()) << child.errors;
    EXPECT_EQ(child.output, "first clean-up\nlast clean-up\n");
}

TEST(CppTask, FailureBeforeInitIsAnEmptyHandleWithTheResult) {
    auto child = run_in_child([] {
        auto state = std::make_shared<int>(0);
        zn::task t = zn::every(1, "early", [state] {});
        REQUIRE(!t && t.error() == -1 && t.record() == nullptr);
        REQUIRE(state.use_count() == 1);
        zn::watch w(0, "early", zn::interest::read, [state](int, zn::ready) {});
        REQUIRE(!w && w.error() == -1 && w.fd() == -1 && state.use_count() == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(CppWatch, HandlerGetsReadinessAndTheHandleOwnsTheRegistration) {
    auto child = run_in_child([] {
        sched_init();
        int fds[2];
        REQUIRE(pipe(fds) == 0 && write(fds[1], "hi", 2) == 2);
        std::string got;
        {
            zn::watch in(fds[0], "pipe in", zn::interest::read, [&got](int fd, zn::ready r) {
                char buf[8];
                const ssize_t n = read(fd, buf, sizeof buf);
                got.append(buf, static_cast<size_t>(n));
                got += r.read && !r.write && !r.except ? " read\n" : " other\n";
                zn::stop_loop();
            });
            zn::watch out(fds[1], "pipe out", zn::interest::read, [](int, zn::ready) {});
            REQUIRE(in.fd() == fds[0] && sched_find_fd(fds[0]) && sched_find_fd(fds[1]));
            REQUIRE(out.want(zn::interest::write | zn::interest::except));
            REQUIRE(sched_find_fd(fds[1])->flags == (SCHED_FD_WRITE | SCHED_FD_EXCEPT));
            zn::watch twice(fds[0], "again", zn::interest::read, [](int, zn::ready) {});
            REQUIRE(!twice && twice.error() == -17 && twice.fd() == -1);
            zn::loop();
        }
        REQUIRE(sched_find_fd(fds[0]) == nullptr && sched_find_fd(fds[1]) == nullptr && num_SchedFDs == 0);
        report(got);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "hi read\n");
}

void foreign_handler(int, void *, int, int, int) {}

TEST(CppWatch, ARegistrationThatIsNoLongerTheHandlesIsLeftAlone) {
    auto child = run_in_child([] {
        sched_init();
        int fds[2];
        REQUIRE(pipe(fds) == 0);
        zn::watch w(fds[0], "mine", zn::interest::read, [](int, zn::ready) {});
        zn::watch moved = std::move(w);
        w.cancel(); // moved from: nothing to remove
        REQUIRE(!w && sched_find_fd(fds[0]) != nullptr);
        REQUIRE(sched_remove_fd(fds[0]) == 0);
        static char name[] = "foreign";
        REQUIRE(sched_add_fd(fds[0], foreign_handler, nullptr, SCHED_FD_READ, name) == 0);
        REQUIRE(!moved.want(zn::interest::write));
        moved.cancel();
        REQUIRE(sched_find_fd(fds[0]) && sched_find_fd(fds[0])->handler == foreign_handler);
        REQUIRE(sched_find_fd(fds[0])->flags == SCHED_FD_READ);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(CppWatch, AHandlerMayCancelItsOwnWatch) {
    auto child = run_in_child([] {
        sched_init();
        int fds[2];
        REQUIRE(pipe(fds) == 0 && write(fds[1], "x", 1) == 1);
        zn::watch w;
        int calls = 0;
        w = zn::watch(fds[0], "once", zn::interest::read, [&w, &calls, note = std::string("after\n")](int, zn::ready) {
            ++calls;
            w.cancel();
            report(note);
        });
        zn::task stop = zn::every(0, "stop", [] { zn::stop_loop(); });
        zn::loop();
        zn::loop(); // the descriptor is still readable, but no longer watched
        REQUIRE(calls == 1 && !w && sched_find_fd(fds[0]) == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "after\n");
}

// The text of a view, not a terminated string, reaches the manager as it is.
TEST(CppNotify, SendsTheViewToTheServiceManager) {
    zntest::FakeManager manager;
    auto child = run_in_child([&] {
        REQUIRE(zn::notify("STATUS=too early") == -1);
        setenv("NOTIFY_SOCKET", manager.address().c_str(), 1);
        sched_init();
        const std::string line = "STATUS=serving 3 users, and more";
        REQUIRE(zn::notify(std::string_view(line).substr(0, 22)) == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(zntest::texts(manager.queued()), std::vector<std::string>{"STATUS=serving 3 users"});
}

} // namespace
