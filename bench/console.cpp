// console.cpp -- remote console throughput and latency, against a minimal epoll line server.
//
// Both servers run in child processes and answer the same exchange: the
// 4-byte handshake with the acknowledgement and the prompt, then for every
// line "ping" the echoed line end, "pong" and the prompt. One client driver
// (epoll, one thread) runs C connections that each send 2,000 lines, each
// after the prompt of the previous one came back. Then 900 users connect to
// the console at once and each runs one command, and 5,000 users do the same
// with the scheduler on its epoll back end (select() watches no descriptor
// at or above FD_SETSIZE).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zncli.h"
#include "znsched.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string handshake("\x5C\x1E\x7A\x93", 4);
const std::string ack("\x3D\x96\xB2\xE4", 4);
const std::string prompt = "zn> ";
const std::string reply = "\npong\n" + prompt; // echoed line end, output, prompt
constexpr int commands_per_client = 2000;

[[noreturn]] void die(const char *what) {
    perror(what);
    exit(1);
}

int listen_on_loopback(int backlog, int &port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0)
        die("baseline listen");
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return s;
}

// ---- the two servers ----

// The users of the last phase, on the epoll back end.
constexpr int kMostUsers = 5000;

char ping_name[] = "ping";
char zn_prompt[] = "zn> ";

int ping(int, char **) {
    cli_printf(const_cast<char *>("pong\n"));
    return 0;
}

// The console on a free port; the port number is written to ready_fd.
[[noreturn]] void zn_server(int ready_fd) {
    sched_init();
    cli_set_limits(kMostUsers, -1); // far more than the default 128
    for (int attempt = 0; attempt < 20; ++attempt) {
        int port = 0;
        close(listen_on_loopback(1, port)); // a port that was free a moment ago
        if (cli_init(static_cast<ushort_t>(port)) == 0) {
            cli_set_prompt(zn_prompt);
            cli_add_cmd(ping_name, nullptr, nullptr, ping, 0);
            if (write(ready_fd, &port, sizeof port) != sizeof port)
                _exit(1);
            sched_loop();
            _exit(0);
        }
    }
    _exit(1);
}

[[noreturn]] void zn_epoll_server(int ready_fd) {
    sched_set_backend(SCHED_BACKEND_EPOLL);
    zn_server(ready_fd);
}

struct LineConn {
    bool logged_in = false;
    std::string in;
};

void baseline_read(int epfd, int fd, std::vector<LineConn> &conns) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns[fd] = LineConn{};
        return;
    }
    LineConn &c = conns[fd];
    c.in.append(buf, static_cast<size_t>(n));
    std::string out;
    if (!c.logged_in && c.in.size() >= 4) {
        c.logged_in = c.in.compare(0, 4, handshake) == 0;
        c.in.clear();
        if (c.logged_in)
            out = ack + prompt;
    }
    size_t end;
    while (c.logged_in && (end = c.in.find('\n')) != std::string::npos) {
        out += reply;
        c.in.erase(0, end + 1);
    }
    if (!out.empty() && write(fd, out.data(), out.size()) < 0)
        return;
}

// A minimal epoll server for the same exchange.
[[noreturn]] void baseline_server(int ready_fd) {
    int port = 0;
    const int s = listen_on_loopback(128, port);
    const int epfd = epoll_create1(0);
    epoll_event ev{EPOLLIN, {}};
    ev.data.fd = s;
    epoll_ctl(epfd, EPOLL_CTL_ADD, s, &ev);
    std::vector<LineConn> conns(65536);
    if (write(ready_fd, &port, sizeof port) != sizeof port)
        _exit(1);
    epoll_event ready[256];
    for (;;) {
        const int n = epoll_wait(epfd, ready, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd != s) {
                baseline_read(epfd, fd, conns);
                continue;
            }
            const int c = accept4(s, nullptr, nullptr, SOCK_NONBLOCK);
            if (c < 0)
                continue;
            const int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            epoll_event cev{EPOLLIN, {}};
            cev.data.fd = c;
            epoll_ctl(epfd, EPOLL_CTL_ADD, c, &cev);
        }
    }
}

struct Server {
    pid_t pid;
    int port;
};

Server start(void (*serve)(int)) {
    int p[2];
    if (pipe(p) != 0)
        die("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        serve(p[1]);
    }
    close(p[1]);
    int port = 0;
    if (read(p[0], &port, sizeof port) != sizeof port)
        die("server start");
    close(p[0]);
    return {pid, port};
}

void stop(const Server &s) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
}

// ---- the client driver ----

