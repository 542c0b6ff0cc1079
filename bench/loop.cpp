// bench/loop -- descriptor dispatch throughput: a chain of one-byte writes through P socketpairs.
//
// P socketpairs are watched for reading; A of them get a byte to start. Each
// read handler takes its byte and writes one to the next pair, until W writes
// have been made; the time to drain the chain is measured. The same workload
// runs on libevent with its select backend and with its default backend, in
// the same process, and the ratios are printed.
#include <event2/event.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "timing.h"
#include "znsched.h"

namespace {

using znbench::median;
using znbench::seconds_of;

constexpr int kActive = 100;
constexpr int kWrites = 100000;
constexpr int kRounds = 15;

struct Chain {
    int pipes = 0;
    std::vector<int> fds; // read end 2i, write end 2i+1
    long writes_left = 0;
    long reads = 0;
    long expected = 0;

    explicit Chain(int p) : pipes(p), fds(2 * static_cast<size_t>(p)) {
        for (int i = 0; i < p; ++i)
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, &fds[2 * static_cast<size_t>(i)]) != 0) {
                perror("socketpair");
                exit(1);
            }
    }
    ~Chain() {
        for (int fd : fds)
            close(fd);
    }

    // One read handler call: take the byte, pass one on while writes remain.
    void on_readable(int index) {
        char byte;
        if (recv(fds[2 * static_cast<size_t>(index)], &byte, 1, 0) == 1)
            ++reads;
        if (writes_left > 0) {
            const int next = (index + 1) % pipes;
            if (send(fds[2 * static_cast<size_t>(next) + 1], "e", 1, 0) != 1)
                abort();
            --writes_left;
        }
    }

    void start() {
        reads = 0;
        writes_left = kWrites;
        expected = kActive + kWrites;
        const int space = pipes / kActive;
        for (int i = 0; i < kActive; ++i)
            if (send(fds[2 * static_cast<size_t>(i * space) + 1], "e", 1, 0) != 1)
                abort();
    }
    bool drained() const { return reads >= expected; }
};

// ---- zn ----

Chain *zn_chain;

void zn_read(int, void *arg, int, int, int) {
    zn_chain->on_readable(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    if (zn_chain->drained())
        sched_stop_loop();
}

void zn_watch(Chain &chain, bool on) {
    static char name[] = "bench pipe";
    for (int i = 0; i < chain.pipes; ++i) {
        const int fd = chain.fds[2 * static_cast<size_t>(i)];
        if (on)
            sched_add_fd(fd, zn_read, reinterpret_cast<void *>(static_cast<intptr_t>(i)),
                         SCHED_FD_READ, name);
        else
            sched_remove_fd(fd);
    }
}

double zn_round(Chain &chain) {
    zn_chain = &chain;
    return seconds_of([&] {
        chain.start();
        sched_loop();
    });
}

// ---- libevent ----

Chain *ev_chain;
event_base *ev_base;

void ev_read(evutil_socket_t, short, void *arg) {
    ev_chain->on_readable(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    if (ev_chain->drained())
        event_base_loopbreak(ev_base);
}

// A libevent base on its select backend, or on its default one.
event_base *new_base(bool select_backend) {
    event_config *cfg = event_config_new();
    if (select_backend)
        for (const char *method : {"epoll", "poll", "devpoll", "kqueue", "evport", "win32"})
            event_config_avoid_method(cfg, method);
    event_base *base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    if (!base) {
        fprintf(stderr, "libevent: no event base\n");
        exit(1);
    }
    return base;
}

// One libevent base with a persistent read event on every pair.
struct LibeventRun {
    event_base *base;
    std::vector<event *> events;

    LibeventRun(Chain &chain, bool select_backend) : base(new_base(select_backend)) {
        for (int i = 0; i < chain.pipes; ++i) {
            events.push_back(event_new(base, chain.fds[2 * static_cast<size_t>(i)],
                                       EV_READ | EV_PERSIST, ev_read,
                                       reinterpret_cast<void *>(static_cast<intptr_t>(i))));
            event_add(events.back(), nullptr);
        }
    }
    ~LibeventRun() {
        for (event *ev : events)
            event_free(ev);
        event_base_free(base);
    }
    double round(Chain &chain) {
        ev_chain = &chain;
        ev_base = base;
        return seconds_of([&] {
            chain.start();
            event_base_dispatch(base);
        });
    }
};

const char *backend_name(bool select_backend) {
    event_base *base = new_base(select_backend);
    static char name[2][32];
    snprintf(name[select_backend], sizeof name[0], "%s", event_base_get_method(base));
    event_base_free(base);
    return name[select_backend];
}

} // namespace

int main() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &lim);
    sched_init();

    printf("bench/loop: %d active, %d writes per round, median of %d rounds\n", kActive,
           kWrites, kRounds);
    printf("%-6s %14s %14s %14s %10s %10s\n", "P", "zn ev/s", "select ev/s", "default ev/s",
           "vs select", "vs default");
    for (int pipes : {100, 400}) {
        Chain chain(pipes);
        zn_watch(chain, true);
        LibeventRun sel(chain, true), def(chain, false);
        // Rounds alternate between the three loops so that load elsewhere
        // on the machine affects them alike.
        std::vector<double> zn_t, sel_t, def_t;
        for (int r = 0; r < kRounds; ++r) {
            zn_t.push_back(zn_round(chain));
            sel_t.push_back(sel.round(chain));
            def_t.push_back(def.round(chain));
        }
        zn_watch(chain, false);
        const double zn = median(zn_t), s = median(sel_t), d = median(def_t);
        const double events = kActive + kWrites;
        printf("%-6d %14.0f %14.0f %14.0f %9.2fx %9.2fx\n", pipes, events / zn, events / s,
               events / d, s / zn, d / zn);
    }
    printf("libevent backends: select = %s, default = %s; target: >= 1.00x vs select at P = 400\n",
           backend_name(true), backend_name(false));
    return 0;
}
