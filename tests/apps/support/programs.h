// programs.h -- the zn programs run by the tests: to completion with their output, or in the background.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child.h"
#include "remote.h"

namespace apptest {

struct Outcome {
    int status = -1;  // exit status; -1 when a signal ended the program
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv to its end in directory cwd (when given) with input on its
// standard input; it is killed after timeout_secs.
inline Outcome run_program(const std::vector<std::string> &argv, const std::string &input = "",
                           const std::string &cwd = "", int timeout_secs = 30) {
    const zntest::ChildResult r = zntest::run_in_child(
        [&] {
            int in[2];
            if (pipe(in) != 0 || write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
                _exit(126);
            close(in[1]);
            dup2(in[0], STDIN_FILENO);
            dup2(zntest::report_fd(), STDOUT_FILENO);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            zntest::exec_argv(argv);
        },
        timeout_secs);
    return {r.exited ? r.status : -1, r.output, r.errors};
}

// A program running in the background with its standard error collected
// (its standard output goes to /dev/null); killed at the end if still
// running.
class Background {
public:
    Background(const std::vector<std::string> &argv, const std::string &cwd) {
        int err[2];
        if (pipe(err) != 0)
            return;
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(err[0]);
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            zntest::exec_argv(argv);
        }
        close(err[1]);
        child_ = zntest::ChildProcess(pid, err[0]);
        err_.attach(err[0]);
    }

    // Standard error up to and including text (less when the program ended
    // or the time ran out); everything read is also kept in errors().
    std::string stderr_until(const std::string &text, int timeout_ms = 20000) {
        std::string got = err_.until(text, timeout_ms);
        errors_ += got;
        return got;
    }

    void signal(int sig) { child_.signal(sig); }

    // The exit status, or -1 when it did not end in time or a signal ended it.
    int wait_exit(int timeout_ms = 20000) {
        const auto deadline = zntest::Clock::now() + std::chrono::milliseconds(timeout_ms);
        bool eof = false;
        errors_ += err_.to_eof(eof, timeout_ms);
        return child_.wait_exit(zntest::ms_left(deadline));
    }

    const std::string &errors() const { return errors_; }

private:
    zntest::ChildProcess child_;
    zntest::Reader err_;
    std::string errors_;
};

} // namespace apptest
