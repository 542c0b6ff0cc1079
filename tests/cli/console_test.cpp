// The local console end to end: the test daemon on a pseudo-terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_process.h"
#include "remote.h"

using zntest::Clock;
using zntest::kPrompt;

namespace {

// The test daemon with its standard input, output and error on a pty.
struct PtyDaemon : zntest::PtyProcess {
    explicit PtyDaemon(std::vector<std::string> args) : PtyProcess(with_program(std::move(args))) {}

    static std::vector<std::string> with_program(std::vector<std::string> args) {
        args.insert(args.begin(), ZN_TEST_DAEMON);
        return args;
    }
};

using zntest::is_cooked;
using zntest::is_raw;

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

TEST(Console, PastedLinesRunInTurn) {
    PtyDaemon d({"0", "--console"});
    ASSERT_TRUE(d.started());
    d.read_until(kPrompt);
    d.type("args one\rargs two\rargs three\rarg");
    EXPECT_EQ(d.read_until(kPrompt + "arg"), "\r\nargc=2\r\n[args]\r\n[one]\r\n" + kPrompt +
                                                 "\r\nargc=2\r\n[args]\r\n[two]\r\n" + kPrompt +
                                                 "\r\nargc=2\r\n[args]\r\n[three]\r\n" + kPrompt + "arg");
    d.type("s four\rquit\r");
    EXPECT_EQ(d.read_until("Goodbye!\r\n"), "\r\nargc=2\r\n[args]\r\n[four]\r\n" + kPrompt + "\r\nGoodbye!\r\n");
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
