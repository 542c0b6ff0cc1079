// bench/loop -- descriptor dispatch throughput: a chain of one-byte writes through P socketpairs.
//
// P socketpairs are watched for reading; A of them get a byte to start. Each
// read handler takes its byte and writes one to the next pair, until W writes
// have been made; the time to drain the chain is measured. When the
// descriptor limit cannot hold 2P descriptors (tens of thousands, without
// the right to raise the hard limit), each node of the chain is an eventfd
// instead, one descriptor per node, and the output says so. zn runs it on its
// select and epoll back ends, libevent on its select and epoll backends, in
// the same process. Each zn back end is compared with libevent's backend of
// the same kind: in every round the two run back to back, in alternating
// order, and the ratio is taken per round, so that load elsewhere on the
// machine affects both alike. Beyond select()'s FD_SETSIZE only the epoll
// loops run.
#include <event2/event.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "timing.h"
#include "znsched.h"

namespace {

using znbench::seconds_of;

constexpr int kRounds = 9;

struct Chain {
    int pipes = 0, active = 0;
    bool eventfds = false; // one eventfd per node instead of a socketpair
    std::vector<int> fds;  // node i: read end 2i, write end 2i+1 (the same eventfd)
    long writes = 0;
    long writes_left = 0;
    long reads = 0;
    long expected = 0;

    // The write ends move above FD_SETSIZE, so that select() can watch the
    // read ends of up to a thousand pairs.
    Chain(int p, int a, bool use_eventfds)
        : pipes(p), active(a), eventfds(use_eventfds), fds(2 * static_cast<size_t>(p)) {
        for (int i = 0; i < p; ++i) {
            int *pair = &fds[2 * static_cast<size_t>(i)];
            if (eventfds) {
                pair[0] = pair[1] = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
                if (pair[0] < 0) {
                    perror("eventfd");
                    exit(1);
                }
                continue;
            }
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
                perror("socketpair");
                exit(1);
            }
            const int high = fcntl(pair[1], F_DUPFD_CLOEXEC, FD_SETSIZE);
            if (high >= 0) {
                close(pair[1]);
                pair[1] = high;
            }
        }
    }
    ~Chain() {
        for (size_t i = 0; i < fds.size(); i += 2) {
            close(fds[i]);
            if (!eventfds)
                close(fds[i + 1]);
        }
    }
    int reader(int i) const { return fds[2 * static_cast<size_t>(i)]; }
    int writer(int i) const { return fds[2 * static_cast<size_t>(i) + 1]; }
    bool select_can_watch() const {
        for (int i = 0; i < pipes; ++i)
            if (reader(i) >= FD_SETSIZE)
                return false;
        return true;
    }

    // One read handler call: take the byte, pass one on while writes remain.
    void on_readable(int index) {
        uint64_t value;
        const ssize_t n = eventfds ? read(reader(index), &value, sizeof value)
                                   : recv(reader(index), &value, 1, 0);
        if (n > 0)
            ++reads;
        if (writes_left > 0) {
            poke((index + 1) % pipes);
            --writes_left;
        }
    }

    void poke(int index) const {
        const uint64_t one = 1;
        const ssize_t n = eventfds ? write(writer(index), &one, sizeof one)
                                   : send(writer(index), "e", 1, 0);
        if (n <= 0)
            abort();
    }

    void start() {
        reads = 0;
        writes_left = writes;
        expected = active + writes;
        const int space = pipes / active;
        for (int i = 0; i < active; ++i)
            poke(i * space);
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
        if (!on) {
            sched_remove_fd(chain.reader(i));
        } else if (sched_add_fd(chain.reader(i), zn_read,
                                reinterpret_cast<void *>(static_cast<intptr_t>(i)), SCHED_FD_READ,
                                name) != 0) {
            fprintf(stderr, "bench/loop: sched_add_fd refused descriptor %d\n", chain.reader(i));
            exit(1);
        }
    }
}

