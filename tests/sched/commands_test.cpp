// The scheduler's console commands under a scripted clock: registration, exact listings, debug switch.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child.h"
#include "command_capture.h"
#include "fake_clock.h"
#include "znsched.h"

using zntest::report;
using zntest::run_in_child;

namespace {

using zntest::capture_add;
using zntest::capture_print;
using zntest::printed;
using zntest::Registered;
using zntest::registered;

// Runs a registered command with the words given; its result and output.
std::string run(const std::vector<std::string> &words, int *result = nullptr) {
    const zntest::CommandRun run = zntest::run_command(words);
    if (result && run.found)
        *result = run.result;
    return run.output;
}

void setup() {
    sched_init();
    sched_register_cmds(capture_add, capture_print);
}

char name_a[] = "alpha";
char name_b[] = "beta";
char name_c[] = "gamma";
char name_d[] = "delta";
void nothing(void *) {}

const std::string listing_head =
    "Note: Use tasks <task id> for detailed information, or\n"
    "      Use tasks -a to see all tasks including done tasks\n"
    "Current tasks scheduled:\n\n"
    "TID               Flags    Left    Name\n"
    "0                         0s      Idle Task\n";

TEST(SchedCommands, RegisteredInOrderWithTheirTexts) {
    auto child = run_in_child([] {
        setup();
        for (const Registered &r : registered())
            report(r.cmd + "|" + r.usage + "|" + r.desc + "|" + std::to_string(r.flags) + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "tasks|<task id>|Show tasks currently scheduled|0\n"
                            "sockets|(null)|Show all sockets currently registered|0\n"
                            "sched-debug|<on|max|off>|Toggles Scheduler debugging|0\n");
}

TEST(SchedCommands, TasksListsIdleThenEveryListInOrder) {
    auto child = run_in_child([] {
        setup();
        sched_task(nothing, nullptr, SCHED_RESCHEDULE, 10, name_a);
        sched_task(nothing, nullptr, SCHED_PRIORITY | SCHED_IMMEDIATE, 0, name_c);
        sched_cleanup(name_b, nothing, nullptr);
        sched_task(nothing, nullptr, 0, 5, name_b);
        sched_task(nothing, nullptr, 0, 5, name_d);
        SchedTasks->debug.last_sched -= 4;     // periodic, last run 4 s ago: 6 s left
        SchedTasks_end->debug.last_sched -= 8; // due 3 s ago
        sched_remove_task(nothing, nullptr, name_b, SCHED_MATCH_NAME);
        report(run({"tasks"}) + "=\n" + run({"tasks", "-a"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const std::string rows = "2                 PI      0s      gamma\n1                 R       6s      alpha\n5                         -3s     delta\n3                 C       0s      beta\n";
    EXPECT_EQ(child.output, listing_head + rows + "=\n" + listing_head + rows +
                                "4                 D       0s      beta\n");
}

TEST(SchedCommands, DoneTasksOnlyWithDashA) {
    auto child = run_in_child([] {
        setup();
        sched_task(nothing, nullptr, 0, 5, name_a);
        sched_remove_task(nothing, nullptr, name_a, SCHED_MATCH_NAME);
        report(run({"tasks"}) + "=\n" + run({"tasks", "-a"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, listing_head + "=\n" + listing_head + "1                 D       0s      alpha\n");
}

std::string stamp(long long secs) {
    const time_t t = static_cast<time_t>(secs);
    return ctime(&t);
}

TEST(SchedCommands, TaskDetailWithDurationBreakdown) {
    auto child = run_in_child([] {
        setup();
        sched_task(nothing, nullptr, SCHED_RESCHEDULE | SCHED_PRIORITY, 10, name_a);
        SchedTask *t = SchedPriTasks;
        t->debug.total_time = {90061, 2003};
        t->debug.last_time = {61, 999999};
        t->debug.times_ran = 7;
        t->debug.last_ran = t->debug.time_sched - 1;
        int result = 9;
        report(run({"tasks", "1"}, &result));
        REQUIRE(result == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const long long now = fake_usecs / 1'000'000;
    EXPECT_EQ(child.output, "TASK ID 1: alpha\n"
                            "   Flags                : PRIORITY RESCHEDULE\n"
                            "   Time Value           : 10s\n"
                            "   Time Scheduled       : " + stamp(now) +
                            "   Last Scheduled       : " + stamp(now) +
                            "   Time Left            : 10s\n"
                            "   Last Ran             : " + stamp(now - 1) +
                            "   Times Ran            : 7\n"
                            "   Last Time in handler : 0d, 0h, 1m, 1s, 999ms, 999us\n"
                            "   Total time in handler: 1d, 1h, 1m, 1s, 2ms, 3us\n");
}

TEST(SchedCommands, IdleRecordDetailHasNoLastTimeLine) {
    auto child = run_in_child([] {
        setup();
        SchedIdle.debug.total_time = {3, 5000};
        const std::string zero = run({"tasks", "0"});
        REQUIRE(zero == run({"tasks", "idle"})); // not a number reads as 0
        report(zero);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const long long now = fake_usecs / 1'000'000;
    EXPECT_EQ(child.output, "TASK ID 0: Idle Task\n"
                            "   Flags                :\n"
                            "   Time Value           : 0s\n"
                            "   Time Scheduled       : " + stamp(now) +
                            "   Last Scheduled       : " + stamp(now) +
                            "   Time Left            : 0s\n"
                            "   Last Ran             : Never\n"
                            "   Times Ran            : 0\n"
                            "   Total time in handler: 0d, 0h, 0m, 3s, 5ms, 0us\n");
}

TEST(SchedCommands, BadAndUnknownTaskNumbers) {
    auto child = run_in_child([] {
        setup();
        for (const char *arg : {"-1", "77", "99999999999999999999"}) {
            int result = 9;
            const std::string out = run({"tasks", arg}, &result);
            report(out + std::to_string(result) + "|");
        }
        int result = 9;
        run({"tasks", "1", "2"}, &result);
        report(std::to_string(result));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "Bad Task ID specified\n-1|That Task ID was not found.\n0|"
                            "That Task ID was not found.\n0|-1");
}

char name_fd[] = "the pipe";
void nothing_fd(int, void *, int, int, int) {}

TEST(SchedCommands, SocketsListsTheRegistry) {
    auto child = run_in_child([] {
        setup();
        int p[2];
        REQUIRE(pipe(p) == 0);
        sched_add_fd(p[0], nothing_fd, nullptr, SCHED_FD_READ | SCHED_FD_EXCEPT, name_fd);
        sched_add_fd(p[1], nothing_fd, nullptr, SCHED_FD_WRITE, name_fd);
        sched_find_fd(p[0])->debug.reads = 12;
        report(std::to_string(p[0]) + " " + std::to_string(p[1]) + "\n");
        // The last line names the back end in use.
        REQUIRE(sched_set_backend(SCHED_BACKEND_SELECT) == 0);
        report(run({"sockets", "x"}));
        REQUIRE(sched_set_backend(SCHED_BACKEND_EPOLL) == 0);
        report(run({"sockets"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    const auto nl = child.output.find('\n');
    int r = -1, w = -1;
    sscanf(child.output.c_str(), "%d %d", &r, &w);
    char rows[256];
    snprintf(rows, sizeof rows, "%-6d   RE      12           0            0            the pipe\n"
                                "%-6d   W       0            0            0            the pipe\n", r, w);
    const std::string listing = std::string("Registered Sockets:\n"
                                            "Socket   Flags   Reads        Writes       Exceptions   Name\n") +
                                rows;
    EXPECT_EQ(child.output.substr(nl + 1),
              listing + "Back end: select\n" + listing + "Back end: epoll\n");
}

int debug_result;
std::vector<std::string> debug_words;

// A descriptor handler that runs sched-debug, so that current_fd is set.
void run_debug(int, void *, int, int, int) {
    run(debug_words, &debug_result);
    sched_stop_loop();
}

TEST(SchedCommands, DebugSwitchTakesTheDispatchedDescriptor) {
    auto child = run_in_child([] {
        setup();
        int result = 9;
        for (auto words : std::vector<std::vector<std::string>>{
                 {"sched-debug"}, {"sched-debug", "ON"}, {"sched-debug", "on", "x"}, {"sched-debug", "on"}}) {
            REQUIRE(run(words, &result).empty() && result == -1);
        }
        REQUIRE(sched_debug_flag == 0 && sched_debug_fd == -1);
        int sv[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
        sched_add_fd(sv[0], run_debug, nullptr, SCHED_FD_WRITE, name_fd);
        debug_words = {"sched-debug", "max"};
        sched_loop();
        REQUIRE(debug_result == 0 && sched_debug_flag == 2 && sched_debug_fd == sv[0]);
        report(printed());
        report(run({"sched-debug", "off"}, &result));
        REQUIRE(result == 0 && sched_debug_flag == 0 && sched_debug_fd == -1);
        sched_set_debug(0, -1);
        debug_words = {"sched-debug", "on"};
        sched_loop();
        REQUIRE(sched_debug_flag == 1 && sched_debug_fd == sv[0]);
        report(printed());
        sched_set_debug(0, -1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "Scheduler Debugging, Maximum Level, is now enabled\n"
                            "Scheduler Debugging is now disabled\n"
                            "Scheduler Debugging is now enabled\n");
}

} // namespace
