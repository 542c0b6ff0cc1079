// stats.h -- zndemo's statistic: a periodic task samples the daemon's state, the "stats" command shows it.
#pragma once

namespace zndemo {

inline constexpr unsigned long stats_period = 5; // seconds between samples

// Schedules the periodic task "Statistics", which takes its first sample in
// the main loop's first pass.
void start_statistics();

// The "stats" command: the latest sample.
int cmd_stats(int argc, char **argv);

} // namespace zndemo