double zn_round(Chain &chain, int backend) {
    if (sched_set_backend(backend) != 0) {
        fprintf(stderr, "bench/loop: sched_set_backend(%d) failed\n", backend);
        exit(1);
    }
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

// A libevent base on the named backend alone.
event_base *new_base(const char *method) {
    event_config *cfg = event_config_new();
    for (const char *other : {"select", "epoll", "poll", "devpoll", "kqueue", "evport", "win32"})
        if (strcmp(other, method) != 0)
            event_config_avoid_method(cfg, other);
    event_base *base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    if (!base || strcmp(event_base_get_method(base), method) != 0) {
        fprintf(stderr, "libevent: no %s backend\n", method);
        exit(1);
    }
    return base;
}

// One libevent base with a persistent read event on every pair.
struct LibeventRun {
    event_base *base;
    std::vector<event *> events;

    LibeventRun(Chain &chain, const char *method) : base(new_base(method)) {
        for (int i = 0; i < chain.pipes; ++i) {
            events.push_back(event_new(base, chain.reader(i), EV_READ | EV_PERSIST, ev_read,
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

constexpr rlim_t kSpareDescriptors = 256; // the loops' own, standard streams

// Room for the descriptors of P pairs, raising the hard limit too where the
// process may. Returns the descriptors available.
rlim_t raise_descriptor_limit(int pipes) {
    const rlim_t want = 2 * static_cast<rlim_t>(pipes) + kSpareDescriptors;
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < want) {
        rlimit raised{want, std::max(lim.rlim_max, want)};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised = {lim.rlim_max, lim.rlim_max};
            setrlimit(RLIMIT_NOFILE, &raised);
        }
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    return lim.rlim_cur;
}

// One kind of back end: zn's loop and libevent's, seconds per round.
struct Pair {
    std::vector<double> zn, ev;
};

// Events per second of each loop (0 when it did not run), and zn's rate over
// libevent's: the median of the rounds' ratios and the middle half of them.
// Pairing each round of zn's with the round of libevent's that ran next to it
// cancels most of what other work on the machine adds to both.
struct Figures {
    double zn = 0, ev = 0, ratio = 0, low = 0, high = 0;

    Figures() = default;
    Figures(const Pair &pair, double events) {
        if (!pair.zn.empty())
            zn = events / znbench::median(pair.zn);
        if (!pair.ev.empty())
            ev = events / znbench::median(pair.ev);
        if (pair.zn.empty() || pair.ev.empty())
            return;
        std::vector<double> ratios;
        for (size_t r = 0; r < pair.zn.size(); ++r)
            ratios.push_back(pair.ev[r] / pair.zn[r]);
        ratio = znbench::median(ratios);
        low = znbench::quantile(ratios, 0.25);
        high = znbench::quantile(ratios, 0.75);
    }
};

// Writes per round: select() costs O(P) per pass, so its rounds are shorter.
long writes_for(int pipes, bool select_loops) {
    return select_loops ? std::min(50000L, 5000000L / pipes) : 50000L;
}

// Which loops run; all of them unless the command line names one.
struct Selection {
    bool zn_select = true, zn_epoll = true, ev_select = true, ev_epoll = true;
    int rounds = kRounds;
};

// One round of each selected loop of a pair; odd rounds start with
// libevent's, so that neither loop always runs in the other's wake.
template <class ZnRound, class EvRound>
void run_pair(int round, Pair &pair, bool zn_on, bool ev_on, ZnRound &&zn_round,
              EvRound &&ev_round) {
    for (int turn = 0; turn < 2; ++turn) {
        if ((turn == round % 2) && zn_on)
            pair.zn.push_back(zn_round());
        if ((turn != round % 2) && ev_on)
            pair.ev.push_back(ev_round());
    }
}

struct Measured {
    Figures select, epoll;
};

Measured measure(int pipes, int active, bool eventfds, const Selection &sel) {
    Chain chain(pipes, active, eventfds);
    const bool with_select = chain.select_can_watch();
    sched_set_backend(SCHED_BACKEND_EPOLL); // takes every descriptor
    zn_watch(chain, true);
    std::unique_ptr<LibeventRun> ev_sel, ev_epoll;
    if (with_select && sel.ev_select)
        ev_sel = std::make_unique<LibeventRun>(chain, "select");
    if (sel.ev_epoll)
        ev_epoll = std::make_unique<LibeventRun>(chain, "epoll");
    Pair select_pair, epoll_pair;
    for (int r = 0; r < sel.rounds; ++r) {
        chain.writes = writes_for(pipes, true);
        run_pair(r, select_pair, with_select && sel.zn_select, ev_sel != nullptr,
                 [&] { return zn_round(chain, SCHED_BACKEND_SELECT); },
                 [&] { return ev_sel->round(chain); });
        chain.writes = writes_for(pipes, false);
        run_pair(r, epoll_pair, sel.zn_epoll, ev_epoll != nullptr,
                 [&] { return zn_round(chain, SCHED_BACKEND_EPOLL); },
                 [&] { return ev_epoll->round(chain); });
    }
    zn_watch(chain, false);
    return {Figures(select_pair, active + writes_for(pipes, true)),
            Figures(epoll_pair, active + writes_for(pipes, false))};
}

void print_figures(const Figures &f) {
    auto rate = [](double v) {
        if (v > 0)
            printf("%11.0f ", v);
        else
            printf("%11s ", "-");
    };
    rate(f.zn);
    rate(f.ev);
    if (f.ratio > 0)
        printf("%5.2fx %4.2f-%4.2f  ", f.ratio, f.low, f.high);
    else
        printf("%16s  ", "-");
}

// Options: -l LOOP runs one loop only (zn-select, zn-epoll, ev-select or
// ev-epoll), for profiling one of them; -r N sets the rounds.
bool parse_options(int argc, char **argv, Selection &sel, int &first_operand) {
    int opt;
    while ((opt = getopt(argc, argv, "l:r:")) != -1) {
        if (opt == 'r' && atoi(optarg) > 0) {
            sel.rounds = atoi(optarg);
            continue;
        }
        if (opt != 'l')
            return false;
        const std::string_view loop = optarg;
        sel = {loop == "zn-select", loop == "zn-epoll", loop == "ev-select", loop == "ev-epoll",
               sel.rounds};
        if (!(sel.zn_select || sel.zn_epoll || sel.ev_select || sel.ev_epoll))
            return false;
    }
    first_operand = optind;
    return true;
}

} // namespace

// bench_loop [-l LOOP] [-r ROUNDS] [P [A]]: all sizes, or only those given.
int main(int argc, char **argv) {
    Selection sel;
    int operand = 0;
    if (!parse_options(argc, argv, sel, operand)) {
        fprintf(stderr, "usage: bench_loop [-l zn-select|zn-epoll|ev-select|ev-epoll] "
                        "[-r rounds] [P [A]]\n");
        return 2;
    }
    const int only_pipes = operand < argc ? atoi(argv[operand]) : 0;
    const int only_active = operand + 1 < argc ? atoi(argv[operand + 1]) : 0;
    const rlim_t available = raise_descriptor_limit(50000);
    sched_init();
    printf("bench/loop: chained one-byte writes through P socketpairs, A of them active,\n"
           "%ld writes per round (select loops: 5,000,000 / P at most), %d rounds;\n"
           "events per second (median of the rounds); ratio = zn / libevent with the same\n"
           "kind of backend, the median of the rounds' ratios and the middle half of them;\n"
           "descriptor limit %lu\n",
           writes_for(1, false), sel.rounds, static_cast<unsigned long>(available));
    printf("%-6s %-4s %11s %11s %16s  %11s %11s %16s\n", "P", "A", "zn select", "ev select",
           "ratio (spread)", "zn epoll", "ev epoll", "ratio (spread)");
    for (int pipes : {100, 400, 1000, 10000, 50000}) {
        if (only_pipes && pipes != only_pipes)
            continue;
        const rlim_t need = static_cast<rlim_t>(pipes) + kSpareDescriptors;
        if (need > available) {
            printf("%-6d skipped: the descriptor limit (%lu) is below %lu\n", pipes,
                   static_cast<unsigned long>(available), static_cast<unsigned long>(need));
            continue;
        }
        const bool eventfds = need + static_cast<rlim_t>(pipes) > available;
        for (int active : {1, 100}) {
            if (only_active && active != only_active)
                continue;
            const Measured m = measure(pipes, active, eventfds, sel);
            printf("%-6d %-4d ", pipes, active);
            print_figures(m.select);
            print_figures(m.epoll);
            printf("%s\n", eventfds ? "(eventfd nodes)" : "");
            fflush(stdout);
        }
    }
    printf("target: ratio >= 1.00x everywhere\n");
    return 0;
}
