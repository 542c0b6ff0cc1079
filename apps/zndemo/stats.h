// stats.h -- zndemo's statistic: a periodic task samples the daemon's state; "stats" and the manager's status show it.
#pragma once

namespace zndemo {

inline constexpr unsigned long stats_period = 5; // seconds between samples

// Schedules the periodic task "Statistics", which takes its first sample in
// the main loop's first pass; with status, each sample is also sent to the
// service manager as its status line.
void start_statistics(bool status);

// The "stats" command: the latest sample.
int cmd_stats(int argc, char **argv);

} // namespace zndemo
