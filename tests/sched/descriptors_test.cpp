// The descriptor registry and dispatch over real pipes and socketpairs, under both back ends.
#include <gtest/gtest.h>

#include <sys/select.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "backends.h"
#include "child.h"
#include "znsched.h"

using zntest::init_on;
using zntest::report;
using zntest::run_in_child;

namespace {

// Every case runs under each back end: the dispatch rules are the same.
class Descriptors : public testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Backend, Descriptors, zntest::each_backend(), zntest::backend_name);

char name_a[] = "first";
char name_b[] = "second";
char name_task[] = "stopper";

void stop_loop_task(void *) { sched_stop_loop(); }

// Runs the loop for one pass of descriptor dispatch, then returns.
void run_one_pass() {
    sched_task(stop_loop_task, nullptr, SCHED_IMMEDIATE, 0, name_task);
    sched_loop();
}

// A socketpair whose first end is readable (a byte waits) and writable.
int ready_socket() {
    int sv[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    REQUIRE(write(sv[1], "x", 1) == 1);
    return sv[0];
}

void record_call(int fd, void *arg, int r, int w, int e) {
    report(std::string(static_cast<const char *>(arg)) + " r=" + std::to_string(r) + " w=" + std::to_string(w) + " e=" + std::to_string(e) +
           (current_fd && current_fd->fd == fd && !current ? " current\n" : " WRONG\n"));
}

TEST_P(Descriptors, ReadableAndWritableMeansOneCallWithBothFlags) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        const int fd = ready_socket();
        REQUIRE(sched_add_fd(fd, record_call, (void *)"rw", 7, name_a) == 0);
        run_one_pass();
        SchedFD *rec = sched_find_fd(fd);
        REQUIRE(rec->debug.reads == 1 && rec->debug.writes == 1 && rec->debug.exceptions == 0);
        REQUIRE(rec->debug.times_ran == 1 && rec->debug.last_ran != 0);
        REQUIRE(current_fd == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "rw r=1 w=1 e=0 current\n");
}

TEST_P(Descriptors, DispatchFollowsRegistrationOrderAndCurrentFlags) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        const int a = ready_socket(), b = ready_socket(), c = ready_socket();
        sched_add_fd(b, record_call, (void *)"b", SCHED_FD_WRITE, name_b);
        sched_add_fd(a, record_call, (void *)"a", SCHED_FD_READ, name_a);
        sched_add_fd(c, record_call, (void *)"c", 0, name_a); // never dispatched
        run_one_pass();
        REQUIRE(sched_fd_flags(b, 0) == 0);
        run_one_pass(); // only "a" this time
        REQUIRE(sched_find_fd(c)->debug.times_ran == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "b r=0 w=1 e=0 current\n"
                            "a r=1 w=0 e=0 current\n"
                            "a r=1 w=0 e=0 current\n");
}

std::vector<int> fds_to_remove; // handler arguments: which descriptors to drop

void remove_listed(int fd, void *arg, int, int, int) {
    report(std::string(static_cast<const char *>(arg)) + "\n");
    for (int victim : fds_to_remove)
        sched_remove_fd(victim);
    fds_to_remove.clear();
    (void)fd;
}

