// commands.cpp -- the scheduler's console commands: "tasks", "sockets" and "sched-debug".
//
// The scheduler does not link against the console: the console hands over
// its registration and printing functions through sched_register_cmds, and
// every line below goes out through the stored printing function.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "backend.h"

namespace {

// Formats here (so that the formats are checked) and hands the finished
// text to the console's printing function.
__attribute__((format(printf, 1, 2))) void print(const char *fmt, ...) {
    if (!sched_printf)
        return;
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    sched_printf(const_cast<char *>("%s"), text);
}

const char *name_of(const SchedTask *task) {
    return task->task_name ? reinterpret_cast<const char *>(task->task_name) : "(null)";
}

// Seconds until the task is due (negative when overdue); 0 for a task
// without delay. Unsigned arithmetic wraps, the signed view gives the sign.
long seconds_left(const SchedTask *task, ulong_t tm_now) {
    if (task->time_val == 0)
        return 0;
    return static_cast<long>(task->time_val + task->debug.last_sched - tm_now);
}

std::string flag_letters(ulong_t flags) {
    std::string letters;
    for (auto [bit, letter] : {std::pair{SCHED_PRIORITY, 'P'}, {SCHED_IMMEDIATE, 'I'},
                               {SCHED_RESCHEDULE, 'R'}, {SCHED_CLEANUP, 'C'}, {SCHED_DONE, 'D'}})
        if (flags & bit)
            letters += letter;
    return letters;
}

std::string flag_words(ulong_t flags) {
    std::string words;
    for (auto [bit, word] : {std::pair{SCHED_PRIORITY, " PRIORITY"}, {SCHED_IMMEDIATE, " IMMEDIATE"},
                             {SCHED_RESCHEDULE, " RESCHEDULE"}, {SCHED_CLEANUP, " CLEANUP"},
                             {SCHED_DONE, " DONE"}})
        if (flags & bit)
            words += word;
    return words;
}

void print_row(const SchedTask *task, ulong_t tm_now) {
    char left[32];
    snprintf(left, sizeof left, "%lds", seconds_left(task, tm_now));
    print("%-15d   %-5s   %-5s   %s\n", static_cast<int>(task->tid),
          flag_letters(task->flags).c_str(), left, name_of(task));
}

void print_listing(const char *word, bool with_done, ulong_t tm_now) {
    print("Note: Use %s <task id> for detailed information, or\n", word);
    print("      Use %s -a to see all tasks including done tasks\n", word);
    print("Current tasks scheduled:\n\n");
    print("%-15s   %-6s   %-5s   %s\n", "TID", "Flags", "Left", "Name");
    print_row(&SchedIdle, tm_now);
    for (SchedTask *head : {SchedPriTasks, SchedTasks, SchedCleanupTasks,
                            with_done ? SchedDoneTasks : nullptr})
        for (const SchedTask *task = head; task; task = task->next)
            print_row(task, tm_now);
}

// ctime()'s text (ending in a newline), or a marker for an unusable stamp.
const char *stamp_text(ulong_t stamp) {
    const time_t when = static_cast<time_t>(stamp);
    const char *text = ctime(&when);
    return text ? text : "?\n";
}

// "Nd, Nh, Nm, Ns, Nms, Nus" of a duration, by truncating division.
void print_duration(const char *label, const SchedTime &t) {
    const long minutes_total = t.secs / 60, hours_total = minutes_total / 60;
    print("%s%ldd, %ldh, %ldm, %lds, %dms, %dus\n", label, hours_total / 24, hours_total % 24,
          minutes_total % 60, t.secs % 60, static_cast<int>(t.usecs / 1000),
          static_cast<int>(t.usecs % 1000));
}

// atoi() without its overflow: text that is no number reads as 0, and
// numbers beyond int are clamped.
int task_number(const char *text) {
    const long n = strtol(text, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

int print_detail(const char *arg, ulong_t tm_now) {
    const int tid = task_number(arg);
    if (tid < 0) {
        print("Bad Task ID specified\n");
        return -1;
    }
    const SchedTask *task = tid == 0 ? &SchedIdle : sched_find_task_by_tid(tid);
    if (!task) {
        print("That Task ID was not found.\n");
        return 0;
    }
    const SchedDebug &d = task->debug;
    print("TASK ID %d: %s\n", tid, name_of(task));
    print("   Flags                :%s\n", flag_words(task->flags).c_str());
    print("   Time Value           : %lds\n", static_cast<long>(task->time_val));
    print("   Time Scheduled       : %s", stamp_text(d.time_sched));
    print("   Last Scheduled       : %s", stamp_text(d.last_sched));
    print("   Time Left            : %lds\n", seconds_left(task, tm_now));
    print("   Last Ran             : %s", d.last_ran ? stamp_text(d.last_ran) : "Never\n");
    print("   Times Ran            : %d\n", static_cast<int>(d.times_ran));
    // The idle record's last_time is a time stamp, not a duration.
    if (tid != 0)
        print_duration("   Last Time in handler : ", d.last_time);
    print_duration("   Total time in handler: ", d.total_time);
    return 0;
}

int sched_cmd_tasks(int argc, char **argv) {
    const auto tm_now = static_cast<ulong_t>(time(nullptr));
    const bool all = argc == 2 && strcmp(argv[1], "-a") == 0;
    if (argc <= 1 || all) {
        print_listing(argv[0], all, tm_now);
        return 0;
    }
    if (argc > 2)
        return -1;
    return print_detail(argv[1], tm_now);
}

std::string fd_flag_letters(ulong_t flags) {
    std::string letters;
    for (auto [bit, letter] :
         {std::pair{SCHED_FD_READ, 'R'}, {SCHED_FD_WRITE, 'W'}, {SCHED_FD_EXCEPT, 'E'}})
        if (flags & bit)
            letters += letter;
    return letters;
}

int sched_cmd_sockets(int, char **) {
    print("Registered Sockets:\n");
    print("%-6s   %-5s   %-10s   %-10s   %-10s   %s\n", "Socket", "Flags", "Reads", "Writes",
          "Exceptions", "Name");
    for (const SchedFD *rec = SchedFDs; rec; rec = rec->next)
        print("%-6d   %-5s   %-10d   %-10d   %-10d   %s\n", rec->fd,
              fd_flag_letters(rec->flags).c_str(), static_cast<int>(rec->debug.reads),
              static_cast<int>(rec->debug.writes), static_cast<int>(rec->debug.exceptions),
              rec->name);
    print("Back end: %s\n", sched_backend().name());
    return 0;
}

// "on" and "max" send the lines to the typing user's descriptor; without a
// dispatched descriptor there is none to take, and nothing changes.
int sched_cmd_debug(int argc, char **argv) {
    if (argc != 2)
        return -1;
    const char *word = argv[1];
    if (strcmp(word, "off") == 0) {
        sched_set_debug(0, -1);
        print("Scheduler Debugging is now disabled\n");
        return 0;
    }
    const bool on = strcmp(word, "on") == 0, max = strcmp(word, "max") == 0;
    if ((!on && !max) || !current_fd)
        return -1;
    sched_set_debug(max ? 2 : 1, current_fd->fd);
    print(max ? "Scheduler Debugging, Maximum Level, is now enabled\n"
              : "Scheduler Debugging is now enabled\n");
    return 0;
}

char word_tasks[] = "tasks", usage_tasks[] = "<task id>",
     desc_tasks[] = "Show tasks currently scheduled";
char word_sockets[] = "sockets", desc_sockets[] = "Show all sockets currently registered";
char word_debug[] = "sched-debug", usage_debug[] = "<on|max|off>",
     desc_debug[] = "Toggles Scheduler debugging";

} // namespace

void sched_register_cmds(int (*add_cmd)(char *, char *, char *, int (*)(int, char **), ulong_t),
                         int (*print_func)(char *fmt, ...)) {
    add_cmd(word_tasks, usage_tasks, desc_tasks, sched_cmd_tasks, 0);
    add_cmd(word_sockets, nullptr, desc_sockets, sched_cmd_sockets, 0);
    add_cmd(word_debug, usage_debug, desc_debug, sched_cmd_debug, 0);
    sched_printf = print_func;
}
