// stats.cpp -- handler-call statistics and idle-time accounting.
#include <ctime>

#include "internal.h"

namespace {

constexpr long usecs_per_sec = 1000000;

// end - start, borrowing one second when the microseconds come out negative.
SchedTime elapsed(long start_secs, long start_usecs, const timeval &end) {
    SchedTime d{static_cast<long>(end.tv_sec) - start_secs,
                static_cast<long>(end.tv_usec) - start_usecs};
    if (d.usecs < 0) {
        d.usecs += usecs_per_sec;
        d.secs -= 1;
    }
    return d;
}

// total += d, carrying whole seconds out of the microseconds.
void accumulate(SchedTime &total, const SchedTime &d) {
    total.secs += d.secs;
    total.usecs += d.usecs;
    if (total.usecs > usecs_per_sec - 1) {
        const long carry = total.usecs / usecs_per_sec;
        total.usecs -= carry * usecs_per_sec;
        total.secs += carry;
    }
}

} // namespace

ZN_EVERY_PASS void sched_record_call(SchedDebug &debug, const timeval &start, const timeval &end) {
    debug.last_ran = static_cast<ulong_t>(start.tv_sec);
    ++debug.times_ran;
    debug.last_time = elapsed(start.tv_sec, start.tv_usec, end);
    accumulate(debug.total_time, debug.last_time);
}

ZN_EVERY_PASS void sched_idle_open() {
    if (SchedIdleState)
        return;
    SchedIdleState = 1;
    ++SchedIdle.debug.times_ran;
    timeval now;
    gettimeofday(&now, nullptr);
    SchedIdle.debug.last_time = {static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec)};
    SchedIdle.debug.last_ran = static_cast<ulong_t>(time(nullptr));
}

ZN_EVERY_PASS void sched_idle_close() {
    if (!SchedIdleState)
        return;
    timeval now;
    gettimeofday(&now, nullptr);
    SchedIdleState = 0;
    const SchedTime &began = SchedIdle.debug.last_time;
    accumulate(SchedIdle.debug.total_time, elapsed(began.secs, began.usecs, now));
}
