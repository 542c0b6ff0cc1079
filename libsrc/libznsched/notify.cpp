// notify.cpp -- telling the service manager that the daemon is ready, alive and stopping.
//
// The manager names a Unix datagram socket in $NOTIFY_SOCKET and reads one
// state line (or several, one per line) per datagram. The environment is
// read once, at sched_init, and cleared, so that programs the daemon starts
// do not speak for it. Without the variable nothing here opens a descriptor
// or registers a task.
//
// The watchdog pings from an ordinary task of the loop: a loop that hangs
// in a handler stops pinging, and the manager then restarts the daemon.
// Since the scheduler's clock counts whole seconds, the ping's period is
// half the manager's time-out rounded down to whole seconds (at least 1),
// and a ping may come up to a second late; time-outs under 3 seconds are
// therefore too tight to be kept reliably.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "../common/environment.h"
#include "internal.h"

namespace {

struct Manager {
    sockaddr_un address{};
    socklen_t address_len = 0; // 0: no manager
    int fd = -1;               // opened by the first notification
    ulong_t watchdog_secs = 0; // ping period; 0: no watchdog
    bool ready_sent = false;
};

Manager manager;

char watchdog_name[] = "Service Watchdog";

// $NOTIFY_SOCKET: an absolute path, or an abstract name after "@". False
// for anything else, or a name too long for an address.
bool set_address(std::string_view name) {
    const bool abstract = name.starts_with('@');
    if (!abstract && !name.starts_with('/'))
        return false;
    const size_t room = sizeof manager.address.sun_path - (abstract ? 0 : 1); // a path ends in NUL
    if (name.size() > room)
        return false;
    manager.address = sockaddr_un{};
    manager.address.sun_family = AF_UNIX;
    std::copy(name.begin(), name.end(), manager.address.sun_path);
    if (abstract)
        manager.address.sun_path[0] = '\0';
    manager.address_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    return true;
}

// Half of $WATCHDOG_USEC in whole seconds, at least 1 and at most a day
// (which keeps due times within a 32-bit ulong_t); 0 when the variable is
// unset or 0, or when $WATCHDOG_PID names another process.
ulong_t watchdog_period() {
    constexpr unsigned long long longest = 24 * 3600;
    const auto usecs = zn::environment_number("WATCHDOG_USEC");
    if (!usecs || *usecs == 0)
        return 0;
    if (getenv("WATCHDOG_PID")) {
        const auto pid = zn::environment_number("WATCHDOG_PID");
        if (!pid || *pid != static_cast<unsigned long long>(getpid()))
            return 0;
    }
    return static_cast<ulong_t>(std::clamp<unsigned long long>(*usecs / 2 / 1000000, 1, longest));
}

void watchdog_ping(void *);

bool watchdog_active() {
    return sched_find_task(watchdog_ping, nullptr, nullptr, SCHED_MATCH_FUNC) != nullptr;
}

// The loop has work besides the watchdog itself.
bool other_work() {
    const int tasks = num_SchedPriTasks + num_SchedTasks;
    return num_SchedFDs > 0 || tasks > (watchdog_active() ? 1 : 0);
}

// Alone on the lists, the watchdog retires instead of pinging: the loop then
// finds nothing left to do and shuts down, as it would without a manager
// (up to one period later).
void watchdog_ping(void *) {
    if (!other_work()) {
        sched_stop();
        return;
    }
    sched_notify("WATCHDOG=1");
}

void arm_watchdog() {
    if (manager.watchdog_secs == 0 || watchdog_active() || !other_work())
        return;
    sched_task(watchdog_ping, nullptr, SCHED_RESCHEDULE, manager.watchdog_secs, watchdog_name);
}

} // namespace

void sched_notify_read_environment() {
    if (const char *name = getenv("NOTIFY_SOCKET")) {
        if (set_address(name)) {
            manager.watchdog_secs = watchdog_period();
            if (sched_debug_on())
                sched_debug("sched_init: Service manager at %s, watchdog every %lus\n", name,
                            static_cast<unsigned long>(manager.watchdog_secs));
        } else if (sched_debug_on()) {
            sched_debug("sched_init: WARN - Unusable NOTIFY_SOCKET [%s]\n", name);
        }
    }
    for (const char *variable : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        zn::environment_remove(variable);
}

void sched_notify_loop_starting() {
    if (manager.address_len == 0)
        return;
    if (!manager.ready_sent) {
        manager.ready_sent = true;
        sched_notify("READY=1");
    }
    arm_watchdog();
}

void sched_notify_stopping() {
    if (manager.address_len != 0)
        sched_notify("STOPPING=1");
}

int sched_notify(const char *state) {
    if (manager.address_len == 0)
        return -1;
    if (!state)
        return -EINVAL;
    if (manager.fd < 0) {
        manager.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (manager.fd < 0)
            return -errno;
    }
    if (sendto(manager.fd, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT,
               reinterpret_cast<const sockaddr *>(&manager.address), manager.address_len) >= 0)
        return 0;
    const int error = errno;
    if (sched_debug_on())
        sched_debug("sched_notify: Unable to send [%s]: %s\n", state, strerror(error));
    return -error;
}
