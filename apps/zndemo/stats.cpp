// stats.cpp -- zndemo's statistic: a periodic task samples the daemon's state; "stats" and the manager's status show it.
#include "stats.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "sample_db.h"
#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

namespace zndemo {

namespace {

struct Sample {
    time_t started = 0;       // when the statistic began
    time_t taken = 0;         // when this sample was taken
    unsigned long samples = 0;
    unsigned long users = 0;  // console users at the sample
    unsigned long peak_users = 0;
    double idle_share = 0;    // part of the run time the loop spent waiting
    long records = -1;        // records of the sample database; -1 when closed
};

Sample latest;
bool report_status = false;
char task_name[] = "Statistics";

double seconds_since(time_t start) {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec - start) + now.tv_usec / 1e6;
}

// The sample as the service manager's status line, for example
// "STATUS=console users: 2, sample records: 15, idle: 99.8%".
void send_status(const Sample &sample) {
    char line[160];
    if (sample.records >= 0)
        snprintf(line, sizeof line, "STATUS=console users: %lu, sample records: %ld, idle: %.1f%%", sample.users,
                 sample.records, sample.idle_share * 100);
    else
        snprintf(line, sizeof line, "STATUS=console users: %lu, sample database closed, idle: %.1f%%",
                 sample.users, sample.idle_share * 100);
    sched_notify(line);
}

// The task: first run in the loop's first pass, then every stats_period.
void take_sample(void *) {
    sched_reschedule(stats_period);
    latest.taken = time(nullptr);
    ++latest.samples;
    latest.users = CliDebug.total_users;
    latest.peak_users = std::max(latest.peak_users, latest.users);
    const SchedTime &idle = SchedIdle.debug.total_time;
    const double run = seconds_since(latest.started);
    latest.idle_share = run > 0 ? std::min(1.0, (idle.secs + idle.usecs / 1e6) / run) : 1.0;
    latest.records = db_records(sample_database());
    if (report_status)
        send_status(latest);
}

char *fmt(const char *text) { return const_cast<char *>(text); }

} // namespace

void start_statistics(bool status) {
    report_status = status;
    latest.started = time(nullptr);
    latest.taken = latest.started;
    sched_task(take_sample, nullptr, SCHED_RESCHEDULE, 0, task_name);
}

int cmd_stats(int argc, char **) {
    if (argc != 1)
        return -1;
    const long up = static_cast<long>(time(nullptr) - latest.started);
    cli_printf(fmt("Uptime          : %ldd %02ld:%02ld:%02ld\n"), up / 86400, up / 3600 % 24, up / 60 % 60,
               up % 60);
    cli_printf(fmt("Console users   : %lu at the last sample, %lu at most\n"), latest.users, latest.peak_users);
    cli_printf(fmt("Scheduler idle  : %.1f%% of the time\n"), latest.idle_share * 100);
    if (latest.records >= 0)
        cli_printf(fmt("Sample records  : %ld\n"), latest.records);
    else
        cli_printf(fmt("Sample records  : %s\n"), fmt("(database closed)"));
    cli_printf(fmt("Samples taken   : %lu, every %lus, the last %lds ago\n"), latest.samples, stats_period,
               static_cast<long>(time(nullptr) - latest.taken));
    return 0;
}

} // namespace zndemo
