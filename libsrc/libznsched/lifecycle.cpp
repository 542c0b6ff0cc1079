// lifecycle.cpp -- initialisation, signals, shutdown and stop requests, and the final exit.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../common/io.h"
#include "backend.h"

ulong_t tm_SchedInitialized;
ulong_t tm_SchedWasRan;
volatile int SchedShutdown;
int SchedStop;
SchedTask SchedIdle;
int SchedIdleState = 1;
SchedTask *current;
SchedFD *current_fd;
int (*sched_printf)(char *fmt, ...);
bool sched_looping;

namespace {

char idle_task_name[] = "Idle Task";

// The signal handler formats nothing: it writes a fixed line, which is
// async-signal-safe, and keeps errno for the code it interrupted.
void signal_line(const char *line) {
    if (sched_debug_on() && sched_debug_fd >= 0) {
        const int saved_errno = errno;
        zn::write_nosigpipe(sched_debug_fd, line, strlen(line));
        errno = saved_errno;
    }
}

} // namespace

int sched_init(void) {
    tm_SchedInitialized = static_cast<ulong_t>(time(nullptr));
    tm_SchedWasRan = 0;
    sched_tasks_reset();
    sched_fds_reset();
    sched_backend_init();
    current = nullptr;
    current_fd = nullptr;

    SchedIdle = SchedTask{};
    SchedIdle.tid = 0;
    SchedIdle.task_name = reinterpret_cast<uchar_t *>(idle_task_name);
    SchedIdle.debug.time_sched = SchedIdle.debug.last_sched = tm_SchedInitialized;
    SchedIdle.debug.last_time.secs = static_cast<long>(tm_SchedInitialized);

    SchedNextTID = 1;
    sched_printf = nullptr;
    sched_notify_read_environment();
    signal(SIGINT, sched_handle_signal);
    signal(SIGTERM, sched_handle_signal);
    signal(SIGQUIT, sched_handle_signal);
    if (sched_debug_on()) {
        const time_t when = static_cast<time_t>(tm_SchedInitialized);
        sched_debug("sched_init: Initialized at %s", ctime(&when));
    }
    return 0;
}

void sched_handle_signal(int sig) {
    const char *line;
    switch (sig) {
    case SIGINT:
        line = "sched_handle_signal: Received SIGINT, shutting down..\n";
        break;
    case SIGTERM:
        line = "sched_handle_signal: Received SIGTERM, shutting down..\n";
        break;
    case SIGQUIT:
        line = "sched_handle_signal: Received SIGQUIT, shutting down..\n";
        break;
    default:
        return;
    }
    if (SchedShutdown)
        return;
    signal_line(line);
    SchedShutdown = 1;
    sched_backend_wake();
}

void sched_shutdown(void) {
    if (sched_debug_on())
        sched_debug("sched_shutdown: Setting shutdown flag...\n");
    SchedShutdown = 1;
}

void sched_stop_loop(void) {
    if (sched_debug_on())
        sched_debug("sched_stop_loop: Setting stop flag...\n");
    SchedStop = 1;
}

// Releases every task record, then every descriptor record. Names stay the
// callers' and descriptors stay open.
static void sched_prepare_to_exit() {
    current = nullptr;
    current_fd = nullptr;
    sched_tasks_release();
    sched_fds_release();
}

[[noreturn]] void sched_exit_after_cleanup() {
    sched_prepare_to_exit();
    if (sched_debug_on())
        sched_debug("sched_loop: Done Cleaning Up\n");
    exit(0);
}
