// Timing rules under a scripted clock: due times, handler statistics and idle accounting.
//
// This executable defines time() and gettimeofday() itself (fake_clock.h);
// the scheduler's calls resolve to them, so whole seconds and microseconds
// are exact.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <ctime>
#include <string>

#include "child.h"
#include "fake_clock.h"
#include "znsched.h"

using zntest::run_in_child;

namespace {

char name_driver[] = "driver";
char name_task[] = "task";

int pass = 0;        // passes driven so far
int last_pass = 0;   // the driver stops the loop after this pass
std::string ran;     // "<pass>" for each run of the observed task

// Priority task run once per pass: one second passes between passes.
void drive(void *) {
    ++pass;
    if (pass >= last_pass)
        sched_stop_loop();
    advance(1'000'000);
}

void observe(void *) { ran += std::to_string(pass) + " "; }

void run_passes(int passes) {
    last_pass = pass + passes;
    sched_task(drive, nullptr, SCHED_PRIORITY | SCHED_IMMEDIATE | SCHED_RESCHEDULE, 0,
               name_driver);
    sched_loop();
    sched_remove_task(drive, nullptr, nullptr, 1);
}

TEST(Clock, TimedTaskRunsInTheFirstPassAtItsDueSecond) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(observe, nullptr, 0, 3, name_task);
        run_passes(6);
        // Scheduled at second 0; the regular walk of pass n sees second n.
        REQUIRE(ran == "3 ");
        REQUIRE(SchedDoneTasks->task_ptr == observe);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Clock, PeriodIsMeasuredFromTheEndOfTheLastRun) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(observe, nullptr, SCHED_RESCHEDULE, 2, name_task);
        run_passes(8);
        REQUIRE(ran == "2 4 6 8 ");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void sleep_then(void *arg) { advance(*static_cast<long long *>(arg)); }

TEST(Clock, HandlerDurationsBorrowAndCarry) {
    auto child = run_in_child([] {
        static long long duration;
        sched_init();
        advance(900'000); // start at .9 s so the first call borrows a second
        duration = 400'000;
        sched_task(sleep_then, &duration, SCHED_IMMEDIATE, 0, name_task);
        run_passes(1);
        SchedTask *task = sched_find_done_task(sleep_then, &duration, name_task, 7);
        REQUIRE(task && task->debug.times_ran == 1);
        REQUIRE(task->debug.last_time.secs == 0 && task->debug.last_time.usecs == 400'000);
        duration = 700'000;
        sched_task(sleep_then, &duration, SCHED_IMMEDIATE, 0, name_task);
        run_passes(1);
        REQUIRE(task->debug.times_ran == 2);
        REQUIRE(task->debug.last_time.secs == 0 && task->debug.last_time.usecs == 700'000);
        REQUIRE(task->debug.total_time.secs == 1 && task->debug.total_time.usecs == 100'000);
        REQUIRE(task->debug.last_ran == static_cast<ulong_t>(time(nullptr) - 1));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

timeval stamp;

void stamp_and_stop(void *) {
    gettimeofday(&stamp, nullptr);
    sched_stop_loop();
}

TEST(Clock, IdleRecordCountsPeriodsWithoutHandlers) {
    auto child = run_in_child([] {
        sched_init();
        REQUIRE(SchedIdle.tid == 0 && SchedIdleState == 1);
        REQUIRE(std::string((char *)SchedIdle.task_name) == "Idle Task");
        REQUIRE(SchedIdle.debug.time_sched == static_cast<ulong_t>(time(nullptr)));
        // The first handler closes the period that initialisation opened.
        advance(2'500'000);
        sched_task([](void *) { sched_stop_loop(); }, nullptr, SCHED_IMMEDIATE, 0, name_driver);
        sched_loop();
        REQUIRE(SchedIdleState == 0 && SchedIdle.debug.times_ran == 0);
        REQUIRE(SchedIdle.debug.total_time.secs == 2);
        REQUIRE(SchedIdle.debug.total_time.usecs == 500'000);

        // Passes in which nothing is due open one period; the run closes it.
        const ulong_t before = static_cast<ulong_t>(time(nullptr));
        sched_task(stamp_and_stop, nullptr, 0, 3, name_task);
        tick_on_time = true;
        sched_loop();
        tick_on_time = false;
        REQUIRE(SchedIdle.debug.times_ran == 1 && SchedIdleState == 0);
        REQUIRE(SchedIdle.debug.last_ran > before);
        const long idle_secs = static_cast<long>(stamp.tv_sec) - SchedIdle.debug.last_time.secs;
        REQUIRE(idle_secs >= 1 && stamp.tv_usec == SchedIdle.debug.last_time.usecs);
        REQUIRE(SchedIdle.debug.total_time.secs == 2 + idle_secs);
        REQUIRE(SchedIdle.debug.total_time.usecs == 500'000);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