// Three ready descriptors a, b, c; a's handler removes the ones chosen by
// pick (given a, b, c). Returns the child's report of the handlers called.
std::string run_with_removals(int backend, std::vector<int> (*pick)(int a, int b, int c),
                              int expect_left) {
    auto child = run_in_child([backend, pick, expect_left] {
        init_on(backend);
        const int a = ready_socket(), b = ready_socket(), c = ready_socket();
        sched_add_fd(a, remove_listed, (void *)"a", SCHED_FD_READ, name_a);
        sched_add_fd(b, remove_listed, (void *)"b", SCHED_FD_READ, name_a);
        sched_add_fd(c, remove_listed, (void *)"c", SCHED_FD_READ, name_a);
        fds_to_remove = pick(a, b, c);
        run_one_pass();
        REQUIRE(sched_find_fd(a) == nullptr && num_SchedFDs == expect_left);
        REQUIRE(sched_find_fd(c)->debug.times_ran == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    return child.output;
}

TEST_P(Descriptors, HandlerRemovingItselfRestartsTheWalkWithoutRepeats) {
    EXPECT_EQ(run_with_removals(GetParam(), [](int a, int, int) { return std::vector<int>{a}; }, 2),
              "a\nb\nc\n");
}

TEST_P(Descriptors, HandlerRemovingItsSuccessorNeverTouchesTheReleasedRecord) {
    // The successor first, then itself: b is never called.
    EXPECT_EQ(run_with_removals(GetParam(), [](int a, int b, int) { return std::vector<int>{b, a}; }, 1),
              "a\nc\n");
}

SchedFD saved;

// The takeover pattern of a module that borrows a descriptor: put the saved
// registration back from inside its own handler.
void borrowed_handler(int fd, void *, int, int, int) {
    report("borrowed\n");
    REQUIRE(sched_remove_fd(fd) == 0);
    REQUIRE(sched_fd_restore(fd, &saved) == 0);
}

TEST_P(Descriptors, SaveAndRestoreFromInsideTheHandlerKeepsStatistics) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        const int a = ready_socket(), b = ready_socket();
        sched_add_fd(a, record_call, (void *)"owner", SCHED_FD_READ | SCHED_FD_EXCEPT, name_a);
        sched_add_fd(b, record_call, (void *)"b", SCHED_FD_READ, name_b);
        REQUIRE(sched_fd_save(a, &saved) == 0);
        REQUIRE(sched_find_fd(a) == nullptr);
        REQUIRE(saved.fd == a && saved.handler == record_call);
        REQUIRE(sched_add_fd(a, borrowed_handler, nullptr, SCHED_FD_READ, name_b) == 0);
        run_one_pass();
        SchedFD *rec = sched_find_fd(a);
        // Back with the owner's handler, argument, flags and name, at the tail,
        // with the borrowed call's statistics recorded on it.
        REQUIRE(rec && rec->handler == record_call && strcmp(static_cast<const char *>(rec->arg), "owner") == 0);
        REQUIRE(rec->flags == (SCHED_FD_READ | SCHED_FD_EXCEPT));
        REQUIRE(strcmp(rec->name, name_a) == 0 && SchedFDs_end == rec);
        REQUIRE(rec->debug.times_ran == 1 && rec->debug.reads == 0);
        REQUIRE(sched_fd_restore(a, &saved) == -17);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "b r=1 w=0 e=0 current\nborrowed\n");
}

int renewed_fd, added_fd; // for renew_others

// Gives another ready descriptor a new registration under its number, and
// registers one that the wait did not report.
void renew_others(int, void *, int, int, int) {
    report("a\n");
    REQUIRE(sched_remove_fd(renewed_fd) == 0);
    REQUIRE(sched_add_fd(renewed_fd, record_call, (void *)"b anew", SCHED_FD_READ, name_b) == 0);
    REQUIRE(sched_add_fd(added_fd, record_call, (void *)"d", SCHED_FD_READ, name_b) == 0);
}

TEST_P(Descriptors, NumberRegisteredAnewDuringTheWalkIsCalledAtItsNewPlace) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        const int a = ready_socket(), b = ready_socket(), c = ready_socket();
        renewed_fd = b;
        added_fd = ready_socket();
        sched_add_fd(a, renew_others, nullptr, SCHED_FD_READ, name_a);
        sched_add_fd(b, record_call, (void *)"b", SCHED_FD_READ, name_a);
        sched_add_fd(c, record_call, (void *)"c", SCHED_FD_READ, name_a);
        run_one_pass();
        // The new record took b's condition after c; d waits for the next wait.
        REQUIRE(sched_find_fd(b)->debug.times_ran == 1 && sched_find_fd(b)->debug.reads == 1);
        REQUIRE(sched_find_fd(added_fd)->debug.times_ran == 0);
        REQUIRE(sched_find_fd(a)->debug.times_ran == 1 && sched_find_fd(c)->debug.times_ran == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "a\nc r=1 w=0 e=0 current\nb anew r=1 w=0 e=0 current\n");
}

