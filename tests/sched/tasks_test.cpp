// Task records: TIDs, revival, finding, removal and re-arming, each case in a fresh child.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "child.h"
#include "znsched.h"

using zntest::report;
using zntest::run_in_child;

namespace {

char name_a[] = "task a";
char name_b[] = "task b";
char name_stop[] = "stopper";

std::string trail; // what handlers did, in order (inside the child)

void note(void *arg) { trail += static_cast<const char *>(arg); }
void stop_loop(void *) { sched_stop_loop(); }

// Runs one pass-group: schedules a loop stopper as the last regular task,
// so the loop returns after the tasks due now have run.
void run_one_pass() {
    sched_task(stop_loop, nullptr, SCHED_IMMEDIATE, 0, name_stop);
    sched_loop();
}

TEST(Tasks, TidsStartAtOneAndCleanupTakesTheNext) {
    auto child = run_in_child([] {
        sched_init();
        REQUIRE(sched_task(note, (void *)"a", 0, 100, name_a) == 0);
        REQUIRE(sched_cleanup(name_b, note, (void *)"b") == 0);
        SchedTask *first = sched_find_task_by_tid(1);
        SchedTask *cleanup = sched_find_task_by_tid(2);
        REQUIRE(first && first->task_name == (uchar_t *)name_a);
        REQUIRE(first->flags == 0 && first->time_val == 100);
        REQUIRE(cleanup && cleanup->flags == SCHED_CLEANUP && cleanup->time_val == 0);
        REQUIRE(SchedNextTID == 3);
        REQUIRE(sched_find_task_by_tid(0) == nullptr); // the idle record is on no list
        REQUIRE(sched_find_task_by_tid(-1) == nullptr);
        REQUIRE(num_SchedTasks == 1 && num_SchedCleanupTasks == 1);
        // Clean-up tasks are invisible to the active-list operations.
        REQUIRE(sched_find_task(note, (void *)"b", nullptr, 3) == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, OneShotRetiresToDoneListAndRevivesWithSameTid) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(note, (void *)"a", SCHED_IMMEDIATE, 0, name_a);
        run_one_pass();
        REQUIRE(trail == "a");
        SchedTask *done = sched_find_task_by_tid(1);
        REQUIRE(done && done->flags == SCHED_DONE && done->time_val == 0);
        REQUIRE(sched_find_task(note, (void *)"a", name_a, 7) == nullptr);
        REQUIRE(sched_find_done_task(note, (void *)"a", name_a, 7) == done);
        REQUIRE(done->debug.times_ran == 1);

        // Same function, argument and name: the same record comes back.
        REQUIRE(sched_task(note, (void *)"a", SCHED_PRIORITY, 5, name_a) == 0);
        REQUIRE(sched_find_task(note, (void *)"a", name_a, 7) == done);
        REQUIRE(done->flags == SCHED_PRIORITY && done->time_val == 5);
        REQUIRE(num_SchedPriTasks == 1 && SchedDoneTasks != done);
        sched_remove_task(note, (void *)"a", name_a, 7);
        sched_task(note, (void *)"a", SCHED_IMMEDIATE, 0, name_a);
        run_one_pass();
        REQUIRE(done->debug.times_ran == 2 && done->tid == 1);

        // A different name makes a new record with a new TID.
        const ulong_t next = SchedNextTID;
        sched_task(note, (void *)"a", 0, 50, name_b);
        SchedTask *other = sched_find_task(note, (void *)"a", name_b, 7);
        REQUIRE(other && other != done && other->tid == next);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, RevivalTakesTheFirstDoneRecordOfTheTriple) {
    auto child = run_in_child([] {
        sched_init();
        // Two active records of one triple, both retired: the done list holds
        // both, and revival takes them in done-list order.
        sched_task(note, (void *)"x", 0, 100, name_a);
        sched_task(note, (void *)"x", 0, 100, name_a);
        REQUIRE(num_SchedTasks == 2);
        SchedTask *first = SchedTasks, *second = SchedTasks->next;
        REQUIRE(first->tid != second->tid);
        sched_remove_task(note, (void *)"x", name_a, 7); // retires first
        sched_remove_task(note, (void *)"x", name_a, 7); // then second
        REQUIRE(SchedDoneTasks == first && SchedDoneTasks_end == second);
        sched_task(note, (void *)"x", 0, 100, name_a);
        REQUIRE(SchedTasks == first && SchedDoneTasks == second);
        sched_task(note, (void *)"x", 0, 100, name_a);
        REQUIRE(SchedTasks_end == second && SchedDoneTasks == nullptr);
        // Many distinct triples revive independently of each other.
        static int args[3000];
        for (int &a : args)
            sched_task(note, &a, 0, 100, name_b);
        for (int &a : args)
            sched_remove_task(note, &a, name_b, 7);
        const ulong_t next = SchedNextTID;
        for (int i = 2999; i >= 0; --i) {
            sched_task(note, &args[i], 0, 100, name_b);
            REQUIRE(SchedTasks_end->arg == &args[i] && SchedTasks_end->tid == ulong_t(i + 3));
        }
        REQUIRE(SchedNextTID == next && SchedDoneTasks == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, RemoveMatchesPriorityListFirstAndMatchZeroTakesAny) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(note, (void *)"r", 0, 100, name_a);
        sched_task(note, (void *)"r", SCHED_PRIORITY, 100, name_b);
        sched_task(note, (void *)"s", 0, 100, name_b);
        REQUIRE(sched_remove_task(note, (void *)"r", nullptr, 3) == 0);
        REQUIRE(num_SchedPriTasks == 0 && num_SchedTasks == 2);
        REQUIRE(SchedDoneTasks->task_name == (uchar_t *)name_b);
        // A null name never restricts the match, even with the name bit.
        REQUIRE(sched_find_task(note, (void *)"s", nullptr, 7) != nullptr);
        REQUIRE(sched_find_task(note, (void *)"s", name_a, 7) == nullptr);
        REQUIRE(sched_remove_task(nullptr, nullptr, nullptr, 0) == 0);
        REQUIRE(strcmp(static_cast<const char *>(SchedTasks->arg), "s") == 0);
        REQUIRE(sched_remove_task(note, (void *)"zz", nullptr, 3) == -2);
        REQUIRE(sched_remove_task(nullptr, nullptr, nullptr, 0) == 0);
        REQUIRE(sched_remove_task(nullptr, nullptr, nullptr, 0) == -2);
        REQUIRE(num_SchedTasks == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, NullNamesCompareSafely) {
    auto child = run_in_child([] {
        sched_init();
        REQUIRE(sched_task(note, (void *)"n", SCHED_IMMEDIATE, 0, nullptr) == 0);
        run_one_pass();
        REQUIRE(sched_find_done_task(note, (void *)"n", nullptr, 7) != nullptr);
        REQUIRE(sched_find_done_task(note, (void *)"n", name_a, 7) == nullptr);
        REQUIRE(sched_find_done_task(note, (void *)"n", name_a, 3) != nullptr);
        // Revived by the null-named triple, not by a named one.
        sched_task(note, (void *)"n", 0, 9, name_a);
        REQUIRE(SchedTasks->tid != 1);
        sched_task(note, (void *)"n", 0, 9, nullptr);
        REQUIRE(SchedTasks_end->tid == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void rearm_immediately(void *) {
    trail += "i";
    if (trail.size() < 3)
        REQUIRE(sched_reschedule(0) == 0);
    else
        REQUIRE(sched_reschedule(60) == 0);
}

TEST(Tasks, RescheduleZeroRunsInEveryPassUntilRearmedWithTime) {
    auto child = run_in_child([] {
        sched_init();
        REQUIRE(sched_reschedule(0) == -2); // no task running
        sched_task(rearm_immediately, nullptr, 0, 0, name_a);
        run_one_pass();
        // Re-queued behind the stopper and due at once, it still waits for
        // the next pass: a task runs at most once per walk.
        REQUIRE(trail == "i");
        SchedTask *task = sched_find_task(rearm_immediately, nullptr, nullptr, 1);
        REQUIRE(task && (task->flags & SCHED_IMMEDIATE) && !(task->flags & SCHED_RESCHEDULED));
        run_one_pass();
        REQUIRE(trail == "ii");
        run_one_pass();
        REQUIRE(trail == "iii");
        REQUIRE(task->time_val == 60 && !(task->flags & SCHED_IMMEDIATE));
        run_one_pass();
        REQUIRE(trail == "iii");
        REQUIRE(sched_find_task(rearm_immediately, nullptr, nullptr, 1) == task);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void periodic_stops(void *) {
    trail += "p";
    REQUIRE(sched_stop() == 0);
}

TEST(Tasks, StopEndsAPeriodicTaskAndWorksOutsideHandlers) {
    auto child = run_in_child([] {
        REQUIRE(sched_stop() == -1);
        sched_init();
        REQUIRE(sched_stop() == 0);
        sched_task(periodic_stops, nullptr, SCHED_RESCHEDULE | SCHED_IMMEDIATE, 0, name_a);
        run_one_pass();
        run_one_pass();
        REQUIRE(trail == "p");
        REQUIRE(SchedDoneTasks && SchedDoneTasks->task_ptr == periodic_stops);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void retire_self_and_next(void *) {
    trail += "s";
    REQUIRE(sched_remove_task(retire_self_and_next, nullptr, nullptr, 1) == 0);
    REQUIRE(sched_remove_task(note, (void *)"n", nullptr, 3) == 0);
}

TEST(Tasks, HandlerRetiringItselfAndItsSuccessorIsNotRetiredTwice) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(retire_self_and_next, nullptr, SCHED_IMMEDIATE, 0, name_a);
        sched_task(note, (void *)"n", SCHED_IMMEDIATE, 0, name_b);
        sched_task(note, (void *)"m", SCHED_IMMEDIATE, 0, name_b);
        run_one_pass();
        // The walk resumes after the retired pair; nothing on the done list runs.
        REQUIRE(trail == "sm");
        REQUIRE(SchedDoneTasks->task_ptr == retire_self_and_next);
        REQUIRE(SchedDoneTasks->flags == SCHED_DONE);
        int done = 0;
        for (SchedTask *t = SchedDoneTasks; t; t = t->next)
            ++done;
        REQUIRE(done == 4); // self, "n", "m", the stopper
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void revive_self(void *) {
    trail += "v";
    sched_remove_task(revive_self, nullptr, nullptr, 1);
    if (trail.size() < 2)
        sched_task(revive_self, nullptr, SCHED_IMMEDIATE, 0, name_a);
}

TEST(Tasks, HandlerThatRetiresAndRevivesItselfKeepsTheNewSchedule) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(revive_self, nullptr, SCHED_IMMEDIATE, 0, name_a);
        run_one_pass();
        REQUIRE(trail == "v"); // revived at the tail, it waits for the next pass
        REQUIRE(num_SchedTasks == 1 && SchedTasks->task_ptr == revive_self);
        run_one_pass();
        REQUIRE(trail == "vv");
        REQUIRE(num_SchedTasks == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, MoveToEndRestampsEvenTheTail) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(note, (void *)"1", 0, 100, name_a);
        sched_task(note, (void *)"2", 0, 100, name_a);
        SchedTask *first = SchedTasks, *second = SchedTasks_end;
        second->debug.last_sched = 5;
        sched_move_to_end(second);
        REQUIRE(second->debug.last_sched > 5 && SchedTasks_end == second);
        sched_move_to_end(first);
        REQUIRE(SchedTasks == second && SchedTasks_end == first && first->prev == second);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, CleanupFlagThroughSchedTaskRunsEveryPassAndStaysActive) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(note, (void *)"c", SCHED_CLEANUP, 100, name_a);
        run_one_pass();
        run_one_pass();
        REQUIRE(trail == "cc");
        REQUIRE(num_SchedTasks == 1 && SchedTasks->flags == SCHED_CLEANUP);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, PriorityTasksRunBeforeRegularOnes) {
    auto child = run_in_child([] {
        sched_init();
        sched_task(note, (void *)"r1", SCHED_IMMEDIATE, 0, name_a);
        sched_task(note, (void *)"P", SCHED_IMMEDIATE | SCHED_PRIORITY, 0, name_a);
        sched_task(note, (void *)"r2", 0, 0, name_a);
        sched_task(note, (void *)"later", 0, 1000, name_a);
        run_one_pass();
        REQUIRE(trail == "Pr1r2");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Tasks, CallsBeforeInitFailWithTheirLines) {
    auto child = run_in_child([] {
        sched_set_debug(1, zntest::report_fd());
        REQUIRE(sched_task(note, nullptr, 0, 0, name_a) == -1);
        REQUIRE(sched_cleanup(name_a, note, nullptr) == -1);
        REQUIRE(sched_stop() == -1);
        REQUIRE(sched_reschedule(3) == -2);
        REQUIRE(sched_find_task(nullptr, nullptr, nullptr, 0) == nullptr);
        REQUIRE(sched_remove_task(nullptr, nullptr, nullptr, 0) == -2);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output,
              "sched_task: Called before initialized\n"
              "sched_cleanup: Called before initialized\n"
              "sched_stop: Called before initialized\n");
}

} // namespace
