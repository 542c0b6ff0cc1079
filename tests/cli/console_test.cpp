// The local console end to end: the test daemon on a pseudo-terminal.
#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>

#include <string>
#include <vector>

#include "remote.h"

using zntest::Clock;
using zntest::kPrompt;

namespace {

// The daemon with its standard input, output and error on a pty.
class PtyDaemon {
public:
    explicit PtyDaemon(std::vector<std::string> args) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0)
            zntest::exec_daemon(std::move(args));
        reader_.attach(master_);
    }
    ~PtyDaemon() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    bool started() const { return pid_ > 0 && master_ >= 0; }

    void type(const std::string &bytes) {
        ssize_t ignored = write(master_, bytes.data(), bytes.size());
        (void)ignored;
    }

    // What the terminal shows, up to and including end.
    std::string read_until(const std::string &end) { return reader_.until(end); }

    termios settings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

    int wait_exit() {
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (zntest::ms_left(deadline) > 0) {
            reader_.until("\x01", 20); // keep the terminal drained
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    zntest::Reader reader_;
};

bool is_raw(const termios &t) { return !(t.c_lflag & (ICANON | ECHO | ISIG)) && t.c_cc[VMIN] == 1; }
bool is_cooked(const termios &t) { return (t.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG); }

TEST(Console, RawWhileRunningAndRestoredAfterQuit) {
    PtyDaemon d({"0", "--console"});
    ASSERT_TRUE(d.started());
    const termios before = d.settings();
    EXPECT_EQ(d.read_until(kPrompt), kPrompt);
    EXPECT_TRUE(is_raw(d.settings()));
    d.type("quit\r");
    EXPECT_EQ(d.read_until("Goodbye!\r\n"), "\r\nGoodbye!\r\n");
    EXPECT_EQ(d.wait_exit(), 0);
    const termios after = d.settings();
    EXPECT_TRUE(is_cooked(after));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(Console, RunsTheGivenCommandFirstWithoutEcho) {
    PtyDaemon d({"0", "--console", "args first \"second word\""});
    ASSERT_TRUE(d.started());
    EXPECT_EQ(d.read_until(kPrompt), "argc=3\r\n[args]\r\n[first]\r\n[second word]\r\n" + kPrompt);
    d.type("\x04");
    EXPECT_EQ(d.read_until("Goodbye!\r\n"), "quit\r\nGoodbye!\r\n");
    EXPECT_EQ(d.wait_exit(), 0);
}

TEST(Console, ControlKeysAreEditingKeysNotSignals) {
    PtyDaemon d({"0", "--console"});
    ASSERT_TRUE(d.started());
    d.read_until(kPrompt);
    d.type("abc");
    EXPECT_EQ(d.read_until("abc"), "abc");
    d.type("\x03");
    EXPECT_EQ(d.read_until("\b \b\b \b\b \b"), "\b \b\b \b\b \b");
    d.type("args\r");
    EXPECT_EQ(d.read_until(kPrompt), "\r\nargc=1\r\n[args]\r\n" + kPrompt);
    d.type("quit\r");
    EXPECT_EQ(d.wait_exit(), 0);
}

TEST(Console, QuitFromTheConsoleStopsTheDaemonWhileAPortIsOpen) {
    const int port = zntest::free_port();
    PtyDaemon d({std::to_string(port), "--console"});
    ASSERT_TRUE(d.started());
    d.read_until(kPrompt);
    zntest::Client remote(port);
    ASSERT_TRUE(remote.login());
    d.type("quit\r");
    EXPECT_EQ(d.read_until("services.....\r\n"), "\r\nShutting down services.....\r\n");
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_TRUE(is_cooked(d.settings()));
    bool eof = false;
    remote.read_to_eof(eof);
    EXPECT_TRUE(eof);
}

} // namespace
