// The README's example daemons, started and driven through znconsole as a reader would.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "demo.h"

namespace {

// An example daemon on a free port in a fresh directory; it logs
// "listening on port" once its console is up.
class Example {
public:
    explicit Example(const char *program) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = zntest::free_port();
            process_ = std::make_unique<apptest::Background>(
                std::vector<std::string>{program, std::to_string(port_)}, dir_.path());
            if (process_->stderr_until("\n").find("listening on port") != std::string::npos)
                return;
        }
    }

    apptest::Outcome run(const std::vector<std::string> &commands) {
        return apptest::console_commands({"127.0.0.1", std::to_string(port_)}, commands);
    }
    int wait_exit() { return process_->wait_exit(); }

private:
    dbtest::TempDir dir_;
    int port_ = 0;
    std::unique_ptr<apptest::Background> process_;
};

const std::string kShutdown = "Please Wait, Shutting Down.....\n";

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(Examples, CDaemonAnswersAndShutsDown) {
    Example daemon(ZN_EXAMPLE_C);
    const apptest::Outcome o = daemon.run({"ticks", "dblist", "shutdown"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string start = "0 ticks so far\nDatabases currently in memory:\n  ticks            Ticks of the example  ";
    EXPECT_EQ(o.out.substr(0, start.size()), start);
    EXPECT_TRUE(ends_with(o.out, kShutdown)) << o.out;
    EXPECT_EQ(daemon.wait_exit(), 0);
}

// Commands with captured state, a sorted database listed by a command, and
// the clock task counting whole seconds between two console sessions.
TEST(Examples, CppDaemonAnswersAndShutsDown) {
    Example daemon(ZN_EXAMPLE_CPP);
    const apptest::Outcome first =
        daemon.run({"add beta", "add beta 10.0.0.2", "add alpha 10.0.0.1", "hosts", "uptime"});
    EXPECT_EQ(first.status, 0) << first.err;
    const std::string listed = "Usage:  add <name> <address>\n1 hosts known\n2 hosts known\n"
                               "alpha at 10.0.0.1\nbeta at 10.0.0.2\nup ";
    ASSERT_EQ(first.out.substr(0, listed.size()), listed);
    const unsigned long before = std::stoul(first.out.substr(listed.size()));

    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const apptest::Outcome second = daemon.run({"uptime", "help -v", "shutdown"});
    EXPECT_EQ(second.status, 0) << second.err;
    ASSERT_EQ(second.out.substr(0, 3), "up ");
    EXPECT_GE(std::stoul(second.out.substr(3)), before + 1);
    EXPECT_NE(second.out.find("   add             Remember a host\n"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("   hosts           List the hosts by name\n"), std::string::npos);
    EXPECT_TRUE(ends_with(second.out, kShutdown)) << second.out;
    EXPECT_EQ(daemon.wait_exit(), 0);
}

} // namespace
