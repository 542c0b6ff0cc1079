// fake_clock.h -- a scripted clock for one test executable (include it in one source only).
//
// Defines time() and gettimeofday(); the libraries' calls resolve to these,
// so whole seconds and microseconds are exactly what the test sets.
#pragma once

#include <sys/time.h>

#include <ctime>

namespace {
long long fake_usecs = 1'700'000'000LL * 1'000'000; // microseconds since the epoch
bool tick_on_time = false; // when set, every time() call lets one second pass
void advance(long long usecs) { fake_usecs += usecs; }
} // namespace

extern "C" __attribute__((visibility("default"))) time_t time(time_t *out) noexcept {
    const time_t now = static_cast<time_t>(fake_usecs / 1'000'000);
    if (tick_on_time)
        advance(1'000'000);
    if (out)
        *out = now;
    return now;
}

extern "C" __attribute__((visibility("default"))) int gettimeofday(struct timeval *__restrict tv, void *__restrict) noexcept {
    tv->tv_sec = static_cast<time_t>(fake_usecs / 1'000'000);
    tv->tv_usec = static_cast<suseconds_t>(fake_usecs % 1'000'000);
    return 0;
}

