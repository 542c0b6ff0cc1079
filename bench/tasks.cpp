// bench/tasks -- task rounds and the cost of a pass among many pending timers.
//
// Rounds: round 1 schedules 10,000 one-shot immediate tasks (distinct
// arguments) and runs them; round 2 schedules the same 10,000 again, which
// revives their records from the done list, and runs them. The baseline is
// libevent: 10,000 zero-timeout event_base_once() calls and a dispatch,
// twice, in the same process. Each trial runs in a fresh process, so round 1
// always starts from a fresh heap, for both; the medians over the trials are
// printed.
//
// Pending timers: 100,000 timers due over the next two hours, and 10 timers
// with a zero period that are due in every pass; the time of one pass is
// measured over 20,000 passes. The baseline is libevent with 100,000 timer
// events and 10 that re-add themselves with a zero timeout. Both loops watch
// one quiet descriptor with epoll.
#include <event2/event.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "timing.h"
#include "znsched.h"

namespace {

using znbench::median;
using znbench::seconds_of;

constexpr int kTasks = 10000;
constexpr int kTrials = 15;

long ran;
int args[kTasks];
char task_name[] = "bench task";

// ---- zn: the last task stops the loop; a quiet pipe keeps the loop alive ----

void zn_task(void *arg) {
    ++ran;
    if (arg == &args[kTasks - 1])
        sched_stop_loop();
}

void zn_round() {
    for (int &a : args)
        sched_task(zn_task, &a, SCHED_IMMEDIATE, 0, task_name);
    sched_loop();
}

// ---- libevent ----

event_base *base;

void ev_task(evutil_socket_t, short, void *) { ++ran; }

void ev_round() {
    const timeval zero{0, 0};
    for (int &a : args)
        event_base_once(base, -1, EV_TIMEOUT, ev_task, &a, &zero);
    event_base_dispatch(base);
}

void quiet(int, void *, int, int, int) {}

// One trial in this process: zn round 1 and 2, libevent round 1 and 2.
std::array<double, 4> trial() {
    sched_init();
    int quiet_pipe[2];
    if (pipe(quiet_pipe) != 0)
        exit(1);
    static char pipe_name[] = "quiet";
    sched_add_fd(quiet_pipe[0], quiet, nullptr, SCHED_FD_READ, pipe_name);
    base = event_base_new();
    std::array<double, 4> t;
    t[2] = seconds_of(ev_round);
    t[3] = seconds_of(ev_round);
    t[0] = seconds_of(zn_round);
    t[1] = seconds_of(zn_round);
    if (ran != 4L * kTasks) {
        fprintf(stderr, "bench/tasks: %ld tasks ran, expected %ld\n", ran, 4L * kTasks);
        exit(1);
    }
    return t;
}

// Runs a trial in a child and returns its figures.
std::array<double, 4> trial_in_child(std::array<double, 4> (*trial)()) {
    int p[2];
    if (pipe(p) != 0)
        exit(1);
    fflush(stdout);
    if (fork() == 0) {
        const auto t = trial();
        if (write(p[1], t.data(), sizeof t) != static_cast<ssize_t>(sizeof t))
            _exit(1);
        _exit(0);
    }
    close(p[1]);
    std::array<double, 4> t{};
    const bool ok = read(p[0], t.data(), sizeof t) == static_cast<ssize_t>(sizeof t);
    close(p[0]);
    int status = 0;
    wait(&status);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        exit(1);
    return t;
}

// ---- a pass among pending timers ----

constexpr int kPending = 100000;
constexpr int kDuePerPass = 10;
constexpr long kPasses = 20000;

long passes_run; // runs of the due timers, kDuePerPass per pass
int due_args[kDuePerPass];
event *due_events[kDuePerPass];

void zn_pending(void *) {}

void zn_due(void *) {
    if (++passes_run == kPasses * kDuePerPass)
        sched_stop_loop();
}

void ev_pending(evutil_socket_t, short, void *) {}

void ev_due(evutil_socket_t, short, void *arg) {
    const timeval zero{0, 0};
    event_add(due_events[static_cast<int *>(arg) - due_args], &zero);
    if (++passes_run == kPasses * kDuePerPass)
        event_base_loopbreak(base);
}

// Seconds per pass: zn, then libevent.
std::array<double, 4> pending_trial() {
    static int pending_args[kPending];
    sched_set_backend(SCHED_BACKEND_EPOLL);
    sched_init();
    int quiet_pipe[2];
    if (pipe(quiet_pipe) != 0)
        exit(1);
    static char pipe_name[] = "quiet", pending_name[] = "pending", due_name[] = "due";
    sched_add_fd(quiet_pipe[0], quiet, nullptr, SCHED_FD_READ, pipe_name);
    for (int i = 0; i < kPending; ++i)
        sched_task(zn_pending, &pending_args[i], 0, 60 + static_cast<ulong_t>(i) % 7200,
                   pending_name);
    for (int &a : due_args)
        sched_task(zn_due, &a, SCHED_RESCHEDULE, 0, due_name);

    event_config *cfg = event_config_new();
    for (const char *other : {"select", "poll"})
        event_config_avoid_method(cfg, other);
    base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    event *quiet_event = event_new(base, quiet_pipe[0], EV_READ | EV_PERSIST, ev_pending, nullptr);
    event_add(quiet_event, nullptr);
    std::vector<event *> pending(kPending);
    for (int i = 0; i < kPending; ++i) {
        pending[static_cast<size_t>(i)] = evtimer_new(base, ev_pending, &pending_args[i]);
        const timeval later{60 + i % 7200, 0};
        evtimer_add(pending[static_cast<size_t>(i)], &later);
    }
    const timeval zero{0, 0};
    for (int i = 0; i < kDuePerPass; ++i) {
        due_events[i] = evtimer_new(base, ev_due, &due_args[i]);
        evtimer_add(due_events[i], &zero);
    }

    std::array<double, 4> t{};
    passes_run = 0;
    t[0] = seconds_of([] { sched_loop(); }) / kPasses;
    passes_run = 0;
    t[1] = seconds_of([] { event_base_dispatch(base); }) / kPasses;
    return t;
}

} // namespace

