// managed.h -- a program started as a service manager starts it: its variables, and listening sockets from descriptor 3 on.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "remote.h"

namespace zntest {

using Strings = std::vector<std::string>;
using Environment = std::vector<std::pair<std::string, std::string>>;

// A listening TCP socket on a free loopback port, as a manager opens it.
struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            abort();
        port = ntohs(addr.sin_port);
    }
    ~Listener() { close(fd); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    int fd = -1;
    int port = 0;
};

// A listening Unix-domain stream socket at path, as a manager opens it; its
// file stays when it is closed.
struct UnixListener {
    explicit UnixListener(const std::string &path) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0)
            abort();
    }
    ~UnixListener() { close(fd); }
    UnixListener(const UnixListener &) = delete;
    UnixListener &operator=(const UnixListener &) = delete;
    int fd = -1;
};

// Descriptors the manager hands over: they become 3, 4, ..., announced with
// LISTEN_FDS and LISTEN_PID, the program's own pid unless listen_pid says
// otherwise.
struct Passed {
    std::vector<int> fds;
    std::string listen_pid = "";
};

// The variables of socket activation and of notifications.
inline const Strings kListenVariables = {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"};
inline const Strings kNotifyVariables = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};

// The variable every managed program also gets, which must survive.
inline const std::pair<std::string, std::string> kUntouched{"ZN_TEST_UNTOUCHED", "kept"};

// A program (argv[0] its path) started with the manager's environment and
// descriptors; ready() once its standard error showed ready_text. Killed at
// the end if still running.
class Managed {
public:
    Managed(const Strings &argv, const std::string &ready_text, const Environment &environment,
            const Passed &passed = {})
        : ready_text_(ready_text) {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            abort();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(err[1], STDERR_FILENO);
            hand_over(environment, passed);
            exec_argv(argv);
        }
        close(err[1]);
        child_ = ChildProcess(pid, err[0]);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!ready() && ms_left(deadline) > 0)
            if (!read_some(child_.fd(), errors_, ms_left(deadline)))
                break;
    }

    bool ready() const { return errors_.find(ready_text_) != std::string::npos; }
    pid_t pid() const { return child_.pid(); }
    const std::string &errors() const { return errors_; }
    void signal(int sig) const { child_.signal(sig); }
    int wait_exit() {
        return child_.wait_exit(10000, [this] { read_some(child_.fd(), errors_, 20); });
    }

    // The entries of /proc/<pid>/environ.
    Strings environment() const {
        const int fd = open(("/proc/" + std::to_string(pid()) + "/environ").c_str(), O_RDONLY);
        const std::string raw = read_all(fd);
        close(fd);
        Strings entries;
        for (size_t at = 0, end; at < raw.size(); at = end + 1) {
            end = raw.find('\0', at);
            if (end == std::string::npos)
                end = raw.size();
            if (end > at)
                entries.push_back(raw.substr(at, end - at));
        }
        return entries;
    }

    // A 32-bit build on a kernel without 32-bit support runs through a
    // user-mode emulator, whose /proc/<pid>/environ shows the emulator's own
    // environment rather than the program's.
    bool emulated() const {
        char exe[256];
        const ssize_t n = readlink(("/proc/" + std::to_string(pid()) + "/exe").c_str(), exe, sizeof exe);
        const std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
        return path.substr(path.rfind('/') + 1).starts_with("qemu-");
    }

    // What the program's descriptor fd is, as /proc shows it ("" when closed).
    std::string descriptor(int fd) const {
        char target[256];
        const std::string link = "/proc/" + std::to_string(pid()) + "/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target);
        return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
    }

private:
    // In the child: descriptors moved to 3, 4, ... (out of the way first, as
    // they may sit there already), open across exec; then the environment,
    // without the manager variables the tests themselves may have been
    // started with.
    static void hand_over(const Environment &environment, const Passed &passed) {
        for (const Strings *names : {&kListenVariables, &kNotifyVariables})
            for (const std::string &name : *names)
                unsetenv(name.c_str());
        std::vector<int> moved;
        for (int fd : passed.fds)
            moved.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
        for (size_t i = 0; i < moved.size(); ++i)
            dup2(moved[i], 3 + static_cast<int>(i)); // the copy stays open on exec
        for (const auto &[name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (!passed.fds.empty()) {
            setenv("LISTEN_FDS", std::to_string(passed.fds.size()).c_str(), 1);
            setenv("LISTEN_FDNAMES", "console", 1);
            const std::string pid = passed.listen_pid.empty() ? std::to_string(getpid()) : passed.listen_pid;
            setenv("LISTEN_PID", pid.c_str(), 1);
        }
        setenv(kUntouched.first.c_str(), kUntouched.second.c_str(), 1);
    }

    ChildProcess child_;
    std::string ready_text_;
    std::string errors_;
};

// The entries of environment that define one of the names.
inline Strings defined(const Strings &environment, const Strings &names) {
    Strings found;
    for (const std::string &entry : environment)
        for (const std::string &name : names)
            if (entry.starts_with(name + "="))
                found.push_back(entry);
    return found;
}

// The variables of names that other processes still see in the program's
// environment, and a remark when kUntouched is not there (then it is not
// the program's environment). Nothing to see under an emulator.
inline Strings leftover_variables(const Managed &program, const Strings &names) {
    if (program.emulated())
        return {};
    const Strings environment = program.environment();
    Strings left = defined(environment, names);
    if (defined(environment, {kUntouched.first}) != Strings{kUntouched.first + "=" + kUntouched.second})
        left.push_back(kUntouched.first + " is missing");
    return left;
}

// What /proc shows for a descriptor of the same file as fd: "pipe:[N]" or
// "socket:[N]" with this N.
inline std::string inode_of(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return std::to_string(st.st_ino);
}

// The TID in the row of the "tasks" listing that names the task; empty
// when no row does.
inline std::string tid_in_listing(const std::string &listing, const std::string &task_name) {
    const size_t name_at = listing.find("      " + task_name + "\n");
    if (name_at == std::string::npos)
        return "";
    const size_t row = listing.rfind('\n', name_at) + 1;
    return listing.substr(row, listing.find(' ', row) - row);
}

// No one listens on the loopback port (a connection is refused).
inline bool nobody_listens(int port) {
    Client probe(port);
    return !probe.connected();
}

} // namespace zntest