TEST_P(Descriptors, RefusalsLeaveTheRegistryUnchanged) {
    auto child = run_in_child([backend = GetParam()] {
        REQUIRE(sched_fd_flags(0, 1) == -2); // before init: nothing registered
        REQUIRE(sched_add_fd(0, record_call, nullptr, 1, name_a) == -1);
        REQUIRE(sched_remove_fd(0) == -1);
        REQUIRE(sched_fd_save(0, &saved) == -1);
        REQUIRE(sched_fd_restore(0, &saved) == -1);
        init_on(backend);
        REQUIRE(sched_add_fd(0, record_call, (void *)"x", 1, name_a) == 0);
        REQUIRE(sched_add_fd(0, remove_listed, nullptr, 2, name_b) == -17);
        SchedFD *rec = sched_find_fd(0);
        REQUIRE(rec->handler == record_call && rec->flags == 1 && strcmp(static_cast<const char *>(rec->arg), "x") == 0);
        REQUIRE(sched_remove_fd(7) == -2);
        REQUIRE(sched_fd_flags(7, 1) == -2);
        REQUIRE(sched_fd_save(7, &saved) == -2);
        // Numbers the back end cannot watch (negative ones, ones that are not
        // open, and with select those beyond its sets) are refused and never
        // looked up.
        for (int bad : {-1, -1000, FD_SETSIZE, FD_SETSIZE + 5, 1 << 30}) {
            REQUIRE(sched_add_fd(bad, record_call, nullptr, 1, name_a) == -9);
            REQUIRE(sched_find_fd(bad) == nullptr);
            REQUIRE(sched_remove_fd(bad) == -2);
            REQUIRE(sched_fd_flags(bad, 1) == -2);
            REQUIRE(sched_fd_save(bad, &saved) == -2);
        }
        REQUIRE(num_SchedFDs == 1 && SchedFDs == rec);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST_P(Descriptors, NamesAreCopiedAndCut) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        std::string n127(127, 'n'), n300(300, 'm');
        REQUIRE(sched_add_fd(0, record_call, nullptr, 0, n127.data()) == 0);
        REQUIRE(sched_add_fd(1, record_call, nullptr, 0, n300.data()) == 0);
        REQUIRE(sched_add_fd(2, record_call, nullptr, 0, nullptr) == 0);
        n127[0] = 'X'; // the registry keeps its own copy
        REQUIRE(std::string(sched_find_fd(0)->name) == std::string(127, 'n'));
        REQUIRE(std::string(sched_find_fd(1)->name) == std::string(127, 'm'));
        REQUIRE(sched_find_fd(2)->name[0] == '\0');
        // A saved copy whose name fills the field is restored terminated.
        SchedFD copy;
        REQUIRE(sched_fd_save(1, &copy) == 0);
        memset(copy.name, 'z', sizeof copy.name);
        REQUIRE(sched_fd_restore(1, &copy) == 0);
        REQUIRE(std::string(sched_find_fd(1)->name) == std::string(127, 'z'));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void reschedule_from_fd(int fd, void *, int, int, int) {
    report(sched_reschedule(5) == -2 ? "refused\n" : "accepted\n");
    sched_remove_fd(fd);
}

TEST_P(Descriptors, RescheduleFromADescriptorHandlerIsRefused) {
    auto child = run_in_child([backend = GetParam()] {
        init_on(backend);
        sched_add_fd(ready_socket(), reschedule_from_fd, nullptr, SCHED_FD_READ, name_a);
        run_one_pass();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "refused\n");
}

void count_and_drain(int fd, void *arg, int, int, int) {
    char buf[64];
    if (read(fd, buf, sizeof buf) <= 0)
        sched_remove_fd(fd);
    ++*static_cast<int *>(arg);
}

TEST_P(Descriptors, ManyReadyDescriptorsAreEachCalledOncePerPass) {
    auto child = run_in_child([backend = GetParam()] {
        static int calls[600];
        init_on(backend);
        int registered = 0;
        for (int &count : calls) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || sv[1] >= FD_SETSIZE)
                break;
            REQUIRE(write(sv[1], "y", 1) == 1);
            if (sched_add_fd(sv[0], count_and_drain, &count, SCHED_FD_READ, name_a) != 0)
                break;
            ++registered;
        }
        REQUIRE(registered > 400);
        run_one_pass();
        for (int i = 0; i < registered; ++i)
            REQUIRE(calls[i] == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