// Reads from a blocking socket until the text ends with end; false on EOF.
bool read_until_end(int fd, const std::string &end) {
    std::string got;
    char buf[256];
    while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A connected, logged-in, non-blocking client; -1 on failure.
int login(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        write(fd, handshake.data(), handshake.size()) != 4 || !read_until_end(fd, ack + prompt)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct Client {
    int fd = -1;
    int done = 0;
    size_t got = 0; // bytes of the current reply
    Clock::time_point sent;
};

struct Figures {
    double commands_per_sec = 0;
    double p50_us = 0, p99_us = 0;
    long served = 0;
};

// Every client sends `commands` lines, each after the previous reply.
Figures drive(int port, int clients, int commands) {
    std::vector<Client> cs;
    for (int i = 0; i < clients; ++i) {
        Client c;
        c.fd = login(port);
        if (c.fd < 0)
            die("login");
        cs.push_back(c);
    }
    const int epfd = epoll_create1(0);
    for (size_t i = 0; i < cs.size(); ++i) {
        epoll_event ev{EPOLLIN, {}};
        ev.data.u64 = i;
        epoll_ctl(epfd, EPOLL_CTL_ADD, cs[i].fd, &ev);
    }
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(clients) * commands);
    const std::string line = "ping\n";
    const auto begin = Clock::now();
    for (Client &c : cs) {
        c.sent = Clock::now();
        if (write(c.fd, line.data(), line.size()) < 0)
            die("send");
    }
    int finished = 0;
    epoll_event ready[256];
    while (finished < clients) {
        const int n = epoll_wait(epfd, ready, 256, 10000);
        if (n <= 0)
            die("no reply within 10 s");
        for (int i = 0; i < n; ++i) {
            Client &c = cs[ready[i].data.u64];
            char buf[4096];
            const ssize_t got = read(c.fd, buf, sizeof buf);
            if (got <= 0)
                continue;
            c.got += static_cast<size_t>(got);
            if (c.got < reply.size())
                continue;
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - c.sent).count());
            c.got = 0;
            if (++c.done == commands) {
                ++finished;
                continue;
            }
            c.sent = Clock::now();
            if (write(c.fd, line.data(), line.size()) < 0)
                die("send");
        }
    }
    const double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    for (Client &c : cs)
        close(c.fd);
    close(epfd);
    std::sort(latencies.begin(), latencies.end());
    Figures f;
    f.served = static_cast<long>(latencies.size());
    f.commands_per_sec = static_cast<double>(latencies.size()) / secs;
    f.p50_us = latencies[latencies.size() / 2];
    f.p99_us = latencies[latencies.size() * 99 / 100];
    return f;
}

void print(const char *who, const Figures &f) {
    printf("  %-16s %9.0f commands/s   p50 %7.1f us   p99 %7.1f us\n", who, f.commands_per_sec,
           f.p50_us, f.p99_us);
}

// Raises the soft descriptor limit so that one process can hold n sockets.
void allow_descriptors(rlim_t n) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < n) {
        lim.rlim_cur = std::min(n, lim.rlim_max);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Connects `users` clients to a fresh server at once, each sending one
// command; prints how many were served and how long it took. True when all were.
bool crowd_served(void (*serve)(int), int users, const char *what) {
    const Server server = start(serve);
    const auto begin = Clock::now();
    const Figures f = drive(server.port, users, 1);
    stop(server);
    printf("%d %s: %ld of %d served, connected and answered in %.0f ms (p99 reply %.1f ms)\n",
           users, what, f.served, users,
           std::chrono::duration<double, std::milli>(Clock::now() - begin).count(),
           f.p99_us / 1000);
    return f.served == users;
}

} // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    allow_descriptors(12000);
    printf("console: C clients x %d commands, each waiting for the prompt (loopback TCP)\n",
           commands_per_client);
    double p50_at_1 = 0, ratio_at_50 = 0;
    for (int clients : {1, 50}) {
        const Server zn = start(zn_server);
        const Figures z = drive(zn.port, clients, commands_per_client);
        stop(zn);
        const Server base = start(baseline_server);
        const Figures b = drive(base.port, clients, commands_per_client);
        stop(base);
        const double ratio = z.commands_per_sec / b.commands_per_sec;
        printf("C = %d\n", clients);
        print("zn console", z);
        print("epoll baseline", b);
        printf("  ratio (zn / baseline throughput): %.2fx\n", ratio);
        if (clients == 1)
            p50_at_1 = z.p50_us;
        else
            ratio_at_50 = ratio;
    }

    const int many = 900, crowd = kMostUsers;
    const bool all_many = crowd_served(zn_server, many, "simultaneous users");
    const bool all_crowd = crowd_served(zn_epoll_server, crowd, "users on the epoll back end");

    const bool ratio_ok = ratio_at_50 >= 0.5, latency_ok = p50_at_1 < 1000,
               users_ok = all_many && all_crowd;
    printf("targets: ratio >= 0.5x at C = 50: %s (%.2fx); p50 < 1 ms at C = 1: %s (%.1f us); "
           "%d and %d users served: %s\n",
           ratio_ok ? "met" : "MISSED", ratio_at_50, latency_ok ? "met" : "MISSED", p50_at_1, many,
           crowd, users_ok ? "met" : "MISSED");
    return ratio_ok && latency_ok && users_ok ? 0 : 1;
}
