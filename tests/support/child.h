// child.h -- run a piece of a test in a forked child with a time bound.
//
// The libraries keep process-wide state (sched_init is once per process,
// shutdown ends the process), so tests run such code in a child. The child
// reports what it observed through a pipe; REQUIRE() ends it with a message
// when a check fails inside it.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zntest {

// Exit status of a child whose body returned normally.
inline constexpr int kReturned = 42;

struct ChildResult {
    bool exited = false;  // ended through exit()/_exit()
    int status = -1;      // its exit status, or the signal that ended it
    std::string output;   // everything written to the report descriptor
    std::string errors;   // the child's standard error

    bool returned() const { return exited && status == kReturned; }
    bool exited_zero() const { return exited && status == 0; }
};

// Descriptor of the report pipe, valid inside the child.
inline int &report_fd() {
    static int fd = -1;
    return fd;
}

// Appends text to the child's report.
inline void report(const std::string &text) {
    if (report_fd() >= 0 && !text.empty()) {
        ssize_t ignored = write(report_fd(), text.data(), text.size());
        (void)ignored;
    }
}

#define REQUIRE(cond)                                                                   \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            fprintf(stderr, "%s:%d: REQUIRE(%s) failed\n", __FILE__, __LINE__, #cond); \
            _exit(99);                                                                  \
        }                                                                               \
    } while (0)

// Reads both descriptors until both reach end of file.
inline void drain_both(int a, std::string &to_a, int b, std::string &to_b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    std::string *sinks[2] = {&to_a, &to_b};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

// Everything read() gives on fd until it returns 0 or fails: the rest up to
// the end of file, or what is there now on a non-blocking descriptor.
inline std::string read_all(int fd) {
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// Replaces the calling (child) process with argv; argv[0] is the program's
// path. Ends with status 127 when it cannot be run.
[[noreturn]] inline void exec_argv(std::vector<std::string> argv) {
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// A program started in a child process, with one descriptor to it (a pipe
// end or a pty master); killed, reaped and the descriptor closed when
// destroyed or stopped.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
    ChildProcess(ChildProcess &&other) noexcept
        : pid_(std::exchange(other.pid_, -1)), fd_(std::exchange(other.fd_, -1)) {}
    ChildProcess &operator=(ChildProcess &&other) noexcept {
        if (this != &other) {
            stop();
            pid_ = std::exchange(other.pid_, -1);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~ChildProcess() { stop(); }

    pid_t pid() const { return pid_; }
    int fd() const { return fd_; }
    bool running() const { return pid_ > 0; } // started and not yet reaped
    void signal(int sig) const {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    // Waits up to timeout_ms for the program to end, calling between checks
    // `meanwhile` (which should wait a little, reading the program's output)
    // or else sleeping 10 ms. The exit status; -1 when it did not end in
    // time (running() stays true) or a signal ended it.
    int wait_exit(int timeout_ms, const std::function<void()> &meanwhile = {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (pid_ <= 0 || std::chrono::steady_clock::now() >= deadline)
                return -1;
            if (meanwhile)
                meanwhile();
            else
                usleep(10000);
        }
    }

    // Kills and reaps the program if it still runs; closes the descriptor.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Runs body in a child that is killed after timeout_secs. The report pipe
// and the child's standard error are collected until both are closed.
inline ChildResult run_in_child(const std::function<void()> &body, int timeout_secs = 20) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        abort();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        close(err[0]);
        dup2(err[1], STDERR_FILENO);
        close(err[1]);
        report_fd() = out[1];
        alarm(static_cast<unsigned>(timeout_secs));
        body();
        fflush(nullptr);
        _exit(kReturned);
    }
    close(out[1]);
    close(err[1]);
    ChildResult result;
    drain_both(out[0], result.output, err[0], result.errors);
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = WTERMSIG(status);
    }
    return result;
}

// CPU time, user and system, that this process has used so far, in seconds.
inline double cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace zntest
