// Timing rules under a scripted clock: due times, handler statistics and idle accounting.
//
// This executable defines time() and gettimeofday() itself (fake_clock.h);
// the scheduler's calls resolve to them, so whole seconds and microseconds
// are exact.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

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

// ---- the order of thousands of tasks, against a plain walk of the lists ----

// The lists as a plain model keeps them, walked as the scheduler is meant to:
// each list in order, a task due when it is immediate or its second has
// come, each task at most once per walk, periodic and re-armed tasks moved
// to the tail, one-shot tasks retired to the done list.
struct ModelTask {
    ulong_t flags = 0, time_val = 0, last_sched = 0;
    long rearm = -1; // the handler calls sched_reschedule(rearm) when >= 0
};

constexpr int kStopper = 0; // task 0 stops the loop: one pass per sched_loop()
constexpr int kMostTasks = 5000;
int ids[kMostTasks];
std::vector<ModelTask> model;
std::vector<int> model_pri, model_reg, model_done;
std::vector<int> ran_order, model_order;
char name_many[] = "many";

void model_run(void *arg) {
    const int id = *static_cast<int *>(arg);
    ran_order.push_back(id);
    if (id == kStopper)
        sched_stop_loop();
    else if (model[static_cast<size_t>(id)].rearm >= 0)
        sched_reschedule(static_cast<ulong_t>(model[static_cast<size_t>(id)].rearm));
}

ulong_t now_secs() { return static_cast<ulong_t>(time(nullptr)); }
std::vector<int> &model_list(const ModelTask &t) {
    return t.flags & SCHED_PRIORITY ? model_pri : model_reg;
}

void model_walk(std::vector<int> &list) {
    std::set<int> ran;
    const ulong_t t = now_secs();
    for (size_t i = 0; i < list.size();) {
        const int id = list[i];
        ModelTask &m = model[static_cast<size_t>(id)];
        const bool due = (m.flags & SCHED_IMMEDIATE) || t >= m.last_sched + m.time_val;
        if (ran.count(id) || !due) {
            ++i;
            continue;
        }
        ran.insert(id);
        model_order.push_back(id);
        if (m.rearm >= 0 && id != kStopper) {
            m.flags = (m.rearm ? m.flags & ~SCHED_IMMEDIATE : m.flags | SCHED_IMMEDIATE) |
                      SCHED_RESCHEDULED;
            m.time_val = static_cast<ulong_t>(m.rearm);
        }
        if (m.flags & (SCHED_RESCHEDULE | SCHED_RESCHEDULED)) {
            m.flags &= ~SCHED_RESCHEDULED;
            m.last_sched = t;
            if (i + 1 == list.size()) {
                ++i;
                continue;
            }
            list.erase(list.begin() + static_cast<long>(i));
            list.push_back(id);
        } else {
            list.erase(list.begin() + static_cast<long>(i));
            m.flags = SCHED_DONE;
            m.time_val = 0;
            model_done.push_back(id);
        }
    }
}

// sched_task() on both sides: a new record, or the revival of a done one.
void schedule(int id, ulong_t flags, ulong_t time_val) {
    REQUIRE(sched_task(model_run, &ids[id], flags, time_val, name_many) == 0);
    if (static_cast<size_t>(id) >= model.size())
        model.resize(static_cast<size_t>(id) + 1);
    auto done = std::find(model_done.begin(), model_done.end(), id);
    if (done != model_done.end())
        model_done.erase(done);
    ModelTask &m = model[static_cast<size_t>(id)];
    m.flags = flags;
    m.time_val = time_val;
    m.last_sched = now_secs();
    model_list(m).push_back(id);
}

std::vector<int> ids_of(const SchedTask *head) {
    std::vector<int> out;
    for (const SchedTask *t = head; t; t = t->next)
        out.push_back(*static_cast<int *>(t->arg));
    return out;
}

TEST(Clock, TaskOrderAmongThousandsOfTimersFollowsAPlainWalkOfTheLists) {
    auto child = run_in_child([] {
        sched_init();
        for (int i = 0; i < kMostTasks; ++i)
            ids[i] = i;
        std::mt19937 rng(7);
        auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        auto random_flags = [&] {
            ulong_t f = 0;
            const int kind = pick(100);
            if (kind < 3)
                f = SCHED_IMMEDIATE | SCHED_RESCHEDULE;
            else if (kind < 8)
                f = SCHED_IMMEDIATE;
            else if (kind < 40)
                f = SCHED_RESCHEDULE;
            return f | (pick(10) == 0 ? SCHED_PRIORITY : 0);
        };
        model.resize(1);
        int next_id = 1;
        for (; next_id < 3000; ++next_id) {
            model.resize(static_cast<size_t>(next_id) + 1);
            model[static_cast<size_t>(next_id)].rearm = pick(10) == 0 ? pick(4) : -1;
            schedule(next_id, random_flags(), static_cast<ulong_t>(pick(30)));
        }
        for (int pass = 0; pass < 60; ++pass) {
            schedule(kStopper, SCHED_IMMEDIATE, 0);
            model_order.clear();
            model_walk(model_pri);
            model_walk(model_reg);
            ran_order.clear();
            sched_loop();
            REQUIRE(ran_order == model_order);
            REQUIRE(ids_of(SchedPriTasks) == model_pri && ids_of(SchedTasks) == model_reg);
            REQUIRE(ids_of(SchedDoneTasks) == model_done);
            // Between passes: time goes on, and tasks are moved, revived,
            // retired and added.
            advance(pick(3) * 1'000'000LL);
            for (int op = 0; op < 40; ++op) {
                const int action = pick(4);
                if (action == 0 && !model_reg.empty()) {
                    const int id = model_reg[static_cast<size_t>(pick(static_cast<int>(model_reg.size())))];
                    SchedTask *task = sched_find_task(model_run, &ids[id], nullptr, 3);
                    REQUIRE(task);
                    sched_move_to_end(task);
                    ModelTask &m = model[static_cast<size_t>(id)];
                    m.last_sched = now_secs();
                    model_reg.erase(std::find(model_reg.begin(), model_reg.end(), id));
                    model_reg.push_back(id);
                } else if (action == 1 && !model_done.empty()) {
                    const int id = model_done[static_cast<size_t>(pick(static_cast<int>(model_done.size())))];
                    if (id != kStopper)
                        schedule(id, random_flags(), static_cast<ulong_t>(pick(30)));
                } else if (action == 2 && !model_reg.empty()) {
                    const int id = model_reg[static_cast<size_t>(pick(static_cast<int>(model_reg.size())))];
                    REQUIRE(sched_remove_task(model_run, &ids[id], nullptr, 3) == 0);
                    model_reg.erase(std::find(model_reg.begin(), model_reg.end(), id));
                    model[static_cast<size_t>(id)].flags = SCHED_DONE;
                    model[static_cast<size_t>(id)].time_val = 0;
                    model_done.push_back(id);
                } else if (action == 3 && next_id < kMostTasks) {
                    model.resize(static_cast<size_t>(next_id) + 1);
                    schedule(next_id++, random_flags(), static_cast<ulong_t>(pick(30)));
                }
            }
        }
        for (int id : model_reg) {
            const SchedTask *task = sched_find_task(model_run, &ids[id], nullptr, 3);
            const ModelTask &m = model[static_cast<size_t>(id)];
            REQUIRE(task->flags == m.flags && task->time_val == m.time_val &&
                    task->debug.last_sched == m.last_sched);
        }
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