int main() {
    std::vector<double> zn_new, zn_rev, ev_first, ev_second;
    for (int i = 0; i < kTrials; ++i) {
        const auto t = trial_in_child(trial);
        zn_new.push_back(t[0]);
        zn_rev.push_back(t[1]);
        ev_first.push_back(t[2]);
        ev_second.push_back(t[3]);
    }
    const double n = kTasks;
    const double zn1 = median(zn_new), zn2 = median(zn_rev);
    const double ev1 = median(ev_first), ev2 = median(ev_second);
    printf("bench/tasks: %d one-shot immediate tasks, median of %d fresh processes\n", kTasks,
           kTrials);
    printf("%-22s %12s %14s %10s\n", "round", "zn tasks/s", "libevent /s", "ratio");
    printf("%-22s %12.0f %14.0f %9.2fx\n", "1: new records", n / zn1, n / ev1, ev1 / zn1);
    printf("%-22s %12.0f %14.0f %9.2fx\n", "2: revived", n / zn2, n / ev2, ev2 / zn2);
    printf("target: >= 1.00x in both rounds\n");

    std::vector<double> zn_pass, ev_pass;
    for (int i = 0; i < 5; ++i) {
        const auto t = trial_in_child(pending_trial);
        zn_pass.push_back(t[0]);
        ev_pass.push_back(t[1]);
    }
    const double zp = median(zn_pass), ep = median(ev_pass);
    printf("\nbench/tasks: one pass with %d pending timers and %d due, median of 5 processes\n",
           kPending, kDuePerPass);
    printf("%-22s %12s %14s %10s\n", "", "zn us/pass", "libevent", "cost ratio");
    printf("%-22s %12.2f %14.2f %9.2fx\n", "pass", zp * 1e6, ep * 1e6, zp / ep);
    printf("target: cost ratio <= 2.00x\n");
    return 0;
}
