// The test daemon under a service manager played by the test: notifications, socket activation, environment.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "manager.h"
#include "remote.h"

using zntest::Client;
using zntest::FakeManager;
using zntest::Notification;
using Strings = std::vector<std::string>;

namespace {

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
    int fd = -1;
    int port = 0;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// What the manager hands the daemon besides the environment: descriptors
// that become 3, 4, ..., announced with LISTEN_PID, the daemon's own pid
// unless listen_pid says otherwise.
struct Passed {
    std::vector<int> fds;
    std::string listen_pid = "";
};

// The test daemon as a manager starts it; "ready" on its standard error
// once the console is set up.
class ManagedDaemon {
public:
    ManagedDaemon(int port, const Environment &environment, const Passed &passed = {}) {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            abort();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(err[1], STDERR_FILENO);
            hand_over(environment, passed);
            zntest::exec_daemon({std::to_string(port)});
        }
        close(err[1]);
        child_ = zntest::ChildProcess(pid, err[0]);
        const auto deadline = zntest::Clock::now() + std::chrono::seconds(20);
        while (errors_.find("ready\n") == std::string::npos && zntest::ms_left(deadline) > 0)
            if (!zntest::read_some(child_.fd(), errors_, zntest::ms_left(deadline)))
                break;
    }

    bool ready() const { return errors_.find("ready\n") != std::string::npos; }
    pid_t pid() const { return child_.pid(); }
    const std::string &errors() const { return errors_; }
    int wait_exit() {
        return child_.wait_exit(10000, [this] { zntest::read_some(child_.fd(), errors_, 20); });
    }

    // The entries of /proc/<pid>/environ.
    Strings environment() const {
        int fd = open(("/proc/" + std::to_string(pid()) + "/environ").c_str(), O_RDONLY);
        const std::string raw = zntest::read_all(fd);
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

    // What the daemon's descriptor fd is, as /proc shows it ("" when closed).
    std::string descriptor(int fd) const {
        char target[256];
        const std::string link = "/proc/" + std::to_string(pid()) + "/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target);
        return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
    }

private:
    // In the child: descriptors moved to 3, 4, ... (out of the way first, as
    // they may sit there already), open across exec; then the environment.
    static void hand_over(const Environment &environment, const Passed &passed) {
        std::vector<int> moved;
        for (int fd : passed.fds)
            moved.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
        for (size_t i = 0; i < moved.size(); ++i)
            dup2(moved[i], 3 + static_cast<int>(i)); // dup2 leaves the copy open on exec
        for (const auto &[name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (!passed.fds.empty()) {
            setenv("LISTEN_FDS", std::to_string(passed.fds.size()).c_str(), 1);
            setenv("LISTEN_FDNAMES", "console", 1);
            const std::string pid = passed.listen_pid.empty() ? std::to_string(getpid()) : passed.listen_pid;
            setenv("LISTEN_PID", pid.c_str(), 1);
        }
        setenv("ZN_TEST_UNTOUCHED", "kept", 1);
    }

    zntest::ChildProcess child_;
    std::string errors_;
};

// Variables of the environment that start with one of the names.
Strings defined(const Strings &environment, const Strings &names) {
    Strings found;
    for (const std::string &entry : environment)
        for (const std::string &name : names)
            if (entry.starts_with(name + "="))
                found.push_back(entry);
    return found;
}

std::string inode_of(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return std::to_string(st.st_ino);
}

// A port nobody listens on for now.
bool nobody_listens(int port) {
    Client probe(port);
    return !probe.connected();
}

const Strings kListenVariables = {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"};
const Strings kNotifyVariables = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};

TEST(SocketActivation, ConsoleServesThePassedSocketAndBindsNothing) {
    Listener passed;
    const int own_port = zntest::free_port();
    ManagedDaemon daemon(own_port, {}, {{passed.fd}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();

    Client client(passed.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.login());
    EXPECT_EQ(client.command("args one two"), "\nargc=3\n[args]\n[one]\n[two]\n" + zntest::kPrompt);
    const std::string sockets = client.command("sockets");
    EXPECT_NE(sockets.find("\n3        RWE     "), std::string::npos) << sockets;
    EXPECT_NE(sockets.find("CLI Accept\n"), std::string::npos) << sockets;
    EXPECT_TRUE(nobody_listens(own_port));
    EXPECT_EQ(defined(daemon.environment(), kListenVariables), Strings{});
    EXPECT_EQ(defined(daemon.environment(), {"ZN_TEST_UNTOUCHED"}), Strings{"ZN_TEST_UNTOUCHED=kept"});

    // A port is served, so "shutdown" is there.
    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
}

TEST(SocketActivation, DescriptorsItDoesNotServeAreLeftAlone) {
    int unused_pipe[2];
    ASSERT_EQ(pipe(unused_pipe), 0);
    const int datagram = socket(AF_INET, SOCK_DGRAM, 0);
    Listener passed;
    ManagedDaemon daemon(zntest::free_port(), {}, {{unused_pipe[0], datagram, passed.fd}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();

    EXPECT_EQ(daemon.descriptor(3), "pipe:[" + inode_of(unused_pipe[0]) + "]");
    EXPECT_EQ(daemon.descriptor(4), "socket:[" + inode_of(datagram) + "]");
    Client client(passed.port);
    ASSERT_TRUE(client.login());
    EXPECT_NE(client.command("sockets").find("\n5        RWE     "), std::string::npos);
    // The daemon's ends stay open: nothing it closed reaches the pipe.
    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
    close(unused_pipe[0]);
    close(unused_pipe[1]);
    close(datagram);
}

TEST(SocketActivation, VariablesForAnotherProcessAreRemovedAndIgnored) {
    Listener passed;
    const int own_port = zntest::free_port();
    ManagedDaemon daemon(own_port, {}, {{passed.fd}, "1"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    EXPECT_EQ(defined(daemon.environment(), kListenVariables), Strings{});
    EXPECT_EQ(daemon.descriptor(3), "socket:[" + inode_of(passed.fd) + "]");
    Client client(own_port);
    ASSERT_TRUE(client.login());
    EXPECT_EQ(client.command("args"), "\nargc=1\n[args]\n" + zntest::kPrompt);
}

// Readiness once the console is served, the watchdog in "tasks" and on the
// socket, stopping at "shutdown"; and none of the variables left behind.
TEST(Notifications, DaemonReportsToTheManager) {
    FakeManager manager(FakeManager::Naming::abstract);
    const int port = zntest::free_port();
    ManagedDaemon daemon(port, {{"NOTIFY_SOCKET", manager.address()}, {"WATCHDOG_USEC", "2000000"}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    const auto ready = manager.until("READY=1", 10000);
    ASSERT_EQ(zntest::texts(ready), Strings{"READY=1"});
    EXPECT_EQ(ready[0].sender, daemon.pid());
    EXPECT_EQ(defined(daemon.environment(), kNotifyVariables), Strings{});
    EXPECT_EQ(defined(daemon.environment(), {"ZN_TEST_UNTOUCHED"}), Strings{"ZN_TEST_UNTOUCHED=kept"});

    Client client(port);
    ASSERT_TRUE(client.login());
    EXPECT_NE(client.command("tasks").find("      1s      Service Watchdog\n"), std::string::npos);
    const auto ping = manager.next(2500);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->text, "WATCHDOG=1");
    EXPECT_EQ(ping->sender, daemon.pid());

    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
    const auto rest = manager.queued();
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back().text, "STOPPING=1");
}

} // namespace
